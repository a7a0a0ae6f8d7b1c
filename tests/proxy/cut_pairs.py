#!/usr/bin/env python3
"""Many raw pairs at once, each cut by one of its peers, through the real
daemon on a loaded machine. The short form runs in the test command
(test_cut_pairs.py); the long form by hand, e.g.

  VELMOD_PROXY=build/release/proxy/velmod-proxy python3 tests/proxy/cut_pairs.py --runs 4 --scale 4 --busy 4

One daemon (pool 4) with four listens: TCP agent to TCP server, TCP to a
local-socket server, local agent to TCP, local to local. Per listen, `cut`
pairs in which both peers flood while one of them (the agent and the server
in turn) reads a little, stops sending and closes with SO_LINGER 0 (a reset
over TCP, a close with bytes unread on a local socket), and `whole` pairs
that send both ways and end in order. Every receive buffer of the peers is
at the system minimum; a third of the writers send 1 to 16 bytes at a time,
readers read fast, in small pieces, with pauses or stop a while.

Judged: the partner of a cut peer gets a prefix of what the cut peer sent
(all of it from a local peer, then an end of stream; from a TCP peer, a
reset, seen by its reader or its writer), its reader sees the end or reset
within the half-close limit (and a slack) of the cut, or of the last byte
it read, and its writer is refused; whole pairs arrive exact both ways and
end in order. A partner still taking bytes it is owed when the run ends is
counted apart: with receive buffers at the system minimum, a window smaller
than a segment lets the daemon's system send only on its window probes, a
few KB a second, so a cut peer may take minutes to read up to its cut while
its partner, holding every byte it was sent, rightly waits."""

import argparse
import multiprocessing
import os
import pickle
import random
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from standin_server import build_frame  # noqa: E402

GREETING = build_frame(0, "HELLO", b"ready")  # the pair relays raw behind it
KiB, MiB = 1 << 10, 1 << 20
KINDS = [("tcp", "tcp"), ("tcp", "local"), ("local", "tcp"), ("local", "local")]


class Stream:
    """What one peer sends: `size` bytes of a pattern seeded by `seed`, made
    on the fly so that a reader can check a prefix without storing it."""

    def __init__(self, seed, size):
        self.size = size
        self.block = random.Random(seed).randbytes(64 * KiB + 17)

    def piece(self, offset, n):
        n = min(n, self.size - offset)
        start = offset % len(self.block)
        out = self.block[start:start + n]
        while len(out) < n:
            out += self.block[:n - len(out)]
        return out


class Peer:
    """One end of a pair: its writer sends `out`, its reader checks what
    comes against `expect` (the partner's stream) and notes how it ended."""

    def __init__(self, sock, out, expect, tiny, reading, rng):
        self.sock, self.out, self.expect, self.tiny, self.reading, self.rng = sock, out, expect, tiny, reading, rng
        self.sent = self.got = 0
        self.mismatch = None
        self.ending = None  # "end", "reset" or "stuck"
        self.ended_at = self.last_wait = self.write_refused = None
        self.write_reset = False
        # When the partner cut the pair; 0 for none.
        self.cut_at = 0
        self.stop_writing = threading.Event()
        sock.setblocking(False)

    def state(self):
        return "sent %d/%d%s, got %d/%d (%s reader)%s, %s" % (
            self.sent, self.out.size, " tiny" if self.tiny else "", self.got, self.expect.size, self.reading,
            "" if self.mismatch is None else " differing at %d" % self.mismatch, self.ending)

    def write(self):
        try:
            while self.sent < self.out.size and not self.stop_writing.is_set():
                n = self.rng.randint(1, 16) if self.tiny else 256 * KiB
                try:
                    self.sent += self.sock.send(self.out.piece(self.sent, n))
                except BlockingIOError:
                    select.select([], [self.sock], [], 0.05)
        except OSError as e:
            self.write_refused = time.monotonic()
            # A reset the writer saw first: the reader then sees an end.
            self.write_reset = isinstance(e, ConnectionResetError)

    def read(self, stop_after=None, give_up=None):
        """Until the end or reset (or `stop_after` bytes); `give_up` seconds
        without either after the last byte count as stuck."""
        stopped_once = False
        waiting = None
        while stop_after is None or self.got < stop_after:
            if self.reading == "stop" and not stopped_once and self.got > 200 * KiB:
                stopped_once = True
                time.sleep(1.5)
            elif self.reading == "paused" and self.rng.random() < 0.2:
                time.sleep(0.05)
            want = {"fast": 256 * KiB, "small": self.rng.choice([1, 16, 4 * KiB])}.get(self.reading, 16 * KiB)
            if waiting is None:  # since the last byte, or the pause behind it
                waiting = self.last_wait = time.monotonic()
            try:
                chunk = self.sock.recv(want)
            except BlockingIOError:
                if not select.select([self.sock], [], [], 0.2)[0]:
                    # Counted from the cut too: until it, a slow peer may hold its partner.
                    if time.monotonic() - max(self.last_wait, self.cut_at or 0) > give_up:
                        self.ending = "stuck"
                        return
                continue
            except ConnectionResetError:
                self.ending, self.ended_at = "reset", time.monotonic()
                return
            if not chunk:
                self.ending, self.ended_at = "end", time.monotonic()
                return
            if self.mismatch is None and chunk != self.expect.piece(self.got, len(chunk)):
                self.mismatch = self.got
            self.got += len(chunk)
            waiting = None

    def cut(self):
        """Stops sending and closes with SO_LINGER 0."""
        self.stop_writing.set()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()
        return time.monotonic()


# The peers' receive buffer: 1 asks for the system's minimum.
RCVBUF = [1]


def small_socket(family):
    sock = socket.socket(family)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RCVBUF[0])
    return sock


def read_exactly(sock, n, timeout=30):
    sock.settimeout(timeout)
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed before %d bytes" % n)
        data += chunk
    return data


class Worker:
    """The peers of one listen, in a process of their own: an upstream
    listener for its servers; each pair's session runs in a process of its
    own, forked before any peer's socket exists, so that a peer's close is
    its socket's last (a copy held elsewhere would keep it from resetting)."""

    def __init__(self, index, kind, where):
        self.index, self.kind = index, kind
        self.agent_kind, server_kind = kind
        if server_kind == "tcp":
            self.listener = small_socket(socket.AF_INET)
            self.listener.bind(("127.0.0.1", 0))
            self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        else:
            path = os.path.join(where, "server%d" % index)
            self.listener = small_socket(socket.AF_UNIX)
            self.listener.bind(path)
            self.spec = "unx/" + path
        self.listener.listen(128)

    def _accept(self, channels):
        while True:
            try:
                conn = self.listener.accept()[0]
            except OSError:
                return
            harness.start_thread(lambda c=conn: self._hand_over(c, channels))

    def _hand_over(self, conn, channels):
        """Greets the server's connection and hands it to its pair's process."""
        try:
            conn.sendall(GREETING)
            number = int(read_exactly(conn, 8)[2:])
            socket.send_fds(channels[number], [b"s"], [conn.fileno()])
        except (OSError, ValueError, IndexError):
            pass
        conn.close()

    def agent(self, address):
        agent = small_socket(socket.AF_INET if self.agent_kind == "tcp" else socket.AF_UNIX)
        agent.settimeout(30)
        agent.connect(address)
        read_exactly(agent, len(GREETING))
        return agent

    def session(self, number, address, options, channel):
        rng = random.Random(options.seed * 1000 + self.index * 100 + number)
        cut = number < options.cut
        tag = b"%02d%06d" % (self.index, number)
        sizes = (2 * MiB, rng.choice([2, 8]) * MiB)
        sizes = [max(64 * KiB, s * options.scale // 16) for s in sizes]
        agent = self.agent(address)
        agent.sendall(tag)
        channel.settimeout(30)
        fds = socket.recv_fds(channel, 1, 1)[1]
        if not fds:
            return {"pair": tag.decode(), "failure": "server never reached"}
        server = socket.socket(fileno=fds[0])
        ports = [agent.getsockname(), server.getpeername()]
        streams = [Stream(tag + b"a", sizes[0]), Stream(tag + b"s", sizes[1])]
        readings = ["fast", "small", "paused", "stop"]
        peers = [Peer(agent, streams[0], streams[1], rng.random() < 1 / 3, rng.choice(readings), rng),
                 Peer(server, streams[1], streams[0], rng.random() < 1 / 3, rng.choice(readings), rng)]
        name = "%s %s->%s %s" % (tag.decode(), self.agent_kind, self.kind[1], "cut" if cut else "whole")
        name += " (agent %s, daemon %s)" % tuple(ports)
        if not cut:
            return self.whole(name, peers, options)
        victim = number % 2  # the agent and the server in turn
        return self.cut(name, peers[victim], peers[1 - victim], self.kind[victim], self.kind[1 - victim], options)

    def run(self, address, options):
        count = options.cut + options.whole
        channels, children = [], []
        for number in range(count):
            mine, theirs = socket.socketpair()
            pid = os.fork()
            if pid == 0:
                mine.close()
                self.listener.close()
                try:
                    result = self.session(number, address, options, theirs)
                except Exception as e:  # noqa: BLE001 - any failure of a session is reported as such
                    result = {"pair": "%02d%06d" % (self.index, number), "failure": "session failed: %r" % e}
                theirs.settimeout(None)
                theirs.sendall(pickle.dumps(result))
                os._exit(0)
            theirs.close()
            channels.append(mine)
            children.append(pid)
        harness.start_thread(lambda: self._accept(channels))
        results = []
        for number, channel in enumerate(channels):
            data = b""
            channel.settimeout(900)
            try:
                while True:
                    chunk = channel.recv(1 << 16)
                    if not chunk:
                        break
                    data += chunk
                results.append(pickle.loads(data))
            except (OSError, EOFError, pickle.UnpicklingError):
                results.append({"pair": "%02d%06d" % (self.index, number), "failure": "session gave no result"})
        for pid in children:
            os.waitpid(pid, 0)
        return results

    def whole(self, name, peers, options):
        def run(peer):
            peer.write()
            try:
                peer.sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            peer.read(give_up=options.limit + 60)
        threads = [harness.start_thread(lambda p=p: run(p)) for p in peers]
        for thread in threads:
            thread.join(300)
        for peer in peers:
            peer.sock.close()
        if all(p.mismatch is None for p in peers) and any(p.ending is None for p in peers):
            # Still reading when the run gave up, at the pace of window probes
            # (see the cut pairs): nothing wrong, nothing judged.
            return {"pair": name, "failure": None, "still_taking": True}
        whole = all(p.got == p.expect.size and p.mismatch is None and p.ending == "end" for p in peers)
        return {"pair": name, "failure": None if whole else "not whole: %s" % [p.state() for p in peers]}

    def cut(self, name, victim, partner, victim_kind, partner_kind, options):
        started = time.monotonic()
        writers = [harness.start_thread(p.write) for p in (victim, partner)]
        partner.cut_at = time.monotonic() + 1e6  # no giving up before the cut
        partner_reader = harness.start_thread(lambda: partner.read(give_up=options.limit + options.slack + 10))
        victim.read(stop_after=max(32 * KiB, 300 * KiB * options.scale // 16), give_up=300)
        cut_at = partner.cut_at = victim.cut()
        partner_reader.join(options.limit + options.slack + 300)
        # Its writer floods on: the daemon must refuse it within the limit too.
        partner_deadline = time.monotonic() + options.limit + options.slack + 10
        while partner.write_refused is None and partner.sent < partner.out.size and time.monotonic() < partner_deadline:
            time.sleep(0.05)
        partner.stop_writing.set()
        for writer in writers:
            writer.join(5)
        partner.sock.close()
        failures = []
        if partner.mismatch is not None:
            failures.append("bytes differ at %d" % partner.mismatch)
        if partner.ending is None:
            # Still taking bytes it is owed (over a window smaller than a
            # segment the system sends only on its probes, a few KB/s): the
            # pair rightly stays for them.
            return {"pair": name, "failure": None, "cut_after": cut_at - started, "still_taking": True}
        if partner.ending == "stuck":
            failures.append("no end nor reset %.1f s after the cut, %.1f s after the last byte" % (
                time.monotonic() - cut_at, time.monotonic() - partner.last_wait))
        else:
            late = partner.ended_at - max(cut_at, partner.last_wait)
            if late > options.limit + options.slack:
                failures.append("%s %.1f s after the cut" % (partner.ending, late))
            # A local partner that had not read the end yet when the daemon
            # closed its socket with bytes of its own unread reads a reset.
            endings = ("end", "reset") if partner_kind == "local" else ("end",)
            # A partner that took nothing of what it was owed for the limit
            # (over a window smaller than a segment, a probe can come later
            # than that) is rightly reset, seen by its reader or its writer;
            # an orderly end behind bytes it never got is the fault looked for.
            reset_at_limit = partner.got != victim.sent and (partner.ending == "reset" or partner.write_reset)
            if victim_kind == "local" and not reset_at_limit and (
                    partner.got != victim.sent or partner.ending not in endings):
                failures.append("local close: %d of %d bytes, then %s" % (partner.got, victim.sent, partner.ending))
            if victim_kind == "tcp" and partner_kind == "tcp" and partner.ending != "reset" and not partner.write_reset:
                failures.append("TCP reset passed on as %s" % partner.ending)
        if partner.write_refused is None and partner.sent < partner.out.size:
            failures.append("writer not refused (%d of %d sent)" % (partner.sent, partner.out.size))
        if failures:
            failures.append("partner %s; cut peer %s" % (partner.state(), victim.state()))
        return {"pair": name, "failure": "; ".join(failures) or None, "cut_after": cut_at - started}


def worker_main(index, kind, where, pipe, options):
    RCVBUF[0] = options.rcvbuf
    worker = Worker(index, kind, where)
    pipe.send(worker.spec)
    address = pipe.recv()
    pipe.send(worker.run(tuple(address) if isinstance(address, list) else address, options))


def busy_loops(n):
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(n)]


def run(options, log=print):
    """One run: the failures, the daemon's log kept in `options.keep` when any."""
    where = tempfile.mkdtemp(prefix="velmod-cut-")
    busy = busy_loops(options.busy)
    context = multiprocessing.get_context("fork")
    workers, pipes = [], []
    daemon = None
    try:
        for index, kind in enumerate(KINDS):
            mine, theirs = context.Pipe()
            process = context.Process(target=worker_main, args=(index, kind, where, theirs, options), daemon=True)
            process.start()
            workers.append(process)
            pipes.append(mine)
        specs = [pipe.recv() for pipe in pipes]
        listens = []
        for index, (kind, spec) in enumerate(zip(KINDS, specs)):
            listen = harness.listen_spec(0) if kind[0] == "tcp" else "unix(%s)" % os.path.join(where, "agents%d" % index)
            listens.append((listen, [spec]))
        daemon = harness.Daemon(listens=listens, pool_size=4, verbosity=options.verbosity, log_file=True,
                                env=harness.limits_env(half_close_limit_ms=int(options.limit * 1000)))
        daemon.start()
        daemon.wait_started(60)
        ports = iter(daemon.listen_ports())
        for index, kind in enumerate(KINDS):
            pipes[index].send(["127.0.0.1", next(ports)] if kind[0] == "tcp" else os.path.join(where, "agents%d" % index))
        results = [result for pipe in pipes for result in pipe.recv()]
        failed = [r for r in results if r["failure"]]
        cuts = sorted(r["cut_after"] for r in results if "cut_after" in r)
        if cuts:
            log("cut peers reached their cut after %.1f to %.1f s; %d pairs still taking their bytes at the end"
                % (cuts[0], cuts[-1], sum("still_taking" in r for r in results)))
        for r in failed:
            log("FAILED %s: %s" % (r["pair"], r["failure"]))
        if failed and options.keep:
            shutil.copy(daemon.log_path, options.keep)
        report = daemon.sanitizer_report() if daemon.stop(60) is not None else "daemon did not stop"
        return failed, len(results), report
    finally:
        for process in workers:
            process.join(5)
            if process.is_alive():
                process.kill()
        for process in busy:
            process.kill()
            process.wait()
        if daemon is not None:
            daemon.close()
        shutil.rmtree(where, True)


def options_parser():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--cut", type=int, default=6, help="cut pairs per listen")
    parser.add_argument("--whole", type=int, default=2, help="whole pairs per listen")
    parser.add_argument("--scale", type=int, default=16, help="sizes in sixteenths of 2 MiB / 2-8 MiB")
    parser.add_argument("--rcvbuf", type=int, default=1, help="the peers' receive buffer (1: the minimum)")
    parser.add_argument("--busy", type=int, default=4, help="busy-loop processes beside")
    parser.add_argument("--limit", type=float, default=2.0, help="half-close limit, s")
    parser.add_argument("--slack", type=float, default=3.0, help="allowed beyond the limit, s")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--verbosity", default="DEBUG3")
    parser.add_argument("--keep", default=None, help="where to copy the daemon's log of a failing run")
    return parser


def main():
    options = options_parser().parse_args()
    total = 0
    for number in range(options.runs):
        keep = options.keep
        if keep:
            options.keep = "%s.%d" % (keep, number)
        failed, pairs, report = run(options)
        options.keep = keep
        total += len(failed)
        print("run %d (seed %d): %d of %d pairs failed%s" % (number, options.seed, len(failed), pairs,
                                                            ", " + report if report else ""), flush=True)
        options.seed += 1
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
