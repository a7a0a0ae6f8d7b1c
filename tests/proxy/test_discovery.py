"""Upstream servers found by discovery: over local datagram sockets between
two daemons, and over UDP where only the asked server may answer."""

import os
import shutil
import signal
import socket
import tempfile
import unittest

import harness
import standin_agent


class DiscoveryTest(standin_agent.PeersTestCase):
    def test_local_discovery_between_two_daemons_reaches_the_upstream_found(self):
        server = self.start_server()
        sockets = tempfile.mkdtemp(prefix="velmod-udx-")
        self.addCleanup(shutil.rmtree, sockets, True)
        path = os.path.join(sockets, "b.sock")
        found = self.start_daemon(listens=[("unix(%s),discovery()" % path, [server.spec])])
        self.addCleanup(self._stop_clean, found)
        found.wait_started()
        # Another user's files in the asker's temporary directory, at every
        # name a process of its id might pick there.
        squat = tempfile.mkdtemp(prefix="velmod-squat-")
        self.addCleanup(shutil.rmtree, squat, True)
        asker = self.start_daemon(listens=[(harness.listen_spec(0), ["udx/" + path])], env={"TEMP": squat})
        self.addCleanup(self._stop_clean, asker)
        for n in range(64):
            with open(os.path.join(squat, "velmod-explorer-%d-%d" % (asker.proc.pid, n)), "w") as f:
                f.write("mine")
        asker.wait_started()
        for _ in range(2):
            self.start_agent(asker.listen_ports()[-1]).close()
        self.assertEqual(found.count("New connection <unx/"), 2, found.log[-4000:])
        self.assertEqual(len(os.listdir(squat)), 64)
        # A discovery path other than the stream path is refused as the configuration is read.
        since = asker.mark()
        other = os.path.join(sockets, "other.sock")
        asker.write_config(harness.config_xml([("unix(%s),discovery(%s)" % (path + "2", other), [server.spec]),
                                               (harness.listen_spec(0), [server.spec])]))
        asker.signal(signal.SIGHUP)
        asker.wait_for(harness.STARTED, since=since)
        self.assertIn("Cannot load listen tag because of ", asker.messages("ERR", since))
        self.assertTrue(any(other in e for e in asker.messages("ERR", since)))
        found.stop()
        self.assertEqual(os.listdir(sockets), [])

    def test_a_unicast_target_is_answered_only_by_the_server_asked_and_a_loopback_broadcast_by_any(self):
        server, third = self.start_server(), self.hold_server()
        udp = {}
        for name, port in (("server", server.port), ("third", third.port)):
            udp[name] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            udp[name].bind(("127.0.0.1", port))
            self.addCleanup(udp[name].close)
        udp["server"].settimeout(10)

        def answer_third_first():
            for _ in range(2):
                _, asker = udp["server"].recvfrom(512)
                udp["third"].sendto(b"velmo", asker)
                udp["server"].sendto(b"velmo", asker)

        answering = harness.start_thread(answer_third_first)
        daemon, port = self.start_relay(server, listens=[(harness.listen_spec(0), ["udp/127.0.0.1:%d" % server.port])])
        for _ in range(2):
            self.start_agent(port).close()
        answering.join(10)
        self.assertEqual(third.accepted, 0, "an agent was handed to a server nobody configured")
        ignored = "[Discovery/Explorer] Ignored answer from udp/127.0.0.1:%d: only udp/127.0.0.1:%d was asked"
        self.assertEqual(daemon.messages("wrn").count(ignored % (third.port, server.port)), 2, daemon.log[-4000:])
        # The loopback network's broadcast address (no interface flags it)
        # reaches the server's port, and the answer from 127.0.0.1 counts.
        udp["broadcast"] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(udp["broadcast"].close)
        udp["broadcast"].bind(("127.255.255.255", server.port))
        udp["broadcast"].settimeout(10)

        def answer_broadcast():
            _, asker = udp["broadcast"].recvfrom(512)
            udp["server"].sendto(b"velmo", asker)

        answering = harness.start_thread(answer_broadcast)
        found, port = self.start_relay(server, listens=[(harness.listen_spec(0),
                                                         ["udp/127.255.255.255:%d" % server.port])])
        self.start_agent(port).close()
        answering.join(10)
        self.assertEqual(found.messages("wrn"), [], found.log[-4000:])


if __name__ == "__main__":
    unittest.main()

