"""A stored file whose change time alone moved (a chmod) has its content read
again before it is served. That reading holds back only the requests for the
file: other agents' replies and new connections go on meanwhile, and the
file's requesters are answered whole once it ends, without a download."""

import os
import select
import socket
import threading
import time
import unittest

from harness import wait_until
from standin_agent import PeersTestCase, StandinAgent
from standin_server import Repository
from test_updates import cache_path

# Large enough that reading it takes many round trips of the other agents.
BIG = 256 << 20
EXAMINED = "was examined again after a change of its status"
# Replies of other files and new connections that must complete while the
# file is read: none can while the reading holds the cache's lock.
REPLIES_DURING = 5
NEWCOMERS_DURING = 1


class CacheRecheckTest(PeersTestCase):
    def fetch_ok(self, agent, announcement, mask, repo, timeout=120):
        update = agent.fetch(announcement, mask, timeout=timeout)
        self.assertTrue(update.ok, [(f.name, f.ok) for f in update.files])
        self.assertEqual(update.data, repo.payload(mask))

    def keep_fetching(self, port, stop, record):
        """Agents fetching the small files in turn, and a new connection now and then, until `stop`."""
        others = []
        for _ in range(2):
            agent = self.start_agent(port)
            others.append((agent, agent.wait_announcement()))

        def replies():
            while not stop.is_set():
                for agent, announcement in others:
                    agent.fetch(announcement, "011", timeout=60)
                    record["replies"].append(time.monotonic())

        def newcomers():
            while not stop.is_set():
                agent = StandinAgent(self.port)
                try:
                    agent.negotiate(timeout=60)
                    agent.fetch(agent.wait_announcement(timeout=60), "010", timeout=60)
                    record["newcomers"].append(time.monotonic())
                finally:
                    agent.close()

        threads = []
        for body in (replies, newcomers):
            def run(body=body):
                try:
                    body()
                except Exception as e:  # reported by the test, not lost in a thread
                    record["errors"].append(repr(e))
            threads.append(threading.Thread(target=run, daemon=True))
            threads[-1].start()
        return threads

    def test_reading_a_file_again_holds_back_only_its_own_requests(self):
        repo = Repository([("big.bin", os.urandom(BIG)), 5000, 7000])
        server, d, self.port = self.start_pair({"repository": repo})
        first = self.start_agent(self.port)
        announcement = first.wait_announcement()
        self.fetch_ok(first, announcement, "111", repo)
        second = self.start_agent(self.port)
        second_announcement = second.wait_announcement()
        stop = threading.Event()
        record = {"replies": [], "newcomers": [], "errors": []}
        threads = self.keep_fetching(self.port, stop, record)
        try:
            wait_until(lambda: len(record["replies"]) >= 4 and record["newcomers"] or record["errors"], timeout=60)
            os.chmod(os.path.join(d.cache_root, cache_path(repo, repo.files[0])), 0o600)
            mark = d.mark()
            asked = time.monotonic()
            first.request(announcement, "100")
            second.request(second_announcement, "100")
            # An agent that ended its sending is still owed the answer it waits for.
            second.sock.shutdown(socket.SHUT_WR)
            readable, _, _ = select.select([first.sock], [], [], 120)
            answered = time.monotonic()
            self.assertTrue(readable, "no reply for the file read again")
            # Both requesters of the file are answered whole once it is read.
            self.assertTrue(first.receive(announcement, "100", timeout=120).ok)
            frame = second.frame(120)
            while frame.name != "SRS_UPDATE":  # a half-closed agent answers no PING
                frame = second.frame(120)
            self.assertTrue(frame.body == repo.payload("100"), "the reply's bytes differ from the file")
        finally:
            stop.set()
            for t in threads:
                t.join(120)
        self.assertEqual(record["errors"], [])
        during = lambda kind: len([t for t in record[kind] if asked < t < answered])
        waited = "the file's requester waited %.2f s" % (answered - asked)
        self.assertGreaterEqual(during("replies"), REPLIES_DURING, waited)
        self.assertGreaterEqual(during("newcomers"), NEWCOMERS_DURING, waited)
        # Read once, served as it was stored: no second download, no WARNING.
        self.assertEqual(d.log[mark:].count(EXAMINED), 1)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertEqual(d.messages("wrn", mark), [])
        self.fetch_ok(first, announcement, "111", repo)


if __name__ == "__main__":
    unittest.main()
