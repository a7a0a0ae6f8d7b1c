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

# Large enough that reading it takes many round trips of the other agents:
# while the reading held the cache's lock, none of them completed.
BIG = 256 << 20
REPLIES_DURING = 5
NEWCOMERS_DURING = 1


class CacheRecheckTest(PeersTestCase):
    def keep_fetching(self, stop, record):
        """Two agents fetching the small files in turn and new connections fetching one, until `stop`."""
        others = [self.start_agent(self.port) for _ in range(2)]
        others = [(agent, agent.wait_announcement()) for agent in others]

        def fetch(agent, announcement, mask, kind):
            if not agent.fetch(announcement, mask, timeout=60).ok:
                raise AssertionError("a small file came wrong")
            record[kind].append(time.monotonic())

        def replies():
            for agent, announcement in others:
                fetch(agent, announcement, "011", "replies")

        def newcomer():
            agent = StandinAgent(self.port, timeout=60)
            try:
                agent.negotiate()
                fetch(agent, agent.wait_announcement(), "010", "newcomers")
            finally:
                agent.close()

        def loop(body):
            try:
                while not stop.is_set():
                    body()
            except Exception as e:  # reported by the test, not lost in a thread
                record["errors"].append(repr(e))
        threads = [threading.Thread(target=loop, args=(body,), daemon=True) for body in (replies, newcomer)]
        for t in threads:
            t.start()
        return threads

    def test_reading_a_file_again_holds_back_only_its_own_requests(self):
        repo = Repository([("big.bin", os.urandom(BIG)), 5000, 7000])
        server, d, self.port = self.start_pair({"repository": repo})
        first, second = self.start_agent(self.port), self.start_agent(self.port)
        announcement = first.wait_announcement()
        self.assertEqual(first.fetch(announcement, timeout=120).data, repo.payload("111"))
        stop = threading.Event()
        record = {"replies": [], "newcomers": [], "errors": []}
        threads = self.keep_fetching(stop, record)
        try:
            wait_until(lambda: len(record["replies"]) >= 4 and record["newcomers"] or record["errors"], timeout=60)
            os.chmod(os.path.join(d.cache_root, cache_path(repo, repo.files[0])), 0o600)
            mark = d.mark()
            asked = time.monotonic()
            first.request(announcement, "100")
            second.request(second.wait_announcement(), "100")
            # An agent that ended its sending is still owed the answer it waits for.
            second.sock.shutdown(socket.SHUT_WR)
            self.assertTrue(select.select([first.sock], [], [], 120)[0], "no reply for the file read again")
            answered = time.monotonic()
            self.assertEqual(first.receive(announcement, "100", timeout=120).data, repo.payload("100"))
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
        self.assertEqual(d.log[mark:].count("was examined again after a change of its status"), 1)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertEqual(d.messages("wrn", mark), [])


if __name__ == "__main__":
    unittest.main()
