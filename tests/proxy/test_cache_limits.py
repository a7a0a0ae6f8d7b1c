"""The cache's bounds through the real daemon: the memory mappings it holds
while hundreds of files are served, downloads that stall behind a server that
keeps pinging, and requests that cannot be served, which end with a log line
instead of an agent left waiting."""

import os
import threading
import time
import unittest

import harness
from harness import wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository
from test_updates import AGENT_REQUEST, cache_path

BUDGET = 50
# Beyond the cache's own mappings, a reply in flight holds the one or two
# large files its connection is sending at the time.
IN_FLIGHT = 4
STALL_MS = 1000


def cache_mappings(pid, root):
    """Mappings of files under the cache root in the process, from /proc/PID/maps."""
    with open("/proc/%d/maps" % pid) as f:
        return sum(1 for line in f if root in line)


class MappingSampler(threading.Thread):
    """Samples the daemon's cache mappings until stopped; `peak` is the most seen."""

    def __init__(self, pid, root):
        super().__init__(daemon=True)
        self.pid, self.root, self.peak, self.samples = pid, root, 0, 0
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            try:
                self.peak = max(self.peak, cache_mappings(self.pid, self.root))
                self.samples += 1
            except OSError:
                return

    def stop(self):
        self.done.set()
        self.join(10)


class CacheLimitsTest(PeersTestCase):
    def relayed(self, agent, text):
        """One command through the daemon and back (the stand-in server echoes it)."""
        agent.send("HELLO", text)
        frame = agent.expect("HELLO", 10)
        self.assertEqual(frame.args, text)

    def test_mappings_stay_within_the_budget_while_hundreds_of_files_are_served(self):
        # Large files take mappings (within the budget, the least recently used
        # dropped), small ones are read once the budget is full.
        sizes = [70000 if i % 3 == 0 else 3000 + i for i in range(300)]
        repo = Repository(sizes)
        server, d, port = self.start_pair({"repository": repo}, env=harness.limits_env(mapping_budget_count=BUDGET))
        other = self.start_agent(port)
        other.wait_announcement()
        sampler = MappingSampler(d.pid, d.cache_root)
        sampler.start()
        try:
            agent = self.start_agent(port)
            announcement = agent.wait_announcement()
            for rounds in range(2):  # downloaded, then served from the cache alone
                request = agent.request(announcement)
                self.relayed(other, b"meanwhile-%d" % rounds)
                update = agent.receive(announcement, request=request, timeout=60)
                self.assertTrue(update.ok, [f.name for f in update.files if not f.ok][:5])
                self.assertEqual(update.data, repo.payload("1" * len(sizes)))
        finally:
            sampler.stop()
        self.assertGreater(sampler.samples, 0)
        self.assertLessEqual(sampler.peak, BUDGET + IN_FLIGHT)
        self.assertLessEqual(cache_mappings(d.pid, d.cache_root), BUDGET)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.relayed(other, b"after")

    def test_a_file_gone_from_disk_before_a_reply_is_downloaded_again_with_a_log_line(self):
        # Budget 1: the first file's mapping is dropped for the second, so the
        # next reply must read the first from disk, where it is gone. Found
        # before the reply begins: the request waits for the new download.
        repo = Repository([70000, 80000])
        server, d, port = self.start_pair({"repository": repo}, env=harness.limits_env(mapping_budget_count=1))
        first = self.start_agent(port)
        self.assertTrue(first.fetch(first.wait_announcement(), timeout=30).ok)
        os.unlink(os.path.join(d.cache_root, cache_path(repo, repo.files[0])))
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        update = agent.fetch(announcement, timeout=30)
        self.assertTrue(update.ok)
        self.assertEqual(update.data, repo.payload("11"))
        self.assertTrue(wait_until(lambda: "is gone from the disk" in d.log), d.log[-4000:])
        self.assertEqual(server.count("ARQ_UPDATE"), 2)
        # The other agent is not touched.
        self.assertTrue(first.fetch(announcement, mask="01", timeout=30).ok)

    def stalled_pair(self, fault, files):
        repo = Repository(files)
        server, d, port = self.start_pair({"repository": repo, "faults": [fault], "range_size": 1000},
                                          env=harness.limits_env(stall_limit_ms=STALL_MS))
        return repo, server, d, port

    def test_a_stalled_download_is_given_up_and_its_agents_served_through_another_connection(self):
        # "late": the reply comes after the download was given up; it is
        # dropped and the connection stays.
        for fault in ["pings", "range_then_pings", "late"]:
            with self.subTest(fault=fault):
                repo, server, d, port = self.stalled_pair(fault, [3000, 5000])
                waiting = []
                for _ in range(2):
                    agent = self.start_agent(port)
                    announcement = agent.wait_announcement()
                    waiting.append((agent, announcement, agent.request(announcement)))
                    # The first request starts the download, the second waits for it.
                    server.wait_count("ARQ_UPDATE", 1)
                self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) >= 2), d.log[-4000:])
                started = time.monotonic()
                for agent, announcement, request in waiting:
                    update = agent.receive(announcement, request=request, timeout=60)
                    self.assertTrue(update.ok)
                    self.assertEqual(update.data, repo.payload("11"))
                self.assertLess(time.monotonic() - started, 60)
                given_up = "made no progress for %d ms, given up" % STALL_MS
                self.assertTrue(wait_until(lambda: given_up in d.log), d.log[-4000:])
                requests = [(f.conn, f.body) for f in server.frames() if f.name == "ARQ_UPDATE"]
                self.assertEqual(requests, [(0, b"7 3 11"), (1, b"7 3 11")])
                # The stalled connection still relays; its server's pings are answered.
                self.relayed(waiting[0][0], b"still-here")
                self.assertTrue(server.count("PONG") > 0)
                if fault == "late":
                    # Every range of the late reply is acknowledged on the stalled connection.
                    acked = lambda: sum(1 for f in server.frames() if f.name == "ACK_RANGE" and f.conn == 0)
                    self.assertTrue(wait_until(lambda: acked() == 8), server.frames()[-5:])
                    self.relayed(waiting[0][0], b"after-the-late-reply")
                self.assertNotIn("Violation", d.log)

    def test_an_agent_whose_only_server_stalls_is_disconnected_with_a_log_line(self):
        _, server, d, port = self.stalled_pair("pings", [3000])
        agent = self.start_agent(port)
        with self.assertRaises(ConnectionClosed):
            agent.fetch(agent.wait_announcement(), timeout=30)
        # The log is read beside the agent: the line may trail the disconnection.
        self.assertTrue(wait_until(lambda: "Update request not served, agent disconnected" in d.log), d.log[-4000:])
        self.assertEqual(server.count("ARQ_UPDATE"), 1)


if __name__ == "__main__":
    unittest.main()
