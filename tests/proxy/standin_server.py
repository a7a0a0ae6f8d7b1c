#!/usr/bin/env python3
"""A stand-in upstream server for velmod-proxy (python3 standard library only).

It speaks the daemon's text protocol. Every frame is

    <number> SP <NAME> [SP T<length> | SP N] [SP <arguments>] CR LF [<body> CR LF]

The number counts from 0 in each direction of each connection; the marker
announces a body of <length> bytes (N: none); the body and its CR LF follow
only when the length is above 0. Arguments are escaped protocol words (a
blank is "%S"); the server passes them on as bytes and never unescapes them.

Per connection it plays the server's side of the negotiation and answers a
few commands:

    PROTOCOL <major> <minor> <options>   PROTOCOL <its major> <its minor> <its options>,
                                         then CHALLENGE <nonce>
    SIGNATURE ...                        GOTIT, then AUTHORIZE OK; when both option lists
                                         held COMP, both directions are zlib streams after it
    PING <x>                             PONG <x>
    PONG, ALIVE, ACK_RANGE               nothing
    anything else                        echoed: same name, marker, argument text and body
                                         (unless built with echo=False)

As a module:
    StandinServer(host="127.0.0.1", port=0, version=(2, 9), options="", log=None, listener=None, echo=True)
        Listens at once and serves on threads; `log`, when given, is called
        with one text line per frame received or sent; `listener`, when
        given, is an already listening socket to serve instead of a new one.
      .port, .spec            the bound port and the client specification "tcp/HOST:PORT"
      .connections            connections accepted so far (the first is number 0)
      .wait_connections(n, timeout=10) -> bool
      .frames()               received frames, in arrival order (Frame tuples)
      .wait_frames(n, timeout=10) -> list   at least n frames, else AssertionError
      .send(conn, name, args=b"", body=None)  pushes a command to connection `conn`
      .close()                also the context manager's exit
    Frame(conn, number, name, binary, args, body): name is str, args and body bytes,
        binary tells whether the frame carried a marker.
    parse_frame(buffer) -> (Frame, rest) or (None, buffer) while incomplete; conn is -1.
    build_frame(number, name, args=b"", body=None) -> bytes; body None means no marker.

As a program:
    python3 standin_server.py [--host 127.0.0.1] [--port 0] [--options COMP]
    prints "Stand-in server listening on HOST:PORT", logs every frame, and
    serves until SIGINT or SIGTERM.
"""

import argparse
import collections
import os
import signal
import socket
import sys
import threading
import time
import zlib

Frame = collections.namedtuple("Frame", "conn number name binary args body")

_WS = b" \t\n\v\f\r"
_CONSUMED = {"PONG", "ALIVE", "ACK_RANGE"}


def parse_frame(buffer):
    """The first whole frame of `buffer` and the bytes after it."""
    space = buffer.find(b" ")
    end = buffer.find(b"\r\n", space + 1) if space >= 0 else -1
    if end < 0:
        return None, buffer
    number = int(buffer[:space])
    header = buffer[space + 1:end].strip(_WS)
    tokens = header.split()
    if not tokens:
        raise ValueError("empty request without even command name")
    rest = header[len(tokens[0]):].lstrip(_WS)
    size = None
    if len(tokens) > 1:
        marker = tokens[1]
        if marker == b"N":
            size = 0
        elif marker[:1] == b"T" and marker[1:].isdigit():
            size = int(marker[1:])
        if size is not None:
            rest = rest[len(marker):].lstrip(_WS)
    pos = end + 2
    body = b""
    if size:
        if len(buffer) < pos + size + 2:
            return None, buffer
        body = buffer[pos:pos + size]
        if buffer[pos + size:pos + size + 2] != b"\r\n":
            raise ValueError("no CR LF after the body of %s" % tokens[0].decode("latin-1"))
        pos += size + 2
    return Frame(-1, number, tokens[0].decode("latin-1"), size is not None, rest, body), buffer[pos:]


def build_frame(number, name, args=b"", body=None):
    if isinstance(args, str):
        args = args.encode("latin-1")
    head = b"%d %s" % (number, name.encode("latin-1"))
    if body is not None:
        head += b" T%d" % len(body) if body else b" N"
    if args:
        head += b" " + args
    head += b"\r\n"
    return head + body + b"\r\n" if body else head


def _offers(options):
    return {word.upper() for word in options.split(",")}


class _Connection:
    def __init__(self, server, sock, index):
        self.server = server
        self.sock = sock
        self.index = index
        self.out_number = 0
        self.lock = threading.Lock()
        self.deflater = None
        self.inflater = None
        self.agent_offers = set()

    def send(self, name, args=b"", body=None):
        with self.lock:
            frame = build_frame(self.out_number, name, args, body)
            self.server._log("conn %d snd <%s>" % (self.index, frame.split(b"\r\n", 1)[0].decode("latin-1")))
            self.out_number += 1
            if self.deflater is not None:
                frame = self.deflater.compress(frame) + self.deflater.flush(zlib.Z_SYNC_FLUSH)
            self.sock.sendall(frame)

    def serve(self):
        buffer = b""
        try:
            while True:
                data = self.sock.recv(65536)
                if not data:
                    return
                # Bytes already buffered were sent before the switch, so only
                # what arrives afterwards is inflated.
                buffer += self.inflater.decompress(data) if self.inflater else data
                while True:
                    frame, buffer = parse_frame(buffer)
                    if frame is None:
                        break
                    self.handle(frame._replace(conn=self.index))
        except (OSError, ValueError, zlib.error) as e:
            self.server._log("conn %d ended: %s" % (self.index, e))
        finally:
            self.sock.close()

    def handle(self, frame):
        self.server._received(frame)
        if frame.name == "PROTOCOL":
            words = frame.args.split()
            self.agent_offers = _offers(words[2].decode("latin-1")) if len(words) > 2 else set()
            major, minor = self.server.version
            self.send("PROTOCOL", "%d %d %s" % (major, minor, self.server.options or "%Z"))
            self.send("CHALLENGE", os.urandom(8).hex())
        elif frame.name == "SIGNATURE":
            self.send("GOTIT")
            self.send("AUTHORIZE", "OK")
            if "COMP" in self.agent_offers and "COMP" in _offers(self.server.options):
                with self.lock:
                    self.deflater = zlib.compressobj()
                self.inflater = zlib.decompressobj()
        elif frame.name == "PING":
            self.send("PONG", frame.args)
        elif self.server.echo and frame.name not in _CONSUMED:
            self.send(frame.name, frame.args, frame.body if frame.binary else None)


class StandinServer:
    """See the module docstring."""

    def __init__(self, host="127.0.0.1", port=0, version=(2, 9), options="", log=None, listener=None, echo=True):
        self.version = version
        self.echo = echo
        self.options = options
        self._log_fn = log
        self._lock = threading.Condition()
        self._frames = []
        self._conns = []
        self._threads = []
        self._closing = False
        if listener is None:
            listener = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((host, port))
            listener.listen(64)
        self._listener = listener
        host, self.port = listener.getsockname()[:2]
        self.host = host
        self.spec = "tcp/%s:%d" % ("[%s]" % host if ":" in host else host, self.port)
        self._start(self._accept_loop)

    def _start(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(thread)
        thread.start()

    def _log(self, text):
        if self._log_fn is not None:
            self._log_fn(text)

    def _accept_loop(self):
        while True:
            try:
                sock, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                if self._closing:
                    sock.close()
                    return
                conn = _Connection(self, sock, len(self._conns))
                self._conns.append(conn)
                self._lock.notify_all()
            self._log("conn %d accepted" % conn.index)
            self._start(conn.serve)

    def _received(self, frame):
        self._log("conn %d rcv <%d %s%s>" % (frame.conn, frame.number, frame.name,
                                             " " + frame.args.decode("latin-1") if frame.args else ""))
        with self._lock:
            self._frames.append(frame)
            self._lock.notify_all()

    def _wait(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self._lock:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._lock.wait(left)
            return True

    @property
    def connections(self):
        with self._lock:
            return len(self._conns)

    def wait_connections(self, n, timeout=10):
        return self._wait(lambda: len(self._conns) >= n, timeout)

    def frames(self):
        with self._lock:
            return list(self._frames)

    def wait_frames(self, n, timeout=10):
        if not self._wait(lambda: len(self._frames) >= n, timeout):
            raise AssertionError("%d frames expected within %ss, got %r" % (n, timeout, self.frames()))
        return self.frames()

    def send(self, conn, name, args=b"", body=None):
        with self._lock:
            target = self._conns[conn]
        target.send(name, args, body)

    def close(self):
        with self._lock:
            self._closing = True
            conns = list(self._conns)
        # shutdown() wakes a blocked accept() or recv(); close() alone may not.
        for sock in [self._listener] + [c.sock for c in conns]:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._listener.close()
        for thread in list(self._threads):
            thread.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in upstream server for velmod-proxy")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--options", default="", help='option list offered in PROTOCOL, e.g. "COMP"')
    args = parser.parse_args(argv)
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    server = StandinServer(args.host, args.port, options=args.options, log=lambda text: print(text, flush=True))
    print("Stand-in server listening on %s:%d" % (args.host, server.port), flush=True)
    try:
        while not stop.wait(0.5):
            pass
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
