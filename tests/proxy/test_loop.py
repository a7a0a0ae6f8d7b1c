"""The application loop's passes and signals, run as a real process."""

import os
import signal
import socket
import unittest

import harness

HUP = "SIGHUP handled, reread configuration"


def assert_dropped(test, conn):
    """The daemon has closed `conn`: its read ends (EOF or reset) in time."""
    try:
        while conn.recv(4096):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        test.fail("connection still open")


def lingering_sockets(port):
    """Sockets of the daemon's side on `port` that are not listening (closing or closed ones)."""
    found = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                local, state = row.split()[1], row.split()[3]
                if int(local.rsplit(":", 1)[1], 16) == port and state != "0A":
                    found += 1
    return found


class LoopTest(harness.DaemonTestCase):
    def start_on_fixed_port(self, upstream):
        """A daemon whose file names the port it listens on, learnt from a first pass on port 0."""
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
        d.wait_started()
        port = d.listen_ports()[0]
        d.write_config(harness.config_xml([(harness.listen_spec(port), [upstream.spec])], d.cache_root))
        self.reload(d)
        self.assertEqual(d.listen_ports(), [port, port])
        return d, port

    def reload(self, d):
        since = d.mark()
        d.signal(signal.SIGHUP)
        d.wait_for(HUP, since=since)
        return d.wait_for(harness.STARTED, since=since)

    def connect_through(self, port, upstream, total):
        conn = harness.connect(port)
        self.addCleanup(conn.close)
        self.assertTrue(upstream.wait_accepted(total), "upstream connection %d not made" % total)
        return conn

    def test_sighup_drops_connections_and_rebinds_at_once_and_other_signals_change_nothing(self):
        upstream = self.hold_server()
        d, port = self.start_on_fixed_port(upstream)
        clients = [self.connect_through(port, upstream, n) for n in (1, 2)]
        for sig in (signal.SIGTERM, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2, signal.SIGPIPE):
            d.signal(sig)
        # Unchanged file: a new pass on the same endpoint, the old connections
        # dropped. kill() makes a signal pending before it returns: once the
        # SIGHUP sent after the others is handled, they have all arrived and
        # done nothing.
        self.reload(d)
        self.assertTrue(d.alive())
        self.assertNotIn("shutdown", d.log)
        for conn in clients:
            assert_dropped(self, conn)
        self.assertTrue(upstream.wait_closed(2), "upstream connections of the old pass still open")
        # They were on the port when it was bound again.
        self.assertGreater(lingering_sockets(port), 0)
        # The sockets of the dropped connections linger on the port; the next
        # bind must not fail because of them.
        self.connect_through(port, upstream, 3).close()
        self.reload(d)
        conn = self.connect_through(port, upstream, 4)
        self.assertEqual(d.listen_ports(), [port] * 4)
        self.assertNotIn("Service failed", d.log)
        # SIGINT ends the service with 0 and drops what is still connected.
        self.assertStops(d)
        assert_dropped(self, conn)

    def test_sighup_with_no_usable_configuration_ends_the_service(self):
        upstream = self.hold_server()
        for case, reason in [("listens removed", "there is no valid listeners in config"),
                             ("file deleted", "Unable to load config file %s because of")]:
            with self.subTest(case):
                d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
                d.wait_started()
                if case == "file deleted":
                    os.remove(d.conf)
                else:
                    d.write_config(harness.config_xml([]))
                since = d.mark()
                d.signal(signal.SIGHUP)
                d.wait_for(reason.replace("%s", d.conf), since=since)
                self.assertIn("Service failed because of ", d.messages("ERR", since))
                self.assertExit(d, 1)

    def test_daemon_mode_detaches_and_logs_to_the_file(self):
        upstream = self.hold_server()
        d = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])], daemon=True,
                              args=["--use-console-log"])
        self.assertEqual(d.proc.wait(15), 0, "the starting process returns 0 once the service has started")
        d.wait_started()
        self.assertNotEqual(d.pid, d.proc.pid)
        self.assertEqual(os.getsid(d.pid), d.pid, "the service leads a session of its own")
        self.assertIn("Use console log:\tfalse", d.messages("db0"))
        self.assertIn("File log path:\t%s" % d.log_path, d.messages("db0"))
        self.assertNotIn(harness.STARTED, d.stderr, "no console log")
        self.connect_through(d.listen_ports()[0], upstream, 1)
        self.assertStops(d)


if __name__ == "__main__":
    unittest.main()
