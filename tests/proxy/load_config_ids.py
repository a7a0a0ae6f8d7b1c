#!/usr/bin/env python3
"""Load run, outside the test command: one agent sends COUNT (default 1,000,000)
GETCONFIG requests that the upstream server never answers, and the daemon's
VmRSS growth over them is printed, after a warm-up round. With --unbounded the
same run is repeated with the kept-ids bound lifted, for comparison.

    VELMOD_PROXY=build/release/proxy/velmod-proxy python3 load_config_ids.py [COUNT] [--unbounded]

Exit status 1 when the growth with the default bound reaches 32 MiB."""

import argparse
import sys

import config_ids
import harness

LIMIT_KB = 32 << 10


def run(count, warm_up, **limits):
    server = config_ids.LineCounter()
    daemon = None
    try:
        daemon, port = config_ids.start_daemon(lambda **kw: harness.Daemon(**kw).start(), server, **limits)
        agent = config_ids.GetconfigAgent(port)
        try:
            growth = config_ids.growth_kb(daemon, server, agent, warm_up, count, timeout=1200)
        finally:
            agent.close()
        print("%s: %d unanswered GETCONFIG after %d: VmRSS grew by %d kB"
              % (limits or "default bound", count, warm_up, growth), flush=True)
        return growth
    finally:
        if daemon is not None:
            daemon.close()
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", nargs="?", type=int, default=1000000)
    parser.add_argument("--warm-up", type=int, default=50000)
    parser.add_argument("--unbounded", action="store_true")
    args = parser.parse_args()
    growth = run(args.count, args.warm_up)
    if args.unbounded:
        run(args.count, args.warm_up, config_ids_kept_count=1 << 40)
    return 0 if growth < LIMIT_KB else 1


if __name__ == "__main__":
    sys.exit(main())
