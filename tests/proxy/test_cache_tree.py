"""What the daemon (running as root) does with a cache tree that a hostile
local user has prepared: links and other obstructions in it are never
followed, written through or served, and a root that others control is
refused."""

import fcntl
import os
import shutil
import struct
import signal
import tempfile
import unittest

import harness
import test_updates
from harness import wait_until
from standin_agent import PeersTestCase
from standin_server import Repository

AS_ROOT = os.geteuid() == 0
NOBODY = 65534


def set_immutable(path, on):
    """Sets or clears the immutable flag; False where the file system has none."""
    get_flags, set_flags, immutable = 0x80086601, 0x40086602, 0x10
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        flags = struct.unpack("i", fcntl.ioctl(fd, get_flags, b"\0" * 4))[0]
        flags = flags | immutable if on else flags & ~immutable
        fcntl.ioctl(fd, set_flags, struct.pack("i", flags))
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def links_below(root):
    """Every symbolic link under `root`, as a path relative to it."""
    found = []
    for directory, dirs, names in os.walk(root):
        found += [os.path.relpath(os.path.join(directory, n), root)
                  for n in dirs + names if os.path.islink(os.path.join(directory, n))]
    return found


class Outside:
    """A directory outside every cache root: a file and a directory that a
    planted link points at, with what they held at the start."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="velmod-proxy-outside-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.file = os.path.join(self.dir, "victim")
        self.subdir = os.path.join(self.dir, "victim-dir")
        os.mkdir(self.subdir)
        self.put(b"precious bytes that no download may replace\n")

    def put(self, data):
        with open(self.file, "wb") as f:
            f.write(data)
        self.content = data

    def unchanged(self):
        with open(self.file, "rb") as f:
            return f.read() == self.content and os.listdir(self.subdir) == []


class CacheTreeTest(PeersTestCase):
    def leaf(self, d, repo, i):
        return os.path.join(d.cache_root, test_updates.cache_path(repo, repo.files[i]))

    def fetch_all(self, port, repo):
        agent = self.start_agent(port)
        update = agent.fetch(agent.wait_announcement())
        self.assertTrue(update.ok, [(f.name, f.ok) for f in update.files])
        self.assertEqual(update.data, repo.payload("1" * len(repo.files)))

    def announced(self, port, d, repo):
        """An agent that has the announcement, once the revision directory stands."""
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        revision = os.path.join(d.cache_root, repo.name, str(repo.revision))
        self.assertTrue(wait_until(lambda: os.path.isdir(revision)), d.log[-3000:])
        return agent, announcement

    def test_links_at_a_temporary_name_and_at_a_repository_directory_are_never_written_through(self):
        for case in ("temporary name", "repository directory"):
            with self.subTest(case):
                outside = Outside(self)
                repo = Repository([3000, 5000])
                server, d, port = self.start_pair({"repository": repo})
                if case == "temporary name":
                    os.makedirs(os.path.join(d.cache_root, repo.name, str(repo.revision)))
                    os.symlink(outside.file, self.leaf(d, repo, 0) + "~")
                else:
                    os.symlink(outside.subdir, os.path.join(d.cache_root, repo.name))
                self.fetch_all(port, repo)
                self.assertTrue(outside.unchanged(), os.listdir(outside.subdir))
                self.assertEqual(links_below(d.cache_root), [])
                for i in range(len(repo.files)):
                    with open(self.leaf(d, repo, i), "rb") as f:
                        self.assertEqual(f.read(), repo.files[i].data)
                # The log is read beside the daemon: its line may still be on the way.
                wait_until(lambda: any("link" in m for m in d.messages("wrn")))
                warnings = [m for m in d.messages("wrn") if "link" in m]
                self.assertEqual(len(warnings), 1, warnings)

    def test_a_stored_leaf_that_is_a_link_is_removed_and_downloaded_again(self):
        outside = Outside(self)
        repo = Repository([3000, 5000])
        server = self.start_server(repository=repo)
        # The link's target holds the right bytes when the tree is loaded,
        # other ones (of the same size) when an agent asks.
        outside.put(repo.files[0].data)
        d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])])
        self.addCleanup(d.close)
        os.makedirs(os.path.dirname(self.leaf(d, repo, 0)))
        os.symlink(outside.file, self.leaf(d, repo, 0))
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        outside.put(bytes(b ^ 0x5A for b in repo.files[0].data))
        self.fetch_all(d.listen_ports()[0], repo)
        self.assertEqual([f.body for f in server.frames() if f.name == "ARQ_UPDATE"], [b"7 3 11"])
        self.assertTrue(outside.unchanged())
        self.assertFalse(os.path.islink(self.leaf(d, repo, 0)))
        wait_until(lambda: any("link" in m for m in d.messages("wrn")))
        warnings = [m for m in d.messages("wrn") if "link" in m]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn(self.leaf(d, repo, 0), warnings[0])

    def test_a_directory_at_a_leaf_or_a_temporary_name_is_removed_and_the_file_stored(self):
        outside = Outside(self)
        repo = Repository([3000, 5000])
        server, d, port = self.start_pair({"repository": repo})
        agent, announcement = self.announced(port, d, repo)
        # Directories with content, one holding links out of the root: they
        # go without anything outside being touched.
        for path in (self.leaf(d, repo, 0), self.leaf(d, repo, 1) + "~"):
            os.makedirs(os.path.join(path, "inner"))
            with open(os.path.join(path, "inner", "file"), "wb") as f:
                f.write(b"x")
            os.symlink(outside.file, os.path.join(path, "inner", "to-file"))
            os.symlink(outside.subdir, os.path.join(path, "to-dir"))
        update = agent.fetch(announcement)
        self.assertTrue(update.ok, d.log[-3000:])
        self.assertTrue(outside.unchanged())
        for i in range(len(repo.files)):
            with open(self.leaf(d, repo, i), "rb") as f:
                self.assertEqual(f.read(), repo.files[i].data)
        self.assertFalse(os.path.exists(self.leaf(d, repo, 1) + "~"))
        self.assertEqual([m for m in d.messages("ERR") if "Thread failed" in m], [])
        # The log is read beside the daemon: its lines may still be on the way.
        wait_until(lambda: len([m for m in d.messages("wrn") if "directory" in m]) >= 2)
        self.assertEqual(len([m for m in d.messages("wrn") if "directory" in m]), 2, d.messages("wrn"))
        # Served again from the cache, with no second download.
        self.fetch_all(port, repo)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)

    def test_what_cannot_be_cleared_fails_that_file_alone_and_its_agent_waits_connected(self):
        repo = Repository([3000, 5000])
        server, d, port = self.start_pair({"repository": repo})
        agent, announcement = self.announced(port, d, repo)
        blocked = self.leaf(d, repo, 0)
        os.makedirs(blocked)
        if not set_immutable(blocked, True):
            self.skipTest("no immutable flag on this file system")
        self.addCleanup(set_immutable, blocked, False)
        number = agent.request(announcement)
        stuck = "File %s cannot be stored, its download failed because of" % repo.files[0].name
        d.wait_for(stuck)
        # The agent is still there, and its relay works.
        agent.send("NOTE", b"still%Sthere")
        self.assertEqual(agent.expect("NOTE").args, b"still%Sthere")
        self.assertEqual([m for m in d.messages("ERR") if "Thread failed" in m], [])
        with open(self.leaf(d, repo, 1), "rb") as f:
            self.assertEqual(f.read(), repo.files[1].data)
        # Cleared: the next attempt stores the file, and the agent gets it.
        set_immutable(blocked, False)
        update = agent.receive(announcement, request=number, timeout=60)
        self.assertTrue(update.ok)
        with open(blocked, "rb") as f:
            self.assertEqual(f.read(), repo.files[0].data)


class RootRefusal:
    """For tests of a start that must refuse its cache root."""

    def refused(self, d, reason):
        d.wait_for("Service failed because of")
        self.assertExit(d, 1)
        errors = "\n".join(d.messages("ERR"))
        self.assertIn("cache root", errors)
        self.assertIn(reason, errors)
        self.assertNotIn(harness.STARTED, d.log)


class CacheRootTest(RootRefusal, PeersTestCase):

    def test_a_root_that_other_users_control_is_refused_at_start(self):
        upstream = self.hold_server()
        rows = [("writable by others", None, 0o777, "may write into it"),
                ("a regular file", None, None, "not a directory")]
        if AS_ROOT:
            rows += [("owned by another user", NOBODY, 0o700, "owned by user %d" % NOBODY),
                     ("a link owned by another user", "link", 0o700, "symbolic link")]
        else:
            print("skipped: roots owned by another user need root to be made")
        for case, owner, mode, reason in rows:
            with self.subTest(case):
                d = harness.Daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
                self.addCleanup(d.close)
                if mode is None:
                    open(d.cache_root, "w").close()
                elif owner == "link":
                    target = os.path.join(d.dir, "real-root")
                    os.mkdir(target, mode)
                    os.symlink(target, d.cache_root)
                    os.lchown(d.cache_root, NOBODY, NOBODY)
                else:
                    os.mkdir(d.cache_root)
                    os.chmod(d.cache_root, mode)
                    if owner is not None:
                        os.chown(d.cache_root, owner, owner)
                d.start()
                self.refused(d, reason)

    def test_a_missing_root_is_made_private_and_a_root_opened_to_others_ends_the_service_at_reload(self):
        upstream = self.hold_server()
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
        d.wait_started()
        self.assertEqual(os.stat(d.cache_root).st_mode & 0o777, 0o700)
        os.chmod(d.cache_root, 0o757)
        since = d.mark()
        d.signal(signal.SIGHUP)
        d.wait_for("Service failed because of", since=since)
        self.assertExit(d, 1)
        self.assertIn("may write into it", "\n".join(d.messages("ERR", since)))


if __name__ == "__main__":
    unittest.main()
