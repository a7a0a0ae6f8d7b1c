"""An agent that closes in order, its end read by the daemon behind all it
sent, and then refuses the daemon's next write (its system answers with a
reset): only the direction towards it ends. Everything it sent reaches its
server at the server's own pace, exactly, and then an orderly end of
stream, while the server keeps writing to the agent that left."""

import os
import socket
import threading
import time
import unittest

import harness
from standin_agent import PeersTestCase
from test_half_close_flow import GatedSocket, unsent

MiB = 1 << 20


class PacedSocket(GatedSocket):
    """A gated socket whose reads, once open, come at about `rate` bytes a second."""

    def __init__(self, sock, rate):
        super().__init__(sock)
        self.rate = rate

    def recv(self, n):
        data = super().recv(min(n, 16 << 10))
        time.sleep(len(data) / self.rate)
        return data


class RefusedWriteTest(PeersTestCase):
    def close_then_refuse(self, options, send_all):
        server = self.start_server(options=options, echo=False, repository=None)
        ended = []
        # A read that fails (a reset) is logged as the connection's end.
        server._log = lambda text: ended.append(text) if " ended: " in text else None
        # A small receive buffer upstream, and nothing read there at first:
        # the daemon holds much of what the agent sent when the agent goes.
        server._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
        daemon, port = self.start_relay(server)
        agent = self.start_agent(port, options=options)
        upstream = server._conn(0)
        paced = PacedSocket(upstream.sock, 4 * MiB)
        upstream.sock = paced
        arrived, expected = send_all(agent, server, upstream)
        self.assertTrue(harness.wait_until(lambda: unsent(agent.sock) == 0, 10),
                        "the daemon's system did not take all the agent sent")
        mark = daemon.mark()
        # Nothing unread: the agent's close is orderly, and the daemon reads its end.
        agent.sock.close()
        daemon.wait_for("Peer ended its sending", since=mark)
        # The server keeps writing to the agent: its system answers the
        # first write with a reset, and the daemon's next write fails.
        stop = threading.Event()

        def keep_writing():
            i = 0
            while not stop.is_set():
                try:
                    server.send(0, "PUSH", b"%d" % i, b"p" * 1000)
                except OSError:
                    return
                i += 1
                time.sleep(0.02)

        harness.start_thread(keep_writing)
        self.addCleanup(stop.set)
        daemon.wait_for("Send operation failed", since=mark)
        time.sleep(0.3)
        paced.open.set()
        # The server reads all the agent sent and then the end of stream.
        self.assertTrue(harness.wait_until(lambda: paced.sock.fileno() < 0, 30), daemon.log[-3000:])
        stop.set()
        self.assertEqual((arrived(), ended), (expected, []), daemon.log[-3000:])
        return daemon

    def test_a_raw_agent_that_closed_and_refused_a_write_has_everything_handed_on(self):
        data = os.urandom(2 * MiB)

        def send_all(agent, server, upstream):
            agent.send("INSTALL", b"x")
            self.assertTrue(harness.wait_until(lambda: upstream.raw, 10), "the server never turned raw")
            agent.send_raw(data)
            return lambda: (len(upstream.raw_in), bytes(upstream.raw_in) == data), (len(data), True)

        self.close_then_refuse("", send_all)

    def test_a_compressed_agent_that_closed_and_refused_a_write_has_everything_handed_on(self):
        bodies = [os.urandom(MiB) for _ in range(2)]

        def send_all(agent, server, upstream):
            self.assertIsNotNone(agent.inflater, "compression was not negotiated")
            for i, body in enumerate(bodies):
                agent.send("BULK", b"%d" % i, body)
            whole = lambda: [f.args for f in server.frames() if f.name == "BULK" and f.body == bodies[int(f.args)]]
            return whole, [b"%d" % i for i in range(len(bodies))]

        self.close_then_refuse("COMP", send_all)


if __name__ == "__main__":
    unittest.main()
