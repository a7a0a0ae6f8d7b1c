"""What the start-up load finds again and what it leaves: stored files whose
names hold '~' are served after a restart without a download, a root whose
directories other users may write into is refused whole, and a bind mount
inside a revision stays whole where a system-call filter refuses statx."""

import ctypes
import hashlib
import os
import platform
import shutil
import stat
import subprocess
import sys
import tempfile

import harness
from harness import limits_env
from standin_agent import PeersTestCase
from standin_server import Repository
from test_cache_start import tree_of

_libc = ctypes.CDLL(None, use_errno=True)
MS_BIND = 4096
MNT_DETACH = 2
STATX = {"x86_64": 332, "aarch64": 291}.get(platform.machine())

# Runs the rest of its arguments with statx answered by EPERM, as the filter
# of a container runtime or service manager does.
WITHOUT_STATX = r"""
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
code = [(0x20, 0, 0, 0),                    # load the system call number
        (0x15, 0, 1, int(sys.argv[1])),     # statx?
        (0x06, 0, 0, 0x00050000 | 1),       # answer EPERM
        (0x06, 0, 0, 0x7fff0000)]           # allow the rest
program = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *c) for c in code))
fprog = struct.pack("HxxxxxxP", len(code), ctypes.addressof(program))
none = ctypes.c_ulong(0)
if libc.prctl(38, ctypes.c_ulong(1), none, none, none) or libc.prctl(22, ctypes.c_ulong(2), ctypes.c_char_p(fprog), none, none):
    sys.exit("seccomp: " + os.strerror(ctypes.get_errno()))
os.execv(sys.argv[2], sys.argv[2:])
"""


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

    def test_a_bind_mount_in_a_revision_stays_whole_where_statx_is_refused(self):
        if os.geteuid() != 0:
            self.skipTest("mounting needs root")
        if STATX is None:
            self.skipTest("statx's number on %s is not known here" % platform.machine())
        probe = "import ctypes; c = ctypes.CDLL(None, use_errno=True); " \
                "exit(c.statx(-100, b'/', 0, 0, ctypes.create_string_buffer(256)) != -1 or ctypes.get_errno() != 1)"
        filtered = subprocess.run([sys.executable, "-c", WITHOUT_STATX, str(STATX), sys.executable, "-c", probe],
                                  stderr=subprocess.PIPE, text=True, timeout=30)
        if filtered.stderr.startswith("seccomp: "):
            self.skipTest("no system-call filter here: " + filtered.stderr.strip())
        self.assertEqual(filtered.returncode, 0, "statx still answers under the filter")
        outside = tempfile.mkdtemp(prefix="velmod-proxy-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        os.mkdir(os.path.join(outside, "sub"))
        for name in ("precious", "sub/kept", "~f.bin~" + "0" * 32):
            with open(os.path.join(outside, name), "wb") as f:
                f.write(b"not the cache's: " + name.encode())
        whole = tree_of(outside)
        server = self.start_server()
        d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])],
                           env=limits_env(cache_clean_period_ms=200))
        d.argv = [sys.executable, "-c", WITHOUT_STATX, str(STATX)] + d.argv
        self.addCleanup(d.close)
        os.mkdir(d.cache_root, 0o700)
        for revision in (1, 2, 3, 4):
            place = os.path.join(d.cache_root, "upd", str(revision))
            os.makedirs(place)
            data = b"stored %d" % revision
            with open(os.path.join(place, "~f.bin~" + hashlib.md5(data).hexdigest()), "wb") as f:
                f.write(data)
        for place in ("upd/1/bound", "upd/4/bound"):
            target = os.path.join(d.cache_root, place)
            os.mkdir(target)
            if _libc.mount(outside.encode(), target.encode(), None, MS_BIND, None) != 0:
                self.skipTest("cannot mount here: %s" % os.strerror(ctypes.get_errno()))
            self.addCleanup(_libc.umount2, target.encode(), MNT_DETACH)
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        # Revision 1 of four goes at the first clean, all but what is mounted in it.
        d.wait_for("Revision directory \"%s\" cannot be removed and is left as it is"
                   % os.path.join(d.cache_root, "upd/1"))
        self.assertEqual(tree_of(outside), whole)
        self.assertEqual(os.listdir(os.path.join(d.cache_root, "upd/1")), ["bound"])
        self.assertNotIn("/bound/", "\n".join(line for line in d.log.splitlines() if "file context" in line))
        self.assertTrue(d.alive())
