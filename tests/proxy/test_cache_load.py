"""What the start-up load finds again and what it leaves: stored files whose
names hold '~' are served after a restart without a download, and a root
whose directories other users may write into is refused whole."""

import os
import stat

import harness
from standin_agent import PeersTestCase
from standin_server import Repository
from test_cache_start import tree_of


def layout_leaf(name, md5):
    """Where the cache stores `name`: its first '/' turned into '~' (or '~' in front), then '~' and the md5."""
    slash = name.find("/")
    return ("~" + name if slash < 0 else name[:slash] + "~" + name[slash + 1:]) + "~" + md5


def modes_of(top):
    return {path: stat.S_IMODE(os.lstat(os.path.join(top, path)).st_mode) for path in tree_of(top)}


class CacheLoadTest(PeersTestCase):
    def restart(self, d, repo, server, agents=2):
        """Restarts `d` with `repo` announced; each agent gets every file of it."""
        server.repository = repo
        port = d.restart()
        for _ in range(agents):
            agent = self.start_agent(port)
            update = agent.fetch(agent.wait_announcement())
            self.assertTrue(update.ok, d.log[-3000:])
            self.assertEqual(update.data, repo.payload("1" * len(repo.files)))
            agent.close()

    def test_names_holding_tildes_are_served_from_the_cache_after_restarts(self):
        # '~' in names one and two directories down, and names whose leaf
        # reads back as another name of the same leaf: only the leaf matches them.
        names = ["x~y.bin", "t/u~v/w.bin", "m/n/o~p.bin", "a~b/c.bin", "~/e.bin", "/abs.bin", "~f~/g/h~.bin"]
        files = [(n, b"%d" % i * (3000 + i)) for i, n in enumerate(names)]
        repo = Repository(files, revision=7)
        server, d, port = self.start_pair({"repository": repo})
        agent = self.start_agent(port)
        update = agent.fetch(agent.wait_announcement())
        self.assertEqual(update.data, repo.payload("1" * len(names)), d.log[-3000:])
        agent.close()
        # The revision that stored them, matched within its own directory;
        # then a newer one, linked from the files loaded.
        self.restart(d, repo, server)
        self.restart(d, Repository(files, name=repo.name, revision=8), server)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertNotIn("Refused file", d.log)
        self.assertNotIn("not stored because of", d.log)
        # Nothing but the layout's leaves: no file linked or written beside them.
        for revision in ("7", "8"):
            top = os.path.join(d.cache_root, repo.name, revision)
            stored = {p for p, data in tree_of(top).items() if data is not None}
            self.assertEqual(stored, {layout_leaf(f.name, f.md5) for f in repo.files})

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
