"""Stored files lost from outside under the running daemon (removed, cut
short, overwritten, replaced), through the real daemon: a loss is no failed
download. Files lost at once count once, however many agents find them, and
a file fetched again and then served whole starts the count anew, so an
administrator's changes cost a download, never an agent. Only a file lost
again before it could be served, as when something removes it as soon as it
is stored, counts on, and its request still ends at the failed-downloads bound."""

import os
import re
import shutil
import threading
import time
import unittest

import harness
import test_cache_changes
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository
from test_updates import cache_path

LOST = "were lost"
FAILED = "failed"


def replace(path):
    """The same bytes in a new file renamed over the stored one: another inode."""
    shutil.copyfile(path, path + ".new")
    os.replace(path + ".new", path)


CHANGES = [os.unlink, test_cache_changes.truncate, test_cache_changes.overwrite, replace,
           test_cache_changes.overwrite_keeping_times]


class CacheLossesTest(PeersTestCase):
    def counted(self, d, what):
        return [m for m in d.messages("wrn") if "time(s) in a row" in m and what in m]

    def leaf(self, d, repo, i):
        return os.path.join(d.cache_root, cache_path(repo, repo.files[i]))

    def test_files_lost_from_outside_cost_a_download_and_only_a_loop_ends_at_the_bound(self):
        with self.subTest("six files removed at once, six agents each asking for one"):
            repo = Repository([3000 + i for i in range(6)])
            server, d, port = self.start_pair({"repository": repo})
            first = self.start_agent(port)
            self.assertEqual(first.fetch(first.wait_announcement()).data, repo.payload("1" * 6))
            for i in range(6):
                os.unlink(self.leaf(d, repo, i))
            masks = ["0" * i + "1" + "0" * (5 - i) for i in range(6)]
            agents = [self.start_agent(port) for _ in masks]
            announcements = [agent.wait_announcement() for agent in agents]
            asked = [(agent, announcement, mask, agent.request(announcement, mask))
                     for agent, announcement, mask in zip(agents, announcements, masks)]
            for agent, announcement, mask, number in asked:
                update = agent.receive(announcement, mask, number, timeout=20)
                self.assertEqual(update.data, repo.payload(mask), d.log[-4000:])
            self.assertEqual(d.count("dropped because of"), 0)
            self.assertEqual(self.counted(d, FAILED), [])
            self.assertEqual(len(self.counted(d, LOST)), 1, self.counted(d, LOST))
            self.assertEqual(server.count("ARQ_UPDATE"), 7)

        for options, changes in (("COMP", CHANGES), ("", [os.unlink] * 3)):
            with self.subTest("one file changed again and again, served in between, the bound at 2",
                              agent=options or "plain"):
                repo = Repository([70000, 5000])
                server, d, port = self.start_pair({"repository": repo, "options": options},
                                                  env=harness.limits_env(failed_downloads_count=2))
                agent = self.start_agent(port, options=options)
                announcement = agent.wait_announcement()
                for change in [None] + changes:
                    if change:
                        change(self.leaf(d, repo, 0))
                    update = agent.fetch(announcement, timeout=20)
                    self.assertEqual(update.data, repo.payload("11"), (change, d.log[-4000:]))
                self.assertEqual(d.count("dropped because of"), 0)
                self.assertEqual(server.count("ARQ_UPDATE"), 1 + len(changes))
                self.assertEqual(self.counted(d, FAILED), [])
                self.assertEqual(self.counted(d, LOST), ["[Repo] Stored files of %s/7 were lost 1 time(s) in a row, "
                                                         "next download in 1 s" % repo.name] * len(changes))

        with self.subTest("a file removed as soon as it is stored, the bound at 3"):
            # The small file is stored first and removed while the large one
            # still trickles in: it is gone whenever the request is served.
            repo = Repository([("a.bin", b"a" * 1000), ("s.bin", os.urandom(64 << 10))])
            server, d, port = self.start_pair({"repository": repo, "pace": 0.05},
                                              env=harness.limits_env(failed_downloads_count=3))
            agent = self.start_agent(port)
            announcement = agent.wait_announcement()
            self.assertEqual(agent.fetch(announcement, timeout=20).data, repo.payload("11"))
            stop = threading.Event()

            def remover():
                while not stop.wait(0.002):
                    for i in range(2):
                        try:
                            os.unlink(self.leaf(d, repo, i))
                        except FileNotFoundError:
                            pass

            thread = harness.start_thread(remover)
            self.addCleanup(thread.join, 5)
            self.addCleanup(stop.set)
            self.assertTrue(harness.wait_until(lambda: not any(os.path.exists(self.leaf(d, repo, i)) for i in range(2))))
            with self.assertRaises(ConnectionClosed):
                agent.fetch(announcement, timeout=30)
            stop.set()
            dropped = "[Repo] Pending update request for %s/7 dropped because of its files were lost 3 time(s) in a row"
            # The agent may see the close before the harness has read the line.
            d.wait_for(dropped % repo.name, timeout=10)
            self.assertIn(dropped % repo.name, d.messages("ERR"))
            self.assertEqual([m.split(" time(s)")[0][-1] for m in self.counted(d, LOST)], ["1", "2", "3"])
            self.assertIn(server.count("ARQ_UPDATE"), (2, 3))

    def test_an_acknowledged_reply_has_reached_its_agent_whenever_its_send_completes(self):
        """The agent's ACK_RANGE of a whole reply tells that its files reached
        it: a file removed after that starts the count anew, even while the
        send's own completion is still to come (here: the reply is far larger
        than the socket buffers, and the agent acknowledges it from its header
        before reading on). An acknowledgement of another range tells nothing."""
        header = re.compile(rb"(\d+) SRS_UPDATE T\d+ \d+ (R0:\d+) S\d+\r\n")
        for acknowledged in ("the whole range", "another range"):
            with self.subTest(acknowledged):
                repo = Repository([("big.bin", os.urandom(48 << 20)), ("small.bin", b"s" * 100)])
                server, d, port = self.start_pair({"repository": repo},
                                                  env=harness.limits_env(failed_downloads_count=2))
                agent = self.start_agent(port)
                announcement = agent.wait_announcement()
                # Acknowledgements of nothing the daemon sent are consumed as before.
                for args in (b"", b"5", b"99999999999 R0:1", b"x R0:1", b"\\q R0:1", b"4 R0:1 S1 more"):
                    agent.send("ACK_RANGE", args)
                self.assertEqual(agent.fetch(announcement, timeout=30).data, repo.payload("11"))
                os.unlink(self.leaf(d, repo, 0))
                # Fetched again: the reply is the first to carry the new copy.
                agent.request(announcement)
                deadline = time.monotonic() + 30
                while not header.search(agent.buffer):
                    agent._fill(deadline)
                number, whole = header.search(agent.buffer).groups()
                os.unlink(self.leaf(d, repo, 0))
                agent.send("ACK_RANGE", number + b" " + (whole if acknowledged == "the whole range" else b"R0:1"))
                agent.request(announcement)
                if acknowledged == "the whole range":
                    for _ in range(2):
                        self.assertEqual(agent.receive(announcement, timeout=30).data, repo.payload("11"))
                    self.assertEqual([m.split(" time(s)")[0][-1] for m in self.counted(d, LOST)], ["1", "1"])
                    self.assertEqual(d.count("dropped because of"), 0)
                else:
                    # Removed before the reply was known to be whole: a loss in
                    # a row, the bound reached, the agent disconnected at once.
                    with self.assertRaises(ConnectionClosed):
                        for _ in range(2):
                            agent.receive(announcement, timeout=30)
                    d.wait_for("[Repo] Pending update request for %s/7 dropped because of its files were lost "
                               "2 time(s) in a row" % repo.name, timeout=10)


if __name__ == "__main__":
    unittest.main()
