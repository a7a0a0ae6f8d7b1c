"""The cache root as the daemon (running as root) opens it: every directory
on the way from / is checked, and the cache works where a system-call filter
refuses openat2, as container runtimes and service managers do."""

import errno
import os
import shutil
import sys
import tempfile
import unittest

import harness
import test_updates
from standin_agent import PeersTestCase
from standin_server import Repository
from test_cache_tree import RootRefusal

AS_ROOT = os.geteuid() == 0
NOBODY = 65534

# Run before the daemon's own code: installs a seccomp filter that answers
# openat2 (437 on every architecture that has it) with the errno given as
# the first argument, then becomes the daemon (same process, same pid).
FILTER = r"""
import ctypes, os, struct, sys
error = int(sys.argv[1])
program = b"".join(struct.pack("HBBI", *op) for op in [
    (0x20, 0, 0, 0),                     # load the system call's number
    (0x15, 0, 1, 437),                   # openat2?
    (0x06, 0, 0, 0x00050000 | error),    # answer it with the error
    (0x06, 0, 0, 0x7FFF0000)])           # allow everything else
class fprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_char_p)]
libc = ctypes.CDLL(None, use_errno=True)
prog = fprog(len(program) // 8, program)
if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, ctypes.byref(prog), 0, 0) != 0:
    sys.exit("cannot install the filter: %s" % os.strerror(ctypes.get_errno()))
os.execv(sys.argv[2], sys.argv[2:])
"""

STEP_BY_STEP = "are opened step by step: openat2 is not at hand"


class CacheRootTest(RootRefusal, PeersTestCase):
    def start_with_root(self, upstream, root, filtered=None):
        config = harness.config_xml([(harness.listen_spec(0), [upstream.spec])], cache_root=root)
        d = harness.Daemon(config=config)
        if filtered is not None:
            d.argv = [sys.executable, "-c", FILTER, str(filtered)] + d.argv
        self.addCleanup(lambda: self.assertEqual(d.sanitizer_report(), ""))
        self.addCleanup(d.close)
        return d.start()

    def test_every_directory_on_the_way_to_the_root_is_checked_at_start(self):
        upstream = self.hold_server()
        base = tempfile.mkdtemp(prefix="velmod-proxy-ancestors-")
        self.addCleanup(shutil.rmtree, base, True)
        os.chmod(base, 0o755)
        rows = [("group may write", "shared", 0o775, None, "other users may write into %s/shared on the way" % base),
                ("sticky, as /tmp", "sticky", 0o1777, None, None)]
        if AS_ROOT:
            rows.append(("another user's", "bob", 0o755, NOBODY, "%s/bob on the way to it belongs to user %d"
                         % (base, NOBODY)))
        else:
            print("skipped: a directory of another user needs root to be made")
        for case, name, mode, owner, reason in rows:
            with self.subTest(case):
                parent = os.path.join(base, name)
                os.mkdir(parent)
                os.chmod(parent, mode)
                if owner is not None:
                    os.chown(parent, owner, owner)
                d = self.start_with_root(upstream, os.path.join(parent, "cache"))
                if reason is None:
                    self.addCleanup(self._stop_clean, d)
                    d.wait_started()
                    self.assertEqual(os.stat(os.path.join(parent, "cache")).st_mode & 0o7777, 0o700)
                else:
                    self.refused(d, reason)
                    self.assertFalse(os.path.exists(os.path.join(parent, "cache")))

    def test_files_are_downloaded_and_served_before_and_after_a_restart_where_openat2_is_filtered(self):
        for filtered in (errno.EPERM, errno.ENOSYS, None):
            with self.subTest(openat2=os.strerror(filtered) if filtered else "at hand"):
                repo = Repository([3000, 5000, 7000])
                server = self.start_server(repository=repo)
                root = tempfile.mkdtemp(prefix="velmod-proxy-filtered-")
                self.addCleanup(shutil.rmtree, root, True)
                for run in ("first", "after a restart"):
                    d = self.start_with_root(server, root, filtered)
                    d.wait_started()
                    agent = self.start_agent(d.listen_ports()[-1])
                    update = agent.fetch(agent.wait_announcement())
                    self.assertTrue(update.ok, (run, d.log[-3000:]))
                    self.assertEqual(update.data, repo.payload("111"))
                    self.assertEqual(STEP_BY_STEP in d.log, filtered is not None, d.log[-3000:])
                    agent.close()
                    self.assertEqual(d.stop(), 0, d.log[-3000:])
                    self.assertEqual(d.sanitizer_report(), "")
                # Downloaded once, then served from what the restart loaded.
                self.assertEqual(server.count("ARQ_UPDATE"), 1)
                for f in repo.files:
                    with open(os.path.join(root, test_updates.cache_path(repo, f)), "rb") as stored:
                        self.assertEqual(stored.read(), f.data)


if __name__ == "__main__":
    unittest.main()
