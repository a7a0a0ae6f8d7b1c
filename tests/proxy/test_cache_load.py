"""The start-up load: names holding '~' are found again after restarts, what
no layout made (a directory where a stored file was) never refuses a list, a root
whose directories others may write into is refused whole, a bind mount in
a revision stays whole where a system-call filter refuses statx, a stored file
its user cannot read costs its own download, a directory it cannot look into
is left as it is while the rest is served, and an administrator's files in a
revision stay until the cleaner takes it."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile

import harness
import test_cache_start
import test_updates
from standin_agent import PeersTestCase
from standin_server import Repository
from test_cache_start import tree_of

STATX = {"x86_64": 332, "aarch64": 291}.get(os.uname().machine)
# Runs argv[2:] with statx answered by EPERM, as a container runtime's filter does.
WITHOUT_STATX = r"""
import ctypes, os, struct, sys
code = [(0x20, 0, 0, 0), (0x15, 0, 1, int(sys.argv[1])), (0x06, 0, 0, 0x50001), (0x06, 0, 0, 0x7fff0000)]
prog = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *c) for c in code))
libc, no = ctypes.CDLL(None, use_errno=True), ctypes.c_ulong(0)
if libc.prctl(38, ctypes.c_ulong(1), no, no, no) or libc.prctl(
        22, ctypes.c_ulong(2), struct.pack("HxxxxxxP", len(code), ctypes.addressof(prog)), no, no):
    sys.exit("seccomp: " + os.strerror(ctypes.get_errno()))
os.execv(sys.argv[2], sys.argv[2:])
"""


class CacheLoadTest(PeersTestCase):
    mount, store = test_cache_start.CacheStartTest.mount, test_cache_start.CacheStartTest.store

    def reload(self, d):
        """A SIGHUP that loads the cache again (a closing pair may hold the old one): the port after it."""
        for _ in range(5):
            mark = d.mark()
            d.signal(signal.SIGHUP)
            d.wait_for(harness.STARTED, since=mark)
            if "Will use %s as repository root" % d.cache_root in d.log[mark:]:
                self.reloaded = mark  # every reload tells what it cannot look through: this one's lines start here
                return d.listen_ports(mark)[-1]
        self.fail("the cache was not loaded again; log:\n" + d.log[-4000:])

    def test_names_holding_tildes_are_served_from_the_cache_after_restarts(self):
        # The last four share their leaf with another name: only the leaf matches them.
        names = ["x~y.bin", "t/u~v/w.bin", "m/n/o~p.bin", "a~b/c.bin", "~/e.bin", "/abs.bin", "~f~/g/h~.bin"]
        files = [(n, b"%d" % i * (3000 + i)) for i, n in enumerate(names)]
        server = self.start_server(repository=Repository(files))
        d, port = self.start_relay(server)
        # Stored, found again in its own revision, then linked into a newer one.
        for n, revision in enumerate((7, 7, 8)):
            server.repository = repo = Repository(files, revision=revision)
            port = d.restart() if n else port
            for _ in range(2):
                agent = self.start_agent(port)
                update = agent.fetch(agent.wait_announcement())
                self.assertEqual(update.data, repo.payload("1" * len(names)), d.log[-3000:])
                agent.close()
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertNotIn("Refused file", d.log)
        for revision in ("7", "8"):  # the layout's leaves, and nothing linked or written beside them
            stored = tree_of(os.path.join(d.cache_root, repo.name, revision))
            self.assertEqual({p for p, data in stored.items() if data is not None},
                             {(f.name.replace("/", "~", 1) if "/" in f.name else "~" + f.name) + "~" + f.md5
                              for f in repo.files})

    def test_names_whose_directory_pieces_end_in_a_tilde_are_found_again_after_restarts(self):
        # The only files of their revision: not found, it would go whole at the start.
        files = [("a/b~/c.bin", b"c" * 3000), ("u/v~/~w/x.bin", b"x" * 4000)]
        server = self.start_server(repository=Repository(files))
        d, port = self.start_relay(server)
        for run in range(3):
            port = d.restart() if run else port
            agent = self.start_agent(port)
            self.assertEqual(agent.fetch(agent.wait_announcement()).data, server.repository.payload("11"))
            agent.close()
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertNotIn("Empty directory in repo", d.log)

    def test_a_directory_where_a_stored_file_was_is_removed_when_the_file_is_downloaded_again(self):
        # The load takes no file below it for a stored file of the leaf's
        # name: nothing it finds there refuses the server's list.
        repo = Repository([3000, 5000, 7000, 9000])
        for reload in ("SIGHUP", "restart"):
            with self.subTest(reload=reload):
                server, d, port = self.start_pair({"repository": repo})
                agent = self.start_agent(port)
                self.assertEqual(agent.fetch(agent.wait_announcement()).data, repo.payload("1111"))
                agent.close()
                leaf = os.path.join(d.cache_root, test_updates.cache_path(repo, repo.files[0]))
                os.unlink(leaf)
                os.mkdir(leaf)
                with open(os.path.join(leaf, "inner"), "wb") as f:
                    f.write(b"not the stored file")
                port = self.reload(d) if reload == "SIGHUP" else d.restart()
                agent = self.start_agent(port)
                self.assertEqual(agent.fetch(agent.wait_announcement()).data, repo.payload("1111"), d.log[-4000:])
                self.assertEqual([f.body for f in server.frames() if f.name == "ARQ_UPDATE"], [b"7 3 1111", b"7 3 1000"])
                removed = '[Repo] Removed a directory "%s" where the cache keeps a file' % leaf
                # Logged before the reply, but read from the daemon's pipe on a thread of the test's own.
                d.wait_for(removed)
                self.assertIn(removed, d.messages("wrn"))
                with open(leaf, "rb") as f:
                    self.assertEqual(f.read(), repo.files[0].data)
                self.assertNotIn("Refused file", d.log)

    def start_as_nobody(self, server):
        """A daemon relaying to `server` as user nobody, whom modes bind as they do not bind root: (daemon, port)."""
        d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])])
        self.addCleanup(d.close)
        d.argv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + d.argv
        runs = shutil.which("setpriv") and subprocess.run(d.argv[:4] + ["test", "-x", d.argv[4]]).returncode == 0
        if os.geteuid() or not runs:
            self.skipTest("runs as nobody only under root, with setpriv, from a path nobody can reach")
        nobody = pwd.getpwnam("nobody")
        os.chown(d.dir, nobody.pw_uid, nobody.pw_gid)
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        return d, d.listen_ports()[-1]

    def test_a_stored_file_its_user_cannot_read_is_downloaded_again_while_running_at_a_reload_and_at_start(self):
        repo = Repository([3000, 5000, 7000])
        # Compressed: every reply reads the file from the disk, none keeps a mapping of it.
        server = self.start_server(repository=repo, options="COMP")
        d, port = self.start_as_nobody(server)
        nobody = pwd.getpwnam("nobody")
        leaf = os.path.join(d.cache_root, test_updates.cache_path(repo, repo.files[1]))
        warning = "[Repo] File %s cannot be read: it is downloaded again because of Permission denied" % leaf
        for step in ("stored", "running", "SIGHUP", "start"):
            with self.subTest(step):
                if step != "stored":
                    os.chmod(leaf, 0)
                mark = d.mark()
                port = self.reload(d) if step == "SIGHUP" else d.restart() if step == "start" else port
                agent = self.start_agent(port, options="COMP")
                self.assertEqual(agent.fetch(agent.wait_announcement()).data, repo.payload("111"), d.log[-4000:])
                # Only the file it could not read is downloaded again, with one WARNING.
                self.assertEqual(d.messages("wrn", mark).count(warning), int(step != "stored"))
                asked = [f.body for f in server.frames() if f.name == "ARQ_UPDATE"]
                self.assertEqual(asked[-1], b"7 3 111" if step == "stored" else b"7 3 010", asked)
                self.assertEqual((os.stat(leaf).st_uid, os.stat(leaf).st_mode & 0o777), (nobody.pw_uid, 0o644))
        self.assertEqual(server.count("ARQ_UPDATE"), 4)

    def test_directories_it_cannot_look_into_are_left_as_they_are_and_the_rest_is_served_from_the_cache(self):
        keys = [("upd", 7), ("upd", 8), ("upd", 9), ("other", 7)]
        # Contents of their own: no file is linked from another revision.
        repos = {(n, r): Repository([("top.bin", b"%s %d " % (n.encode(), r) * 500), ("a/b/c.bin", b"c%d" % r * 900)],
                                    name=n, revision=r) for n, r in keys}
        server = self.start_server()
        d, port = self.start_as_nobody(server)

        def fetch(port, key, mask="11"):
            server.repository = repos[key]
            agent = self.start_agent(port)
            self.assertEqual(agent.fetch(agent.wait_announcement(), mask).data, repos[key].payload(mask), d.log[-4000:])
            agent.close()

        for key in keys:
            fetch(port, key)
        # A revision, and a directory inside another one, as a stray chmod leaves them.
        hidden = [os.path.join(d.cache_root, p) for p in ("upd/7", "upd/8/a~b")]
        modes = [os.stat(p).st_mode & 0o7777 for p in hidden]
        whole = tree_of(d.cache_root)
        for step in ("SIGHUP", "start", "modes given back"):
            with self.subTest(step):
                back = step == "modes given back"
                for path, mode in zip(hidden, modes):
                    os.chmod(path, mode if back else 0)
                mark = d.mark()
                port = d.restart() if step == "start" else self.reload(d)
                since = mark if step == "start" else self.reloaded
                left = [m for m in d.messages("wrn", since) if "is not loaded and is left as it is" in m]
                self.assertEqual(left, [] if back else
                                 ["[Repo] %s is not loaded and is left as it is because of " % p for p in hidden])
                for key in keys if back else keys[1:]:  # the rest of revision 8 as well
                    fetch(port, key, "11" if back or key != ("upd", 8) else "10")
                self.assertEqual(server.count("ARQ_UPDATE"), len(keys))
                self.assertEqual(tree_of(d.cache_root), whole)

    def test_a_revision_given_its_mode_back_is_served_after_a_reload_that_goes_on_with_the_cache_in_use(self):
        stored = Repository([3000, 5000])
        # Stored while the next reload comes: its pair holds the cache of the previous configuration.
        holding = Repository([("f%d" % i, b"x") for i in range(50000)], name="many", revision=9)
        server = self.start_server(repository=stored)
        d, port = self.start_as_nobody(server)
        agent = self.start_agent(port)
        self.assertEqual(agent.fetch(agent.wait_announcement()).data, stored.payload("11"))
        agent.close()
        revision = os.path.join(d.cache_root, stored.name, "7")
        mode = os.stat(revision).st_mode & 0o7777
        os.chmod(revision, 0)
        mark = d.mark()
        port = self.reload(d)
        self.assertIn("[Repo] %s is not loaded and is left as it is because of " % revision, d.messages("wrn", mark))
        os.chmod(revision, mode)
        server.repository = holding
        mark = d.mark()
        self.start_agent(port)
        d.wait_for("New repository entity created for many/9", since=mark)
        mark = d.mark()
        d.signal(signal.SIGHUP)
        d.wait_for(harness.STARTED, since=mark)
        self.assertIn("Cache of %s still in use: kept for the new configuration" % d.cache_root, d.log[mark:])
        server.repository = stored
        agent = self.start_agent(d.listen_ports(mark)[-1])
        self.assertEqual(agent.fetch(agent.wait_announcement()).data, stored.payload("11"), d.log[-4000:])
        self.assertEqual(server.count("ARQ_UPDATE"), 1)

    def test_a_revision_of_an_administrators_files_stays_and_one_of_the_caches_leftovers_goes(self):
        repo = Repository([3000])
        server, d, port = self.start_pair({"repository": repo})
        admin = {"5/notes.txt": b"what was done on the 5th", "4/backup/important.db": b"SQLite format 3"}
        # A stored file cut short is the cache's own leftover; so is an empty revision.
        planted = dict(admin, **{"2/~f.bin~" + repo.files[0].md5: b"cut short"})
        for step in ("start", "SIGHUP"):
            with self.subTest(step):
                os.makedirs(os.path.join(d.cache_root, "upd/3"), exist_ok=True)
                for path, data in planted.items():
                    os.makedirs(os.path.dirname(os.path.join(d.cache_root, "upd", path)), exist_ok=True)
                    with open(os.path.join(d.cache_root, "upd", path), "wb") as f:
                        f.write(data)
                d.restart() if step == "start" else self.reload(d)
                self.assertEqual(tree_of(os.path.join(d.cache_root, "upd")),
                                 dict(admin, **{"4": None, "4/backup": None, "5": None}))

    def test_directories_other_users_may_write_into_are_looked_through_before_anything_is_removed(self):
        upstream = self.hold_server()
        for modes in ((0o775, 0o755), (0o755, 0o775), (0o2775, 0o2775)):
            with self.subTest(modes=" ".join(map(oct, modes))):
                d = harness.Daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
                self.addCleanup(d.close)
                os.makedirs(os.path.join(d.cache_root, "docs", "manuals"))
                os.chmod(d.cache_root, 0o700)
                with open(os.path.join(d.cache_root, "docs/manuals/handbook.pdf"), "wb") as f:
                    f.write(b"%PDF-1.7 the handbook")
                for path, mode in zip(("docs", "docs/manuals"), modes):
                    os.chmod(os.path.join(d.cache_root, path), mode)
                before = tree_of(d.cache_root)
                d.start()
                d.wait_for("Service failed because of")
                self.assertExit(d, 1)
                self.assertIn("refused: revision directory %s/docs/manuals is not named by a number" % d.cache_root,
                              "\n".join(d.messages("ERR")))
                self.assertEqual(tree_of(d.cache_root), before)

    def test_a_bind_mount_in_a_revision_stays_whole_where_statx_is_refused(self):
        if os.geteuid() != 0 or STATX is None:
            self.skipTest("mounting needs root, and the filter statx's number on this machine")
        probe = "import ctypes; exit(ctypes.CDLL(None).statx(-100, b'/', 0, 0, ctypes.create_string_buffer(256)) != -1)"
        filtered = subprocess.run([sys.executable, "-c", WITHOUT_STATX, str(STATX), sys.executable, "-c", probe],
                                  stderr=subprocess.PIPE, text=True, timeout=30)
        if filtered.stderr.startswith("seccomp: "):
            self.skipTest("no system-call filter here: " + filtered.stderr.strip())
        self.assertEqual(filtered.returncode, 0, "statx still answers under the filter")
        outside = tempfile.mkdtemp(prefix="velmod-proxy-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        os.mkdir(os.path.join(outside, "sub"))
        for name in ("precious", "sub/kept", "~f.bin~" + "0" * 32):
            with open(os.path.join(outside, name), "w") as f:
                f.write("not the cache's: " + name)
        whole = tree_of(outside)
        d = harness.Daemon(listens=[(harness.listen_spec(0), [self.start_server().spec])],
                           env=harness.limits_env(cache_clean_period_ms=200))
        d.argv = [sys.executable, "-c", WITHOUT_STATX, str(STATX)] + d.argv
        self.addCleanup(d.close)
        os.mkdir(d.cache_root, 0o700)
        for revision in (1, 2, 3, 4):
            self.store(d.cache_root, "upd", revision, b"stored %d" % revision)
        for revision in (1, 4):  # the oldest goes at the first clean, the newest stays
            self.mount(outside, os.path.join(d.cache_root, "upd/%d/bound" % revision))
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        d.wait_for('Revision directory "%s/upd/1" cannot be removed and is left as it is' % d.cache_root)
        self.assertEqual(tree_of(outside), whole)
        self.assertEqual(os.listdir(os.path.join(d.cache_root, "upd/1")), ["bound"])
        self.assertNotIn("/bound/", "\n".join(line for line in d.log.splitlines() if "file context" in line))
