#!/usr/bin/env python3
"""How long other agents stop while the daemon reads a large stored file
again: the file's change time alone moved (a chmod), and the next request for
it has its content hashed. Four agents fetch other cached files in a loop and
new connections keep coming; the figure is the longest gap between two of
their replies around the request, with the file unchanged and after a chmod.

    bench/recheck_stall.py --binary build/release/proxy/velmod-proxy \\
        [--baseline OTHER/velmod-proxy] [--mib 1500] [--rounds 3]
"""

import argparse
import hashlib
import os
import select
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "proxy"))

import harness  # noqa: E402
from standin_agent import StandinAgent  # noqa: E402
from standin_server import Repository, StandinServer, UpdateFile  # noqa: E402
from test_updates import cache_path  # noqa: E402

AGENTS = 4


class Sized:
    """The large file as the stand-in server announces it: a length, never sent."""

    def __init__(self, size):
        self.size = size

    def __len__(self):
        return self.size


def make_big(directory, mib):
    path = os.path.join(directory, "big")
    md5 = hashlib.md5()
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(mib):
            piece = block[i % 4096:] + block[:i % 4096]
            md5.update(piece)
            f.write(piece)
    return path, md5.hexdigest()


class Traffic:
    """Agents fetching the small files in turn and new connections, stamping each reply."""

    def __init__(self, port):
        self.port = port
        self.stop = threading.Event()
        self.replies = []
        self.newcomers = []
        self.errors = []
        self.threads = [threading.Thread(target=self._guard, args=(self._fetching, i), daemon=True)
                        for i in range(AGENTS)]
        self.threads.append(threading.Thread(target=self._guard, args=(self._joining, 0), daemon=True))
        for t in self.threads:
            t.start()

    def _guard(self, body, index):
        try:
            body(index)
        except Exception as e:
            self.errors.append(repr(e))

    def _fetching(self, index):
        agent = StandinAgent(self.port, timeout=60)
        agent.negotiate()
        announcement = agent.wait_announcement()
        mask = "0" + "".join("1" if i == index % 3 else "0" for i in range(3))
        while not self.stop.is_set():
            if not agent.fetch(announcement, mask).ok:
                raise AssertionError("a small file came wrong")
            self.replies.append(time.monotonic())

    def _joining(self, _):
        while not self.stop.is_set():
            agent = StandinAgent(self.port, timeout=60)
            try:
                agent.negotiate()
                agent.fetch(agent.wait_announcement(), "0100")
                self.newcomers.append(time.monotonic())
            finally:
                agent.close()

    def end(self):
        self.stop.set()
        for t in self.threads:
            t.join(60)


def longest_gap(stamps, start, end):
    inside = sorted([start] + [t for t in stamps if start < t < end] + [end])
    return max(b - a for a, b in zip(inside, inside[1:]))


def window(traffic, asked, answered):
    """The wait for the large file's reply, and the longest pauses of the others around it."""
    start, end = asked - 0.2, answered + 0.2
    return answered - asked, longest_gap(traffic.replies, start, end), longest_gap(traffic.newcomers, start, end)


def ask_big(port):
    """Requests the large file on a new connection; seconds until its reply begins."""
    agent = StandinAgent(port, timeout=120)
    try:
        agent.negotiate()
        announcement = agent.wait_announcement()
        asked = time.monotonic()
        agent.request(announcement, "1000")
        readable, _, _ = select.select([agent.sock], [], [], 120)
        if not readable:
            raise AssertionError("no reply for the large file")
        return asked, time.monotonic()
    finally:
        agent.close()


def measure(binary, big, md5, size, rounds):
    os.environ["VELMOD_PROXY"] = binary
    repo = Repository([5000, 7000, 9000])
    repo.files.insert(0, UpdateFile("big.bin", Sized(size), md5))
    server = StandinServer(repository=repo)
    d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])], verbosity="INFO")
    figures = {"first": [], "unchanged": [], "chmod": []}
    try:
        stored = os.path.join(d.cache_root, cache_path(repo, repo.files[0]))
        os.makedirs(os.path.dirname(stored), mode=0o755)
        os.link(big, stored)
        d.start()
        d.wait_started(timeout=300)
        port = d.listen_ports()[-1]
        traffic = Traffic(port)
        time.sleep(1)
        try:
            # The first reply maps the file: every later one starts from memory.
            asked, answered = ask_big(port)
            time.sleep(0.5)
            figures["first"].append(window(traffic, asked, answered))
            for r in range(rounds):
                for phase in ("unchanged", "chmod"):
                    if phase == "chmod":
                        os.chmod(stored, 0o600 if r % 2 == 0 else 0o644)
                    time.sleep(0.5)
                    asked, answered = ask_big(port)
                    time.sleep(0.5)
                    figures[phase].append(window(traffic, asked, answered))
        finally:
            traffic.end()
        if traffic.errors:
            raise AssertionError("traffic failed: %s" % traffic.errors[:3])
        # Downloads that asked for the large file: the mask's first flag.
        downloads = sum(1 for f in server.frames() if f.name == "ARQ_UPDATE" and f.body.split()[-1][:1] == b"1")
    finally:
        d.close()
        server.close()
    return figures, downloads


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--baseline")
    parser.add_argument("--mib", type=int, default=1500)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="velmod-recheck-")
    try:
        big, md5 = make_big(work, args.mib)
        builds = [("baseline", args.baseline)] if args.baseline else []
        builds.append(("binary", args.binary))
        print("%d MiB file, %d agents fetching other files, new connections in a loop" % (args.mib, AGENTS))
        print("%-9s %-10s %14s %18s %20s" % ("build", "file", "reply after s", "other agents: gap",
                                             "new connections: gap"))
        for label, binary in builds:
            figures, downloads = measure(os.path.abspath(binary), big, md5, args.mib << 20, args.rounds)
            for phase, rows in figures.items():
                for answer, gap, joined in rows:
                    print("%-9s %-10s %14.2f %18.2f %20.2f" % (label, phase, answer, gap, joined))
            print("%-9s downloads of the large file: %d" % (label, downloads))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
