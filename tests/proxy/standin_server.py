#!/usr/bin/env python3
"""A stand-in upstream server for velmod-proxy (python3 standard library only).

Frames are "<number> SP <NAME> [SP T<length> | SP N] [SP <arguments>] CR LF
[<body> CR LF]", numbered from 0 per direction; arguments are escaped words
passed on as bytes. Per connection it answers:

    PROTOCOL           PROTOCOL with its own version and options, then CHALLENGE
    SIGNATURE          GOTIT, AUTHORIZE with the next word of `authorize` (the last
                       repeats; not OK: a new CHALLENGE). After OK the stream is raw
                       when both offered CRYPT, else zlib when both offered COMP;
                       unless raw, SNF_UPDATE follows in the same write
    ANF_STATE          SNF_UPDATE again
    ARQ_UPDATE         SRS_UPDATE with the files flagged "1" in the mask; from 2.9 on
                       in ranges of `range_size`, each sent once the one before is
                       acknowledged (ACK_RANGE <number> R<start>:<end>)
    GETCONFIG <id>     CONFIG <request number> <id> <text> (unless answer_getconfig=False)
    INSTALL(EX)        raw bytes both ways from then on
    PING <x>           PONG <x>; PONG, ALIVE, ACK_RANGE: nothing
    anything else      echoed as it came (unless echo=False)

`faults` name what befalls the successive ARQ_UPDATE replies: None, "corrupt"
(a middle byte flipped), "drop" (closed halfway through the body), "stall"
(half of the first range, then silence), "pings" (no reply, a PING every
0.1 s instead), "range_then_pings" (the first range whole, then PINGs only),
"late" (PINGs for 2 s, then the reply). With `corrupt_first` the first reply
that carries a file has a byte of that file flipped; `pace` (seconds) makes
every other reply trickle out in pieces of `pace_piece` bytes (8 KiB) with
that pause between them, until `hurried` is set.
As a program it serves until SIGINT
or SIGTERM and prints "Stand-in server listening on HOST:PORT".
"""

import argparse
import collections
import hashlib
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import types
import zlib

Frame = collections.namedtuple("Frame", "conn number name binary args body")
UpdateFile = collections.namedtuple("UpdateFile", "name data md5")

_WS = b" \t\n\v\f\r"
_CONSUMED = {"PONG", "ALIVE", "ACK_RANGE"}
_DEFAULT = object()


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


_SIZES = (70000, 4096, 1, 150001)


class Repository:
    """One revision of update files: `files` is a count, a list of sizes (contents
    generated deterministically) or of (name, bytes) pairs."""

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
        # After a compressed negotiation: the raw stream inflated.
        self.raw_plain = bytearray()

    def version(self):
        own, agent = self.server.version, self.agent_version
        return own if agent is None else (min(own[0], agent[0]), min(own[1], agent[1]))

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
                    self.server._raw_received(self, data, self.inflater and self.inflater.decompress(data))
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
                    self.server._raw_received(self, buffer, self.inflater and buffer)
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
                data += b"".join(self._encode(*f) for f in self.server.after_authorize_frames)
            self.sock.sendall(data)

    def on_anf_state(self, frame):
        with self.lock:
            self.sock.sendall(self._announcement())

    def on_install(self, frame):
        self.raw = True

    on_installex = on_install

    def on_getconfig(self, frame):
        if not self.server.answer_getconfig:
            return
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
        # One SRS_UPDATE reply on its way, range by range.
        transfer = types.SimpleNamespace(request=frame.number, payload=repo.payload(mask) if match else b"",
                                         fault=self.server._next_fault(), offset=0, awaiting=None)
        if transfer.fault == "pings":
            self.server._start(self.ping_forever)
            return
        if transfer.fault == "late":
            self.server._start(self.ping_forever, 2.0, transfer)
            return
        if transfer.fault == "corrupt" and transfer.payload:
            corrupted = bytearray(transfer.payload)
            corrupted[len(corrupted) // 2] ^= 0xFF
            transfer.payload = bytes(corrupted)
        elif match and self.server.corrupt_first:
            transfer.payload = self.server._spoil_first(repo, mask)
        transfer.paced = transfer.payload == repo.payload(mask) if match else False
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
            ranged = self.version() >= (2, 9)
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
            transfer.awaiting = (b"%d" % self.out_number, token)
            transfer.offset = end
            if end == total or transfer.fault == "range_then_pings":
                self.transfer = None
            data = self._encode("SRS_UPDATE", args, body)
            if not (self.server.pace and transfer.paced):
                self.sock.sendall(data)
            else:
                piece = self.server.pace_piece
                for pos in range(0, len(data), piece):
                    self.sock.sendall(data[pos:pos + piece])
                    self.server.hurried.wait(self.server.pace)
            if transfer.fault == "range_then_pings" and end < total:
                self.server._start(self.ping_forever)

    def ping_forever(self, seconds=None, transfer=None):
        """A server that answers and pings but delivers nothing more (or, after
        `seconds`, the reply `transfer` after all)."""
        number = 0
        deadline = None if seconds is None else time.monotonic() + seconds
        while not self.server._closing and (deadline is None or time.monotonic() < deadline):
            time.sleep(0.1)
            try:
                self.send("PING", b"%d" % number)
            except OSError:
                return
            number += 1
        if transfer is not None and not self.server._closing:
            transfer.fault = None
            self.start(transfer)

    def _announcement(self):
        repo = self.server.repository
        return b"" if repo is None else self._encode("SNF_UPDATE", escape(repo.name), repo.snf_body())


class StandinServer:
    """Serves on threads; `log` gets one line per frame; `hold` keeps ARQ_UPDATE replies back until release()."""

    def __init__(self, host="127.0.0.1", port=0, version=(2, 9), options="", log=None, listener=None, echo=True,
                 repository=_DEFAULT, range_size=65536, faults=(), authorize=("OK",), after_authorize=b"",
                 hold=False, answer_getconfig=True, corrupt_first=False, pace=0.0, after_authorize_frames=(),
                 pace_piece=8192):
        self.version = version
        self.answer_getconfig = answer_getconfig
        self.corrupt_first = corrupt_first
        self.pace = pace
        self.pace_piece = pace_piece
        # Once set, paced replies go on without their pauses.
        self.hurried = threading.Event()
        self.spoilt = set()  # files whose first reply was spoilt (corrupt_first)
        self.corrupt_replies = 0
        self.echo = echo
        self.options = options
        self.repository = Repository() if repository is _DEFAULT else repository
        self.range_size = range_size
        self.faults = list(faults)
        self.authorize = tuple(authorize)
        self.after_authorize = after_authorize
        # (name, args, body) frames sent behind the announcement in the same
        # write as the AUTHORIZE, compressed when compression was negotiated.
        self.after_authorize_frames = list(after_authorize_frames)
        self._holding = hold
        self._held = []
        self._log = log or (lambda text: None)
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
        self.host, self.port = listener.getsockname()[:2]
        self.spec = "tcp/%s:%d" % ("[%s]" % self.host if ":" in self.host else self.host, self.port)
        self._start(self._accept_loop)

    def _start(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(thread)
        thread.start()

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

    def _raw_received(self, conn, data, inflated=None):
        with self._lock:
            conn.raw_in += data
            conn.raw_plain += inflated or b""
            self._lock.notify_all()

    def _next_fault(self):
        with self._lock:
            return self.faults.pop(0) if self.faults else None

    def _spoil_first(self, repo, mask):
        """The payload for `mask` with a byte flipped in each file not sent before."""
        out = bytearray()
        with self._lock:
            before = len(self.spoilt)
            for i, (f, flag) in enumerate(zip(repo.files, mask)):
                if flag != "1":
                    continue
                data = bytearray(f.data)
                if i not in self.spoilt and data:
                    self.spoilt.add(i)
                    data[len(data) // 2] ^= 0xFF
                out += data
            self.corrupt_replies += len(self.spoilt) > before
        return bytes(out)

    def _hold(self, conn, transfer):
        with self._lock:
            if self._holding:
                self._held.append((conn, transfer))
                self._lock.notify_all()
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

    def send(self, conn, name, args=b"", body=None):
        self._conn(conn).send(name, args, body)

    def send_raw(self, conn, data):
        self._conn(conn).send_raw(data)

    def end_sending(self, conn):
        """Shuts down the sending side of `conn`; it goes on reading until the daemon closes."""
        with self._conn(conn).lock:
            self._conn(conn).sock.shutdown(socket.SHUT_WR)

    def reset(self, conn):
        """Ends `conn` with a reset: its reading thread wakes and closes it with SO_LINGER 0."""
        with self._conn(conn).lock:
            self._conn(conn).sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self._conn(conn).sock.shutdown(socket.SHUT_RD)

    def wait_raw(self, conn, n, timeout=10, inflated=False):
        """At least n bytes received on `conn` after the switch to raw (`inflated`: of
        the raw stream of a compressed connection, inflated)."""
        field = "raw_plain" if inflated else "raw_in"
        ok = self._wait(lambda: len(getattr(self._conns[conn], field)) >= n, timeout)
        with self._lock:
            data = bytes(getattr(self._conns[conn], field))
        if not ok:
            raise AssertionError("%d raw bytes expected within %ss, got %r" % (n, timeout, data))
        return data

    def wire(self, conn):
        return bytes(self._conn(conn).wire)

    def wait_held(self, n, timeout=10):
        """At least n replies kept back until release()."""
        if not self._wait(lambda: len(self._held) >= n, timeout):
            raise AssertionError("%d replies held expected within %ss, got %d" % (n, timeout, len(self._held)))

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


def spawn(*args):
    """(Popen, listener): the program on a loopback listener the caller keeps too,
    so connects made after a kill wait in its queue for the next server."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1024)
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--quiet", "--listen-fd",
                             str(listener.fileno())] + list(args), pass_fds=[listener.fileno()],
                            stdout=subprocess.DEVNULL)
    return proc, listener


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in upstream server for velmod-proxy")
    for flag, kind, default, text in [("--host", str, "127.0.0.1", None), ("--port", int, 0, None),
                                      ("--listen-fd", int, None, "an inherited listening socket to serve"),
                                      ("--options", str, "", 'option list offered in PROTOCOL, e.g. "COMP"'),
                                      ("--files", str, None, "comma-separated sizes of the announced files"),
                                      ("--faults", str, "", "comma-separated faults of the successive replies")]:
        parser.add_argument(flag, type=kind, default=default, help=text)
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
