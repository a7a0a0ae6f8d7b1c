#!/usr/bin/env python3
"""A stand-in upstream server for velmod-proxy (python3 standard library only).

It speaks the daemon's text protocol. Every frame is

    <number> SP <NAME> [SP T<length> | SP N] [SP <arguments>] CR LF [<body> CR LF]

The number counts from 0 in each direction of each connection; the marker
announces a body of <length> bytes (N: none); the body and its CR LF follow
only when the length is above 0. Arguments are escaped protocol words (a
blank is "%S"); the server passes them on as bytes and unescapes only the
words it reads itself.

Per connection it plays the server's side of the negotiation, announces a
small repository of generated update files and serves them:

    PROTOCOL <major> <minor> <options>   PROTOCOL <its major> <its minor> <its options>,
                                         then CHALLENGE <nonce>
    SIGNATURE ...                        GOTIT, then AUTHORIZE with the next word of
                                         `authorize` (the last one repeats); after a word
                                         other than OK a new CHALLENGE follows. After OK
                                         both directions carry raw bytes when both option
                                         lists held CRYPT, else zlib streams when both held
                                         COMP; unless raw, SNF_UPDATE announcing the
                                         repository follows in the same write
    ANF_STATE ...                        SNF_UPDATE again
    ARQ_UPDATE <repository>, body "<revision> <integer> <mask>"
                                         SRS_UPDATE <number of the request> whose body is
                                         the files flagged "1" in the mask, in list order;
                                         at a negotiated version of 2.9 or newer in ranges
                                         of `range_size` bytes with the words R<start>:<end>
                                         and S<total>, each range sent only once the one
                                         before is acknowledged with
                                         ACK_RANGE <number of that SRS_UPDATE> R<start>:<end>
    GETCONFIG <id>                       CONFIG <number of the request> <id> <text>
    INSTALL, INSTALLEX                   raw bytes both ways from then on
    PING <x>                             PONG <x>
    PONG, ALIVE, ACK_RANGE               nothing
    anything else                        echoed: same name, marker, argument text and body
                                         (unless built with echo=False)

The negotiated version is lowered the way the daemon lowers it: the major and
the minor number each to the smaller of the two PROTOCOL commands.

As a module:
    StandinServer(host="127.0.0.1", port=0, version=(2, 9), options="", log=None, listener=None,
                  echo=True, repository=<Repository()>, range_size=65536, faults=(),
                  authorize=("OK",), after_authorize=b"", hold=False)
        Listens at once and serves on threads; `log`, when given, is called
        with one text line per frame received or sent; `listener`, when
        given, is an already listening socket to serve instead of a new one.
        `repository` None announces nothing. `faults` names what happens to
        the successive ARQ_UPDATE replies: None (served), "corrupt" (the byte
        in the middle of the reply body is changed, the announced MD5s stay),
        "drop" (the connection is closed halfway through the body), "stall"
        (half of the first range is sent, then nothing more; the connection stays).
        `after_authorize` bytes go out raw in the same write as an AUTHORIZE OK
        that turns the stream raw.
        `hold` keeps replies to ARQ_UPDATE back until release().
      .port, .spec            the bound port and the client specification "tcp/HOST:PORT"
      .version, .options, .repository, .faults   read when they are used: may be changed
      .connections            connections accepted so far (the first is number 0)
      .wait_connections(n, timeout=10) -> bool
      .frames()               received frames, in arrival order (Frame tuples)
      .wait_frames(n, timeout=10) -> list   at least n frames, else AssertionError
      .count(name) -> int     received frames of that name
      .wait_count(name, n, timeout=10)     at least n of them, else AssertionError
      .ranges()               (conn, number, range token) of every SRS_UPDATE range sent
      .send(conn, name, args=b"", body=None)  pushes a command to connection `conn`
      .announce(conn)         pushes the SNF_UPDATE of the repository
      .send_raw(conn, data)   bytes as they are (after the switch to raw)
      .raw_received(conn)     bytes received after the switch to raw
      .wait_raw(conn, n, timeout=10) -> bytes   at least n of them, else AssertionError
      .wire(conn)             bytes as received after the switch to zlib, not inflated
      .release()              sends the replies held back and stops holding
      .close()                also the context manager's exit
    Repository(files=3, name="velmo-updates", revision=7, integer=3)
        `files`: a count, a sequence of sizes or of (name, bytes) pairs; the
        contents are generated deterministically. .files (UpdateFile tuples
        name, data, md5), .snf_body(), .payload(mask), .file(name).
    spawn(*options) -> (Popen, listener): the program below in a process of its own
        (--quiet), serving a loopback listening socket that the caller keeps too.
    Frame(conn, number, name, binary, args, body): name is str, args and body bytes,
        binary tells whether the frame carried a marker.
    parse_frame(buffer) -> (Frame, rest) or (None, buffer) while incomplete; conn is -1.
    build_frame(number, name, args=b"", body=None) -> bytes; body None means no marker.
    escape(data) -> bytes, unescape(token) -> bytes, words(args) -> list of bytes:
        the protocol's argument escaping.

As a program:
    python3 standin_server.py [--host 127.0.0.1] [--port 0] [--listen-fd N] [--options COMP]
                              [--files 70000,4096] [--faults stall,...] [--quiet]
    prints "Stand-in server listening on HOST:PORT" and what it announces,
    logs every frame (unless --quiet), and serves until SIGINT or SIGTERM.
    --listen-fd serves an inherited listening socket; --files gives the
    sizes of the generated files (as Repository(files=[...])).
"""

import argparse
import collections
import hashlib
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time
import zlib

Frame = collections.namedtuple("Frame", "conn number name binary args body")
UpdateFile = collections.namedtuple("UpdateFile", "name data md5")

_WS = b" \t\n\v\f\r"
_CONSUMED = {"PONG", "ALIVE", "ACK_RANGE"}
_DEFAULT = object()


# -- framing and escaping -----------------------------------------------------

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


_ESCAPES = {37: b"%P", 32: b"%S", 13: b"%R", 10: b"%N", 9: b"%T"}
_UNESCAPES = {b"P": b"%", b"S": b" ", b"R": b"\r", b"N": b"\n", b"T": b"\t", b"L": b"\r\n", b"M": b", "}
_HEX = b"0123456789abcdefABCDEF"


def escape(data):
    """One argument word for any bytes (a str is taken as UTF-8)."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    if not data:
        return b"%Z"
    out = bytearray()
    i = 0
    while i < len(data):
        pair = data[i:i + 2]
        if pair in (b"\r\n", b", "):
            out += b"%L" if pair == b"\r\n" else b"%M"
            i += 2
            continue
        c = data[i]
        out += _ESCAPES.get(c) or (bytes([c]) if 33 <= c <= 126 else b"%%%02X" % c)
        i += 1
    return bytes(out)


def unescape(token):
    if token == b"%Z":
        return b""
    out = bytearray()
    i = 0
    while i < len(token):
        if token[i:i + 1] != b"%":
            out += token[i:i + 1]
            i += 1
        elif token[i + 1:i + 2] in _UNESCAPES:
            out += _UNESCAPES[token[i + 1:i + 2]]
            i += 2
        elif len(token) >= i + 3 and all(c in _HEX for c in token[i + 1:i + 3]):
            out.append(int(token[i + 1:i + 3], 16))
            i += 3
        else:
            raise ValueError("bad escape in %r at %d" % (token, i))
    return bytes(out)


def words(args):
    return [unescape(w) for w in args.split()]


def _offers(options):
    return {word.strip().upper() for word in options.split(",")}


def version_at_least(version, major, minor):
    """The daemon's version test on a (major, minor) pair of minima."""
    return version[0] > major or (version[0] == major and version[1] >= minor)


# -- the repository -----------------------------------------------------------

_SIZES = (70000, 4096, 1, 150001)


class Repository:
    """One revision of generated update files; see the module docstring."""

    def __init__(self, files=3, name="velmo-updates", revision=7, integer=3):
        self.name = name
        self.revision = revision
        self.integer = integer
        if isinstance(files, int):
            files = [_SIZES[i % len(_SIZES)] + i // len(_SIZES) for i in range(files)]
        self.files = []
        for i, item in enumerate(files):
            if isinstance(item, int):
                name_i = "dir%d/file-%d.bin" % (i % 3, i) if i % 2 else "file-%d.bin" % i
                item = (name_i, random.Random(item * 1000003 + i).randbytes(item))
            file_name, data = item
            self.files.append(UpdateFile(file_name, data, hashlib.md5(data).hexdigest()))

    def snf_body(self):
        lines = [b"%d" % self.revision, b"%d" % self.integer]
        lines += [b"%d %s %s" % (len(f.data), f.md5.encode(), f.name.encode("utf-8")) for f in self.files]
        return b"\n".join(lines) + b"\n"

    def payload(self, mask):
        return b"".join(f.data for f, flag in zip(self.files, mask) if flag == "1")

    def file(self, name):
        return next(f for f in self.files if f.name == name)


class _Transfer:
    """One SRS_UPDATE reply on its way, range by range."""

    def __init__(self, request, payload, fault):
        self.request = request
        self.payload = payload
        self.fault = fault
        self.offset = 0
        self.awaiting = None


# -- connections --------------------------------------------------------------

class _Connection:
    def __init__(self, server, sock, index):
        self.server = server
        self.sock = sock
        self.index = index
        self.out_number = 0
        # Reentrant: a reply range is sent from the reading thread while it
        # already holds the lock for the acknowledgement it read.
        self.lock = threading.RLock()
        self.deflater = None
        self.inflater = None
        self.raw = False
        self.agent_version = None
        self.agent_offers = None  # None: the agent's PROTOCOL restricted nothing
        self.signatures = 0
        self.transfer = None
        self.wire = bytearray()
        self.raw_in = bytearray()

    def version(self):
        own = self.server.version
        if self.agent_version is None:
            return own
        return min(own[0], self.agent_version[0]), min(own[1], self.agent_version[1])

    def both_offer(self, option):
        return option in _offers(self.server.options) and (self.agent_offers is None or option in self.agent_offers)

    def _encode(self, name, args=b"", body=None):
        """The next numbered frame as it goes on the wire (deflated after the switch)."""
        frame = build_frame(self.out_number, name, args, body)
        self.server._log("conn %d snd <%s>" % (self.index, frame.split(b"\r\n", 1)[0].decode("latin-1")))
        self.out_number += 1
        if self.deflater is not None:
            frame = self.deflater.compress(frame) + self.deflater.flush(zlib.Z_SYNC_FLUSH)
        return frame

    def send(self, name, args=b"", body=None):
        with self.lock:
            self.sock.sendall(self._encode(name, args, body))

    def send_raw(self, data):
        with self.lock:
            self.sock.sendall(data)

    def serve(self):
        buffer = b""
        try:
            while True:
                data = self.sock.recv(65536)
                if not data:
                    return
                if self.raw:
                    self.server._raw_received(self, data)
                    continue
                if self.inflater is not None:
                    self.wire += data
                    data = self.inflater.decompress(data)
                buffer += data
                while not self.raw:
                    frame, buffer = parse_frame(buffer)
                    if frame is None:
                        break
                    self.handle(frame._replace(conn=self.index))
                # What follows the frame that turned the stream raw is raw already.
                if self.raw and buffer:
                    self.server._raw_received(self, buffer)
                    buffer = b""
        except (OSError, ValueError, zlib.error) as e:
            self.server._log("conn %d ended: %s" % (self.index, e))
        finally:
            self.sock.close()

    def handle(self, frame):
        self.server._received(frame)
        handler = getattr(self, "on_" + frame.name.lower(), None)
        if handler is not None:
            handler(frame)
        elif self.server.echo and frame.name not in _CONSUMED:
            self.send(frame.name, frame.args, frame.body if frame.binary else None)

    def on_protocol(self, frame):
        args = words(frame.args)
        if len(args) > 2:
            self.agent_version = (int(args[0]), int(args[1]))
            self.agent_offers = _offers(args[2].decode("latin-1"))
        major, minor = self.server.version
        self.send("PROTOCOL", b"%d %d %s" % (major, minor, escape(self.server.options)))
        self.send("CHALLENGE", os.urandom(8).hex())

    def on_signature(self, frame):
        answers = self.server.authorize
        word = answers[min(self.signatures, len(answers) - 1)]
        self.signatures += 1
        self.send("GOTIT")
        if word.upper() != "OK":
            self.send("AUTHORIZE", escape(word))
            self.send("CHALLENGE", os.urandom(8).hex())
            return
        with self.lock:
            # The AUTHORIZE and what follows it in the new form leave in one
            # write, so the daemon must switch in the middle of a read.
            data = self._encode("AUTHORIZE", escape(word))
            if self.both_offer("CRYPT"):
                self.raw = True
                data += self.server.after_authorize
            else:
                if self.both_offer("COMP"):
                    self.deflater = zlib.compressobj()
                    self.inflater = zlib.decompressobj()
                data += self._announcement()
            self.sock.sendall(data)

    def on_anf_state(self, frame):
        self.announce()

    def on_install(self, frame):
        self.raw = True

    on_installex = on_install

    def on_getconfig(self, frame):
        first = frame.args.split()[:1] or [b"%Z"]
        self.send("CONFIG", b"%d %s %s" % (frame.number, first[0], escape(b"config for " + unescape(first[0]))))

    def on_ping(self, frame):
        self.send("PONG", frame.args)

    def on_arq_update(self, frame):
        repo = self.server.repository
        parts = frame.body.split(b" ")
        mask = parts[2].decode("latin-1") if len(parts) > 2 else ""
        args = words(frame.args)
        match = (repo is not None and args[:1] == [repo.name.encode("utf-8")]
                 and parts[0] == b"%d" % repo.revision)
        transfer = _Transfer(frame.number, repo.payload(mask) if match else b"", self.server._next_fault())
        if transfer.fault == "corrupt" and transfer.payload:
            corrupted = bytearray(transfer.payload)
            corrupted[len(corrupted) // 2] ^= 0xFF
            transfer.payload = bytes(corrupted)
        if not self.server._hold(self, transfer):
            self.start(transfer)

    def on_ack_range(self, frame):
        with self.lock:
            transfer = self.transfer
            if transfer is not None and frame.args.split() == list(transfer.awaiting):
                self.send_range(transfer)

    def start(self, transfer):
        with self.lock:
            self.transfer = transfer
            self.send_range(transfer)

    def send_range(self, transfer):
        """The next range of `transfer` (all of it below version 2.9)."""
        with self.lock:
            total = len(transfer.payload)
            ranged = version_at_least(self.version(), 2, 9)
            end = min(transfer.offset + self.server.range_size, total) if ranged else total
            token = b"R%d:%d" % (transfer.offset, end)
            args = b"%d %s S%d" % (transfer.request, token, total) if ranged else b"%d" % transfer.request
            body = transfer.payload[transfer.offset:end]
            frame = build_frame(self.out_number, "SRS_UPDATE", args, body)
            if transfer.fault in ("drop", "stall"):
                # The header and half of the body, then the connection ends
                # ("drop") or stays open with nothing more sent ("stall").
                self.server._log("conn %d snd <%s> cut off" % (self.index, args.decode("latin-1")))
                cut = frame[:len(frame) - 2 - len(body) + len(body) // 2]
                self.sock.sendall(self.deflater.compress(cut) + self.deflater.flush(zlib.Z_SYNC_FLUSH)
                                  if self.deflater is not None else cut)
                self.transfer = None
                if transfer.fault == "drop":
                    self.sock.shutdown(socket.SHUT_RDWR)
                return
            self.server._sent_range(self, self.out_number, token)
            transfer.awaiting = (b"%d" % self.out_number, token)
            transfer.offset = end
            if end == total:
                self.transfer = None
            self.sock.sendall(self._encode("SRS_UPDATE", args, body))

    def _announcement(self):
        repo = self.server.repository
        return b"" if repo is None else self._encode("SNF_UPDATE", escape(repo.name), repo.snf_body())

    def announce(self):
        with self.lock:
            self.sock.sendall(self._announcement())


# -- the server ---------------------------------------------------------------

class StandinServer:
    """See the module docstring."""

    def __init__(self, host="127.0.0.1", port=0, version=(2, 9), options="", log=None, listener=None, echo=True,
                 repository=_DEFAULT, range_size=65536, faults=(), authorize=("OK",), after_authorize=b"",
                 hold=False):
        self.version = version
        self.echo = echo
        self.options = options
        self.repository = Repository() if repository is _DEFAULT else repository
        self.range_size = range_size
        self.faults = list(faults)
        self.authorize = tuple(authorize)
        self.after_authorize = after_authorize
        self._holding = hold
        self._held = []
        self._log_fn = log
        self._lock = threading.Condition()
        self._frames = []
        self._ranges = []
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

    def _raw_received(self, conn, data):
        with self._lock:
            conn.raw_in += data
            self._lock.notify_all()

    def _sent_range(self, conn, number, token):
        with self._lock:
            self._ranges.append((conn.index, number, token))

    def _next_fault(self):
        with self._lock:
            return self.faults.pop(0) if self.faults else None

    def _hold(self, conn, transfer):
        with self._lock:
            if self._holding:
                self._held.append((conn, transfer))
            return self._holding

    def _wait(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self._lock:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._lock.wait(left)
            return True

    def _conn(self, index):
        with self._lock:
            return self._conns[index]

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

    def count(self, name):
        with self._lock:
            return sum(1 for f in self._frames if f.name == name)

    def wait_count(self, name, n, timeout=10):
        if not self._wait(lambda: sum(1 for f in self._frames if f.name == name) >= n, timeout):
            raise AssertionError("%d %s expected within %ss, got %r" % (n, name, timeout, self.frames()))

    def ranges(self):
        with self._lock:
            return list(self._ranges)

    def send(self, conn, name, args=b"", body=None):
        self._conn(conn).send(name, args, body)

    def announce(self, conn):
        self._conn(conn).announce()

    def send_raw(self, conn, data):
        self._conn(conn).send_raw(data)

    def raw_received(self, conn):
        with self._lock:
            return bytes(self._conns[conn].raw_in)

    def wait_raw(self, conn, n, timeout=10):
        if not self._wait(lambda: len(self._conns[conn].raw_in) >= n, timeout):
            raise AssertionError("%d raw bytes expected within %ss, got %r" % (n, timeout, self.raw_received(conn)))
        return self.raw_received(conn)

    def wire(self, conn):
        return bytes(self._conn(conn).wire)

    def release(self):
        with self._lock:
            self._holding = False
            held, self._held = self._held, []
        for conn, transfer in held:
            try:
                conn.start(transfer)
            except OSError as e:
                self._log("conn %d: held reply lost: %s" % (conn.index, e))

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


def spawn(*args):
    """The stand-in as a process of its own, serving a loopback listening
    socket that the caller keeps too, so connects made after a kill wait in
    its queue for the next server: (Popen, listener). `args` are program options."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1024)
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--quiet", "--listen-fd",
                             str(listener.fileno())] + list(args), pass_fds=[listener.fileno()],
                            stdout=subprocess.DEVNULL)
    return proc, listener


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in upstream server for velmod-proxy")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--listen-fd", type=int, help="an inherited listening socket to serve")
    parser.add_argument("--options", default="", help='option list offered in PROTOCOL, e.g. "COMP"')
    parser.add_argument("--files", help="comma-separated sizes of the announced files")
    parser.add_argument("--faults", default="", help="comma-separated faults of the successive replies")
    parser.add_argument("--quiet", action="store_true", help="log no frames")
    args = parser.parse_args(argv)
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    listener = None if args.listen_fd is None else socket.socket(fileno=args.listen_fd)
    server = StandinServer(args.host, args.port, options=args.options, listener=listener,
                           log=None if args.quiet else lambda text: print(text, flush=True),
                           repository=Repository([int(n) for n in args.files.split(",")]) if args.files else _DEFAULT,
                           faults=[f or None for f in args.faults.split(",")] if args.faults else ())
    print("Stand-in server listening on %s:%d" % (server.host, server.port), flush=True)
    repo = server.repository
    print("Announcing %s revision %d: %s" % (repo.name, repo.revision,
                                            ", ".join("%s (%d bytes)" % (f.name, len(f.data)) for f in repo.files)),
          flush=True)
    try:
        while not stop.wait(0.5):
            pass
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
