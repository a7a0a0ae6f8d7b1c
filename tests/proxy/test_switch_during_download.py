"""An agent that turns raw while the daemon's own download for other agents
runs through its connection: no reply to that download reaches the agent's
raw stream, even when the server begins each range only after a pause (so
the reply owed is still to come when the agent switches). The agent's raw
stream holds exactly the server's raw bytes, what it sent behind its INSTALL
reaches the server in order, and the agents that waited for the download
get their files whole through another connection."""

import time
import unittest
import zlib

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, build_frame

RANGE_PAUSE = 0.03


def pause_before_each_range(conn):
    """The server on `conn` begins every range reply RANGE_PAUSE late."""
    send_range = conn.send_range

    def late(transfer):
        time.sleep(RANGE_PAUSE)
        send_range(transfer)

    conn.send_range = late


class SwitchDuringDownloadTest(PeersTestCase):
    def install_during_download(self, options):
        repo = Repository(files=[3 << 20])
        server = self.start_server(options=options, echo=False, repository=repo)
        daemon, port = self.start_relay(server)
        agents = [self.start_agent(port, options=options, timeout=30) for _ in range(3)]
        announcements = [agent.wait_announcement() for agent in agents]
        for i in range(3):
            pause_before_each_range(server._conn(i))
        a, b, c = agents
        # The download starts on A's connection; B and C wait for it.
        a.request(announcements[0])
        self.assertTrue(harness.wait_until(lambda: server.count("ACK_RANGE") >= 3, 10), "no download ran")
        requests = [b.request(announcements[1]), c.request(announcements[2])]
        self.assertTrue(harness.wait_until(
            lambda: sum("rcv <" in l and "ARQ_UPDATE" in l for l in daemon.log.splitlines()) >= 3, 10))
        # A's INSTALL with raw bytes behind it in the same write (plain only:
        # the stand-in server keeps compressed raw bytes as they came).
        tail = b"" if a.deflater else b"\r\n0 NOT A COMMAND\r\n" + bytes(range(256)) * 64
        wire = build_frame(a.number, "INSTALL", b"setup.exe") + tail
        a.send_raw(a.deflater.compress(wire) + a.deflater.flush(zlib.Z_SYNC_FLUSH) if a.deflater else wire)
        self.assertEqual(bytes(a.buffer), b"")
        upstream = server._conn(0)
        self.assertTrue(harness.wait_until(lambda: upstream.raw, 15), "the INSTALL never reached the server")
        raw = b"1 SRS_UPDATE looks like a command\r\n" + bytes(range(255, -1, -1)) * 300
        with upstream.lock:
            upstream.send_raw(upstream.deflater.compress(raw) + upstream.deflater.flush(zlib.Z_SYNC_FLUSH)
                              if upstream.deflater else raw)
        server.end_sending(0)
        # Everything A gets from now on, to the end of stream the server's
        # end becomes.
        deadline = time.monotonic() + 20
        with self.assertRaises(ConnectionClosed):
            while time.monotonic() < deadline:
                a._fill(deadline)
        got = bytes(a.buffer)
        self.assertTrue(got == raw, "%d bytes for %d, beginning %r" % (len(got), len(raw), got[:60]))
        if tail:
            self.assertEqual(server.wait_raw(0, len(tail)), tail)
        for agent, announcement, request in zip((b, c), announcements[1:], requests):
            update = agent.receive(announcement, request=request, timeout=30)
            self.assertTrue(update.data == repo.files[0].data, "%d bytes" % len(update.data))

    def test_a_switch_waits_for_a_reply_that_never_comes_no_longer_than_the_stall_limit(self):
        repo = Repository([5000])
        server, daemon, port = self.start_pair({"repository": repo, "hold": True, "echo": False},
                                               env=harness.limits_env(stall_limit_ms=500))
        agent = self.start_agent(port)
        agent.request(agent.wait_announcement())
        server.wait_held(1)
        tail = b"behind the INSTALL\r\n"
        agent.send_raw(build_frame(agent.number, "INSTALL", b"x") + tail)
        daemon.wait_for("the agent's switch to raw waits no longer")
        self.assertEqual(server.wait_raw(0, len(tail)), tail)
        self.assertEqual(server.count("INSTALL"), 1)

    def test_an_install_during_a_download_through_its_connection_keeps_the_raw_stream_clean(self):
        self.install_during_download("")

    def test_an_install_during_a_download_keeps_the_compressed_raw_stream_clean(self):
        self.install_during_download("COMP")


if __name__ == "__main__":
    unittest.main()
