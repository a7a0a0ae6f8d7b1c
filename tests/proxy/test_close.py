"""What a close does to the bytes in flight, through the real daemon: a peer
that sends its last command and closes (or only shuts down its sending side)
has every byte before its end of stream handed on, in plain, compressed and
raw relay, in both directions; a half-closing agent still gets its answers.
A side the daemon drops for a bad command still has what it sent before
delivered; a reset ends the pair at once."""

import hashlib
import os
import socket
import struct
import unittest
import zlib

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import build_frame

MiB = 1 << 20


def patterned(seed, size):
    """`size` bytes of a pattern of its own for every seed."""
    block = hashlib.sha256(b"%d" % seed).digest()
    return (block * (size // len(block) + 1))[:size]


def read_to_end(sock, timeout=20):
    """Everything the daemon sends on `sock` until its end of stream."""
    sock.settimeout(timeout)
    data = bytearray()
    while True:
        chunk = sock.recv(1 << 16)
        if not chunk:
            return bytes(data)
        data += chunk


def wait_frame(server, name, index, timeout=20):
    """The server's `index`-th frame called `name` (0 first), once it has come."""
    if not harness.wait_until(lambda: server.count(name) > index, timeout):
        raise AssertionError("%d %s frames came, %d expected" % (server.count(name), name, index + 1))
    return [f for f in server.frames() if f.name == name][index]


class CloseTest(PeersTestCase):
    # Failed 7 to 17 times in 20 before the relay waited for its queues;
    # a few tries a case catch it.
    TRIES = 4

    def test_last_command_before_an_agents_close_reaches_the_server_plain_and_compressed(self):
        for options in ("", "COMP"):
            # Nothing reaches the agent after the negotiation: an agent that
            # closes with bytes unread makes its system send a reset.
            server, daemon, port = self.start_pair({"options": options, "echo": False, "repository": None})
            for i in range(self.TRIES):
                agent = self.start_agent(port, options=options)
                body = os.urandom(MiB)
                agent.send("DATA", b"%d" % i, body)
                agent.close()
                got = wait_frame(server, "DATA", i)
                self.assertEqual((got.args, hashlib.md5(got.body).hexdigest()), (b"%d" % i, hashlib.md5(body).hexdigest()),
                                 "options %r, try %d" % (options, i))

    def test_many_small_compressed_commands_before_a_close_all_arrive(self):
        server, daemon, port = self.start_pair({"options": "COMP", "echo": False, "repository": None})
        agent = self.start_agent(port, options="COMP")
        self.assertIsNotNone(agent.deflater, "compression was not negotiated")
        # One write, closed right behind it.
        frames = [build_frame(agent.number + i, "SMALL", b"%d" % i) for i in range(300)]
        agent.send_raw(agent.deflater.compress(b"".join(frames)) + agent.deflater.flush(zlib.Z_SYNC_FLUSH))
        agent.close()
        wait_frame(server, "SMALL", 299)
        self.assertEqual([f.args for f in server.frames() if f.name == "SMALL"], [b"%d" % i for i in range(300)])

    def test_last_command_before_a_servers_close_reaches_the_agent(self):
        server, daemon, port = self.start_pair({"echo": False})
        for i in range(self.TRIES):
            agent = self.start_agent(port)
            body = os.urandom(MiB)
            server.send(i, "DATA", b"%d" % i, body)
            server.end_sending(i)
            got = agent.expect("DATA", timeout=20)
            self.assertEqual((got.args, got.body), (b"%d" % i, body), "try %d" % i)
            # Then the end of stream, passed on behind it.
            self.assertRaises(ConnectionClosed, agent.expect, "NOTHING", 20)

    def test_raw_relay_hands_on_everything_before_either_close(self):
        server, daemon, port = self.start_pair({"options": "CRYPT", "echo": False})
        agent = self.start_agent(port, options="CRYPT")
        self.assertEqual(agent.mode, "raw")
        payload = os.urandom(5 * MiB)
        server.send_raw(0, payload)
        server.end_sending(0)
        received = bytes(agent.raw) + read_to_end(agent.sock)
        self.assertEqual(len(received), len(payload))
        self.assertEqual(hashlib.md5(received).hexdigest(), hashlib.md5(payload).hexdigest())
        # And the other way, the agent closing right behind its last bytes.
        agent = self.start_agent(port, options="CRYPT")
        agent.send_raw(payload)
        agent.close()
        upstream = server._conn(1)
        harness.wait_until(lambda: len(upstream.raw_in) >= len(payload), 20)
        self.assertEqual(len(upstream.raw_in), len(payload))
        self.assertEqual(hashlib.md5(bytes(upstream.raw_in)).hexdigest(), hashlib.md5(payload).hexdigest())

    def test_a_half_closed_agent_gets_its_answers(self):
        server, daemon, port = self.start_pair()
        for i in range(self.TRIES):
            agent = self.start_agent(port)
            body = patterned(i, 256 << 10)
            agent.send("ECHO", b"%d" % i, body)
            agent.sock.shutdown(socket.SHUT_WR)
            got = agent.expect("ECHO", timeout=20)
            self.assertEqual((got.args, got.body), (b"%d" % i, body), "try %d" % i)
            # The server saw the end of stream and closed: so does the pair.
            self.assertRaises(ConnectionClosed, agent.expect, "NOTHING", 20)

    def test_an_announcement_before_a_bad_command_reaches_the_agent(self):
        server, daemon, port = self.start_pair({"echo": False, "repository": None})
        for i in range(self.TRIES):
            agent = self.start_agent(port)
            mark = daemon.mark()
            body = b"7\n3\n5 %s a.bin\n" % hashlib.md5(b"hello").hexdigest().encode()
            # In one write with a number out of turn, for which the daemon drops the server.
            server.send_raw(i, server._conn(i)._encode("SNF_UPDATE", b"velmo-updates", body) + b"9999 BAD\r\n")
            daemon.wait_for("invalid sequence number", since=mark)
            got = agent.expect("SNF_UPDATE", timeout=20)
            self.assertIn(b"a.bin", got.body)

    def test_an_agents_reset_ends_the_pair_at_once(self):
        server, daemon, port = self.start_pair({"echo": False})
        agent = self.start_agent(port)
        agent.send("DATA", b"1", b"x")
        server.wait_count("DATA", 1)
        # Abortive close: the daemon gets a reset, not an end of stream.
        agent.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        agent.close()
        upstream = server._conn(0).sock
        self.assertTrue(harness.wait_until(lambda: upstream.fileno() == -1, 10), "the server's side stayed open")


if __name__ == "__main__":
    unittest.main()
