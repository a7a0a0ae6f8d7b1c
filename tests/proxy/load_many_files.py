#!/usr/bin/env python3
"""Load script (outside the test command): one announcement of many files
(100,000 by default) downloaded by the daemon and served whole to one agent,
content checked, twice (the second time from the cache alone), while the
daemon's mappings are sampled from /proc/PID/maps and another agent is
relayed. Prints the figures; exit status 0 when every check held.

Usage: VELMOD_PROXY=build/release/proxy/velmod-proxy python3 load_many_files.py [files] [max mappings]
"""

import sys
import threading
import time

import harness
from standin_agent import StandinAgent
from standin_server import Repository, StandinServer


def total_mappings(pid):
    with open("/proc/%d/maps" % pid) as f:
        return sum(1 for _ in f)


def main(argv):
    count = int(argv[1]) if len(argv) > 1 else 100000
    bound = int(argv[2]) if len(argv) > 2 else 10000
    # Sizes from 1 byte to 2000, and every 200th file of 70 KB (mapped even
    # when the budget is full): about 135 MB for 100,000 files.
    sizes = [70000 if i % 200 == 0 else 1 + (i * 37) % 2000 for i in range(count)]
    repo = Repository(sizes)
    server = StandinServer(repository=repo, range_size=1 << 20)
    daemon = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])], verbosity="INFO")
    ok = True
    try:
        daemon.start()
        daemon.wait_started()
        port = daemon.listen_ports()[-1]
        other = StandinAgent(port, timeout=600)
        other.negotiate()
        other.wait_announcement(600)
        peak = [0]
        relayed = [0]
        done = threading.Event()

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], total_mappings(daemon.pid))
                other.send("HELLO", b"%d" % relayed[0])
                other.expect("HELLO", 60)
                relayed[0] += 1
                time.sleep(0.05)

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        agent = StandinAgent(port, timeout=600)
        agent.negotiate()
        announcement = agent.wait_announcement(600)
        for round_name in ("downloaded", "from the cache"):
            started = time.monotonic()
            update = agent.fetch(announcement, timeout=1800)
            took = time.monotonic() - started
            bad = [f.name for f in update.files if not f.ok]
            print("%s: %d files, %d bytes in %.1f s, %s" % (round_name, len(update.files), len(update.data), took,
                                                          "all verified" if update.ok else "BAD %r" % bad[:5]),
                  flush=True)
            ok = ok and update.ok and len(update.files) == count
        done.set()
        sampler.join(60)
        print("peak mappings of the daemon (all kinds): %d (bound %d); agent relayed meanwhile: %d round trips; "
              "upstream ARQ_UPDATE: %d" % (peak[0], bound, relayed[0], server.count("ARQ_UPDATE")), flush=True)
        ok = ok and peak[0] < bound and relayed[0] > 0 and server.count("ARQ_UPDATE") == 1
    finally:
        daemon.close()
        server.close()
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
