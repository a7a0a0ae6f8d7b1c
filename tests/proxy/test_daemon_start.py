"""--daemon: the starting process returns only once the detached service has
started its listeners (0) or has failed (1, with the error on its stderr)."""

import fcntl
import os
import signal
import socket
import unittest

import harness
from standin_agent import PeersTestCase

FAILED = "Service failed because of"


def close_standard_descriptors():
    """In the child before exec: started as `<&- >&- 2>&-` in a shell."""
    for fd in (0, 1, 2):
        os.close(fd)


def stderr_to_an_unread_pipe():
    """In the child before exec: standard error a pipe whose read end is closed."""
    r, w = os.pipe()
    os.close(r)
    os.dup2(w, 2)
    os.close(w)


def full_pipe():
    """A pipe full to its last byte, both ends open: (read end, write end)."""
    r, w = os.pipe()
    os.write(w, b"x" * fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096))
    return r, w


def stdout_on_stderr():
    """In the child before exec: `2>&1`, both outputs on the one pipe the test reads."""
    os.dup2(2, 1)


def open_files(pid):
    """What each descriptor of `pid` refers to ("pipe:[INODE]", a path), from /proc/PID/fd."""
    files = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            files.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
        except FileNotFoundError:  # closed meanwhile
            pass
    return files


def pending_signals(pid):
    """The process-wide pending signals of `pid`, from /proc/PID/status."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("ShdPnd:"):
                return int(line.split()[1], 16)
    return 0


def process_state(pid):
    """The state letter of `pid` (T when stopped), from /proc/PID/stat."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def slow_config(valid_listens=()):
    """A configuration that takes the service a while to read: thousands of
    listen elements, each looked up anew and refused, behind `valid_listens`."""
    refused = [("ip(127.0.0.1),port(99999)", ["tcp/127.0.0.1:1"])] * 8000
    return harness.config_xml(list(valid_listens) + refused)


class DaemonStartTest(PeersTestCase):
    def hold_start(self, d):
        """Stops the service (SIGSTOP) while it still reads its configuration
        and holds it there until the test continues it (SIGCONT)."""
        d.wait_for("Started thread")  # the pool exists: the first pass is under way
        os.kill(d.pid, signal.SIGSTOP)
        self.addCleanup(lambda: d.alive() and os.kill(d.pid, signal.SIGCONT))
        self.assertTrue(harness.wait_until(lambda: process_state(d.pid) == "T"))
        self.assertNotIn(harness.STARTED, d.log, "the start was over before the service was held")
        self.assertNotIn(FAILED, d.log, "the start was over before the service was held")

    def start_detached(self, **kwargs):
        # Console logging asked for too: a daemon still has no console.
        d = self.start_daemon(daemon=True, args=["--use-console-log"], **kwargs)
        rc = d.proc.wait(15)
        self.stderr_read(d)
        return d, rc

    @staticmethod
    def stderr_read(d):
        """Waits for the harness's reader to take the starting process's standard error to its end."""
        d._reader.join(10)

    def assert_ended(self, d):
        """The detached service process (known from its log lines) is gone."""
        self.assertIsNotNone(d.pid, "the detached service never logged:\n" + d.log)
        self.assertNotEqual(d.pid, d.proc.pid)
        self.assertTrue(harness.wait_until(lambda: not d.alive()), "service process %d still runs" % d.pid)

    def start_detached_as(self, prepare, d=None, **kwargs):
        """Starts `d` (else a --daemon made of `kwargs`) with `prepare` run in
        the child before exec; the starting process's exit status."""
        d = d or harness.Daemon(daemon=True, **kwargs)
        self.addCleanup(lambda: self.assertEqual(d.sanitizer_report(), "", "sanitizer report on stderr"))
        self.addCleanup(d.close)
        d.start(prepare)
        rc = d.proc.wait(15)
        self.stderr_read(d)
        return d, rc

    def assert_standard_descriptors_on_dev_null(self, d):
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (d.pid, fd)), "/dev/null", fd)

    def test_standard_descriptors_closed_at_start(self):
        upstream = self.hold_server()
        d, rc = self.start_detached_as(close_standard_descriptors,
                                       listens=[(harness.listen_spec(0), [upstream.spec])])
        self.assertEqual(rc, 0, d.log[-4000:])
        self.assertIn(harness.STARTED, d.log)
        self.assert_standard_descriptors_on_dev_null(d)
        # Accepted connections and their upstream sockets take numbers
        # above the standard ones, so no error text can ever reach a peer.
        conns = [harness.connect(d.listen_ports()[0]) for _ in range(3)]
        self.addCleanup(harness.close_sockets, conns)
        self.assertTrue(upstream.wait_accepted(3), "no upstream connections through the daemon")
        self.assert_standard_descriptors_on_dev_null(d)
        self.assertStops(d)
        self.assert_ended(d)

    def test_a_service_logging_to_its_console_keeps_nothing_of_the_starting_process(self):
        # The log's directory cannot be made (a regular file stands in its
        # place), so the console logs until the detach: as `out=$(... 2>&1)`.
        server = self.start_server()
        d = harness.Daemon(daemon=True)
        agents = os.path.join(d.dir, "agents")
        d.write_config(harness.config_xml([("unix(%s)" % agents, [server.spec])], d.cache_root))
        open(os.path.join(d.dir, "log"), "w").close()
        _, rc = self.start_detached_as(stdout_on_stderr, d)
        self.assertEqual(rc, 0, d.stderr)
        self.assertFalse(d._reader.is_alive(), "the output pipe did not end with the starting process:\n" + d.stderr)
        self.assertIn("Cannot create log file because of", d.stderr)
        self.assertNotIn(harness.STARTED, d.stderr)
        self.assertIsNotNone(d.pid, "no service process found")
        self.assertNotIn("pipe:[%d]" % os.fstat(d.proc.stderr.fileno()).st_ino, open_files(d.pid))
        self.assert_standard_descriptors_on_dev_null(d)
        agent = self.start_agent(agents)
        agent.send("PING", b"served")
        self.assertEqual(agent.expect("PONG").args, b"served")
        agent.close()
        d.stop()
        self.assert_ended(d)

    def test_a_failed_start_reported_to_a_standard_error_nobody_reads(self):
        full = full_pipe()  # its reader holds it open and never reads
        for end in full:
            self.addCleanup(os.close, end)
        for prepare in (stderr_to_an_unread_pipe, lambda: os.dup2(full[1], 2)):
            with self.subTest(full=prepare != stderr_to_an_unread_pipe):
                d, rc = self.start_detached_as(prepare)  # no configuration file
                self.assertEqual(rc, 1, d.log[-4000:])
                self.assertIn(FAILED, d.log)
                self.assert_ended(d)

    def test_a_console_whose_reader_is_gone_stops_no_start(self):
        # A daemon cannot make its log directory (a file stands there): it logs to that console until it detaches.
        server = self.start_server()
        for detached in (False, True):
            with self.subTest(detached=detached):
                d = harness.Daemon(daemon=detached)
                self.addCleanup(d.close)
                agents = os.path.join(d.dir, "agents")
                d.write_config(harness.config_xml([("unix(%s)" % agents, [server.spec])], d.cache_root))
                open(os.path.join(d.dir, "log"), "w").close()
                d.start(lambda: (stderr_to_an_unread_pipe(), os.dup2(2, 1)))
                self.assertTrue(harness.wait_until(lambda: os.path.exists(agents)), "ended: %s" % d.proc.poll())
                agent = self.start_agent(agents)
                agent.send("PING", b"served")
                self.assertEqual(agent.expect("PONG").args, b"served")
                self.assertEqual(d.stop(), 0)  # of the starting process too: the service has ended

    def test_an_interrupted_start_asks_the_service_to_stop(self):
        d = harness.Daemon(daemon=True, config=slow_config())
        self.addCleanup(d.close)
        d.start()
        self.hold_start(d)
        self.assertIsNone(d.proc.poll(), "the starting process returned before the service started")
        d.proc.send_signal(signal.SIGINT)
        # The starting process ends by the interrupt, as an interrupted
        # command does, and the service has its stop request, which it
        # takes as soon as its start is no longer held.
        self.assertEqual(d.proc.wait(15), -signal.SIGINT)
        self.assertTrue(harness.wait_until(lambda: pending_signals(d.pid) & (1 << (signal.SIGINT - 1))),
                        "the service was not asked to stop")
        os.kill(d.pid, signal.SIGCONT)
        self.assert_ended(d)
        self.assertEqual(d.sanitizer_report(), "")

    def test_every_stop_request_to_a_waiting_start_stops_the_service(self):
        upstream = self.hold_server()
        cases = [  # signals sent to the starting process, the one it ends by, SIGHUP ignored (nohup)
            ([signal.SIGTERM], signal.SIGTERM, False),  # an init system's stop, `timeout`
            ([signal.SIGHUP], signal.SIGHUP, False),  # the terminal hung up
            ([signal.SIGHUP, signal.SIGTERM], signal.SIGTERM, True),
        ]
        for sent, ends_by, nohup in cases:
            with self.subTest(sent=sent, nohup=nohup):
                d = harness.Daemon(daemon=True)
                self.addCleanup(d.close)
                d.write_config(slow_config([(harness.listen_spec(0), [upstream.spec])]))

                def dispositions(nohup=nohup):
                    signal.signal(signal.SIGTERM, signal.SIG_DFL)
                    signal.signal(signal.SIGHUP, signal.SIG_IGN if nohup else signal.SIG_DFL)

                d.start(dispositions)
                self.hold_start(d)
                for signo in sent:
                    os.kill(d.proc.pid, signo)
                self.assertEqual(d.proc.wait(15), -ends_by)
                # Continued, the service finishes its start, as it would after
                # a slow one, and then takes its stop request.
                os.kill(d.pid, signal.SIGCONT)
                d.wait_for("SIGINT handled, shutdown", timeout=60)
                self.assert_ended(d)
                # Its port is free again: a retry can bind it.
                retry = socket.socket()
                self.addCleanup(retry.close)
                retry.bind(("127.0.0.1", d.listen_ports()[0]))
                self.assertEqual(d.sanitizer_report(), "")

    def test_a_failed_start_is_reported_by_the_starting_process(self):
        upstream = self.hold_server()
        # A live listener: address reuse never lets a second one in.
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        rows = [  # configuration text (None: no file), reasons on the starting process's stderr
            (harness.config_xml([(harness.listen_spec(taken.getsockname()[1]), [upstream.spec])]),
             ["Address already in use"]),
            (None, ["Unable to load config file %s because of", "No such file or directory"]),
            (harness.config_xml([]), ["there is no valid listeners in config"]),
        ]
        for config, reasons in rows:
            with self.subTest(config=config):
                d, rc = self.start_detached(config=config)
                self.assertEqual(rc, 1, d.stderr + d.log[-4000:])
                lines = d.stderr.splitlines()
                self.assertTrue(lines and lines[0].startswith(FAILED), d.stderr)
                for reason in reasons:
                    self.assertIn(reason.replace("%s", d.conf), d.stderr)
                # The same report is in the log file, and nothing started.
                self.assertIn(FAILED, d.log)
                self.assertNotIn(harness.STARTED, d.log)
                self.assert_ended(d)

    def test_a_good_start_returns_0_once_the_listeners_are_up(self):
        upstream = self.hold_server()
        d, rc = self.start_detached(listens=[(harness.listen_spec(0), [upstream.spec])])
        self.assertEqual(rc, 0, d.stderr + d.log[-4000:])
        self.assertEqual(d.stderr, "")
        # Already there when the starting process has returned: no waiting here.
        self.assertIn(harness.STARTED, d.log)
        ports = d.listen_ports()
        self.assertEqual(len(ports), 1, d.log)
        conn = harness.connect(ports[0])
        self.addCleanup(conn.close)
        self.assertTrue(upstream.wait_accepted(1), "no upstream connection through the daemon")
        self.assertStops(d)
        self.assert_ended(d)

    def test_the_starting_process_waits_while_the_service_is_starting(self):
        d = harness.Daemon(daemon=True, config=slow_config())
        self.addCleanup(d.close)
        d.start()
        self.hold_start(d)
        self.assertIsNone(d.proc.poll(), "the starting process returned before the service started")
        os.kill(d.pid, signal.SIGCONT)
        # No element is usable: the service fails, and the starting process says so.
        self.assertEqual(d.proc.wait(60), 1, d.log[-4000:])
        self.stderr_read(d)
        self.assertIn("  there is no valid listeners in config\n", d.stderr)
        self.assert_ended(d)
        self.assertEqual(d.sanitizer_report(), "")

if __name__ == "__main__":
    unittest.main()
