"""A pair one of whose sides is gone, through the real daemon: a partner
writing on towards a peer that left holds it no longer than the half-close
limit."""

import hashlib
import os
import queue
import select
import shutil
import socket
import tempfile
import threading
import time
import unittest

import harness
from standin_agent import PeersTestCase
from standin_server import build_frame
from test_half_close_flow import unsent
from test_half_close_updates import open_descriptors

GREETING = build_frame(0, "HELLO", b"ready")  # the pair relays raw behind it
LIMIT = 2.0


class Upstream:
    """Greets each connection with `early` bytes behind; reads nothing (a
    small receive buffer) until `go` is set, then all, keeping per tag (a
    burst's first 6 bytes) the md5 and length of what came and its end."""

    def __init__(self, early):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        self.early, self.go, self.got, self.conns, self.accepted = early, threading.Event(), {}, queue.Queue(), []
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

    def _collect(self, conn, data=b"", ending="end"):
        self.go.wait(60)
        try:
            for chunk in iter(lambda: conn.recv(1 << 16), b""):
                data += chunk
        except ConnectionResetError:
            ending = "reset"
        except OSError:
            return
        self.got[data[:6]] = (hashlib.md5(data).hexdigest(), len(data), ending)

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


if __name__ == "__main__":
    unittest.main()
