"""A configuration reload while agents of the old pass and of the new one
download the same file: one file on disk is written by one download at a
time, and no agent is ever handed a wrong byte."""

import hashlib
import os
import signal
import threading
import unittest

import harness
import test_updates
from standin_agent import ConnectionClosed, PeersTestCase, StandinAgent
from standin_server import Repository


class ReloadDownloadTest(PeersTestCase):
    AGENTS = 4
    ROUNDS = 3
    # 8 KiB pieces with this pause: each reply lasts over a second, so the
    # reload comes while the old pass's download still writes.
    PACE = 0.02

    def ask(self, port, count):
        """`count` agents that have each sent their request."""
        agents = []
        for _ in range(count):
            agent = StandinAgent(port, timeout=60)
            self.addCleanup(agent.close)
            agent.negotiate()
            announcement = agent.wait_announcement()
            agents.append((agent, announcement, agent.request(announcement)))
        return agents

    def collect(self, asked):
        """Each agent's reply, or None for an agent whose connection ended."""
        results = [None] * len(asked)

        def receive(index, agent, announcement, number):
            try:
                results[index] = agent.receive(announcement, request=number, timeout=60)
            except (ConnectionClosed, OSError):
                pass

        threads = [harness.start_thread(lambda i=i, a=a: receive(i, *a)) for i, a in enumerate(asked)]
        for t in threads:
            t.join(90)
        return results

    def test_reload_while_old_and_new_agents_download_one_file(self):
        server, d, port = self.start_pair({"pace": self.PACE})
        for n in range(self.ROUNDS):
            with self.subTest(round=n):
                # A revision and content of its own each round: files nobody has stored yet.
                files = [("big-%d.bin" % n, os.urandom(700000)), ("dir/small-%d.bin" % n, os.urandom(3000))]
                repo = server.repository = Repository(files, revision=7 + n)
                leaf = os.path.join(d.cache_root, test_updates.cache_path(repo, repo.files[0]))
                asked = server.count("ARQ_UPDATE")
                old = self.ask(port, self.AGENTS)
                server.wait_count("ARQ_UPDATE", asked + 1)
                since = d.mark()
                d.signal(signal.SIGHUP)
                d.wait_for(harness.STARTED, since=since)
                port = d.listen_ports(since)[-1]
                new = self.ask(port, self.AGENTS)
                replies = self.collect(old + new)
                for reply in replies:
                    if reply is not None:
                        self.assertTrue(reply.ok, [(f.name, f.ok) for f in reply.files])
                self.assertTrue(all(r is not None for r in replies[self.AGENTS:]),
                                "agents of the new pass were dropped:\n" + d.log[-6000:])
                with open(leaf, "rb") as f:
                    self.assertEqual(hashlib.md5(f.read()).hexdigest(), repo.files[0].md5)
                self.assertFalse(os.path.exists(leaf + "~"))
                self.assertEqual([m for m in d.messages("ERR") if "Thread failed" in m], [])


if __name__ == "__main__":
    unittest.main()
