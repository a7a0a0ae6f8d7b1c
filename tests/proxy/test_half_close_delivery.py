"""How a half-closed pair ends, through the real daemon: an answer that a
half-closed agent reads slowly but steadily is delivered whole, however long
no write of the daemon completes, raw or as a cached update reply; a server
that keeps sending PINGs behind an agent's end holds the pair no longer than
the half-close limit; and a peer that the daemon cuts off while it still owes
it bytes sees its connection reset, never an orderly end that would pass the
cut answer off as whole."""

import os
import socket
import threading
import time
import unittest

import harness
from standin_agent import PeersTestCase
from standin_server import Repository, build_frame, parse_frame
from test_half_close_updates import open_descriptors

MiB = 1 << 20
ANSWER = os.urandom(6 * MiB)
GREETING = build_frame(0, "HELLO", b"ready")
# Steady and slow: about 1.3 MiB per 4 s limit, less than what the daemon's
# socket holds, so that no write of the daemon's completes within a limit.
RATE = 30000
SLOW_SECONDS = 10


class AnsweringUpstream:
    """Upstream stand-in that never negotiates: a command first (so the pair
    relays raw), then `answer` and the end of its sending. It answers once it
    has read the daemon's end of stream, or at once with `at_once`; with
    `pings` it answers nothing and sends a PING every half second instead."""

    def __init__(self, answer=b"", at_once=False, pings=False):
        self.answer, self.at_once, self.pings = answer, at_once, pings
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        self.conns = []
        self.ended = threading.Event()
        harness.start_thread(self._accept)

    def _accept(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        self.conns.append(conn)
        try:
            if not self.at_once:
                while conn.recv(65536):
                    pass
                self.ended.set()
            if self.pings:
                for number in range(1000):
                    conn.sendall(build_frame(number, "PING", b"%d" % number))
                    time.sleep(0.5)
                return
            conn.sendall(GREETING + self.answer)
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        harness.close_sockets([self.listener] + self.conns)


def read_slowly(sock, seconds, rate=RATE):
    """What `sock` delivers to a reader taking `rate` bytes a second for `seconds`."""
    data = bytearray()
    step = 0.1
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        chunk = sock.recv(int(rate * step))
        if not chunk:
            break
        data += chunk
        time.sleep(step)
    return data


def read_to_end(sock, timeout=60):
    """Everything left on `sock`, and how it ended: "end" or "reset"."""
    sock.settimeout(timeout)
    data = bytearray()
    try:
        while True:
            chunk = sock.recv(1 << 20)
            if not chunk:
                return data, "end"
            data += chunk
    except ConnectionResetError:
        return data, "reset"


class HalfClosedDeliveryTest(PeersTestCase):
    def relay_to(self, upstream, **limits):
        self.addCleanup(upstream.close)
        daemon = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])],
                                   env=harness.limits_env(**limits))
        self.addCleanup(self._stop_clean, daemon)
        daemon.wait_started()
        self.baseline = open_descriptors(daemon.pid)
        # A small window: the reader's system reopens it in steps of about
        # half of it, which the looks can tell apart within the limit (with
        # loopback's 64 KiB segments a large one opens in 128 KiB steps).
        agent = socket.socket()
        self.addCleanup(agent.close)
        agent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
        agent.settimeout(10)
        agent.connect(("127.0.0.1", daemon.listen_ports()[-1]))
        return daemon, agent

    def test_an_answer_read_steadily_by_a_half_closed_agent_is_never_cut(self):
        # Raw: the agent asks and ends its sending; 6 MiB come back at once.
        daemon, agent = self.relay_to(AnsweringUpstream(ANSWER), half_close_limit_ms=4000)
        agent.sendall(build_frame(0, "GET", b"answer"))
        agent.shutdown(socket.SHUT_WR)
        data = read_slowly(agent, SLOW_SECONDS)
        rest, ending = read_to_end(agent)
        self.assertEqual((len(data + rest), ending), (len(GREETING + ANSWER), "end"))
        self.assertTrue(bytes(data + rest) == GREETING + ANSWER, "the answer's bytes differ")
        self.assertNotIn("One direction ended", daemon.log)

    def test_a_cached_reply_read_steadily_by_a_half_closed_agent_is_never_cut(self):
        server = self.start_server(repository=Repository(files=[6 * MiB]))
        daemon, port = self.start_relay(server, env=harness.limits_env(half_close_limit_ms=4000))
        first = self.start_agent(port)
        self.assertTrue(first.fetch(first.wait_announcement()).ok)
        agent = self.start_agent(port)
        # Made small only now, which still halves the window's steps (see relay_to).
        agent.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
        agent.request(agent.wait_announcement())
        agent.sock.shutdown(socket.SHUT_WR)
        agent.sock.settimeout(10)
        agent.buffer += read_slowly(agent.sock, SLOW_SECONDS)
        rest, ending = read_to_end(agent.sock)
        agent.buffer += rest
        frames = []
        while True:
            frame, agent.buffer = parse_frame(agent.buffer)
            if frame is None:
                break
            frames.append(frame)
        replies = [f for f in frames if f.name == "SRS_UPDATE"]
        self.assertEqual((len(replies), len(agent.buffer), ending), (1, 0, "end"), [f.name for f in frames])
        self.assertTrue(bytes(replies[0].body) == server.repository.payload("1"), "the reply's bytes differ")
        self.assertNotIn("One direction ended", daemon.log)

    def test_a_server_that_pings_behind_the_agents_end_holds_the_pair_no_longer_than_the_limit(self):
        upstream = AnsweringUpstream(pings=True)
        daemon, agent = self.relay_to(upstream, half_close_limit_ms=1500)
        agent.shutdown(socket.SHUT_WR)
        self.assertTrue(upstream.ended.wait(10), "the agent's end was not passed on")
        started = time.monotonic()
        daemon.wait_for("One direction ended 1500 ms ago and the other did not, disconnect", timeout=6)
        self.assertLess(time.monotonic() - started, 3.5)
        self.assertTrue(harness.wait_until(lambda: open_descriptors(daemon.pid) <= self.baseline, 5),
                        "%d descriptors open, %d before" % (open_descriptors(daemon.pid), self.baseline))
        self.assertEqual(read_to_end(agent), (bytearray(), "end"))

    def test_a_peer_cut_off_while_it_is_owed_bytes_sees_a_reset(self):
        # The half-close limit: a half-closed agent that takes nothing of its answer.
        daemon, agent = self.relay_to(AnsweringUpstream(ANSWER), half_close_limit_ms=1000)
        agent.shutdown(socket.SHUT_WR)
        daemon.wait_for("One direction ended 1000 ms ago", timeout=15)
        data, ending = read_to_end(agent)
        self.assertEqual(ending, "reset", "%d of %d bytes, then an orderly end" % (len(data), len(ANSWER)))
        # The write stall limit: an agent that reads nothing at all.
        daemon, agent = self.relay_to(AnsweringUpstream(ANSWER, at_once=True), write_stall_limit_ms=1000)
        daemon.wait_for("Peer took no byte for", timeout=15)
        data, ending = read_to_end(agent)
        self.assertEqual(ending, "reset", "%d of %d bytes, then an orderly end" % (len(data), len(ANSWER)))


if __name__ == "__main__":
    unittest.main()
