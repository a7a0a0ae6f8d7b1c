"""Peers for churn tests of velmod-proxy (python3 standard library only):
agents that connect and leave at once, an upstream that never answers a
connect, and the daemon's descriptor count from /proc."""

import os
import select
import socket
import struct
import threading
import time

import harness

# SO_LINGER on with a zero time: close() sends a reset instead of a FIN.
_RESET_ON_CLOSE = struct.pack("ii", 1, 0)


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def settled_descriptors(pid, at_most, timeout=15):
    """The daemon's descriptor count once it is at most `at_most`, else the last count seen at the deadline."""
    seen = [open_descriptors(pid)]

    def settled():
        seen.append(open_descriptors(pid))
        return seen[-1] <= at_most

    harness.wait_until(settled, timeout)
    return seen[-1]


class Churn:
    """`threads` agents that each connect to `port`, leave at once (a reset
    when `reset` is set, else an orderly close), wait `pause` seconds and come
    again, until stopped. `made` counts the connections made."""

    def __init__(self, port, threads=50, pause=0.0, reset=False, host="127.0.0.1"):
        self.address = (host, port)
        self.pause = pause
        self.reset = reset
        self.made = 0
        self.refused = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._run, daemon=True) for _ in range(threads)]

    def __enter__(self):
        for t in self._threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        for t in self._threads:
            t.join(10)

    def wait_made(self, n, timeout=10):
        return harness.wait_until(lambda: self.made >= n, timeout)

    def _run(self):
        while not self._stop.is_set():
            s = socket.socket(socket.AF_INET6 if ":" in self.address[0] else socket.AF_INET, socket.SOCK_STREAM)
            try:
                s.settimeout(5)
                if self.reset:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, _RESET_ON_CLOSE)
                s.connect(self.address)
                with self._lock:
                    self.made += 1
            except OSError:
                # Refused while a reload has the port closed for a moment.
                with self._lock:
                    self.refused += 1
            finally:
                s.close()
            if self.pause:
                self._stop.wait(self.pause)


class HangingUpstream:
    """A loopback listener with a full accept queue that never accepts: on
    Linux the SYNs of further connects are dropped, so they hang."""

    def __init__(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(0)
        self.port = self._listener.getsockname()[1]
        self.spec = harness.tcp_spec(self.port)
        self._fillers = []
        # The queue of a zero backlog holds one connection; a few more make
        # sure, and the first connect that does not complete proves it full.
        for _ in range(16):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.port))
            self._fillers.append(s)
            if not select.select([], [s], [], 0.3)[1]:
                return
        raise RuntimeError("the accept queue of the hanging upstream did not fill")

    def close(self):
        for s in self._fillers + [self._listener]:
            s.close()


def wait_closed_by_peer(sock, timeout):
    """True when the peer closes or resets `sock` within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        sock.settimeout(left)
        try:
            if not sock.recv(4096):
                return True
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True
