#!/usr/bin/env bash
# Builds velmod-proxy (installing what is missing) and runs it in the
# foreground on examples/velmod-proxy.xml, with the stand-in upstream server
# from tests/proxy/ on 127.0.0.1:2194. Agents connect to 127.0.0.1:2193.
# Ctrl-C (SIGINT) stops the daemon and the stand-in server.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target velmod-proxy -j "$(nproc 2>/dev/null || echo 2)"

mkdir -p var
python3 tests/proxy/standin_server.py --host 127.0.0.1 --port 2194 &
server=$!
stop() { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }
trap stop EXIT
# The daemon takes SIGINT from the terminal like the stand-in server does;
# it must not be exec'd, so that the trap above still ends the server.
set +e
build/release/proxy/velmod-proxy --conf examples/velmod-proxy.xml --use-console-log --verbosity INFO
exit $?
