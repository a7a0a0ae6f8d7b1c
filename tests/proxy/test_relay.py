"""Relaying through the real daemon: stand-in agents on one side, stand-in
upstream servers on the other, all on loopback."""

import socket
import time
import unittest

import harness
from harness import wait_until
from standin_server import StandinServer, build_frame, parse_frame


class Agent:
    """A client of the daemon that numbers its own frames from 0."""

    def __init__(self, port):
        self.sock = harness.connect(port)
        self.number = 0
        self.buffer = b""

    def send(self, name, args=b"", body=None):
        self.sock.sendall(build_frame(self.number, name, args, body))
        self.number += 1

    def frames(self, n, timeout=10):
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < n:
            frame, self.buffer = parse_frame(self.buffer)
            if frame is not None:
                out.append(frame)
                continue
            self.sock.settimeout(max(deadline - time.monotonic(), 0.01))
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError("connection closed after %r" % out)
            self.buffer += data
        return out

    def closed_by_peer(self, timeout=10):
        """True when the daemon ends the connection within `timeout`."""
        self.sock.settimeout(timeout)
        try:
            while self.sock.recv(65536):
                pass
        except ConnectionResetError:
            pass
        except socket.timeout:
            return False
        return True

    def close(self):
        self.sock.close()


def frame_tuple(f):
    return (f.number, f.name, f.binary, f.args, f.body)


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.closers = []

    def tearDown(self):
        errors = []
        for close in reversed(self.closers):
            try:
                close()
            except Exception as e:  # every process and socket is ended all the same
                errors.append(e)
        if errors:
            raise errors[0]

    def own(self, thing):
        self.closers.append(thing.close)
        return thing

    def daemon(self, forwards):
        d = self.own(harness.Daemon(listens=[(harness.listen_spec(0), forwards)]))
        d.start()
        d.wait_started()
        # Checked once the daemon has stopped; ThreadSanitizer builds report too.
        self.closers.append(lambda: self.assertEqual(d.sanitizer_report(), ""))
        self.closers.append(lambda: self.assertNotIn("WARNING: ThreadSanitizer", d.stderr))
        self.closers.append(d.stop)
        return d, d.listen_ports()[0]

    def test_commands_travel_both_ways_rebuilt_and_renumbered(self):
        # No echo: a server command before authorization turns the relay raw,
        # and the agent's commands should all be parsed and rebuilt first.
        server = self.own(StandinServer(echo=False))
        d, port = self.daemon([server.spec])
        agent = self.own(Agent(port))
        # Leading zeros are a valid number; a rebuilt frame carries the
        # daemon's own number, a copied one would keep them.
        agent.sock.sendall(b"000 HELLO a%Sb  c\r\n" + b"001 DATA T7 x y\r\nhel\r\nlo\r\n" + b"002 EMPTY N\r\n")
        agent.number = 3
        self.assertEqual([frame_tuple(f) for f in server.wait_frames(3)],
                         [(0, "HELLO", False, b"a%Sb  c", b""), (1, "DATA", True, b"x y", b"hel\r\nlo"),
                          (2, "EMPTY", True, b"", b"")])
        # The first server command turns both sides raw; the next one is sent
        # only then, so it travels as raw bytes rather than in the same read.
        server.send(0, "BACK", b"%P1  z", b"ab\r\nc")
        self.assertEqual(frame_tuple(agent.frames(1)[0]), (0, "BACK", True, b"%P1  z", b"ab\r\nc"))
        server.send(0, "NEXT", body=b"")
        self.assertEqual(frame_tuple(agent.frames(1)[0]), (1, "NEXT", True, b"", b""))
        agent.send("MORE", b"m", b"abc")
        self.assertEqual(frame_tuple(server.wait_frames(4)[3]), (3, "MORE", True, b"m", b"abc"))
        # The server leaving ends the agent's connection too.
        server.close()
        self.assertTrue(agent.closed_by_peer())

    def test_agent_bytes_are_read_only_after_the_upstream_connect(self):
        # An accept queue of one, filled: the daemon's SYN is dropped and
        # retried until the queue frees.
        listener = socket.socket()
        self.closers.append(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        filler = socket.create_connection(listener.getsockname())
        self.closers.append(filler.close)
        d, port = self.daemon([harness.tcp_spec(listener.getsockname()[1])])
        agent = self.own(Agent(port))
        agent.send("EARLY", b"x")
        d.wait_for("Got stream endpoint")
        time.sleep(0.5)
        self.assertNotIn("rcv <0 EARLY", d.log)
        filler.close()
        server = self.own(StandinServer(listener=listener))
        self.assertEqual(frame_tuple(server.wait_frames(1, timeout=20)[0]), (0, "EARLY", False, b"x", b""))
        d.wait_for("rcv <0 EARLY x>")

    def test_agent_is_never_read_when_the_upstream_connect_fails(self):
        refusing = socket.socket()
        self.closers.append(refusing.close)
        refusing.bind(("127.0.0.1", 0))  # bound, not listening: connects are refused
        d, port = self.daemon([harness.tcp_spec(refusing.getsockname()[1])])
        agent = self.own(Agent(port))
        agent.send("LOST", b"x")
        self.assertTrue(agent.closed_by_peer())
        d.stop()
        d.wait_for("SIGINT handled, shutdown")  # the whole log has been read
        self.assertNotIn("rcv <0 LOST", d.log)

    def test_forward_entries_are_used_in_turn(self):
        servers = [self.own(StandinServer()) for _ in range(3)]
        d, port = self.daemon([s.spec for s in servers])
        for i, expected in enumerate([0, 1, 2, 0]):
            self.own(Agent(port))
            self.assertTrue(wait_until(lambda: sum(s.connections for s in servers) == i + 1))
            self.assertEqual([s.connections for s in servers][expected], 2 if i == 3 else 1, "agent %d" % i)


if __name__ == "__main__":
    unittest.main()
