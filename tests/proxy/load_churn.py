#!/usr/bin/env python3
"""Long churn runs against the real daemon, run by hand (not part of the test
command); each prints its figures and exits 0 when the daemon held up.

  VELMOD_PROXY=build/release/proxy/velmod-proxy python3 tests/proxy/load_churn.py reload
      50 SIGHUPs in a row while 200 agents reconnect every 10 ms: the daemon
      lives, relays afterwards, and its descriptors return to the baseline.
  VELMOD_PROXY=... python3 tests/proxy/load_churn.py hanging [--nofile N]
      100 agents a second for 20 s to an endpoint whose upstream never answers
      the connect, while a second endpoint's agents are relayed to a good
      upstream: descriptors back within 10 of the baseline 20 s after the
      last agent left, and no agent of the good upstream refused.
"""

import argparse
import os
import resource
import signal
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from churn import Churn, HangingUpstream, open_descriptors, settled_descriptors  # noqa: E402
from standin_agent import StandinAgent  # noqa: E402
from standin_server import StandinServer  # noqa: E402


def relays(port):
    try:
        agent = StandinAgent(port, timeout=10)
        try:
            agent.negotiate()
            agent.send("NOTE", b"probe")
            return agent.expect("NOTE").args == b"probe"
        finally:
            agent.close()
    except Exception:
        return False


def reload_run(args):
    server = StandinServer()
    d = harness.Daemon(listens=[(harness.listen_spec(0), [server.spec])], verbosity="INFO").start()
    ok = False
    try:
        d.wait_started()
        port = d.listen_ports()[0]
        d.write_config(harness.config_xml([(harness.listen_spec(port), [server.spec])], d.cache_root))
        since = d.mark()
        d.signal(signal.SIGHUP)
        d.wait_for(harness.STARTED, since=since)
        baseline = open_descriptors(d.pid)
        started = time.monotonic()
        done = 0
        peak = baseline
        with Churn(port, threads=200, pause=0.01) as churn:
            churn.wait_made(1000, 30)
            for _ in range(args.reloads):
                since = d.mark()
                d.signal(signal.SIGHUP)
                harness.wait_until(lambda: harness.STARTED in d.log[since:] or not d.alive(), 30)
                if harness.STARTED not in d.log[since:]:
                    break
                done += 1
                peak = max(peak, open_descriptors(d.pid))
                churn.wait_made(churn.made + 200, 10)
        elapsed = time.monotonic() - started
        alive = d.alive()
        relayed = alive and relays(port)
        after = settled_descriptors(d.pid, baseline, 30) if alive else None
        print("reloads completed: %d of %d in %.1f s" % (done, args.reloads, elapsed))
        print("agent connections: %d made, %d refused" % (churn.made, churn.refused))
        print("daemon alive: %s; relays afterwards: %s" % (alive, relayed))
        print("descriptors: baseline %d, peak seen %d, after %s" % (baseline, peak, after))
        failed = [line for line in d.log.splitlines() if "Service failed" in line or "Thread failed" in line]
        print("failure lines: %d%s" % (len(failed), "".join("\n  " + line for line in failed[:5])))
        ok = done == args.reloads and alive and relayed and after == baseline and not failed
    finally:
        d.close()
        server.close()
    return ok


def hanging_run(args):
    dead = HangingUpstream()
    good = StandinServer()
    d = harness.Daemon(listens=[(harness.listen_spec(0), [dead.spec]), (harness.listen_spec(0), [good.spec])],
                       verbosity="INFO", limits=[(resource.RLIMIT_NOFILE, args.nofile)]).start()
    ok = False
    try:
        d.wait_started()
        dead_port, good_port = d.listen_ports()
        baseline = open_descriptors(d.pid)
        stop = threading.Event()
        probes = {"ok": 0, "failed": 0}

        def probe():
            while not stop.is_set():
                probes["ok" if relays(good_port) else "failed"] += 1
                stop.wait(0.5)

        prober = threading.Thread(target=probe, daemon=True)
        prober.start()
        started = time.monotonic()
        agents = refused = 0
        peak = baseline
        for i in range(args.rate * args.seconds):
            delay = started + i / args.rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            try:
                # Short: a daemon out of descriptors leaves its accept queue full, and
                # a waiting agent must not slow the pace of the others.
                socket.create_connection(("127.0.0.1", dead_port), timeout=0.2).close()
                agents += 1
            except OSError:
                refused += 1
            if i % args.rate == 0:
                peak = max(peak, open_descriptors(d.pid))
        left = time.monotonic()
        time.sleep(args.after)
        after = open_descriptors(d.pid)
        stop.set()
        prober.join(15)
        log = d.log
        print("agents: %d connected and left in %.1f s, %d refused" % (agents, left - started, refused))
        print("descriptors: baseline %d, peak seen %d, %d s after the last agent left %d (limit %d)"
              % (baseline, peak, args.after, after, args.nofile))
        print("good upstream probes: %d relayed, %d failed" % (probes["ok"], probes["failed"]))
        print("'Connect gave up' lines: %d (repeats folded); 'Too many open files': %d"
              % (log.count("Connect gave up after"), log.count("Too many open files")))
        ok = after <= baseline + 10 and probes["failed"] == 0 and d.alive()
    finally:
        d.close()
        good.close()
        dead.close()
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="run", required=True)
    r = sub.add_parser("reload")
    r.add_argument("--reloads", type=int, default=50)
    h = sub.add_parser("hanging")
    h.add_argument("--rate", type=int, default=100, help="agents a second")
    h.add_argument("--seconds", type=int, default=20)
    h.add_argument("--after", type=int, default=20, help="seconds after the last agent before counting")
    h.add_argument("--nofile", type=int, default=4096, help="the daemon's descriptor limit")
    args = parser.parse_args()
    began = time.monotonic()
    ok = (reload_run if args.run == "reload" else hanging_run)(args)
    print("%s in %.0f s" % ("PASS" if ok else "FAIL", time.monotonic() - began))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
