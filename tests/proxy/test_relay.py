"""Relaying through the real daemon: stand-in agents on one side, stand-in
upstream servers on the other, all on loopback."""

import socket
import time
import unittest

import harness
from harness import wait_until
from standin_agent import ConnectionClosed, PeersTestCase


def frame_tuple(f):
    return (f.number, f.name, f.binary, f.args, f.body)


class RelayTest(PeersTestCase):
    def relay_to(self, *specs):
        """A daemon whose one listen forwards to `specs`: (daemon, port)."""
        d = self.start_daemon(listens=[(harness.listen_spec(0), list(specs))])
        d.wait_started()
        return d, d.listen_ports()[0]

    def socket(self, listening):
        """A loopback socket on port 0, listening with a queue of one or only bound."""
        s = socket.socket()
        self.addCleanup(s.close)
        s.bind(("127.0.0.1", 0))
        if listening:
            s.listen(0)
        return s

    def test_commands_travel_both_ways_rebuilt_and_renumbered(self):
        # No echo: a server command before authorization turns the relay raw,
        # and the agent's commands should all be parsed and rebuilt first.
        server = self.start_server(echo=False)
        d, port = self.relay_to(server.spec)
        agent = self.start_agent(port, negotiate=False)
        # Leading zeros are a valid number; a rebuilt frame carries the
        # daemon's own number, a copied one would keep them.
        agent.send_raw(b"000 HELLO a%Sb  c\r\n" + b"001 DATA T7 x y\r\nhel\r\nlo\r\n" + b"002 EMPTY N\r\n")
        agent.number = 3
        self.assertEqual([frame_tuple(f) for f in server.wait_frames(3)],
                         [(0, "HELLO", False, b"a%Sb  c", b""), (1, "DATA", True, b"x y", b"hel\r\nlo"),
                          (2, "EMPTY", True, b"", b"")])
        # The first server command turns both sides raw; the next one is sent
        # only then, so it travels as raw bytes rather than in the same read.
        server.send(0, "BACK", b"%P1  z", b"ab\r\nc")
        self.assertEqual(frame_tuple(agent.frame()), (0, "BACK", True, b"%P1  z", b"ab\r\nc"))
        server.send(0, "NEXT", body=b"")
        self.assertEqual(frame_tuple(agent.frame()), (1, "NEXT", True, b"", b""))
        agent.send("MORE", b"m", b"abc")
        self.assertEqual(frame_tuple(server.wait_frames(4)[3]), (3, "MORE", True, b"m", b"abc"))
        # The server leaving ends the agent's connection too.
        server.close()
        self.assertRaises(ConnectionClosed, agent.frame)

    def test_agent_bytes_are_read_only_after_the_upstream_connect(self):
        # An accept queue of one, filled: the daemon's SYN is dropped and
        # retried until the queue frees.
        listener = self.socket(listening=True)
        filler = socket.create_connection(listener.getsockname())
        self.addCleanup(filler.close)
        d, port = self.relay_to(harness.tcp_spec(listener.getsockname()[1]))
        self.start_agent(port, negotiate=False).send("EARLY", b"x")
        d.wait_for("Got stream endpoint")
        time.sleep(0.5)
        self.assertNotIn("rcv <0 EARLY", d.log)
        filler.close()
        server = self.start_server(listener=listener)
        self.assertEqual(frame_tuple(server.wait_frames(1, timeout=20)[0]), (0, "EARLY", False, b"x", b""))
        d.wait_for("rcv <0 EARLY x>")

    def test_agent_is_never_read_when_the_upstream_connect_fails(self):
        # Bound, not listening: connects are refused.
        d, port = self.relay_to(harness.tcp_spec(self.socket(listening=False).getsockname()[1]))
        agent = self.start_agent(port, negotiate=False)
        agent.send("LOST", b"x")
        self.assertRaises(ConnectionClosed, agent.frame)
        self.assertEqual(d.stop(), 0)
        d.wait_for("SIGINT handled, shutdown")  # the whole log has been read
        self.assertNotIn("rcv <0 LOST", d.log)

    def test_forward_entries_are_used_in_turn(self):
        servers = [self.start_server() for _ in range(3)]
        d, port = self.relay_to(*[s.spec for s in servers])
        for i, expected in enumerate([0, 1, 2, 0]):
            self.start_agent(port, negotiate=False)
            self.assertTrue(wait_until(lambda: sum(s.connections for s in servers) == i + 1))
            self.assertEqual([s.connections for s in servers][expected], 2 if i == 3 else 1, "agent %d" % i)


if __name__ == "__main__":
    unittest.main()
