"""Half-closes and flow control meeting, through the real daemon: a reader
that takes bytes slowly but steadily is never taken for stalled, however a
burst falls against the write stall watch; an agent that closes in order
while its reading is held back has everything it sent handed on, even when
the daemon's next write to it is refused, compressed commands still waiting
to be inflated behind the server's backlog included, also when the daemon's
system had taken all of it and the server keeps writing; and a peer that half-closes
behind compressed commands costs no more memory than the same flood
without the half-close."""

import fcntl
import os
import socket
import struct
import termios
import threading
import time
import unittest
import zlib

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import build_frame
from test_backpressure import SMALL_QUARANTINE, GROWTH_LIMIT_KIB, sanitized
from test_load import process_figures

MiB = 1 << 20


def unsent(sock):
    """Bytes the system still holds unacknowledged on `sock`."""
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def daemon_rx_queue(port, peer_port):
    """Bytes waiting unread in the daemon's socket listening-side `port` whose
    peer is `peer_port` (from /proc/net/tcp); None when there is none."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            local, remote = fields[1], fields[2]
            if int(local.split(":")[1], 16) == port and int(remote.split(":")[1], 16) == peer_port:
                return int(fields[4].split(":")[1], 16)
    return None


class AcceptingServer:
    """An upstream server that accepts and records when; it reads nothing."""

    def __init__(self, rcvbuf=None):
        self.listener = socket.socket()
        if rcvbuf:
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        self.conns = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            while True:
                conn, _ = self.listener.accept()
                with self.lock:
                    self.conns.append((conn, time.monotonic()))
        except OSError:
            pass

    def conn(self, index, timeout=10):
        if not harness.wait_until(lambda: len(self.conns) > index, timeout):
            raise AssertionError("the daemon did not connect upstream")
        return self.conns[index]

    def close(self):
        self.listener.close()
        for conn, _ in self.conns:
            conn.close()


class GatedSocket:
    """Stands in for a stand-in server's socket: its reading waits until `open` is set."""

    def __init__(self, sock):
        self.sock, self.open = sock, threading.Event()

    def recv(self, n):
        self.open.wait(30)
        return self.sock.recv(n)

    def __getattr__(self, name):
        return getattr(self.sock, name)


class HalfCloseFlowTest(PeersTestCase):
    def accepting_server(self, **kwargs):
        server = AcceptingServer(**kwargs)
        self.addCleanup(server.close)
        return server

    def test_a_steady_slow_reader_is_never_cut_however_a_burst_falls_against_the_watch(self):
        limit_ms = 1000
        server = self.accepting_server()
        daemon, port = self.start_relay(server, env=harness.limits_env(write_stall_limit_ms=limit_ms))
        # The watch looks at an idle connection once a limit from its start,
        # which is when the daemon reached the server. Each burst starts a
        # little after such a look, at another distance each time: a look
        # that re-armed for the rest of the limit once compared the send
        # queue over those few milliseconds only.
        delays = [0.02, 0.06, 0.12, 0.2, 0.35]
        limit = limit_ms / 1000.0
        stop = threading.Event()
        received, ends, threads = [0] * len(delays), [None] * len(delays), []
        body = os.urandom(64 << 10)
        burst = b"".join(build_frame(i, "DATA", b"%d" % i, body) for i in range(256))

        def read_steadily(i, agent):
            # 16 KiB every 100 ms, without a pause, for as long as the test runs.
            agent.settimeout(limit * 4)
            try:
                while not stop.is_set():
                    chunk = agent.recv(16 << 10)
                    if not chunk:
                        ends[i] = "end of stream"
                        return
                    received[i] += len(chunk)
                    time.sleep(0.1)
            except OSError as e:
                ends[i] = str(e)

        def burst_after_look(upstream, accepted, delay):
            time.sleep(max(0, accepted + limit + delay - time.monotonic()))
            try:
                upstream.sendall(burst)
            except OSError:
                pass

        for i, delay in enumerate(delays):
            agent = socket.socket()
            # A small receive buffer: the window reopens in steps, as it does
            # for slow readers on real networks.
            agent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 10)
            agent.connect(("127.0.0.1", port))
            self.addCleanup(agent.close)
            upstream, accepted = server.conn(i)
            threads.append(harness.start_thread(lambda i=i, agent=agent: read_steadily(i, agent)))
            threads.append(harness.start_thread(lambda u=upstream, a=accepted, d=delay: burst_after_look(u, a, d)))
        # Long enough for every burst to meet two looks and a whole limit.
        time.sleep(limit * 3.5)
        stop.set()
        self.assertEqual(daemon.count("Peer took no byte"), 0, daemon.log[-3000:])
        self.assertEqual(ends, [None] * len(delays))
        # Each reader took bytes all along, far less than the burst.
        for i, count in enumerate(received):
            self.assertGreater(count, 16 << 10, "reader %d" % i)
            self.assertLess(count, len(burst), "reader %d" % i)

    def test_an_orderly_close_behind_held_back_reading_hands_on_everything_despite_a_refused_write(self):
        server = self.start_server(echo=False, repository=None)
        # A small receive buffer upstream: the agent's commands soon wait
        # above the high-water mark and the agent's reading is held back.
        server._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 10)
        limits = harness.limits_env(send_high_water_bytes=64 << 10, send_low_water_bytes=32 << 10)
        daemon, port = self.start_relay(server, env=limits)
        fill = os.urandom(256 << 10)
        sent = 0
        for attempt in range(3):
            agent = self.start_agent(port)
            upstream = server._conn(attempt)
            gate = GatedSocket(upstream.sock)
            upstream.sock = gate
            agent_port = agent.sock.getsockname()[1]
            first = sent
            # Commands until the daemon leaves bytes unread in its socket:
            # its reading of the agent is held back now.
            while True:
                agent.send("FILL", b"%d" % sent, fill)
                sent += 1
                self.assertLess(sent - first, 200, "the daemon never held the agent's reading back")
                if harness.wait_until(lambda: (daemon_rx_queue(port, agent_port) or 0) > 0, 0.1):
                    time.sleep(0.2)
                    if (daemon_rx_queue(port, agent_port) or 0) > 0:
                        break
            # The agent's last commands, all taken by the daemon's system;
            # it has nothing to read, so its close is orderly.
            for i in range(200):
                agent.send("LAST", b"%d %d" % (attempt, i))
            self.assertTrue(harness.wait_until(lambda: unsent(agent.sock) == 0, 5),
                            "the daemon's system did not take the last commands")
            agent.sock.close()
            # Something for the agent right behind its close: its system
            # answers the first write with a reset, and the next one fails.
            for i in range(6):
                server.send(attempt, "PUSH", b"%d" % i)
                time.sleep(0.005)
            gate.open.set()
            # Everything the agent sent arrives, and then the daemon's end.
            self.assertTrue(harness.wait_until(lambda: upstream.sock.sock.fileno() < 0, 20), "attempt %d" % attempt)
            self.assertEqual(server.count("FILL"), sent, "attempt %d" % attempt)
            self.assertEqual([f.args for f in server.frames() if f.name == "LAST" and f.conn == attempt],
                             [b"%d %d" % (attempt, i) for i in range(200)], "attempt %d" % attempt)

    def test_a_compressed_close_behind_held_back_handing_on_keeps_its_rest_despite_a_refused_write(self):
        server = self.start_server(options="COMP", echo=False, repository=None)
        server._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 10)
        limits = harness.limits_env(send_high_water_bytes=64 << 10, send_low_water_bytes=32 << 10)
        daemon, port = self.start_relay(server, env=limits)
        agent = self.start_agent(port, options="COMP")
        self.assertIsNotNone(agent.inflater, "compression was not negotiated")
        upstream = server._conn(0)
        gate = GatedSocket(upstream.sock)
        upstream.sock = gate
        agent_port = agent.sock.getsockname()[1]
        # Commands that do not compress (each body new: a repeated one would
        # deflate to a few bytes), until the daemon leaves bytes unread in
        # its socket: the server's backlog holds its reading of the agent
        # back, and nothing inflated waits.
        sent = 0
        while True:
            agent.send("FILL", b"%d" % sent, os.urandom(256 << 10))
            sent += 1
            self.assertLess(sent, 200, "the daemon never held the agent's reading back")
            if harness.wait_until(lambda: (daemon_rx_queue(port, agent_port) or 0) > 0, 0.1):
                time.sleep(0.2)
                if (daemon_rx_queue(port, agent_port) or 0) > 0:
                    break
        # A few kilobytes that inflate to a megabyte of commands without a
        # body (a body is read through the backlog), and the end behind them:
        # the daemon reads both, and hands the commands on only as the server
        # makes room.
        lasts = 1000
        frames = b"".join(build_frame(agent.number + i, "LAST", b"%d " % i + b"p" * 1000) for i in range(lasts))
        agent.number += lasts
        agent.send_raw(agent.deflater.compress(frames) + agent.deflater.flush(zlib.Z_SYNC_FLUSH))
        mark = daemon.mark()
        agent.sock.shutdown(socket.SHUT_WR)
        daemon.wait_for("Peer ended its sending", since=mark)
        # The agent goes for good; the daemon's next write to it is refused.
        agent.sock.close()
        for i in range(6):
            server.send(0, "PUSH", b"%d" % i)
            time.sleep(0.005)
        daemon.wait_for("Send operation failed", since=mark)
        gate.open.set()
        # Everything the agent sent arrives, and then the daemon's end.
        self.assertTrue(harness.wait_until(lambda: upstream.sock.sock.fileno() < 0, 20), daemon.log[-3000:])
        self.assertEqual(server.count("FILL"), sent)
        self.assertEqual(server.count("LAST"), lasts)
        self.assertEqual([f.args for f in server.frames() if f.name == "LAST"],
                         [b"%d " % i + b"p" * 1000 for i in range(lasts)])

    def test_an_agent_that_closed_and_refused_a_write_has_all_it_sent_handed_on_while_its_server_writes(self):
        for options in ("", "COMP"):
            server = self.start_server(options=options, echo=False, repository=None)
            resets = []  # a failed read is logged as the connection's end
            server._log = lambda text: resets.append(text) if " ended: " in text else None
            server._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
            daemon, port = self.start_relay(server)
            agent = self.start_agent(port, options=options)
            upstream = server._conn(0)
            upstream.sock = gate = GatedSocket(upstream.sock)
            bodies = [os.urandom(MiB) for _ in range(2)]
            if options:
                for i, body in enumerate(bodies):
                    agent.send("BULK", b"%d" % i, body)
                arrived = lambda: [f.body for f in server.frames() if f.name == "BULK"]
            else:
                agent.send("INSTALL")
                self.assertTrue(harness.wait_until(lambda: upstream.raw, 10))
                agent.send_raw(b"".join(bodies))
                bodies, arrived = [b"".join(bodies)], lambda: [bytes(upstream.raw_in)]
            self.assertTrue(harness.wait_until(lambda: unsent(agent.sock) == 0, 10))
            mark = daemon.mark()
            agent.sock.close()
            daemon.wait_for("Peer ended its sending", since=mark)
            stop = threading.Event()
            self.addCleanup(stop.set)

            def keep_writing():  # to the agent that left: its system resets, the next write fails
                while not stop.wait(0.02):
                    try:
                        server.send(0, "PUSH", b"p" * 1000)
                    except OSError:
                        return

            harness.start_thread(keep_writing)
            daemon.wait_for("Send operation failed", since=mark)
            time.sleep(0.3)  # the server's next bytes, should the daemon have closed
            gate.open.set()
            self.assertTrue(harness.wait_until(lambda: gate.sock.fileno() < 0, 30), options)
            stop.set()
            got = arrived()
            self.assertEqual(([len(b) for b in got], got == bodies, resets), ([len(b) for b in bodies], True, []))

    def test_a_compressed_half_close_toward_a_silent_agent_costs_what_the_flood_costs_without_it(self):
        server, daemon, port = self.start_pair({"options": "COMP", "echo": False, "repository": None},
                                               env=SMALL_QUARANTINE)
        agent = self.start_agent(port, options="COMP", timeout=30)
        self.assertIsNotNone(agent.inflater, "compression was not negotiated")
        upstream = server._conn(0).sock
        # 1 MiB of zeros deflates to about a kilobyte: the daemon's system
        # takes a hundred of them while the agent reads nothing, and the
        # daemon itself stops at the high-water mark.
        body, count = bytes(MiB), 128
        for i in range(count):
            server.send(0, "ZERO", b"%d" % i, body)
        self.assertTrue(harness.wait_until(lambda: unsent(upstream) == 0, 5),
                        "the daemon's system did not take every compressed byte")
        limit = GROWTH_LIMIT_KIB * (2 if sanitized(daemon.pid) else 1)
        taken = 16

        def take_some_then_watch(first):
            # The agent takes a few commands, which lets the daemon go on,
            # then none; the daemon's peak while it stands still.
            for i in range(first, first + taken):
                frame = agent.expect("ZERO", timeout=20)
                self.assertEqual((frame.args, len(frame.body), frame.body.count(0)), (b"%d" % i, MiB, MiB))
            peak = 0
            for _ in range(50):
                peak = max(peak, process_figures(daemon.pid)[0])
                time.sleep(0.02)
            return peak

        # The flood alone, then the same after the server ends its sending:
        # the daemon reads what its system holds, but inflates it only as
        # the agent makes room.
        without = take_some_then_watch(0)
        mark = daemon.mark()
        server.end_sending(0)
        daemon.wait_for("Peer ended", since=mark)
        after = take_some_then_watch(taken)
        if harness.memory_bounds_judged():
            self.assertLess(after - without, limit, "RSS %d KiB at the peak of the flood, %d after the half-close"
                            % (without, after))
        # Every command still arrives whole and in order, then the end.
        for i in range(2 * taken, count):
            frame = agent.expect("ZERO", timeout=20)
            self.assertEqual((frame.args, len(frame.body), frame.body.count(0)), (b"%d" % i, MiB, MiB))
        with self.assertRaises(ConnectionClosed):
            agent.frame(timeout=10)


if __name__ == "__main__":
    unittest.main()
