"""Update announcements, requests and downloads into the cache through the
real daemon, between stand-in agents and a stand-in server on loopback."""

import os
import re
import unittest

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
    def fetch(self, port, mask=None):
        agent = self.start_agent(port)
        update = agent.fetch(agent.wait_announcement(), mask)
        self.assertTrue(update.ok, [(f.name, f.ok) for f in update.files])
        self.assertEqual(update.id, update.request)
        return update

    def requests_upstream(self, server):
        return [f.body for f in server.frames() if f.name == "ARQ_UPDATE"]

    def test_ten_agents_asking_at_once_share_one_download(self):
        repo = Repository([300000, 1, 70000])
        server, d, port = self.start_pair({"repository": repo, "hold": True})
        agents = [self.start_agent(port) for _ in range(10)]
        asked = [(a, a.wait_announcement()) for a in agents]
        asked = [(a, ann, a.request(ann)) for a, ann in asked]
        server.wait_count("ARQ_UPDATE", 1)
        # The reply is held until every request has reached the daemon.
        self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) >= 10), d.log[-4000:])
        server.release()
        for agent, announcement, number in asked:
            update = agent.receive(announcement, request=number, timeout=60)
            self.assertTrue(update.ok)
            self.assertEqual(update.data, repo.payload("111"))
            self.assertEqual(update.id, update.request)
        self.assertEqual(self.requests_upstream(server), [b"7 3 111"])

    def test_empty_files_are_downloaded_once_and_served(self):
        # An empty file takes no byte of the body, wherever it stands in the list.
        for files, version in [([0, 100], (2, 9)), ([100, 0], (2, 8)), ([0], (2, 9))]:
            with self.subTest(files=files, version=version):
                repo = Repository(files)
                server, d, port = self.start_pair({"repository": repo, "version": version})
                self.assertEqual(self.fetch(port).data, repo.payload("1" * len(files)))
                self.assertEqual(len(self.requests_upstream(server)), 1)
                self.assertEqual(stored(d.cache_root), {cache_path(repo, f) for f in repo.files})

    def test_a_spoilt_reply_is_never_served_nor_stored(self):
        # Only the files whose bytes arrived whole and right stay in the cache
        # (`kept`); the next request downloads the others. A changed byte in
        # the middle of the reply lies in the second file; half of the body
        # cuts into the second file when sent whole, into the first when its
        # first range of 1000 bytes is cut.
        rows = [("corrupt", [3000, 5000, 2000], (2, 8), [0], b"7 3 011"),
                ("corrupt", [3000, 5000, 2000], (2, 9), [0], b"7 3 011"),
                ("drop", [3000, 5000], (2, 8), [0], b"7 3 01"),
                ("drop", [3000, 5000], (2, 9), [], b"7 3 11")]
        for fault, files, version, kept, asked_again in rows:
            with self.subTest(fault=fault, version=version):
                repo = Repository(files)
                server, d, port = self.start_pair({"repository": repo, "faults": [fault], "version": version,
                                                   "range_size": 1000})
                agent = self.start_agent(port)
                with self.assertRaises(ConnectionClosed):
                    agent.fetch(agent.wait_announcement())
                expected = {cache_path(repo, repo.files[i]) for i in kept}
                self.assertTrue(wait_until(lambda: stored(d.cache_root) == expected), stored(d.cache_root))
                self.assertEqual(self.fetch(port).data, repo.payload("1" * len(files)))
                self.assertEqual(self.requests_upstream(server), [b"7 3 " + b"1" * len(files), asked_again])
                self.assertEqual(stored(d.cache_root), {cache_path(repo, f) for f in repo.files})


if __name__ == "__main__":
    unittest.main()
