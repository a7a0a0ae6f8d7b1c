"""What the start and a reload find that they cannot use costs that entry
alone: a stored file the daemon's user cannot read is downloaded again and
never ends the service, and an administrator's files in a revision stay
until the cleaner takes that revision."""

import os
import pwd
import shutil
import signal
import subprocess
import unittest

import harness
import test_updates
from standin_agent import PeersTestCase
from standin_server import Repository
from test_cache_start import tree_of


def nobody():
    """The uid and gid of an unprivileged user the daemon can run as, or None."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        return None
    try:
        user = pwd.getpwnam("nobody")
    except KeyError:
        return None
    return user.pw_uid, user.pw_gid


class CacheSetAsideTest(PeersTestCase):
    def reload(self, d):
        """A SIGHUP that loads the cache again: the port listened on after it."""
        loaded = "Will use %s as repository root" % d.cache_root
        for _ in range(5):  # a pair still closing may hold the old cache
            mark = d.mark()
            d.signal(signal.SIGHUP)
            d.wait_for(harness.STARTED, since=mark)
            if loaded in d.log[mark:]:
                return d.listen_ports(mark)[-1]
        self.fail("the cache was not loaded again; log:\n" + d.log[-4000:])

    def fetched(self, port, options=""):
        agent = self.start_agent(port, options=options)
        update = agent.fetch(agent.wait_announcement())
        agent.close()
        return update.data

    def test_a_stored_file_its_user_cannot_read_is_downloaded_again_while_running_at_a_reload_and_at_start(self):
        user = nobody()
        if user is None:
            self.skipTest("the daemon runs as another user only when the tests run as root with setpriv")
        repo = Repository([3000, 5000, 7000])
        # Compressed: every reply reads the file from the disk, none keeps a mapping of it.
        server = self.start_server(repository=repo, options="COMP")
        d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])])
        self.addCleanup(d.close)
        probe = subprocess.run(["setpriv", "--reuid=%d" % user[0], "--regid=%d" % user[1], "--clear-groups",
                                "test", "-x", d.argv[0]], timeout=30)
        if probe.returncode != 0:
            self.skipTest("user %d cannot run %s" % (user[0], d.argv[0]))
        os.chown(d.dir, *user)
        os.chown(d.conf, *user)
        d.argv = ["setpriv", "--reuid=%d" % user[0], "--regid=%d" % user[1], "--clear-groups"] + d.argv
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        self.assertEqual(self.fetched(d.listen_ports()[-1], "COMP"), repo.payload("111"))
        leaf = os.path.join(d.cache_root, test_updates.cache_path(repo, repo.files[1]))
        self.assertEqual(os.stat(leaf).st_uid, user[0])
        port = d.listen_ports()[-1]
        warning = "[Repo] File %s cannot be read: it is downloaded again because of Permission denied" % leaf
        for step in ("running", "SIGHUP", "start"):
            with self.subTest(step):
                os.chmod(leaf, 0)
                mark = d.mark()
                if step == "SIGHUP":
                    port = self.reload(d)
                elif step == "start":
                    port = d.restart()
                data = self.fetched(port, "COMP")
                self.assertEqual(d.messages("wrn", mark).count(warning), 1, d.log[mark:][-4000:])
                self.assertEqual(data, repo.payload("111"), d.log[-4000:])
                self.assertTrue(d.alive())
                # Only the file it could not read, and that once.
                asked = [f.body for f in server.frames() if f.name == "ARQ_UPDATE"]
                self.assertEqual(asked[-1], b"7 3 010", asked)
                self.assertEqual(os.stat(leaf).st_mode & 0o777, 0o644)
        self.assertEqual(server.count("ARQ_UPDATE"), 4)

    def test_a_revision_holding_an_administrators_files_stays_and_one_of_the_caches_leftovers_goes(self):
        repo = Repository([3000])
        server = self.start_server(repository=repo)
        d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])])
        self.addCleanup(d.close)
        admin = {"upd/5/notes.txt": b"what was done on the 5th", "upd/4/backup/important.db": b"SQLite format 3"}
        # A file cut short keeps its stored name: only the cache's own leftovers.
        cut = "upd/2/~f.bin~" + repo.files[0].md5

        def plant():
            for path, data in list(admin.items()) + [(cut, repo.files[0].data[:1000])]:
                os.makedirs(os.path.dirname(os.path.join(d.cache_root, path)), exist_ok=True)
                with open(os.path.join(d.cache_root, path), "wb") as f:
                    f.write(data)
            os.makedirs(os.path.join(d.cache_root, "upd/3"), exist_ok=True)

        os.mkdir(d.cache_root, 0o700)
        plant()
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        port = d.listen_ports()[-1]
        for step in ("start", "SIGHUP"):
            with self.subTest(step):
                if step == "SIGHUP":
                    plant()
                    port = self.reload(d)
                self.assertEqual(self.fetched(port), repo.payload("1"))
                stored = tree_of(os.path.join(d.cache_root, "upd"))
                self.assertEqual({p: stored.get(p) for p in ("5/notes.txt", "4/backup/important.db")},
                                 {p[4:]: data for p, data in admin.items()})
                self.assertEqual(sorted(stored), ["4", "4/backup", "4/backup/important.db", "5", "5/notes.txt"])
                self.assertTrue(d.alive())


if __name__ == "__main__":
    unittest.main()
