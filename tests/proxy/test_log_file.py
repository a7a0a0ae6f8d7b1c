"""The log file under a running daemon: a bad --rotate ends the start, a link
or a named pipe put at the log's path is never written through nor waited on,
and a full disk never joins a line to one it cut."""

import errno
import os
import re
import signal
import stat
import subprocess
import unittest

import harness
from standin_agent import PeersTestCase

PARSE_ERROR = "Error on parse command line: "
REFUSED = ", not a regular file"
# A line's time stamp, maybe all that is left of a cut line: two in one line are a joined line.
STAMP = re.compile(r"\d{8}\.\d{6}\.\d{2} ")


class LogFileTest(PeersTestCase):
    def assertAnswered(self, port, agents=3, pings=40, tag="p"):
        """Fresh agents negotiate through the daemon and each PING of theirs is answered."""
        for a in range(agents):
            agent = self.start_agent(port)
            for i in range(pings):
                arg = ("%s%d-%d" % (tag, a, i)).encode()
                agent.send("PING", arg)
                self.assertEqual(agent.expect("PONG").args, arg)
            agent.close()

    def assertStopsUnlogged(self, daemon):
        """Stops on SIGINT, told by the exit code alone: the log may be refused or emptied."""
        daemon.signal(signal.SIGINT)
        self.assertExit(daemon, 0)

    @staticmethod
    def remove_pipe(path):
        if os.path.exists(path) and stat.S_ISFIFO(os.lstat(path).st_mode):
            os.unlink(path)

    def test_bad_rotation_texts_end_the_start_and_good_ones_run(self):
        for text in ("5z,1x", "abc", "5q,1k", "5,1kk", "-1,1k", "5,4096m"):
            for daemon in ([], ["--daemon"]):
                with self.subTest(text=text, daemon=daemon):
                    result = harness.run(["--rotate", text, "--use-file-log", "/nonexistent/x.log", "--conf",
                                          "/nonexistent.xml"] + daemon)
                    self.assertEqual((result.returncode, result.stdout), (1, ""), result.stderr)
                    lines = [l for l in result.stderr.splitlines() if PARSE_ERROR in l]
                    self.assertEqual(len(lines), 1, result.stderr)
                    self.assertIn("'--rotate'", lines[0])
                    self.assertIn("'%s'" % text, lines[0])
                    self.assertNotIn("is rising", result.stderr)
        server = self.start_server()
        for text in ("NONE", "none", "1,1k", "0,0", "5p,4095m"):
            with self.subTest(text=text):
                d, port = self.start_relay(server, log_file=True, args=["--rotate", text])
                self.assertAnswered(port, agents=1, pings=3)
                self.assertStopsUnlogged(d)  # 1,1k empties the file as it goes

    def test_a_link_at_the_log_path_is_refused_and_its_target_kept(self):
        server = self.start_server()
        d, port = self.start_relay(server, log_file=True, args=["--rotate", "NONE"])
        target = os.path.join(d.dir, "precious")
        content = b"".join(b"line %d of a file the daemon must not touch\n" % i for i in range(1000))
        with open(target, "wb") as f:
            f.write(content)
        os.unlink(d.log_path)
        os.symlink(target, d.log_path)
        self.assertAnswered(port)
        self.assertTrue(harness.wait_until(lambda: REFUSED in d.stderr), d.stderr[-2000:])
        with open(target, "rb") as f:
            self.assertEqual(f.read(), content)
        self.assertTrue(os.path.islink(d.log_path))
        self.assertEqual(d.stderr.count(REFUSED), 1, "refused once, then retried once a minute")
        self.assertStopsUnlogged(d)

    def test_a_named_pipe_at_the_log_path_stops_no_relay(self):
        server = self.start_server()
        d, port = self.start_relay(server, log_file=True, args=["--rotate", "NONE"])
        os.unlink(d.log_path)
        os.mkfifo(d.log_path)
        # Gone before the daemon's log is read: opening a pipe to read it would wait.
        self.addCleanup(self.remove_pipe, d.log_path)
        # Far more than a pipe holds (64 KiB): a daemon writing into it would stop.
        self.assertAnswered(port, agents=4, pings=300)
        self.assertTrue(harness.wait_until(lambda: REFUSED in d.stderr), d.stderr[-2000:])
        fd = os.open(d.log_path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            self.assertEqual(os.read(fd, 65536), b"", "nothing was written into the pipe")
        finally:
            os.close(fd)
        self.remove_pipe(d.log_path)
        self.assertStopsUnlogged(d)

    def test_a_log_directory_blocked_at_start_gets_its_file_at_a_retry(self):
        d = harness.Daemon(listens=[(harness.listen_spec(0), [self.start_server().spec])], log_file=True,
                           env=harness.limits_env(log_retry_interval_ms=300))
        self.addCleanup(lambda: self.assertEqual(d.sanitizer_report(), ""))
        self.addCleanup(d.close)
        open(os.path.dirname(d.log_path), "w").close()  # a regular file where the directory is to be made
        d.start()
        self.assertTrue(harness.wait_until(lambda: harness.STARTED in d.stderr), d.stderr[-4000:])  # the console
        port = [int(p) for p in harness._LISTEN_RE.findall(d.stderr)][-1]
        os.unlink(os.path.dirname(d.log_path))
        self.assertTrue(harness.wait_until(lambda: os.path.exists(d.log_path) or self.assertAnswered(port, 1, 1)))
        console = len(d.stderr)
        self.assertAnswered(port, agents=1, pings=3, tag="filed")
        d.wait_for("filed0-2")
        self.assertNotIn("filed0-", d.stderr[console:], "the file alone takes the lines once it is open")
        self.assertStops(d)

    def test_a_full_disk_cuts_no_later_line(self):
        d = harness.Daemon(listens=[(harness.listen_spec(0), [self.start_server().spec])], log_file=True,
                           args=["--rotate", "NONE"])
        self.addCleanup(lambda: self.assertEqual(d.sanitizer_report(), ""))
        self.addCleanup(d.close)
        log_dir = os.path.dirname(d.log_path)
        os.makedirs(log_dir)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", log_dir],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if not mounted:
            self.skipTest("a small tmpfs cannot be mounted here (the unit tests cover short writes)")
        # Lazily: a daemon that failed to stop may still hold the file.
        self.addCleanup(subprocess.run, ["umount", "-l", log_dir])
        d.start()
        self.addCleanup(self._stop_clean, d)
        d.wait_started()
        port = d.listen_ports()[-1]
        filler = os.path.join(log_dir, "filler")
        with open(filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"x" * 4096)
            except OSError as e:
                self.assertEqual(e.errno, errno.ENOSPC)
        # The log's last page fills, one line is cut, the rest find no room.
        self.assertAnswered(port, agents=2, pings=100, tag="full")
        os.unlink(filler)
        self.assertAnswered(port, agents=2, pings=20, tag="after")
        d.wait_for("after1-19")
        lines = d.log.splitlines()
        first = next(i for i, line in enumerate(lines) if "after0-0" in line) - 1
        for line in lines:
            self.assertLessEqual(len(STAMP.findall(line)), 1, "a line joined to a cut one: %r" % line)
        for line in lines[first:]:
            self.assertRegex(line, harness._LINE_RE)
        self.assertTrue(any("after1-19" in line for line in lines))


if __name__ == "__main__":
    unittest.main()
