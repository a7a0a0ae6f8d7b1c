"""Back-pressure through the real daemon: a peer that sends faster than the
other side takes, in any relay direction (raw, parsed, compressed, or the
daemon's own answers), makes the daemon stop reading it instead of growing.
The sender stalls, the daemon's RSS stays bounded, and nothing is lost once
the slow side reads again."""

import hashlib
import os
import socket
import threading
import time
import unittest

import harness
from standin_agent import PeersTestCase
from standin_server import build_frame
from test_load import process_figures

MiB = 1 << 20
# The whole process at the default bounds, however hard a peer floods.
RSS_LIMIT_KIB = 256 * 1024
# Growth allowed over the idle daemon: the queues at high water, reads and
# socket buffers, with a wide margin for the allocator.
GROWTH_LIMIT_KIB = 48 * 1024
# Freed relay buffers parked by AddressSanitizer would count as growth, and
# so would the memory its allocator keeps for reuse once they leave the
# quarantine: under a flood of a few GiB that grew by about 100 MB while the
# daemon's live heap stayed below 6 MB. Returning it every 50 ms keeps the
# resident figure close to what the daemon holds.
SMALL_QUARANTINE = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") +
                    ":quarantine_size_mb=16:allocator_release_to_os_interval_ms=50"}


def sanitized(pid):
    """True when the daemon runs under AddressSanitizer, whose shadow memory and
    redzones about double what small allocations cost, or ThreadSanitizer,
    whose shadow memory counts in the resident figure as well."""
    with open("/proc/%d/maps" % pid) as f:
        maps = f.read()
    return "libasan" in maps or "libtsan" in maps


class SilentServer:
    """An upstream server that accepts, sends `greeting` and never reads."""

    def __init__(self, greeting=b""):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        self.greeting = greeting
        self.conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            while True:
                conn, _ = self.listener.accept()
                conn.sendall(self.greeting)
                self.conns.append(conn)
        except OSError:
            pass

    def conn(self, index=0, timeout=10):
        if not harness.wait_until(lambda: len(self.conns) > index, timeout):
            raise AssertionError("the daemon did not connect upstream")
        return self.conns[index]

    def close(self):
        self.listener.close()
        for conn in self.conns:
            conn.close()


class Pump:
    """Sends `chunks` (an iterator of bytes) on a socket from a thread until
    they run out, the socket fails or stop() is called; `sent` counts bytes."""

    def __init__(self, sock, chunks):
        self.sock, self.chunks, self.sent, self.stopped = sock, chunks, 0, False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for chunk in self.chunks:
                if self.stopped:
                    return
                self.sock.sendall(chunk)
                self.sent += len(chunk)
        except OSError:
            pass

    def stop(self):
        self.stopped = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.thread.join(10)
        # Closed with unread data: the peer gets a reset, as from a crashed process.
        self.sock.close()


def send_commands(server, name, bodies):
    """Starts a thread that sends one command per body to the server's first
    connection; it ends quietly when the connection goes."""
    def run():
        try:
            for i, body in enumerate(bodies):
                server.send(0, name, b"%d" % i, body)
        except OSError:
            pass
    return harness.start_thread(run)


def repeat(chunk, total):
    for _ in range(total // len(chunk)):
        yield chunk


def frames(name, body, total, first=0):
    """Numbered frames carrying `body`, `total` bytes of bodies in all."""
    for n in range(total // len(body)):
        yield build_frame(first + n, name, b"x", body)


class BackpressureTest(PeersTestCase):
    def watch(self, daemon, pump, total, quiet=0.6, timeout=20):
        """Waits until `pump` stops making progress (or has sent `total`); returns the daemon's peak RSS in KiB."""
        peak, last, still_since = 0, -1, time.monotonic()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and pump.sent < total:
            peak = max(peak, process_figures(daemon.pid)[0])
            if pump.sent != last:
                last, still_since = pump.sent, time.monotonic()
            elif time.monotonic() - still_since > quiet:
                break
            time.sleep(0.02)
        return max(peak, process_figures(daemon.pid)[0])

    def assertHeldBack(self, daemon, pump, total, before, what):
        peak = self.watch(daemon, pump, total)
        self.assertLess(pump.sent, total, "%s: the daemon took all %d MiB" % (what, total >> 20))
        self.assertLess(peak, RSS_LIMIT_KIB, "%s: peak RSS %d KiB" % (what, peak))
        self.assertLess(peak - before, self.growth_limit(daemon),
                        "%s: RSS %d KiB before, %d at the peak" % (what, before, peak))

    def growth_limit(self, daemon):
        return GROWTH_LIMIT_KIB * (2 if sanitized(daemon.pid) else 1)

    def silent_pair(self, greeting, **daemon_kwargs):
        server = SilentServer(greeting)
        self.addCleanup(server.close)
        daemon, port = self.start_relay(server, **daemon_kwargs)
        return server, daemon, port

    def test_raw_floods_in_both_directions_stall_and_memory_stays_bounded_round_after_round(self):
        # The server's first command before any negotiation turns the pair raw.
        server, daemon, port = self.silent_pair(b"0 HELLO\r\n")
        before, descriptors = process_figures(daemon.pid)
        for round in range(3):
            agent = socket.create_connection(("127.0.0.1", port))
            self.addCleanup(agent.close)
            upstream = server.conn(round)
            self.assertTrue(harness.wait_until(lambda: daemon.count("switch to raw mode") > round))
            toward_agent = Pump(upstream, repeat(b"s" * (64 << 10), 512 * MiB))
            self.assertHeldBack(daemon, toward_agent, 512 * MiB, before, "server to a silent agent, round %d" % round)
            toward_server = Pump(agent, repeat(b"a" * (64 << 10), 512 * MiB))
            self.assertHeldBack(daemon, toward_server, 512 * MiB, before, "agent to a silent server, round %d" % round)
            toward_agent.stop()
            toward_server.stop()
            # Both ends gone: the pair is released, descriptors and all.
            self.assertTrue(harness.wait_until(lambda: process_figures(daemon.pid)[1] <= descriptors),
                            "round %d left descriptors open" % round)

    def test_framed_flood_toward_a_silent_server_stalls_the_agent(self):
        server, daemon, port = self.silent_pair(b"")
        agent = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(agent.close)
        server.conn()
        before = process_figures(daemon.pid)[0]
        pump = Pump(agent, frames("BLOB", b"f" * (256 << 10), 512 * MiB))
        self.assertHeldBack(daemon, pump, 512 * MiB, before, "framed agent commands")
        pump.stop()

    def test_pings_of_a_server_that_never_reads_its_pongs_stall_it(self):
        # Each PING and PONG is a small allocation freed at once: under
        # AddressSanitizer the default quarantine alone held 100 MB of them.
        server, daemon, port = self.silent_pair(b"", env=SMALL_QUARANTINE)
        agent = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(agent.close)
        before = process_figures(daemon.pid)[0]
        pings = (b"".join(build_frame(n * 1024 + i, "PING", b"p") for i in range(1024)) for n in range(1 << 16))
        pump = Pump(server.conn(), pings)
        self.assertHeldBack(daemon, pump, 1 << 40, before, "server PINGs")
        daemon.wait_for("snd <")
        self.assertIn("PONG", daemon.log)
        pump.stop()

    def test_compressed_flood_toward_a_silent_agent_is_bounded_after_inflation_and_arrives_whole(self):
        server, daemon, port = self.start_pair({"options": "COMP"}, env=SMALL_QUARANTINE)
        agent = self.start_agent(port, options="COMP")
        self.assertIsNotNone(agent.inflater, "compression was not negotiated")
        before = process_figures(daemon.pid)[0]
        # 1 MiB of zeros deflates to about a kilobyte: a few MiB on the wire
        # would inflate to gigabytes.
        body, count = bytes(MiB), 2048
        sender = send_commands(server, "ZERO", [body] * count)
        peak = 0
        for _ in range(100):
            peak = max(peak, process_figures(daemon.pid)[0])
            time.sleep(0.02)
        self.assertLess(peak - before, self.growth_limit(daemon), "RSS %d KiB before, %d at the peak" % (before, peak))
        self.assertTrue(sender.is_alive(), "the daemon took all %d MiB inflated" % count)
        # The agent reads again: every command arrives whole and in order.
        for i in range(16):
            frame = agent.expect("ZERO", timeout=20)
            self.assertEqual((frame.args, frame.body), (b"%d" % i, body))
        self.assertLess(process_figures(daemon.pid)[0], RSS_LIMIT_KIB)

    def test_a_full_speed_reader_gets_every_byte_intact(self):
        server, daemon, port = self.start_pair(env=SMALL_QUARANTINE)
        agent = self.start_agent(port)
        before = process_figures(daemon.pid)[0]
        bodies = [hashlib.sha256(b"%d" % i).digest() * (MiB // 32) for i in range(8)]
        count = 96
        send_commands(server, "DATA", [bodies[i % 8] for i in range(count)])
        peak = before
        for i in range(count):
            frame = agent.expect("DATA", timeout=20)
            self.assertEqual(frame.args, b"%d" % i)
            self.assertEqual(frame.body, bodies[i % 8], "body %d" % i)
            if i % 8 == 0:
                peak = max(peak, process_figures(daemon.pid)[0])
        self.assertLess(peak, RSS_LIMIT_KIB, "RSS %d KiB before, %d at the peak" % (before, peak))


if __name__ == "__main__":
    unittest.main()
