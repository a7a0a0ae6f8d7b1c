"""What the start-up load finds again and what it leaves: a root whose
directories other users may write into is refused whole."""

import os
import stat

import harness
from standin_agent import PeersTestCase
from test_cache_start import tree_of


def modes_of(top):
    return {path: stat.S_IMODE(os.lstat(os.path.join(top, path)).st_mode) for path in tree_of(top)}


class CacheLoadTest(PeersTestCase):
    def test_directories_other_users_may_write_into_are_looked_through_before_anything_is_removed(self):
        upstream = self.hold_server()
        for docs, manuals in ((0o775, 0o755), (0o755, 0o775), (0o775, 0o775), (0o2775, 0o2775)):
            with self.subTest(docs=oct(docs), manuals=oct(manuals)):
                d = harness.Daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
                self.addCleanup(d.close)
                os.makedirs(os.path.join(d.cache_root, "docs", "manuals"))
                os.chmod(d.cache_root, 0o700)
                with open(os.path.join(d.cache_root, "docs", "manuals", "handbook.pdf"), "wb") as f:
                    f.write(b"%PDF-1.7 the handbook")
                os.chmod(os.path.join(d.cache_root, "docs"), docs)
                os.chmod(os.path.join(d.cache_root, "docs", "manuals"), manuals)
                before, modes = tree_of(d.cache_root), modes_of(d.cache_root)
                d.start()
                d.wait_for("Service failed because of")
                self.assertExit(d, 1)
                self.assertIn("cache root %s refused: revision directory %s/docs/manuals is not named by a number"
                              % (d.cache_root, d.cache_root), "\n".join(d.messages("ERR")))
                self.assertNotIn("Removed ", d.log)
                self.assertEqual(tree_of(d.cache_root), before)
                self.assertEqual(modes_of(d.cache_root), modes)
