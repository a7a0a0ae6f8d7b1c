"""What a half-closed pair may rely on, through the real daemon: an agent that
asks for update files and then shuts down its sending side still gets its
whole reply before its end of stream, whichever connection downloads the
files and also when the download is retried after a stall, behind a server
that closes as soon as it reads the end of stream; a slow answer to a
half-closed agent is not cut while bytes keep moving; pairs whose agents have
left behind an upstream that ignores their end are freed within the
half-close limit."""

import os
import re
import socket
import threading
import time
import unittest

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, build_frame

FILE_SIZE = 300000  # five ranges of the stand-in server's 64 KiB
# Time for a fault to show (an end of stream passed on too early) before the
# test goes on; no outcome depends on it.
SETTLE = 0.3


def reply_then_end(agent, repo, timeout=20):
    """The SRS_UPDATE a half-closed agent gets, checked whole, then its end of stream."""
    while True:
        frame = agent.frame(timeout)
        if frame.name == "SRS_UPDATE":
            break
        # A half-closed agent answers nothing, PINGs included.
        agent.skipped.append(frame)
    args = frame.args.split()
    # The daemon sends the whole set as one range, which needs no acknowledgement.
    assert args[1:] == [b"R0:%d" % FILE_SIZE, b"S%d" % FILE_SIZE], args
    assert frame.body == repo.payload("1"), "the reply's bytes differ from the file"
    try:
        extra = agent.frame(timeout)
    except ConnectionClosed:
        return
    raise AssertionError("end of stream expected behind the reply, got %r" % (extra,))


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class IgnoringUpstream:
    """Upstream stand-in: a ready frame to each connection (`greeting`), then it
    reads to the end of stream and either ignores it, keeping the socket open,
    or answers it with `trickle` frames of 1 KiB, one every `pause` seconds,
    and ends its own sending."""

    def __init__(self, trickle=0, pause=0.25, greeting=True):
        self.trickle = trickle
        self.pause = pause
        self.greeting = greeting
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        self.conns = []
        self.ended = 0
        self.lock = threading.Lock()
        harness.start_thread(self._accept)

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.conns.append(conn)
            harness.start_thread(lambda: self._serve(conn))

    def _serve(self, conn):
        try:
            number = 0
            if self.greeting:
                conn.sendall(build_frame(number, "HELLO", b"ready"))
                number += 1
            while conn.recv(65536):
                pass
            with self.lock:
                self.ended += 1
            for i in range(self.trickle):
                time.sleep(self.pause)
                conn.sendall(build_frame(number + i, "DATA", b"%d" % i, b"x" * 1024))
            if self.trickle:
                conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        with self.lock:
            conns = list(self.conns)
        harness.close_sockets([self.listener] + conns)


class HalfClosedUpdateTest(PeersTestCase):
    def start_updates(self, **server_kwargs):
        server_kwargs.setdefault("repository", Repository(files=[FILE_SIZE]))
        limits = server_kwargs.pop("limits", {})
        server = self.start_server(**server_kwargs)
        daemon, port = self.start_relay(server, env=harness.limits_env(**limits) if limits else None)
        return server, daemon, port

    def ready_agent(self, port):
        agent = self.start_agent(port)
        agent.announcement = agent.wait_announcement()
        return agent

    def test_a_half_closed_agent_gets_the_multi_range_file_its_own_connection_downloads(self):
        server, daemon, port = self.start_updates()
        for i in range(3):
            # A file of its own each time: never served from the cache.
            server.repository = Repository(files=[("file-%d.bin" % i, os.urandom(FILE_SIZE))], revision=10 + i)
            agent = self.ready_agent(port)
            agent.request(agent.announcement)
            agent.sock.shutdown(socket.SHUT_WR)
            reply_then_end(agent, server.repository)
        # Every range acknowledged, the last included, and no acknowledgement
        # logged as sent that the server did not get. The last log lines may
        # be written just after the server read their commands.
        sent = lambda: len(re.findall(r"snd <\d+ ACK_RANGE ", daemon.log))
        harness.wait_until(lambda: server.count("ACK_RANGE") >= 3 * 5 and sent() >= 3 * 5, timeout=5)
        self.assertEqual(server.count("ACK_RANGE"), 3 * 5)
        self.assertEqual(len(re.findall(r"snd <\d+ ACK_RANGE ", daemon.log)), 3 * 5)

    def test_a_half_closed_agent_gets_the_file_another_connection_downloads(self):
        server, daemon, port = self.start_updates(hold=True)
        other, agent = self.ready_agent(port), self.ready_agent(port)
        other.request(other.announcement)
        server.wait_held(1)
        agent.request(agent.announcement)
        agent.sock.shutdown(socket.SHUT_WR)
        time.sleep(SETTLE)
        server.release()
        self.assertTrue(other.receive(other.announcement).ok)
        reply_then_end(agent, server.repository)
        # From the cache, too: a later agent that half-closes at once.
        late = self.ready_agent(port)
        late.request(late.announcement)
        late.sock.shutdown(socket.SHUT_WR)
        reply_then_end(late, server.repository)

    def test_a_half_closed_agent_gets_its_file_when_the_download_is_retried_after_a_stall(self):
        # The stalled download first on the other agent's connection (the
        # retry runs on the half-closed agent's own), then on the half-closed
        # agent's own connection (the retry runs on the other's).
        for half_closed_first in (False, True):
            server, daemon, port = self.start_updates(faults=["stall"], limits={"stall_limit_ms": 500})
            first, second = self.ready_agent(port), self.ready_agent(port)
            first.request(first.announcement)
            server.wait_count("ARQ_UPDATE", 1)
            second.request(second.announcement)
            agent, other = (first, second) if half_closed_first else (second, first)
            agent.sock.shutdown(socket.SHUT_WR)
            daemon.wait_for("made no progress for 500 ms, given up")
            reply_then_end(agent, server.repository)
            self.assertTrue(other.receive(other.announcement).ok, "half-closed first: %s" % half_closed_first)
            self.assertEqual(server.count("ARQ_UPDATE"), 2)
            self.assertNotIn("Update request not served", daemon.log)

    def test_a_trickling_answer_to_a_half_closed_agent_is_not_cut(self):
        upstream = IgnoringUpstream(trickle=12, greeting=False)
        self.addCleanup(upstream.close)
        daemon = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])],
                                   env=harness.limits_env(half_close_limit_ms=1000))
        self.addCleanup(self._stop_clean, daemon)
        daemon.wait_started()
        agent = harness.connect(daemon.listen_ports()[-1])
        self.addCleanup(agent.close)
        agent.shutdown(socket.SHUT_WR)
        # Three seconds of a frame every 0.25 s, three times the limit.
        data = bytearray()
        agent.settimeout(20)
        while True:
            chunk = agent.recv(65536)
            if not chunk:
                break
            data += chunk
        expected = b"".join(build_frame(i, "DATA", b"%d" % i, b"x" * 1024) for i in range(12))
        self.assertEqual(len(data), len(expected))
        self.assertEqual(bytes(data), expected)
        self.assertNotIn("One direction ended", daemon.log)

    def agents_leave(self, daemon, count):
        port = daemon.listen_ports()[-1]
        for _ in range(count):
            agent = harness.connect(port)
            # Its answer, then it leaves.
            agent.settimeout(10)
            received = b""
            while not received.endswith(b"\r\n"):
                received += agent.recv(64)
            agent.close()

    def test_pairs_whose_agents_left_are_freed_within_the_limit(self):
        upstream = IgnoringUpstream()
        self.addCleanup(upstream.close)
        daemon = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])],
                                   env=harness.limits_env(half_close_limit_ms=500))
        self.addCleanup(self._stop_clean, daemon)
        daemon.wait_started()
        baseline = open_descriptors(daemon.pid)
        self.agents_leave(daemon, 20)
        self.assertTrue(harness.wait_until(lambda: upstream.ended >= 20, 10))
        self.assertTrue(harness.wait_until(lambda: open_descriptors(daemon.pid) <= baseline, 10),
                        "%d descriptors open, %d before" % (open_descriptors(daemon.pid), baseline))
        # The last lines may still be on their way to the harness's reader.
        freed = "One direction ended 500 ms ago and the other did not, disconnect"
        harness.wait_until(lambda: daemon.count(freed) >= 20, 5)
        self.assertEqual(daemon.count(freed), 20, daemon.log[-4000:])


if __name__ == "__main__":
    unittest.main()
