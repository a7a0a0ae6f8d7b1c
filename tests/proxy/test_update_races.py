"""Downloads that fail while others start: a server whose first reply for a
file is corrupt and whose other replies trickle in slowly, and a crowd of
agents on their own connections whose requests for that file keep arriving
while the corrupt reply is checked and its download torn down. A download
that another connection started meanwhile must never be disturbed by the
failed one, and no agent may ever get a wrong byte."""

import threading
import time
import unittest

import harness
from standin_agent import ConnectionClosed, PeersTestCase, StandinAgent
from standin_server import Repository

WRONG_MD5 = "downloaded file has wrong md5"


def wrong_md5_failures(log):
    """The reasons of the upstream connections that a wrong MD5 ended."""
    lines = log.splitlines()
    return [lines[i + 1] for i in range(len(lines) - 1)
            if "SRS_UPDATE from the server ends the connection because of" in lines[i] and WRONG_MD5 in lines[i + 1]]


class DownloadRaceTest(PeersTestCase):
    AGENTS = 96
    ROUNDS = 4
    # The corrupt reply leaves after this many of the crowd's requests: the
    # others are sent one right after another while the daemon checks it and
    # ends its download, so some arrive between the file's failure and the end
    # of its download, and start the file's next download on their own
    # connections.
    RELEASE_AFTER = 24
    # Correct replies trickle in 8 KiB pieces with this pause: a download that
    # took over the file lasts longer than the pause a failure imposes on the
    # revision, after which the waiting requests would start yet another one.
    PACE = 0.4
    FILE_SIZE = 40000
    SETTLE = 0.05
    ATTEMPTS = 4

    def connect(self, port, count):
        """`count` negotiated agents, each with the announcement it got."""
        agents = [None] * count
        errors = []

        def connect_one(index):
            try:
                agent = agents[index] = StandinAgent(port, timeout=30)
                agent.negotiate()
                agent.announcement = agent.wait_announcement()
            except (ConnectionClosed, OSError, AssertionError) as e:
                errors.append((index, e))

        threads = [threading.Thread(target=connect_one, args=(i,), daemon=True) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertFalse(any(t.is_alive() for t in threads) or errors, errors)
        return agents

    def collect(self, port, repo, agents, opened, stop):
        """Starts a thread per agent that reads its reply and, when the daemon
        dropped the pair (its server sent the corrupt reply), fetches again on
        a new connection until `stop` is set. Returns the threads and the list
        of failures they fill."""
        failures = []
        lock = threading.Lock()

        def collect_one(index, agent):
            for attempt in range(self.ATTEMPTS):
                if stop.is_set():
                    return
                try:
                    if attempt:
                        agent = StandinAgent(port, timeout=30)
                        with lock:
                            opened.append(agent)
                        agent.negotiate()
                        agent.announcement = agent.wait_announcement()
                        agent.request(agent.announcement)
                    update = agent.receive(agent.announcement)
                except (ConnectionClosed, OSError):
                    continue
                if not update.ok or update.data != repo.payload("1" * len(repo.files)):
                    with lock:
                        failures.append((index, [(f.name, f.ok) for f in update.files]))
                return
            with lock:
                failures.append((index, "no answer after %d connections" % self.ATTEMPTS))

        threads = [threading.Thread(target=collect_one, args=(i, a), daemon=True) for i, a in enumerate(agents)]
        for t in threads:
            t.start()
        return threads, failures

    def burst(self, server, agents):
        """The first agent's request, whose reply (the corrupt one) the server
        keeps back, then the crowd's requests with that reply let go among them."""
        agents[0].request(agents[0].announcement)
        server.wait_held(1)
        # A moment for the daemon and the peers' threads to fall idle: the
        # crowd's requests must leave back to back, not between the turns of
        # other threads.
        time.sleep(self.SETTLE)
        for index, agent in enumerate(agents[1:], 1):
            agent.request(agent.announcement)
            if index == self.RELEASE_AFTER:
                server.release()

    def race_once(self):
        repo = Repository([self.FILE_SIZE])
        server, d, port = self.start_pair({"repository": repo, "corrupt_first": True, "pace": self.PACE, "hold": True},
                                          verbosity="INFO")
        agents = self.connect(port, self.AGENTS)
        opened = list(agents)
        stop = threading.Event()
        try:
            self.burst(server, agents)
            threads, failures = self.collect(port, repo, agents, opened, stop)

            # Each corrupt reply fails its download once; a correct one never
            # does. Once one did, the waiting agents need not be waited for.
            def settled():
                return (not any(t.is_alive() for t in threads)
                        or len(wrong_md5_failures(d.log)) > server.corrupt_replies)

            harness.wait_until(settled, 120)
            rejected = wrong_md5_failures(d.log)
            self.assertLessEqual(len(rejected), server.corrupt_replies, rejected)
            self.assertFalse(any(t.is_alive() for t in threads), "agents still waiting")
            self.assertEqual(failures, [])
        finally:
            stop.set()
            harness.close_sockets([a.sock for a in opened if a is not None])
        d.stop()

    def test_a_failed_download_never_disturbs_a_later_one(self):
        for round_ in range(self.ROUNDS):
            with self.subTest(round=round_):
                self.race_once()


if __name__ == "__main__":
    unittest.main()
