#!/usr/bin/env python3
"""A stand-in agent for velmod-proxy (python3 standard library only).

It negotiates with the upstream server through the daemon (PROTOCOL, then
SIGNATURE <md5 of the nonce> for each CHALLENGE until AUTHORIZE OK, after which
the stream is raw or zlib as both sides offered CRYPT or COMP), waits for the
SNF_UPDATE announcement, asks for files with ARQ_UPDATE, acknowledges each
SRS_UPDATE range and checks every byte against the announced MD5. PINGs are
answered while it waits. As a program it fetches every announced file and
prints "OK <name> <size> <md5>" or "BAD ..." per file; exit 0 when all are OK.
"""

import argparse
import collections
import hashlib
import socket
import sys
import time
import zlib

import harness
from standin_server import StandinServer, _offers, build_frame, escape, parse_frame, spawn, words

Announcement = collections.namedtuple("Announcement", "repository revision integer files body")
AnnouncedFile = collections.namedtuple("AnnouncedFile", "name size md5")
FileResult = collections.namedtuple("FileResult", "name size md5 ok data")


class ConnectionClosed(Exception):
    pass


def parse_announcement(frame):
    body = frame.body[:-1] if frame.body.endswith(b"\n") else frame.body
    lines = body.split(b"\n")
    files = []
    for line in lines[2:]:
        size, md5, name = line.split(None, 2)
        files.append(AnnouncedFile(name.strip().decode("utf-8", "replace"), int(size), md5.decode("latin-1")))
    return Announcement(words(frame.args)[0].decode("utf-8", "replace"), int(lines[0]), int(lines[1]), files, body)


class Update:
    """One SRS_UPDATE reply, put together from its ranges and checked."""

    def __init__(self, request, reply_id, ranges, data, wanted):
        self.request = request
        self.id = reply_id
        self.ranges = ranges
        self.data = data
        self.files = []
        pos = 0
        for f in wanted:
            piece = data[pos:pos + f.size]
            pos += f.size
            ok = len(piece) == f.size and hashlib.md5(piece).hexdigest() == f.md5
            self.files.append(FileResult(f.name, f.size, f.md5, ok, piece))
        self.ok = pos == len(data) and all(r.ok for r in self.files)


class StandinAgent:
    """One agent connection; frames it does not expect go to .skipped."""

    def __init__(self, port, host="127.0.0.1", version=(2, 9), options="", timeout=10):
        """`port` a TCP port on `host`, or the path of a local socket."""
        if isinstance(port, str):
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.settimeout(timeout)
            self.sock.connect(port)
        else:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        self.timeout = timeout
        self.version = version
        self.options = options
        self.number = 0
        # Grown in place: one reply of a large announcement is a single frame
        # of a hundred megabytes or more, and appending 64 KiB reads to bytes
        # copied the whole of it on every read.
        self.buffer = bytearray()
        self.mode = "plain"
        self.inflater = None
        self.deflater = None
        self.wire = bytearray()
        self.raw = bytearray()
        self.server_offers = None
        self.skipped = []
        # How the daemon ended the connection, once it did: "end" or "reset".
        self.ending = None

    def send(self, name, args=b"", body=None):
        frame = build_frame(self.number, name, args, body)
        self.number += 1
        if self.deflater is not None:
            frame = self.deflater.compress(frame) + self.deflater.flush(zlib.Z_SYNC_FLUSH)
        self.sock.sendall(frame)
        return self.number - 1

    def send_raw(self, data):
        self.sock.sendall(data)

    def _deadline(self, timeout):
        return time.monotonic() + (self.timeout if timeout is None else timeout)

    def _fill(self, deadline):
        self.sock.settimeout(max(deadline - time.monotonic(), 0.001))
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            unparsed = bytes(self.buffer[:200])
            raise AssertionError("nothing more from the daemon in time; unparsed %r" % unparsed) from None
        except ConnectionResetError:
            self.ending = "reset"
            raise ConnectionClosed("the daemon reset the connection") from None
        if not data:
            self.ending = "end"
            raise ConnectionClosed("the daemon closed the connection")
        if self.mode == "raw":
            self.raw += data
        elif self.inflater is not None:
            self.wire += data
            self.buffer += self.inflater.decompress(data)
        else:
            self.buffer += data

    def frame(self, timeout=None):
        deadline = self._deadline(timeout)
        while True:
            frame, rest = parse_frame(self.buffer)
            if frame is not None:
                self.buffer = rest
                return frame._replace(args=bytes(frame.args), body=bytes(frame.body))
            self._fill(deadline)

    def command(self, timeout=None):
        deadline = self._deadline(timeout)
        while True:
            frame = self.frame(deadline - time.monotonic())
            if frame.name != "PING":
                return frame
            self.send("PONG", frame.args)

    def expect(self, name, timeout=None):
        deadline = self._deadline(timeout)
        while True:
            frame = self.command(deadline - time.monotonic())
            if frame.name == name:
                return frame
            self.skipped.append(frame)

    def recv_raw(self, n, timeout=None):
        deadline = self._deadline(timeout)
        while len(self.raw) < n:
            self._fill(deadline)
        return bytes(self.raw)

    def negotiate(self, timeout=None):
        deadline = self._deadline(timeout)
        self.send("PROTOCOL", b"%d %d %s" % (self.version[0], self.version[1], escape(self.options)))
        seen = []
        while True:
            frame = self.command(deadline - time.monotonic())
            args = words(frame.args)
            if frame.name == "PROTOCOL" and len(args) > 2:
                self.server_offers = _offers(args[2].decode("latin-1"))
            elif frame.name == "CHALLENGE":
                self.send("SIGNATURE", hashlib.md5(args[0] if args else b"").hexdigest())
            elif frame.name == "AUTHORIZE":
                seen.append(args[0].decode("latin-1") if args else "")
                if seen[-1].upper() == "OK":
                    self._switch()
                    return seen
            elif frame.name != "GOTIT":
                self.skipped.append(frame)

    def _both_offer(self, option):
        return option in _offers(self.options) and (self.server_offers is None or option in self.server_offers)

    def _switch(self):
        # Whatever came behind the AUTHORIZE in the same read is already in
        # the new form.
        pending, self.buffer = self.buffer, bytearray()
        if self._both_offer("CRYPT"):
            self.mode = "raw"
            self.raw = pending
        elif self._both_offer("COMP"):
            self.mode = "compressed"
            self.inflater = zlib.decompressobj()
            self.deflater = zlib.compressobj()
            self.wire = pending
            self.buffer = bytearray(self.inflater.decompress(pending))
        else:
            self.buffer = pending

    def wait_announcement(self, timeout=None):
        return parse_announcement(self.expect("SNF_UPDATE", timeout))

    def request(self, announcement, mask=None):
        mask = mask or "1" * len(announcement.files)
        body = b"%d %d %s" % (announcement.revision, announcement.integer, mask.encode("latin-1"))
        return self.send("ARQ_UPDATE", escape(announcement.repository), body)

    def receive(self, announcement, mask=None, request=None, timeout=None):
        mask = mask or "1" * len(announcement.files)
        wanted = [f for f, flag in zip(announcement.files, mask) if flag == "1"]
        deadline = self._deadline(timeout)
        data = bytearray()
        ranges = []
        while True:
            frame = self.expect("SRS_UPDATE", deadline - time.monotonic())
            args = frame.args.split()
            data += frame.body
            if len(args) < 3:
                break
            start, end = (int(n) for n in args[1][1:].split(b":"))
            ranges.append((start, end, int(args[2][1:])))
            self.send("ACK_RANGE", b"%d %s" % (frame.number, args[1]))
            if end == ranges[-1][2]:
                break
        return Update(request, int(args[0]) if args else None, ranges, bytes(data), wanted)

    def fetch(self, announcement, mask=None, timeout=None):
        return self.receive(announcement, mask, self.request(announcement, mask), timeout)

    def close(self):
        self.sock.close()


class PeersTestCase(harness.DaemonTestCase):
    """Stand-in server, daemon and agents, each ended with the test; every daemon
    must stop on SIGINT with 0 and leave no sanitizer report."""

    def start_server(self, **kwargs):
        server = StandinServer(**kwargs)
        self.addCleanup(server.close)
        return server

    def spawn_server(self, *options):
        proc, listener = spawn(*options)
        self.addCleanup(listener.close)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        return proc, listener

    def start_pair(self, server_kwargs=None, **daemon_kwargs):
        server = self.start_server(**(server_kwargs or {}))
        daemon, port = self.start_relay(server, **daemon_kwargs)
        return server, daemon, port

    def start_relay(self, server, **daemon_kwargs):
        """A daemon on a port of its choice relaying to `server` unless listens are given: (daemon, port)."""
        if "listens" not in daemon_kwargs:
            daemon_kwargs["listens"] = [(harness.listen_spec(0), [server.spec])]
        daemon = self.start_daemon(**daemon_kwargs)
        # Runs before the harness's own close: stopped cleanly, then checked.
        self.addCleanup(self._stop_clean, daemon)
        daemon.wait_started()
        return daemon, daemon.listen_ports()[-1]

    def _stop_clean(self, daemon):
        if daemon.alive():
            self.assertEqual(daemon.stop(), 0, daemon.log[-4000:])
        self.assertEqual(daemon.sanitizer_report(), "")

    def start_agent(self, port, negotiate=True, **kwargs):
        agent = StandinAgent(port, **kwargs)
        self.addCleanup(agent.close)
        if negotiate:
            agent.negotiate()
        return agent


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in agent for velmod-proxy: fetch every announced file")
    for flag, kind, default, text in [("--host", str, "127.0.0.1", None), ("--port", int, 2193, None),
                                      ("--version", str, "2.9", "protocol version offered, MAJOR.MINOR"),
                                      ("--options", str, "", 'option list offered in PROTOCOL, e.g. "COMP"'),
                                      ("--timeout", float, 60, "seconds to wait for each step")]:
        parser.add_argument(flag, type=kind, default=default, help=text)
    args = parser.parse_args(argv)
    try:
        major, minor = (int(n) for n in args.version.split("."))
        agent = StandinAgent(args.port, args.host, (major, minor), args.options, args.timeout)
        try:
            agent.negotiate()
            announcement = agent.wait_announcement()
            update = agent.fetch(announcement)
        finally:
            agent.close()
    except (OSError, ValueError, AssertionError, ConnectionClosed, zlib.error) as e:
        print("standin_agent: %s" % e, file=sys.stderr)
        return 2
    for f in update.files:
        print("%s %s %d %s" % ("OK" if f.ok else "BAD", f.name, f.size, f.md5), flush=True)
    print("%d file(s) of %s revision %d through %s:%d, %s" % (len(update.files), announcement.repository,
                                                             announcement.revision, args.host, args.port,
                                                             "in %d range(s)" % len(update.ranges)
                                                             if update.ranges else "in one piece"),
          file=sys.stderr)
    return 0 if update.ok else 1


if __name__ == "__main__":
    sys.exit(main())
