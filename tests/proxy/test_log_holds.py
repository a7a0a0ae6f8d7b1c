"""The log never holds the daemon, nor leads it elsewhere: a large rotated
file packing, a console nobody reads, a log truncated by a rotation tool, and
a log directory another user swaps for a link."""

import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

import harness
from standin_agent import PeersTestCase

AS_ROOT = os.geteuid() == 0
NOBODY = 65534
RECREATED = "[Logger] Log file was suddenly lost"
DROPPED = "[Logger] Console did not take "


def log_like(size):
    """`size` bytes of varied log lines, which level 9 packs at about 16 MB/s."""
    rnd = random.Random(7)
    block = b"".join(b"20240101.120000.%02d inf [ 1234 %5d] Relay  [Proxy] 127.0.0.1:%d sent PING p%d-%d\n"
                     % (rnd.randrange(100), rnd.randrange(99999), rnd.randrange(65535), rnd.randrange(9),
                        rnd.randrange(999)) for _ in range(30000))
    return block * (size // len(block))


def blocked_in_made_threads(pid):
    """The signals that every thread `pid` made blocks (signal N is bit N-1); the first thread
    is left out: /proc shows what it waits for (SIGINT, SIGHUP) unblocked while it waits."""
    common = ~0
    for tid in set(os.listdir("/proc/%d/task" % pid)) - {str(pid)}:
        with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
            common &= int(re.search(r"^SigBlk:\s*(\w+)$", f.read(), re.M).group(1), 16)
    return common


class LogHoldsTest(PeersTestCase):
    def round(self, port, agents=4, commands=20, timeout=1):
        """Each agent's commands relayed and answered within `timeout` seconds."""
        for a in range(agents):
            agent = self.start_agent(port, timeout=timeout)
            for i in range(commands):
                arg = b"r%d-%d" % (a, i)
                agent.send("PING", arg)
                self.assertEqual(agent.expect("PONG").args, arg)
            agent.close()

    def daemon(self, server, log=None, **kwargs):
        """A daemon relaying to `server`, not started; its log file at `log` when given."""
        d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])], **kwargs)
        self.addCleanup(lambda: self.assertEqual(d.sanitizer_report(), ""))
        self.addCleanup(d.close)
        if log is not None:
            d.argv[d.argv.index(d.log_path)] = d.log_path = log
        return d

    def test_packing_a_large_rotated_file_holds_no_relay_nor_stop(self):
        server = self.start_server()
        old = log_like(160 << 20)
        for case, rotation in (("the new file fills", "3z,16k"), ("the log is removed", "3z,10m")):
            with self.subTest(case):
                d = self.daemon(server, log_file=True, args=["--rotate", rotation])
                os.makedirs(os.path.dirname(d.log_path))
                with open(d.log_path, "wb") as f:
                    f.write(old)
                d.start()
                d.wait_started()
                # The start's packer blocks them as the loop's threads do: none of them ends the daemon.
                blocked = blocked_in_made_threads(d.pid)
                for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGUSR1):
                    self.assertTrue(blocked >> (sig - 1) & 1, "%s is not blocked in every thread" % sig.name)
                d.signal(signal.SIGUSR1)
                d.signal(signal.SIGTERM)
                port = d.listen_ports()[-1]
                name = d.log_path[:-len(".log")]
                if case == "the log is removed":
                    os.unlink(d.log_path)
                self.round(port, commands=40)
                if case == "the log is removed":
                    d.wait_for(RECREATED)
                    self.assertTrue(os.path.exists(name + ".1.log.dz"), "the packing runs on")
                else:
                    self.assertTrue(any(os.path.exists(name + ".2.log" + z) for z in ("", ".dz")), "rotated twice")
                d.signal(signal.SIGINT)
                self.assertExit(d, 0, timeout=5)
                if case == "the log is removed":
                    # Stopped, not finished: the rotated file is kept whole, no packed file half written.
                    with open(name + ".1.log", "rb") as f:
                        self.assertEqual(f.read(len(old)), old)
                    self.assertFalse(os.path.exists(name + ".1.log.dz"))

    def test_an_unread_console_holds_no_relay_nor_stop(self):
        server = self.start_server()
        d = self.daemon(server)
        proc = subprocess.Popen(d.argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, cwd=d.dir)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.addCleanup(proc.stderr.close)
        os.set_blocking(proc.stderr.fileno(), False)
        seen = []

        def read():
            """Takes what the console holds; False, so that it goes before a test in wait_until."""
            try:
                while True:
                    chunk = os.read(proc.stderr.fileno(), 65536)
                    if not chunk:
                        return False
                    seen.append(chunk.decode("utf-8", "replace"))
            except BlockingIOError:
                return False

        self.assertTrue(harness.wait_until(lambda: read() or harness.STARTED in "".join(seen), 15))
        port = [int(p) for p in harness._LISTEN_RE.findall("".join(seen))][-1]
        # Read no more: the lines of these commands are many times what the pipe holds.
        self.round(port, commands=100, timeout=5)
        # Read again: the first line the console takes tells how many it dropped.
        read()
        self.round(port, agents=1, commands=5, timeout=5)
        self.assertTrue(harness.wait_until(lambda: read() or DROPPED in "".join(seen)), "".join(seen)[-3000:])
        self.round(port, commands=100, timeout=5)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(5), 0)
        read()
        self.assertEqual(harness._SANITIZER_RE.findall("".join(seen)), [])

    @unittest.skipUnless(AS_ROOT and shutil.which("setpriv"), "another user's terminal needs root and setpriv")
    def test_a_terminal_nobody_reads_that_the_daemon_cannot_open_again_holds_no_relay_nor_stop(self):
        # Run as nobody on root's terminal: the daemon cannot open it again for writes of its own.
        server = self.start_server()
        d = self.daemon(server, log_file=True, args=["--use-console-log"])
        d.argv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + d.argv
        os.chown(d.dir, NOBODY, NOBODY)
        terminal, console = os.openpty()  # never read
        for fd in (terminal, console):
            self.addCleanup(os.close, fd)
        d.start(lambda: os.dup2(console, 2))
        d.wait_started()
        self.round(d.listen_ports()[-1], commands=100, timeout=5)
        d.signal(signal.SIGINT)
        self.assertExit(d, 0, timeout=5)

    def test_copy_and_truncate_leaves_no_hole(self):
        server = self.start_server()
        for case, rotation in (("opened at start", "NONE"), ("re-created", "NONE"), ("rotated", "3p,32k")):
            with self.subTest(case):
                d, port = self.start_relay(server, log_file=True, args=["--rotate", rotation])
                if case == "re-created":
                    os.unlink(d.log_path)
                    self.round(port, agents=1, commands=5)
                    d.wait_for(RECREATED)
                elif case == "rotated":
                    while "New logfile has been created" not in d.log:
                        self.round(port, agents=1, commands=20)
                self.round(port, agents=1, commands=20)
                # What a rotation tool does: copy the live file, then empty it in place.
                shutil.copy(d.log_path, d.log_path + ".copy")
                os.truncate(d.log_path, 0)
                self.round(port, agents=1, commands=5)
                d.wait_for("r0-4")
                with open(d.log_path, "rb") as f:
                    self.assertEqual(f.read().count(b"\0"), 0, "NUL bytes in the log")

    @unittest.skipUnless(AS_ROOT, "a directory of another user needs root to be made")
    def test_a_log_directory_swapped_for_a_link_leads_no_line_elsewhere(self):
        server = self.start_server()
        # A sticky directory, as /tmp, holding a directory of another user.
        base = tempfile.mkdtemp(prefix="velmod-proxy-logdir-")
        self.addCleanup(shutil.rmtree, base, True)
        os.chmod(base, 0o1777)
        theirs = os.path.join(base, "theirs")
        os.mkdir(theirs)
        os.chown(theirs, NOBODY, NOBODY)
        root_only = tempfile.mkdtemp(prefix="velmod-proxy-rootonly-")
        self.addCleanup(shutil.rmtree, root_only, True)
        for case, log in (("another user's directory", os.path.join(theirs, "velmod-proxy.log")),
                          ("below the working directory", "logs/velmod-proxy.log")):
            with self.subTest(case):
                d = self.daemon(server, log, log_file=True, args=["--rotate", "9p,16k"]).start()
                d.log_path = os.path.join(d.dir, log)
                d.wait_started()
                port = d.listen_ports()[-1]
                # That user removes the log, moves the directory away and
                # puts a link to a root-only directory in its place.
                held = os.path.dirname(d.log_path)
                moved = held + ".moved"
                os.unlink(d.log_path)
                os.rename(held, moved)
                os.symlink(root_only, held)
                os.lchown(held, NOBODY, NOBODY)
                self.round(port, commands=40)
                self.assertEqual(os.listdir(root_only), [])
                # Re-created and rotated in the directory held since the start.
                d.log_path = os.path.join(moved, "velmod-proxy.log")
                self.assertEqual(d.stop(), 0)
                self.assertIn("velmod-proxy.1.log", os.listdir(moved))
                texts = []
                for n in os.listdir(moved):
                    with open(os.path.join(moved, n), errors="replace") as f:
                        texts.append(f.read())
                self.assertTrue(any(RECREATED in text for text in texts))
                self.assertEqual(os.listdir(root_only), [])
                os.unlink(held)
                os.rename(moved, held)


if __name__ == "__main__":
    unittest.main()
