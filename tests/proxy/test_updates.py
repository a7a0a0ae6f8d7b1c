"""Update announcements, requests and downloads into the cache through the
real daemon, between stand-in agents and a stand-in server on loopback."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import harness
from harness import wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository

AGENT_REQUEST = re.compile(r"rcv <\d+ ARQ_UPDATE ")


def stored(root):
    """Every file under the cache root, as a path relative to it."""
    out = set()
    for directory, _, names in os.walk(root):
        out.update(os.path.relpath(os.path.join(directory, n), root) for n in names)
    return out


def cache_path(repo, f):
    """Where the cache keeps file `f` of `repo`: the first '/' of the name
    becomes '~' (a name without one gets a leading '~'), then '~' and the MD5."""
    leaf = f.name.replace("/", "~", 1) if "/" in f.name else "~" + f.name
    return os.path.join(repo.name, str(repo.revision), leaf + "~" + f.md5)


class UpdatesTest(PeersTestCase):
    def fetch(self, port, mask=None, **agent_kwargs):
        agent = self.start_agent(port, **agent_kwargs)
        update = agent.fetch(agent.wait_announcement(), mask)
        self.assertTrue(update.ok, [(f.name, f.ok) for f in update.files])
        self.assertEqual(update.id, update.request)
        return update

    def requests_upstream(self, server):
        return [f.body for f in server.frames() if f.name == "ARQ_UPDATE"]

    def test_an_announcement_is_relayed_once_and_again_after_anf_state(self):
        server, d, port = self.start_pair()
        agent = self.start_agent(port)
        first = agent.wait_announcement()
        conn = server.connections - 1
        server.announce(conn)
        server.send(conn, "MARK")
        self.assertEqual(agent.command().name, "MARK")
        d.wait_for("Ignore same SNF_UPDATE from server")
        # The agent's state report resets what the daemon compares with.
        agent.send("ANF_STATE", b"win-nt-32 1.0")
        self.assertEqual(agent.wait_announcement(), first)
        self.assertEqual([f.args for f in server.frames() if f.name == "ANF_STATE"], [b"win-nt-32 1.0"])
        self.assertEqual(agent.skipped, [])

    def test_cached_files_are_served_without_a_download(self):
        server, d, port = self.start_pair()
        first = self.fetch(port)
        self.assertEqual(self.requests_upstream(server), [b"7 3 111"])
        self.assertEqual(self.fetch(port).data, first.data)
        part = self.fetch(port, mask="010")
        self.assertEqual([f.name for f in part.files], [server.repository.files[1].name])
        self.assertEqual(len(self.requests_upstream(server)), 1)

    def test_ten_agents_asking_at_once_share_one_download(self):
        repo = Repository([300000, 1, 70000])
        server, d, port = self.start_pair({"repository": repo, "hold": True})
        agents = [self.start_agent(port) for _ in range(10)]
        announcements = [a.wait_announcement() for a in agents]
        numbers = [a.request(ann) for a, ann in zip(agents, announcements)]
        server.wait_count("ARQ_UPDATE", 1)
        # The reply is held until every request has reached the daemon.
        self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) >= 10), d.log[-4000:])
        server.release()
        updates = [a.receive(ann, request=n, timeout=60) for a, ann, n in zip(agents, announcements, numbers)]
        for update in updates:
            self.assertTrue(update.ok)
            self.assertEqual(update.data, repo.payload("111"))
            self.assertEqual(update.id, update.request)
        self.assertEqual(self.requests_upstream(server), [b"7 3 111"])

    def test_ranges_are_acknowledged_from_version_2_9(self):
        repo = Repository([2500, 1, 4000])
        for version, ranges in [((2, 9), [(n, min(n + 1000, 6501)) for n in range(0, 6501, 1000)]),
                                ((2, 8), None)]:
            with self.subTest(version=version):
                server, d, port = self.start_pair({"repository": repo, "range_size": 1000, "version": version})
                update = self.fetch(port)
                if ranges is not None:  # the last ACK_RANGE may reach the server just after the agent is served
                    server.wait_count("ACK_RANGE", len(ranges))
                acks = [f.args for f in server.frames() if f.name == "ACK_RANGE"]
                if ranges is None:
                    self.assertEqual((update.ranges, acks), ([], []))
                    continue
                sent = server.ranges()
                self.assertEqual([t for _, _, t in sent], [b"R%d:%d" % r for r in ranges])
                self.assertEqual(acks, [b"%d %s" % (n, t) for _, n, t in sent])
                # The agent gets the whole body as one range; its ACK_RANGE stays in the daemon.
                self.assertEqual(update.ranges, [(0, 6501, 6501)])

    def test_empty_files_are_downloaded_once_and_served(self):
        # An empty file takes no byte of the body, wherever it stands in the list.
        for files, version in [([0, 100], (2, 9)), ([100, 0], (2, 8)), ([0], (2, 9))]:
            with self.subTest(files=files, version=version):
                repo = Repository(files)
                server, d, port = self.start_pair({"repository": repo, "version": version})
                self.assertEqual(self.fetch(port).data, repo.payload("1" * len(files)))
                self.assertEqual(len(self.requests_upstream(server)), 1)
                self.assertEqual(stored(d.cache_root), {cache_path(repo, f) for f in repo.files})

    def test_a_reply_with_too_few_words_is_refused_and_the_download_goes_on(self):
        for version, args in [((2, 8), b""), ((2, 9), b"5"), ((2, 9), b"5 R0:10")]:
            with self.subTest(version=version, args=args):
                server, d, port = self.start_pair({"hold": True, "version": version})
                agent = self.start_agent(port)
                announcement = agent.wait_announcement()
                request = agent.request(announcement)
                server.wait_count("ARQ_UPDATE", 1)
                since = d.mark()
                server.send(0, "SRS_UPDATE", args, b"not a reply")
                self.assertTrue(wait_until(lambda: any("SRS_UPDATE" in m for m in d.messages("ERR", since))))
                server.release()
                self.assertTrue(agent.receive(announcement, request=request).ok)

    def check_failed_download(self, fault, files, version, kept, asked_again):
        """A reply spoilt by `fault` is never served and leaves in the cache
        only the files whose bytes arrived whole and right (`kept`); the
        next request downloads the others (`asked_again`)."""
        repo = Repository(files)
        server, d, port = self.start_pair({"repository": repo, "faults": [fault], "version": version,
                                           "range_size": 1000})
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        with self.assertRaises(ConnectionClosed):
            agent.fetch(announcement)
        expected = {cache_path(repo, repo.files[i]) for i in kept}
        self.assertTrue(wait_until(lambda: stored(d.cache_root) == expected), stored(d.cache_root))
        self.assertEqual(self.fetch(port).data, repo.payload("1" * len(files)))
        self.assertEqual(self.requests_upstream(server), [b"7 3 " + b"1" * len(files), asked_again])
        self.assertEqual(stored(d.cache_root), {cache_path(repo, f) for f in repo.files})

    def test_a_wrong_md5_is_never_served_nor_stored(self):
        # The changed byte lies in the middle of the reply: in the second file.
        for version in [(2, 8), (2, 9)]:
            with self.subTest(version=version):
                self.check_failed_download("corrupt", [3000, 5000, 2000], version, [0], b"7 3 011")

    def test_agents_waiting_on_a_failed_download_get_the_files_from_the_next(self):
        server, d, port = self.start_pair({"hold": True, "faults": ["corrupt"]})
        agents = [self.start_agent(port) for _ in range(3)]
        announcements = [a.wait_announcement() for a in agents]
        numbers = [a.request(ann) for a, ann in zip(agents, announcements)]
        server.wait_count("ARQ_UPDATE", 1)
        self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) >= 3), d.log[-4000:])
        server.release()
        served = []
        for agent, announcement, number in zip(agents, announcements, numbers):
            try:
                served.append(agent.receive(announcement, request=number, timeout=60))
            except ConnectionClosed:  # the agent whose connection carried the spoilt reply
                pass
        self.assertEqual(len(served), 2)
        self.assertTrue(all(update.ok for update in served))
        self.assertEqual(self.requests_upstream(server), [b"7 3 111"] * 2)

    def test_a_body_cut_off_leaves_no_partial_file(self):
        # Half of the body: into the second file when whole, into the first
        # when the first range of 1000 bytes is cut.
        for version, kept, again in [((2, 8), [0], b"7 3 01"), ((2, 9), [], b"7 3 11")]:
            with self.subTest(version=version):
                self.check_failed_download("drop", [3000, 5000], version, kept, again)

    def test_the_agent_program_fetches_every_announced_file(self):
        server, d, port = self.start_pair()
        agent = os.path.join(os.path.dirname(os.path.abspath(__file__)), "standin_agent.py")
        for run in range(2):  # the second run is served from the cache
            done = subprocess.run([sys.executable, agent, "--port", str(port), "--timeout", "30"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout.splitlines(),
                             ["OK %s %d %s" % (f.name, len(f.data), f.md5) for f in server.repository.files])
        self.assertEqual(len(self.requests_upstream(server)), 1)

    def test_stored_files_are_served_after_a_restart_without_a_download(self):
        root = tempfile.mkdtemp(prefix="velmod-proxy-cache-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        server = self.start_server()
        config = harness.config_xml([(harness.listen_spec(0), [server.spec])], cache_root=root)
        d, port = self.start_relay(server, config=config)
        first = self.fetch(port)
        self.assertEqual(d.stop(), 0)
        d, port = self.start_relay(server, config=config)
        self.assertEqual(self.fetch(port).data, first.data)
        self.assertEqual(len(self.requests_upstream(server)), 1)
        self.assertEqual(stored(root), {cache_path(server.repository, f) for f in server.repository.files})


if __name__ == "__main__":
    unittest.main()
