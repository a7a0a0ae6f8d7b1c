"""Flow control through the real daemon as ordinary peers meet it: each
direction is held back on its own, so a peer that writes a large request
before it reads finishes as it would directly connected; a pair whose agent
has gone while its reading was held back is freed; a peer that takes no byte
for the write stall limit loses its pair; compressed bytes behind the
compression switch are handed on without waiting for more; and the download
stall clock stands still while the daemon holds the server's reading back."""

import hashlib
import os
import socket
import struct
import threading
import time
import unittest
import zlib

import harness
from standin_agent import PeersTestCase
from standin_server import Repository, build_frame
from test_backpressure import SMALL_QUARANTINE, SilentServer, sanitized, send_commands
from test_load import process_figures

MiB = 1 << 20


def frames(name, body, count):
    return b"".join(build_frame(i, name, b"%d" % i, body) for i in range(count))


class FlowTest(PeersTestCase):
    def test_a_peer_that_writes_its_whole_request_before_reading_is_not_deadlocked(self):
        server, daemon, port = self.start_pair({"echo": False, "repository": None})
        agent = self.start_agent(port, timeout=30)
        total = 32 * MiB
        body = b"d" * (64 << 10)
        # The server sends 32 MiB while it reads everything the agent sends.
        send_commands(server, "DOWN", [body] * (total // len(body)))
        # The agent, one thread and blocking, writes 32 MiB first, then reads.
        request = b"".join(build_frame(agent.number + i, "UP", b"%d" % i, body)
                           for i in range(total // len(body)))
        agent.number += total // len(body)
        agent.sock.settimeout(30)
        agent.sock.sendall(request)
        for i in range(total // len(body)):
            frame = agent.expect("DOWN", timeout=30)
            self.assertEqual(frame.args, b"%d" % i)
        self.assertTrue(harness.wait_until(lambda: server.count("UP") == total // len(body), 30))

    def test_pairs_whose_agents_left_while_held_back_are_freed(self):
        server = SilentServer()
        self.addCleanup(server.close)
        daemon, port = self.start_relay(server, env=dict(SMALL_QUARANTINE, **harness.limits_env(write_stall_limit_ms=2000)))
        baseline = process_figures(daemon.pid)
        # One command each, above the high-water mark: its body is read
        # whole, then the agent's reading is held back behind the server,
        # which never reads. Half the agents end with a reset.
        agents = []
        for i in range(8):
            agent = socket.create_connection(("127.0.0.1", port))
            agents.append(agent)
            server.conn(i)
            agent.sendall(build_frame(0, "BLOB", b"x", os.urandom(6 * MiB)))
        time.sleep(0.5)
        mark = daemon.mark()
        for i, agent in enumerate(agents):
            if i % 2:
                agent.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            agent.close()
        # The resets end their pairs at once.
        self.assertTrue(harness.wait_until(lambda: process_figures(daemon.pid)[1] <= baseline[1] + 8, 5),
                        "descriptors %d, %d at the start" % (process_figures(daemon.pid)[1], baseline[1]))
        # The rest still owe the agents' bytes to a server that never reads:
        # the write stall limit frees them.
        self.assertTrue(harness.wait_until(lambda: process_figures(daemon.pid)[1] <= baseline[1], 10),
                        "descriptors %d, %d at the start" % (process_figures(daemon.pid)[1], baseline[1]))
        daemon.wait_for("Peer took no byte for", since=mark)
        # The 48 MiB the pairs held are given back, but for what the allocator
        # keeps (under AddressSanitizer, its quarantine too).
        limit = (40 if sanitized(daemon.pid) else 8) * 1024
        self.assertTrue(harness.wait_until(lambda: process_figures(daemon.pid)[0] - baseline[0] < limit, 5),
                        "RSS %d KiB at the start, %d now" % (baseline[0], process_figures(daemon.pid)[0]))

    def test_inflated_bytes_behind_the_compression_switch_are_handed_on_at_once(self):
        # Text that inflates to five times the inflation step, sent in the
        # same write as the AUTHORIZE that switches compression on.
        count = 41
        bodies = [(hashlib.sha256(b"%d" % i).hexdigest() * 256).encode() for i in range(count)]
        after = [("TEXT", b"%d" % i, bodies[i]) for i in range(count)]
        server, daemon, port = self.start_pair({"options": "COMP", "echo": False, "repository": None,
                                                "after_authorize_frames": after})
        agent = self.start_agent(port, options="COMP")
        self.assertIsNotNone(agent.inflater)
        # The server sends nothing more: every command must come now.
        for i in range(count):
            frame = agent.expect("TEXT", timeout=10)
            self.assertEqual((frame.args, frame.body), (b"%d" % i, bodies[i]))

    def test_the_stall_clock_stands_still_while_the_daemon_holds_the_servers_reading_back(self):
        repository = Repository(files=[200000])
        server, daemon, port = self.start_pair({"echo": False, "repository": repository},
                                               env=harness.limits_env(stall_limit_ms=1500))
        agent = self.start_agent(port, timeout=30)
        announcement = agent.wait_announcement()
        # The server floods the agent, which does not read: the daemon holds
        # the server's reading back.
        flood = 24 * MiB
        body = b"f" * (64 << 10)
        send_commands(server, "FLOOD", [body] * (flood // len(body)))
        time.sleep(1)
        # The agent asks for a file only this server can give; its reply
        # waits behind the flood, longer than the stall limit.
        request = agent.request(announcement)
        time.sleep(3)
        # Read at last: the reply comes among the flood, which is skipped.
        update = agent.receive(announcement, request=request, timeout=30)
        self.assertEqual(hashlib.md5(update.data).hexdigest(), hashlib.md5(repository.payload("1")).hexdigest())
        self.assertEqual(daemon.count("made no progress"), 0)


if __name__ == "__main__":
    unittest.main()
