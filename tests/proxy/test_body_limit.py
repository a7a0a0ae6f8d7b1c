"""A relayed command body larger than the daemon keeps in memory: the agent
that announces it loses its connection before the daemon buffers any of it,
and the next agent is relayed as usual."""

import socket
import unittest

from standin_agent import PeersTestCase
from test_load import process_figures

LIMIT = 64 << 20
CHUNK = b"x" * (1 << 20)


class BodyLimitTest(PeersTestCase):
    def test_announced_body_above_the_limit_ends_only_that_agent(self):
        server, daemon, port = self.start_pair()
        greedy = self.start_agent(port)
        before = process_figures(daemon.pid)[0]
        greedy.send_raw(b"%d BLOB T4294967295 x\r\n" % greedy.number)
        # Streamed until the daemon closes; one that buffered would take all 200 MiB.
        sent, peak, closed = 0, before, False
        while sent < 200 and not closed:
            try:
                greedy.sock.sendall(CHUNK)
                sent += 1
            except (BrokenPipeError, ConnectionResetError, socket.timeout):
                closed = True
            peak = max(peak, process_figures(daemon.pid)[0])
        self.assertTrue(closed, "the daemon took %d MiB of an oversized body" % sent)
        daemon.wait_for("Violation: command BLOB announces a body of 4294967295 bytes, above the limit of %d bytes"
                        % LIMIT)
        self.assertLess(peak - before, (LIMIT >> 10) + (64 << 10), "RSS KiB %d before, %d at most" % (before, peak))
        # A body of 1 MiB still travels both ways whole.
        agent = self.start_agent(port)
        body = bytes(range(256)) * 4096
        agent.send("BLOB", b"y", body)
        echoed = agent.expect("BLOB")
        self.assertEqual((echoed.args, echoed.body), (b"y", body))


if __name__ == "__main__":
    unittest.main()
