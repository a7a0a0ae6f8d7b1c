"""Upstream servers found by discovery: over local datagram sockets between
two daemons, and over UDP where only the asked server may answer."""

import os
import shutil
import signal
import socket
import tempfile
import threading
import unittest

import harness
import standin_agent

IGNORED_THIRD_PARTY = "[Discovery/Explorer] Ignored answer from udp/127.0.0.1:%d: only udp/127.0.0.1:%d was asked"


class UdpAnswerers:
    """The configured server's discovery socket at `server_port` and a third
    party's at `third_port`: each request to the server is answered first by
    the third party, then, `delay` seconds later, by the server."""

    def __init__(self, server_port, third_port, delay=0.05):
        self.server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.server.bind(("127.0.0.1", server_port))
        self.third = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.third.bind(("127.0.0.1", third_port))
        self.delay = delay
        self.requests = 0
        self._stop = threading.Event()
        self._thread = harness.start_thread(self._serve)

    def _serve(self):
        while True:
            try:
                _, asker = self.server.recvfrom(512)
            except OSError:
                return
            if asker is None:  # shut down
                return
            self.requests += 1
            self.third.sendto(b"velmo", asker)
            if self._stop.wait(self.delay):
                return
            try:
                self.server.sendto(b"velmo", asker)
            except OSError:
                return

    def close(self):
        self._stop.set()
        harness.close_sockets([self.server, self.third])
        self._thread.join(5)


class DiscoveryTest(standin_agent.PeersTestCase):
    def test_local_discovery_between_two_daemons_reaches_the_upstream_found(self):
        server = self.start_server()
        # Daemon B answers discovery at its local stream socket's path.
        sockets = tempfile.mkdtemp(prefix="velmod-udx-")
        self.addCleanup(lambda: os.path.isdir(sockets) and os.rmdir(sockets))
        path = os.path.join(sockets, "b.sock")
        found = self.start_daemon(listens=[("unix(%s),discovery()" % path, [server.spec])])
        self.addCleanup(self._stop_clean, found)
        found.wait_started()
        # Another user's files wherever the explorer might have put its own
        # socket: the temporary directory of daemon A holds names for every
        # process and sequence number it could use.
        squat = tempfile.mkdtemp(prefix="velmod-squat-")
        self.addCleanup(shutil.rmtree, squat, True)
        asker = harness.Daemon(listens=[(harness.listen_spec(0), ["udx/" + path])],
                               env={"TEMP": squat, "TMP": squat})
        self.addCleanup(asker.close)
        self.addCleanup(self._stop_clean, asker)
        asker.start()  # the names hold the process id, known only once it runs
        for n in range(64):
            with open(os.path.join(squat, "velmod-explorer-%d-%d" % (asker.proc.pid, n)), "w") as f:
                f.write("mine")
        squatted = sorted(os.listdir(squat))
        asker.wait_started()
        for _ in range(2):
            agent = self.start_agent(asker.listen_ports()[-1])
            agent.close()
        self.assertEqual(found.count("New connection <unx/"), 2, found.log[-4000:])
        self.assertEqual(sorted(os.listdir(squat)), squatted, "the explorer left or took a file")
        for name in squatted:
            with open(os.path.join(squat, name)) as f:
                self.assertEqual(f.read(), "mine")
        # A discovery path other than the stream path can never lead to a
        # connection: the entry is refused as the configuration is read.
        since = asker.mark()
        other = os.path.join(sockets, "other.sock")
        asker.write_config(harness.config_xml([
            ("unix(%s),discovery(%s)" % (os.path.join(sockets, "a.sock"), other), [server.spec]),
            (harness.listen_spec(0), [server.spec])]))
        asker.signal(signal.SIGHUP)
        asker.wait_for(harness.STARTED, since=since)
        errors = asker.messages("ERR", since)
        self.assertIn("Cannot load listen tag because of ", errors)
        self.assertTrue(any(other in e for e in errors), errors)
        self.assertFalse(os.path.exists(other))
        found.stop()
        self.assertFalse(os.path.exists(path))
        self.assertFalse(os.path.exists(path + ".discovery"))

    def test_a_unicast_target_is_answered_only_by_the_server_asked(self):
        server = self.start_server()
        third = self.hold_server()
        answerers = UdpAnswerers(server.port, third.port)
        self.addCleanup(answerers.close)
        daemon, port = self.start_relay(server, listens=[(harness.listen_spec(0),
                                                          ["udp/127.0.0.1:%d" % server.port])])
        for _ in range(2):
            agent = self.start_agent(port)
            agent.close()
        self.assertEqual(third.accepted, 0, "an agent was handed to a server nobody configured")
        ignored = IGNORED_THIRD_PARTY % (third.port, server.port)
        self.assertEqual(daemon.messages("wrn").count(ignored), 2, daemon.log[-4000:])


if __name__ == "__main__":
    unittest.main()
