"""Downloads that fail under the daemon: the upstream server killed in the
middle of a reply, a full disk, the daemon itself killed. Whatever fails,
the cache keeps only verified files and no agent hangs or gets bad bytes."""

import hashlib
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository
from test_updates import AGENT_REQUEST, cache_path, stored


def partial(root):
    """True once a temporary file of the daemon (its name ends in '~') holds bytes: a download is mid-body."""
    return any(os.path.getsize(os.path.join(root, p)) for p in stored(root) if p.endswith("~"))


class FailuresTest(PeersTestCase):
    def assertOnlyVerified(self, root, repo, expected):
        """The cache holds exactly repo.files[i] for i in `expected`, each whole."""
        want = {cache_path(repo, repo.files[i]) for i in expected}
        self.assertTrue(wait_until(lambda: stored(root) == want, 15), (stored(root), want))
        for i in expected:
            with open(os.path.join(root, cache_path(repo, repo.files[i])), "rb") as f:
                self.assertEqual(hashlib.md5(f.read()).hexdigest(), repo.files[i].md5)

    def waiting_agents(self, port, d, n):
        """n negotiated agents that have each asked for every file: [(agent, announcement, request)]."""
        out = []
        for _ in range(n):
            agent = self.start_agent(port)
            announcement = agent.wait_announcement()
            out.append((agent, announcement, agent.request(announcement)))
        self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) >= n, 30), d.log[-4000:])
        return out

    def settle(self, waiting, timeout=30):
        """Each agent is served whole or disconnected before the deadline: the count served."""
        deadline = time.monotonic() + timeout
        served = 0
        for agent, announcement, request in waiting:
            try:
                update = agent.receive(announcement, request=request, timeout=max(deadline - time.monotonic(), 0.1))
            except ConnectionClosed:
                continue
            self.assertTrue(update.ok, "an agent was served bytes that do not match the MD5")
            served += 1
        return served

    def fetch_all(self, port, repo, timeout=60):
        agent = self.start_agent(port)
        update = agent.fetch(agent.wait_announcement(), timeout=timeout)
        self.assertTrue(update.ok)
        self.assertEqual(update.data, repo.payload("1" * len(repo.files)))

    def test_upstream_killed_in_the_middle_of_a_download_for_100_agents(self):
        repo = Repository([200000, 3000])
        proc, listener = self.spawn_server("--files", "200000,3000", "--faults", "stall")
        # Agents go to the two servers in turn; the first agent's request
        # starts the one download, on the server that is killed.
        other = self.start_server(repository=repo)
        d, port = self.start_relay(None, listens=[(harness.listen_spec(0), [
            harness.tcp_spec(listener.getsockname()[1]), other.spec])])
        waiting = self.waiting_agents(port, d, 100)
        self.assertEqual(other.connections, 50)
        # The download has half of its first range on disk, then the server stalls.
        self.assertTrue(wait_until(lambda: partial(d.cache_root), 30), stored(d.cache_root))
        proc.kill()
        proc.wait()
        # Those of the killed server are disconnected; the others get the
        # files from a new download through their own server.
        self.assertEqual(self.settle(waiting), 50)
        self.assertEqual([f.body for f in other.frames() if f.name == "ARQ_UPDATE"], [b"7 3 11"])
        self.assertOnlyVerified(d.cache_root, repo, [0, 1])
        server = self.start_server(listener=listener, repository=repo)
        for _ in range(2):
            self.fetch_all(port, repo)
        self.assertEqual(server.connections, 1)
        self.assertEqual(server.count("ARQ_UPDATE") + other.count("ARQ_UPDATE"), 1)

    def full_disk(self, size):
        """(root, daemon limits): a tmpfs of `size` bytes, else a file size limit."""
        root = tempfile.mkdtemp(prefix="velmod-proxy-full-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        try:
            mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0700" % size, "tmpfs", root],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            refusal = mounted.stdout.strip() if mounted.returncode else None
        except OSError as e:
            refusal = str(e)
        if refusal is None:
            self.addCleanup(subprocess.run, ["umount", "-l", root])
            return root, ()
        print("\ntmpfs mount refused (%s); the file size limit stands in for a full disk" % refusal, file=sys.stderr)
        return root, [(resource.RLIMIT_FSIZE, size)]

    def test_a_full_disk_fails_the_download_cleanly_and_relaying_goes_on(self):
        repo = Repository([3000, 600000])
        root, limits = self.full_disk(256 << 10)
        server = self.start_server(repository=repo)
        config = harness.config_xml([(harness.listen_spec(0), [server.spec])], cache_root=root)
        d, port = self.start_relay(server, config=config, limits=limits)
        other = self.start_agent(port)
        other_announcement = other.wait_announcement()
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        since = d.mark()
        with self.assertRaises(ConnectionClosed):
            agent.fetch(announcement, timeout=30)
        reason = "File too large" if limits else "No space left on device"
        # The line names the file and the system's reason.
        self.assertTrue(wait_until(lambda: any("cannot write" in m and reason in m and repo.files[1].md5 in m
                                               for m in d.messages("ERR", since))), d.log[since:][-4000:])
        self.assertOnlyVerified(root, repo, [0])
        # The other agent still has its relay, and the stored file is served.
        other.send("NOTE", b"still%Sthere")
        self.assertEqual(other.expect("NOTE").args, b"still%Sthere")
        update = other.fetch(other_announcement, mask="10")
        self.assertTrue(update.ok)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)

    def test_a_daemon_killed_mid_download_serves_only_verified_files_after_a_restart(self):
        # The first range completes the two small files and half-fills the large one.
        repo = Repository([3000, 2000, 200000])
        root = tempfile.mkdtemp(prefix="velmod-proxy-cache-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        server = self.start_server(repository=repo, faults=["stall"])
        config = harness.config_xml([(harness.listen_spec(0), [server.spec])], cache_root=root)
        d, port = self.start_relay(server, config=config)
        agent = self.start_agent(port)
        agent.request(agent.wait_announcement())
        done = {cache_path(repo, f) for f in repo.files[:2]}
        self.assertTrue(wait_until(lambda: done <= stored(root) and partial(root), 30), stored(root))
        d.signal(signal.SIGKILL)
        d.wait_exit()
        self.assertNotIn(cache_path(repo, repo.files[2]), stored(root))
        # A stored file damaged while the daemon is down, its size kept.
        with open(os.path.join(root, cache_path(repo, repo.files[1])), "r+b") as f:
            first = f.read(1)[0]
            f.seek(0)
            f.write(bytes([first ^ 0xFF]))
        d, port = self.start_relay(server, config=config)
        self.fetch_all(port, repo)
        self.assertEqual([f.body for f in server.frames() if f.name == "ARQ_UPDATE"], [b"7 3 111", b"7 3 011"])
        self.assertOnlyVerified(root, repo, [0, 1, 2])


if __name__ == "__main__":
    unittest.main()
