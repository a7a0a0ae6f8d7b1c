"""Announced names whose stored paths would clash as a file and a directory,
through the real daemon: `a/b` is stored as `a~b~M`, so `a/b~M/c` needs that
place as a directory (and `a/b~M~/c` needs the download's temporary file as
one). Such a list is refused like two files sharing one path, whichever
comes first: an ERROR names both files and no download is ever asked for."""

import hashlib
import unittest

from harness import wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository

FIRST = b"first file"
SECOND = b"the file below it"
MD5 = hashlib.md5(FIRST).hexdigest()


class ClashingPathsTest(PeersTestCase):
    def test_a_file_and_a_directory_at_one_place_refuse_the_list(self):
        for below in ("a/b~%s/c" % MD5, "a/b~%s~/c" % MD5):
            for files in ([("a/b", FIRST), (below, SECOND)], [(below, SECOND), ("a/b", FIRST)]):
                with self.subTest(files=[f[0] for f in files]):
                    self.refused(files)

    def refused(self, files):
        server, d, port = self.start_pair({"repository": Repository(files)})
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        # The list reaches the agent, but the cache holds none it could match.
        with self.assertRaises(ConnectionClosed):
            agent.fetch(announcement, timeout=10)
        refusals = lambda: [m for m in d.messages("ERR") if "[Repo] Refused file" in m]
        self.assertTrue(wait_until(refusals), d.log[-4000:])
        self.assertTrue(all('"%s"' % name in refusals()[0] for name, _ in files), refusals())
        self.assertEqual(server.count("ARQ_UPDATE"), 0)
        self.assertEqual(d.count("where the cache keeps a"), 0)
        # The daemon goes on: a list without the clash is served.
        good = Repository([("a/b", FIRST), ("a/d/c", SECOND)], revision=8)
        server.repository = good
        again = self.start_agent(port)
        update = again.fetch(again.wait_announcement(), timeout=10)
        self.assertEqual(update.data, FIRST + SECOND)


if __name__ == "__main__":
    unittest.main()
