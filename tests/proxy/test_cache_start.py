"""What the start makes of the tree it finds at the cache root: every file
the cache stored is found again, what is mounted in it is never emptied and
never stops the start, a root that holds other data is refused with nothing
removed, and a root too long to store anything is refused at start."""

import ctypes
import hashlib
import os
import shutil
import tempfile
import unittest

import harness
from harness import limits_env
from standin_agent import PeersTestCase
from standin_server import Repository

AS_ROOT = os.geteuid() == 0
ALICE = 1234
MS_BIND = 4096
MNT_DETACH = 2
_libc = ctypes.CDLL(None, use_errno=True)


def tree_of(top):
    """Every entry below `top` with its content (None for a directory or link)."""
    found = {}
    for directory, dirs, names in os.walk(top):
        for n in dirs + names:
            path = os.path.join(directory, n)
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    found[os.path.relpath(path, top)] = f.read()
            else:
                found[os.path.relpath(path, top)] = None
    return found


class CacheStartTest(PeersTestCase):
    def mount(self, source, target, fstype=None):
        """Mounts `source` (bound when fstype is None) on `target`, unmounted at cleanup."""
        os.makedirs(target, exist_ok=True)
        flags = MS_BIND if fstype is None else 0
        if _libc.mount(source.encode(), target.encode(), fstype and fstype.encode(), flags, None) != 0:
            self.skipTest("cannot mount here: %s" % os.strerror(ctypes.get_errno()))
        self.addCleanup(_libc.umount2, target.encode(), MNT_DETACH)

    def store(self, root, repository, revision, data):
        """A file the cache stored in root/repository/revision, as it names it."""
        leaf = "~f.bin~" + hashlib.md5(data).hexdigest()
        os.makedirs(os.path.join(root, repository, str(revision)), exist_ok=True)
        with open(os.path.join(root, repository, str(revision), leaf), "wb") as f:
            f.write(data)

    def test_what_is_mounted_in_a_revision_is_never_emptied_and_never_stops_the_start(self):
        if not AS_ROOT:
            self.skipTest("mounting needs root")
        outside = tempfile.mkdtemp(prefix="velmod-proxy-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        os.mkdir(os.path.join(outside, "sub"))
        for name in ("precious", "sub/kept"):
            with open(os.path.join(outside, name), "wb") as f:
                f.write(b"not the cache's: " + name.encode())
        whole = tree_of(outside)
        server = self.start_server()
        d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])],
                           env=limits_env(cache_clean_period_ms=200))
        self.addCleanup(d.close)
        os.mkdir(d.cache_root, 0o700)
        # Revision 1 of four goes at the first clean; "empty" ones at the start.
        for revision in (1, 2, 3, 4):
            self.store(d.cache_root, "upd", revision, b"stored %d" % revision)
        mounts = {"upd/1/bound": None, "empty/5/bound": None, "empty/6/tmp": "tmpfs"}
        for place, fstype in mounts.items():
            self.mount(outside if fstype is None else "none", os.path.join(d.cache_root, place), fstype)
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        for revision in ("empty/5", "empty/6"):
            d.wait_for("Revision directory \"%s\" cannot be removed and is left as it is"
                       % os.path.join(d.cache_root, revision))
        self.assertEqual(tree_of(outside), whole)
        d.wait_for("Revision directory \"%s\" cannot be removed and is left as it is"
                   % os.path.join(d.cache_root, "upd/1"))
        self.assertEqual(tree_of(outside), whole)
        self.assertEqual(os.listdir(os.path.join(d.cache_root, "upd/1")), ["bound"])
        self.assertTrue(d.alive())

    def test_a_root_that_holds_other_data_is_refused_with_nothing_removed(self):
        if not AS_ROOT:
            self.skipTest("another user's entries need root to be made")
        upstream = self.hold_server()
        cases = [("another user's", ["alice"], "/alice in it belongs to user %d" % ALICE),
                 ("not a number", ["apt"], "/apt/archives is not named by a number"),
                 ("both", ["alice", "apt"], "refused: ")]
        for case, layout, reason in cases:
            with self.subTest(case):
                d = harness.Daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
                self.addCleanup(d.close)
                os.mkdir(d.cache_root, 0o700)
                with open(os.path.join(d.cache_root, "notes"), "w") as f:
                    f.write("a file at the top")
                os.symlink("/etc", os.path.join(d.cache_root, "link"))
                if "alice" in layout:
                    os.makedirs(os.path.join(d.cache_root, "alice", "1"))
                    with open(os.path.join(d.cache_root, "alice", "1", "photo.jpg"), "wb") as f:
                        f.write(b"\xff\xd8 alice's photo")
                    for path in ("alice", "alice/1", "alice/1/photo.jpg"):
                        os.lchown(os.path.join(d.cache_root, path), ALICE, ALICE)
                if "apt" in layout:
                    os.makedirs(os.path.join(d.cache_root, "apt", "archives", "partial"))
                    with open(os.path.join(d.cache_root, "apt", "archives", "lock"), "w") as f:
                        f.write("")
                before = tree_of(d.cache_root)
                d.start()
                d.wait_for("Service failed because of")
                self.assertExit(d, 1)
                errors = "\n".join(d.messages("ERR"))
                self.assertIn("cache root %s refused: " % d.cache_root, errors)
                self.assertIn(reason, errors)
                self.assertEqual(tree_of(d.cache_root), before)

    def test_files_stored_below_a_directory_of_their_revision_are_found_again_after_a_restart(self):
        # Two and three slashes: one and two directories below the revision.
        repo = Repository([("a/b/one.bin", b"1" * 3000), ("c/d/e/two.bin", b"2" * 5000)])
        server, d, port = self.start_pair({"repository": repo})
        for run in range(2):
            agent = self.start_agent(port)
            update = agent.fetch(agent.wait_announcement())
            self.assertTrue(update.ok, d.log[-3000:])
            self.assertEqual(update.data, repo.payload("11"))
            agent.close()
            if run == 0:
                self.assertEqual(d.stop(), 0, d.log[-4000:])
                mark = d.mark()
                d.start()
                d.wait_for(harness.STARTED, since=mark)
                port = d.listen_ports(mark)[-1]
                self.assertNotIn("Empty directory in repo", d.log[mark:])
        self.assertEqual(server.count("ARQ_UPDATE"), 1)

    def test_a_root_too_long_to_store_anything_is_refused_at_start(self):
        repo = Repository([3000])
        server = self.start_server(repository=repo)
        for length, refused in ((2048, False), (2049, True), (4200, True)):
            with self.subTest(length=length):
                d = harness.Daemon()
                self.addCleanup(d.close)
                # Short directories, each one component of the walk.
                root = d.dir
                while len(root) < length:
                    root += "/" + "d" * min(200, length - len(root) - 1)
                self.assertEqual(len(root), length)
                d.write_config(harness.config_xml([(harness.listen_spec(0), [server.spec])], root))
                d.start()
                if refused:
                    d.wait_for("Service failed because of")
                    self.assertExit(d, 1)
                    self.assertIn("refused: its path has %d bytes, more than the 2048 a cache root may have" % length,
                                  "\n".join(d.messages("ERR")))
                    continue
                d.wait_started()
                agent = self.start_agent(d.listen_ports()[0])
                update = agent.fetch(agent.wait_announcement())
                self.assertTrue(update.ok, d.log[-3000:])
                self.assertEqual(update.data, repo.payload("1"))
                agent.close()
                self.assertStops(d)

if __name__ == "__main__":
    unittest.main()
