"""A pair one of whose sides is gone, through the real daemon: a partner
writing on towards a peer that left holds it no longer than the half-close
limit; agents that half-close, then close with bytes unread (a local socket
then reports a reset) have their whole burst handed on, then an orderly end;
a server whose stream was cut is reset, never ended in order."""

import hashlib
import os
import queue
import select
import shutil
import socket
import struct
import tempfile
import threading
import time
import unittest

import harness
from standin_agent import PeersTestCase
from standin_server import build_frame
from test_half_close_delivery import read_to_end
from test_half_close_flow import unsent
from test_half_close_updates import open_descriptors

GREETING = build_frame(0, "HELLO", b"ready")  # the pair relays raw behind it
EARLY = b"e" * 1024
LIMIT = 2.0


def burst(tag, least=0):
    return b"%06d" % tag + os.urandom(least + tag * 9973 % (1 << 20))


class Upstream:
    """Greets each connection with `early` bytes behind; reads nothing (a
    small receive buffer) until `go` is set, then all, keeping per tag (a
    burst's first 6 bytes) the md5 and length of what came and its end, and
    in `short` the end of each connection that brought no whole tag."""

    def __init__(self, early):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        self.early, self.go, self.got, self.conns, self.accepted = early, threading.Event(), {}, queue.Queue(), []
        self.short = []
        harness.start_thread(self._accept)

    def _accept(self):
        while True:
            try:
                conn = self.listener.accept()[0]
                conn.sendall(GREETING + self.early)
            except OSError:
                return
            self.accepted.append(conn)
            self.conns.put(conn)
            harness.start_thread(lambda: self._collect(conn))

    def _collect(self, conn):
        self.go.wait(60)
        try:
            data, ending = read_to_end(conn)
        except OSError:  # closed unread at the end of the test
            return
        if len(data) < 6:
            self.short.append(ending)
        else:
            self.got[bytes(data[:6])] = (hashlib.md5(data).hexdigest(), len(data), ending)

    def close(self):
        harness.close_sockets([self.listener] + self.accepted)


def write_until_closed(sock, seconds=8):
    """Writes 1,000 bytes every 0.25 s, reading nothing, until the daemon
    closes `sock`: when it did (+inf when it did not within `seconds`)."""
    probe = select.poll()
    probe.register(sock, select.POLLRDHUP | select.POLLHUP | select.POLLERR)
    for _ in range(int(seconds / 0.25)):
        try:
            if probe.poll(0) or sock.send(b"p" * 1000) < 0:
                break
        except OSError:  # reset between the look and the write
            break
        time.sleep(0.25)
    else:
        return float("inf")
    return time.monotonic()


class GoneSideTest(PeersTestCase):
    def relay(self, early=b"", **limits):
        upstream = Upstream(early)
        self.addCleanup(upstream.close)
        where = tempfile.mkdtemp(prefix="velmod-gone-")
        self.addCleanup(shutil.rmtree, where, True)
        path = os.path.join(where, "agents")
        daemon, _ = self.start_relay(upstream, env=harness.limits_env(**limits),
                                     listens=[(harness.listen_spec(0), [upstream.spec]),
                                              ("unix(%s)" % path, [upstream.spec])])
        return daemon, upstream, {"tcp": ("127.0.0.1", daemon.listen_ports()[0]), "local": path}

    def agent(self, address, early=b""):
        agent = socket.socket(socket.AF_UNIX if isinstance(address, str) else socket.AF_INET)
        self.addCleanup(agent.close)
        agent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        agent.settimeout(30)
        agent.connect(address)
        # The greeting is read; the early bytes come, and stay unread.
        whole = GREETING + early
        self.assertTrue(harness.wait_until(lambda: agent.recv(len(whole), socket.MSG_PEEK) == whole, 10))
        agent.recv(len(GREETING))
        return agent

    def sessions(self, addresses, kinds, session, first=0):
        """`session(tag, agent)` for each kind of agent at once: the outcomes it expects, by tag."""
        expected = {}

        def run(tag, kind):
            expected[b"%06d" % tag] = session(tag, self.agent(addresses[kind], EARLY))
        threads = [harness.start_thread(lambda t=tag, k=kind: run(t, k)) for tag, kind in enumerate(kinds, first)]
        for thread in threads:
            thread.join(60)
        self.assertEqual(len(expected), len(kinds), "sessions that ran to their end")
        return expected

    def collected(self, upstream, expected, part=None):
        upstream.go.set()
        harness.wait_until(lambda: sum(tag in upstream.got for tag in expected) + len(upstream.short) >= len(expected),
                           30)
        got = {tag: upstream.got.get(tag, (None,) * 3) for tag in expected}
        return got if part is None else {tag: outcome[part] for tag, outcome in got.items()}

    def test_a_peer_writing_towards_a_side_that_left_holds_the_pair_no_longer_than_the_limit(self):
        daemon, upstream, addresses = self.relay(half_close_limit_ms=int(LIMIT * 1000), write_stall_limit_ms=10000)
        baseline = open_descriptors(daemon.pid)
        for case in ("tcp", "local", "mirror"):
            agent = self.agent(addresses["local" if case == "local" else "tcp"])
            server = upstream.conns.get(timeout=10)
            gone, writer = (server, agent) if case == "mirror" else (agent, server)
            # 1 MiB, all taken by the daemon's system, then an orderly close;
            # the daemon's next write to it is refused.
            gone.sendall(os.urandom(1 << 20))
            self.assertTrue(harness.wait_until(lambda: unsent(gone) == 0, 10), case)
            gone.close()
            left = time.monotonic()
            self.assertLess(write_until_closed(writer) - left, LIMIT + 1.5, case)
            self.assertTrue(harness.wait_until(lambda: open_descriptors(daemon.pid) <= baseline, 5), case)

    def test_a_close_after_a_half_close_hands_on_the_whole_burst_and_a_cut_never_ends_in_order(self):
        daemon, upstream, addresses = self.relay(EARLY)

        def half_close_then_close(tag, agent):
            data = burst(tag)
            agent.sendall(data)
            for step in (lambda: agent.shutdown(socket.SHUT_WR), agent.close):
                if agent.family == socket.AF_INET:  # acknowledged, the end too
                    harness.wait_until(lambda: unsent(agent) == 0, 10)
                step()
            return hashlib.md5(data).hexdigest(), len(data), "end"

        expected = self.sessions(addresses, ["local"] * 60 + ["tcp"] * 20, half_close_then_close)
        self.assertEqual({t: got for t, got in self.collected(upstream, expected).items() if got != expected[t]}, {})
        # The write stall limit drops what the pair still owed a server that
        # reads nothing; a TCP agent's reset in the middle of its burst cuts
        # it: either way the server is reset, over both agents' transports.
        daemon, upstream, addresses = self.relay(EARLY, write_stall_limit_ms=1000)

        def half_close(tag, agent):
            agent.sendall(burst(tag, 6 << 20))
            agent.shutdown(socket.SHUT_WR)
            return "reset"

        expected = self.sessions(addresses, ["local", "tcp"] * 3, half_close)
        harness.wait_until(lambda: daemon.count("Peer took no byte") >= len(expected), 20)
        self.assertEqual(self.collected(upstream, expected, 2), expected)

        def reset_midway(tag, agent):
            agent.sendall(burst(tag))
            agent.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            agent.close()
            return "reset"

        expected = self.sessions(addresses, ["tcp"] * 20, reset_midway, first=100)
        got = self.collected(upstream, expected, 2)
        # A reset that comes before the daemon has handed on a byte of the
        # burst leaves its server nothing to tell it by: that server is reset too.
        lost = [tag for tag, ending in got.items() if ending is None]
        self.assertEqual(upstream.short, ["reset"] * len(lost), got)
        self.assertEqual({tag: ending for tag, ending in got.items() if ending is not None},
                         {tag: "reset" for tag in expected if tag not in lost})


if __name__ == "__main__":
    unittest.main()
