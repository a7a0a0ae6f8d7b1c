"""Black-box helpers for velmod-proxy tests (python3 standard library only).

The daemon binary is named by the environment variable VELMOD_PROXY. Daemon
runs it in a temporary directory and always captures its standard error, so
DaemonTestCase fails a test on any sanitizer report, also in --daemon mode.
"""

import codecs
import fcntl
import os
import re
import resource
import select
import shutil
import signal as _signal
import socket
import subprocess
import tempfile
import threading
import time
import types
import unittest
from xml.sax.saxutils import escape, quoteattr

STARTED = "Proxy started, wait for client connections"
_POLL = 0.02


def binary():
    path = os.environ.get("VELMOD_PROXY")
    if not path:
        raise RuntimeError("VELMOD_PROXY must name the velmod-proxy binary")
    return path


def run(args, timeout=30, cwd=None, env=None):
    return subprocess.run([binary()] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, errors="replace", timeout=timeout, cwd=cwd,
                          env=None if env is None else dict(os.environ, **env))


def memory_bounds_judged():
    """False under ThreadSanitizer (scripts/tsan.sh sets VELMO_TSAN), whose
    allocator keeps freed memory: a resident-size bound means nothing there,
    so tests skip only that assertion and keep every other check."""
    return not os.environ.get("VELMO_TSAN")


def limits_env(**limits):
    """The environment that sets the daemon's bounds, e.g. limits_env(silence_limit_ms=500)."""
    return {"VELMOD_PROXY_LIMITS": ",".join("%s=%d" % item for item in sorted(limits.items()))}


def config_xml(listens, cache_root=None, root="velmod-proxy"):
    lines = ['<?xml version="1.0"?>', "<%s>" % root]
    if cache_root is not None:
        lines.append("  <cache-root>%s</cache-root>" % escape(cache_root))
    for spec, forwards in listens:
        attr = "" if spec is None else " spec=%s" % quoteattr(spec)
        lines.append("  <listen%s>" % attr)
        for to in forwards:
            lines.append("    <forward/>" if to is None else "    <forward to=%s/>" % quoteattr(to))
        lines.append("  </listen>")
    lines.append("</%s>" % root)
    return "\n".join(lines) + "\n"


def _family(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def _bracket(host):
    return "[%s]" % host if ":" in host else host


def tcp_spec(port, host="127.0.0.1"):
    return "tcp/%s:%d" % (_bracket(host), port)


def listen_spec(port=0, host="127.0.0.1"):
    return "ip(%s),port(%d)" % (_bracket(host), port)


def connect(port, host="127.0.0.1", timeout=10):
    s = socket.create_connection((host, port), timeout=timeout)
    s.settimeout(timeout)
    return s


def start_thread(target):
    """Runs `target` on a daemon thread, so that a peer stuck in a send never
    keeps the test process alive; returns the started thread."""
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread


def close_sockets(sockets):
    """Shuts down and closes each socket (None is skipped); shutdown() also
    wakes a thread blocked in accept() or recv() on it, which close() alone may not."""
    for s in sockets:
        if s is None:
            continue
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()


def wait_until(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(_POLL)
    return True


class HoldServer:
    """Upstream stand-in: accepts on port 0, holds every connection and discards what arrives."""

    def __init__(self, host="127.0.0.1"):
        self.host = host
        self._listener = socket.socket(_family(host), socket.SOCK_STREAM)
        self._listener.bind((host, 0))
        self._listener.listen(64)
        self.port = self._listener.getsockname()[1]
        self.spec = tcp_spec(self.port, host)
        self._lock = threading.Lock()
        self._conns = []
        self.accepted = 0
        self.closed = 0
        self._stopping = False
        self._thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._thread.start()

    def _accept_loop(self):
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                if self._stopping:
                    conn.close()
                    return
                self._conns.append(conn)
                self.accepted += 1
            threading.Thread(target=self._drain, args=(conn,), daemon=True).start()

    def _drain(self, conn):
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass
        with self._lock:
            if not self._stopping:
                self.closed += 1

    def wait_accepted(self, n, timeout=10):
        return wait_until(lambda: self.accepted >= n, timeout)

    def wait_closed(self, n, timeout=10):
        return wait_until(lambda: self.closed >= n, timeout)

    def close(self):
        with self._lock:
            self._stopping = True
            conns, self._conns = self._conns, []
        close_sockets([self._listener] + conns)
        self._thread.join(5)


_LISTEN_RE = re.compile(r"\[Server\] (?:\w+/)?(?:\[[^\]]*\]|[^:\s\[]+):(\d+): Started listen")
_LINE_RE = re.compile(r"^\d{8}\.\d{6}\.\d{2} (.{3}) \[\s*\d+\s+\d+\] ")
_PID_RE = re.compile(r"^\d{8}\.\d{6}\.\d{2} .{3} \[\s*(\d+) ", re.M)
_SANITIZER_RE = re.compile(r"^.*(?:ERROR: (?:Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|"
                           r"FATAL: ThreadSanitizer|runtime error:|SUMMARY: \w+Sanitizer).*$", re.M)


class Daemon:
    """The daemon under test. `config` is written as is, else `listens` (as for
    config_xml) with the cache root inside Daemon.dir; `limits` are (RLIMIT_*,
    value) pairs; the log goes to stderr unless log_file or daemon is set."""

    def __init__(self, config=None, listens=None, args=(), log_file=False, daemon=False, verbosity="ALL",
                 pool_size=None, conf_option="--conf", cache_root=True, limits=(), env=None):
        self.dir = tempfile.mkdtemp(prefix="velmod-proxy-test-")
        self.conf = os.path.join(self.dir, "velmod-proxy.xml")
        self.cache_root = os.path.join(self.dir, "cache")
        self.log_path = os.path.join(self.dir, "log", "velmod-proxy.log") if (log_file or daemon) else None
        self.daemon = daemon
        if config is None and listens is not None:
            config = config_xml(listens, self.cache_root if cache_root else None)
        if config is not None:
            self.write_config(config)
        log = ["--use-file-log", self.log_path] if self.log_path else ["--use-console-log"]
        self.argv = ([binary(), conf_option, self.conf, "--verbosity", verbosity] + log + ["--daemon"] * daemon
                     + (["--pool-size", str(pool_size)] if pool_size is not None else []) + list(args))
        self.limits = list(limits)
        self.env = None if env is None else dict(os.environ, **env)
        self.proc = None
        self._stderr = []
        self._lock = threading.Lock()
        self._reader = None
        # The running process's pipe, read only under _lock (see _drain).
        self._pipe = None
        self._service_pid = None

    def write_config(self, text):
        tmp = self.conf + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, self.conf)

    def start(self, prepare=None):
        """Starts the binary; `prepare`, when given, runs in the child before exec, after the limits."""
        if self._reader is not None:
            # A restart: what the stopped process wrote comes first.
            self._reader.join(5)

        def before_exec():
            self._set_limits()
            prepare()

        self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, cwd=self.dir, env=self.env,
                                     preexec_fn=before_exec if prepare else self._set_limits if self.limits else None)
        # The daemon drops a console line the pipe cannot take within its
        # console wait: a test process slowed by a busy machine must not lose
        # the lines it waits for, so the pipe holds far more than its default.
        try:
            fcntl.fcntl(self.proc.stderr.fileno(), fcntl.F_SETPIPE_SZ, 1 << 20)
        except OSError:
            pass
        fd = self.proc.stderr.fileno()
        os.set_blocking(fd, False)
        pipe = types.SimpleNamespace(fd=fd, decoder=codecs.getincrementaldecoder("utf-8")("replace"), ended=False)
        with self._lock:
            self._pipe = pipe
        self._reader = threading.Thread(target=self._read_stderr, args=(pipe,), daemon=True)
        self._reader.start()
        return self

    def _set_limits(self):
        for which, value in self.limits:
            resource.setrlimit(which, (value, value))

    def _drain(self, pipe):
        """Takes what the pipe holds now; the caller holds _lock. Every read of
        the pipe is made here, so the log keeps the order it was written in,
        and a look at the log sees every line the daemon wrote before whatever
        the test saw happen (it writes a line before it acts on it)."""
        while not pipe.ended:
            try:
                chunk = os.read(pipe.fd, 1 << 20)
            except BlockingIOError:
                return
            except OSError:
                chunk = b""
            if not chunk:
                pipe.ended = True
                chunk = pipe.decoder.decode(b"", final=True)
            else:
                chunk = pipe.decoder.decode(chunk)
            if chunk:
                self._stderr.append(chunk)

    def _read_stderr(self, pipe):
        # A detached child keeps no copy of the pipe, so EOF comes with the parent's end.
        poller = select.poll()
        poller.register(pipe.fd, select.POLLIN)
        while True:
            poller.poll(500)
            with self._lock:
                self._drain(pipe)
                if pipe.ended:
                    return

    @property
    def stderr(self):
        with self._lock:
            if self._pipe is not None:
                self._drain(self._pipe)
            return "".join(self._stderr)

    @property
    def log(self):
        if self.log_path is None:
            return self.stderr
        try:
            with open(self.log_path, "r", errors="replace") as f:
                return f.read()
        except (FileNotFoundError, NotADirectoryError):
            return ""

    def mark(self):
        return len(self.log)

    def count(self, text):
        return self.log.count(text)

    def messages(self, code=None, since=0):
        out = []
        for line in self.log[since:].splitlines():
            m = _LINE_RE.match(line)
            if m and (code is None or m.group(1) == code):
                # The thread name is padded to six characters and followed by a blank.
                rest = line[m.end():]
                name = rest.split(" ", 1)[0]
                out.append(rest[max(6, len(name)) + 1:])
        return out

    def wait_for(self, text, timeout=15, since=0):
        pos = [-1]

        def seen():
            pos[0] = self.log.find(text, since)
            return pos[0] >= 0

        if not wait_until(seen, timeout):
            raise AssertionError("%r not logged within %ss; log:\n%s\nstderr:\n%s"
                                 % (text, timeout, self.log[-8000:], self.stderr[-4000:] if self.log_path else ""))
        return pos[0] + len(text)

    def wait_started(self, timeout=15):
        return self.wait_for(STARTED, timeout)

    def listen_ports(self, since=0):
        return [int(p) for p in _LISTEN_RE.findall(self.log, since)]

    @property
    def pid(self):
        if not self.daemon:
            return self.proc.pid
        if self._service_pid is None:
            pids = [int(p) for p in _PID_RE.findall(self.log)] or self._forks()
            others = [p for p in pids if p != self.proc.pid]
            if others:
                self._service_pid = others[-1]
        return self._service_pid

    def _forks(self):
        """The processes running this daemon's command line (a service that
        logs nowhere the test reads), from /proc."""
        wanted = ("\0".join(self.argv) + "\0").encode()
        found = []
        for name in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % name, "rb") as f:
                    if f.read() == wanted:
                        found.append(int(name))
            except OSError:
                pass
        return found

    def signal(self, sig):
        pid = self.pid
        if pid is None:
            raise AssertionError("no service process id known yet")
        os.kill(pid, sig)

    def alive(self):
        if not self.daemon:
            return self.proc is not None and self.proc.poll() is None
        pid = self.pid
        if pid is None:
            return False
        try:
            # A zombie is not alive; a detached child is reaped by init, so
            # the state letter tells.
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except (FileNotFoundError, ProcessLookupError, IndexError):
            return False

    def wait_exit(self, timeout=15):
        if self.daemon:
            if not wait_until(lambda: not self.alive(), timeout):
                raise AssertionError("detached service process %s did not end within %ss" % (self.pid, timeout))
        return self.proc.wait(timeout)

    def stop(self, timeout=15):
        if self.alive():
            self.signal(_signal.SIGINT)
            try:
                return self.wait_exit(timeout)
            except (AssertionError, subprocess.TimeoutExpired):
                self._kill()
                raise AssertionError("the daemon did not stop on SIGINT within %ss; log:\n%s"
                                     % (timeout, self.log[-8000:]))
        return self.proc.wait(timeout)

    def restart(self):
        """Stopped and started again on the same configuration and cache: the port it listens on now."""
        status = self.stop()
        if status != 0:
            raise AssertionError("the daemon stopped with %s; log:\n%s" % (status, self.log[-4000:]))
        mark = self.mark()
        self.start()
        self.wait_for(STARTED, since=mark)
        return self.listen_ports(mark)[-1]

    def _kill(self):
        if self.daemon and self.alive():
            os.kill(self.pid, _signal.SIGKILL)
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def sanitizer_report(self):
        return "\n".join(_SANITIZER_RE.findall(self.stderr))

    def close(self):
        try:
            if self.proc is not None:
                if self.alive():
                    try:
                        self.stop()
                    except AssertionError:
                        pass
                self._kill()
                if self._reader is not None:
                    self._reader.join(5)
                with self._lock:
                    # A reader still waiting (a child kept the pipe) must not
                    # read the number once it is reused.
                    if self._pipe is not None:
                        self._pipe.ended = True
                    self._pipe = None
                self.proc.stderr.close()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)


class DaemonTestCase(unittest.TestCase):
    """Base of the black-box tests: every daemon and peer ends with the test."""

    def start_daemon(self, **kwargs):
        d = Daemon(**kwargs)
        # Cleanups run last first: this check comes after close() has read all of stderr.
        self.addCleanup(lambda: self.assertEqual(d.sanitizer_report(), "", "sanitizer report on the daemon's stderr"))
        self.addCleanup(d.close)
        return d.start()

    def hold_server(self, host="127.0.0.1"):
        h = HoldServer(host)
        self.addCleanup(h.close)
        return h

    def assertExit(self, daemon, code, timeout=15):
        rc = daemon.wait_exit(timeout)
        self.assertEqual(daemon.sanitizer_report(), "")
        self.assertEqual(rc, code, daemon.log[-4000:])

    def assertStops(self, daemon):
        since = daemon.mark()
        daemon.signal(_signal.SIGINT)
        daemon.wait_for("SIGINT handled, shutdown", since=since)
        self.assertExit(daemon, 0)
