"""Unanswered GETCONFIG requests and the daemon's memory: an agent asks for
configurations the upstream server never sends, and the daemon's RSS is read
from /proc before and after. Shared by the test and the longer load run
(python3 load_config_ids.py), which is not part of the test command."""

import os
import socket
import threading

import harness
from harness import wait_until
from test_load import process_figures

# AddressSanitizer's quarantine of freed blocks would show in the figures as
# growth; a small one still catches a block used right after it was freed.
ASAN_OPTIONS = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=1"]))


class LineCounter:
    """Upstream stand-in: takes one connection, never answers, counts the lines (CR LF) it reads."""

    def __init__(self):
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(1)
        self.spec = harness.tcp_spec(self._listener.getsockname()[1])
        self._lock = threading.Lock()
        self.lines = 0
        self._conn = None
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        try:
            conn, _ = self._listener.accept()
        except OSError:
            return
        self._conn = conn
        try:
            while True:
                data = conn.recv(1 << 16)
                if not data:
                    return
                with self._lock:
                    self.lines += data.count(b"\n")
        except OSError:
            pass

    def count(self):
        with self._lock:
            return self.lines

    def close(self):
        harness.close_sockets((self._listener, self._conn))
        self._thread.join(5)


class GetconfigAgent:
    """An agent that sends numbered GETCONFIG commands, each for an id never asked for before."""

    def __init__(self, port):
        self.sock = harness.connect(port, timeout=60)
        self.number = 0

    def send(self, count, batch=10000):
        while count > 0:
            n = min(batch, count)
            self.sock.sendall(b"".join(b"%d GETCONFIG %d\r\n" % (i, i) for i in range(self.number, self.number + n)))
            self.number += n
            count -= n

    def close(self):
        self.sock.close()


def start_daemon(start, server, **limits):
    """`start` is Daemon-like (DaemonTestCase.start_daemon or a plain Daemon().start);
    the log stays quiet: no line per command."""
    env = dict(harness.limits_env(**limits), ASAN_OPTIONS=ASAN_OPTIONS)
    daemon = start(listens=[(harness.listen_spec(0), [server.spec])], verbosity="INFO", env=env)
    daemon.wait_started()
    return daemon, daemon.listen_ports()[0]


def growth_kb(daemon, server, agent, warm_up, measured, timeout=120):
    """RSS growth in kB over `measured` unanswered GETCONFIG sent after `warm_up` of them."""
    agent.send(warm_up)
    if not wait_until(lambda: server.count() >= agent.number, timeout):
        raise AssertionError("upstream got %d of %d commands" % (server.count(), agent.number))
    before = process_figures(daemon.pid)[0]
    agent.send(measured)
    if not wait_until(lambda: server.count() >= agent.number, timeout):
        raise AssertionError("upstream got %d of %d commands" % (server.count(), agent.number))
    return process_figures(daemon.pid)[0] - before
