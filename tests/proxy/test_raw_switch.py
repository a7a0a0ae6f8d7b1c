"""Switches to raw relaying: every byte the daemon read from a peer before the
switch reaches the other side exactly as it was sent (a half-read command,
the commands of one read, a relayed command crossing the agent's INSTALL);
once a pair is raw the daemon writes no update reply of its own into it, nor
a reply to its own download that the server begins late; an agent that
resets in the middle of a large download leaves no race behind."""

import socket
import struct
import threading
import time
import unittest
import zlib

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, build_frame


class Peer:
    """One end of a plain socket whose received bytes a thread collects."""

    def __init__(self, sock):
        self.sock = sock
        self.data = bytearray()
        self.lock = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return
                with self.lock:
                    self.data += chunk
                    self.lock.notify_all()
        except OSError:
            pass

    def wait_len(self, n, timeout=20):
        deadline = time.monotonic() + timeout
        with self.lock:
            while len(self.data) < n and time.monotonic() < deadline:
                self.lock.wait(0.05)
            return bytes(self.data)

    def close(self):
        self.sock.close()


class PlainServer:
    """An upstream server on loopback whose connections are plain Peers."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.spec = harness.tcp_spec(self.listener.getsockname()[1])
        self.peers = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            while True:
                self.peers.append(Peer(self.listener.accept()[0]))
        except OSError:
            pass

    def peer(self, index, timeout=10):
        if not harness.wait_until(lambda: len(self.peers) > index, timeout):
            raise AssertionError("the daemon did not connect upstream")
        return self.peers[index]

    def close(self):
        self.listener.close()
        for peer in self.peers:
            peer.close()


def pack(peer, data):
    """`data` as `peer` sends it on its compressed stream."""
    return peer.deflater.compress(data) + peer.deflater.flush(zlib.Z_SYNC_FLUSH)


def pattern(n, seed=0):
    """n bytes with CR, LF and blanks in them, different for each seed."""
    return bytes((i * 131 + seed * 7) % 256 for i in range(n))


class RawSwitchKeepsWhatWasReadTest(PeersTestCase):
    def plain_pair(self):
        server = PlainServer()
        self.addCleanup(server.close)
        daemon, port = self.start_relay(server)
        return server, daemon, port

    def agent(self, port, index, server):
        peer = Peer(harness.connect(port))
        self.addCleanup(peer.close)
        return peer, server.peer(index)

    def test_a_server_command_that_turns_the_pair_raw_keeps_the_agents_half_read_command_and_burst(self):
        server, daemon, port = self.plain_pair()
        # Half a command read when the server's first command turns the pair raw.
        body = pattern(200000)
        agent, upstream = self.agent(port, 0, server)
        agent.sock.sendall(b"0  DATA T200000 x \r\n" + body[:100000])
        time.sleep(0.5)  # the daemon holds the half; without the pause the case is merely easier
        upstream.sock.sendall(b"0 HELLO there\r\n")
        self.assertEqual(agent.wait_len(15), b"0 HELLO there\r\n")
        tail = body[100000:] + b"\r\n1 AFTER\r\n"
        agent.sock.sendall(tail)
        sent = b"0  DATA T200000 x \r\n" + body + b"\r\n1 AFTER\r\n"
        got = upstream.wait_len(len(sent))
        self.assertTrue(got == sent, "%d of %d bytes, beginning %r" % (len(got), len(sent), got[:40]))
        # The same at an AUTHORIZE OK with encryption offered by both sides.
        agent, upstream = self.agent(port, 1, server)
        agent.sock.sendall(b"0 PROTOCOL 2 9 CRYPT\r\n")
        self.assertEqual(upstream.wait_len(22), b"0 PROTOCOL 2 9 CRYPT\r\n")
        upstream.sock.sendall(b"0 PROTOCOL 2 9 CRYPT\r\n")
        self.assertEqual(agent.wait_len(22), b"0 PROTOCOL 2 9 CRYPT\r\n")
        agent.sock.sendall(b"1 DATA T50000\r\n" + body[:20000])
        time.sleep(0.3)
        upstream.sock.sendall(b"1 AUTHORIZE OK\r\n")
        self.assertEqual(agent.wait_len(38), b"0 PROTOCOL 2 9 CRYPT\r\n1 AUTHORIZE OK\r\n")
        agent.sock.sendall(body[20000:50000] + b"\r\n")
        sent = b"0 PROTOCOL 2 9 CRYPT\r\n1 DATA T50000\r\n" + body[:50000] + b"\r\n"
        got = upstream.wait_len(len(sent))
        self.assertTrue(got == sent, "%d of %d bytes, beginning %r" % (len(got), len(sent), got[:60]))
        # Many small commands in one write, as the server's first command comes.
        for round_ in range(12):
            agent, upstream = self.agent(port, round_ + 2, server)
            burst = b"".join(b"%d ECHO %08d\r\n" % (i, i) for i in range(2000))
            writer = threading.Thread(target=agent.sock.sendall, args=(burst,))
            writer.start()
            upstream.sock.sendall(b"0 HELLO\r\n")
            writer.join()
            agent.sock.sendall(b"raw after")
            got = upstream.wait_len(len(burst) + 9)
            first = next((i for i in range(min(len(got), len(burst))) if got[i] != burst[i]), None)
            self.assertTrue(got == burst + b"raw after", "round %d: first difference at %r: %r"
                            % (round_, first, got[first - 20:first + 40] if first else got[-60:]))
            self.assertEqual(agent.wait_len(9), b"0 HELLO\r\n")

    def test_a_relayed_server_command_crossing_the_agents_install_reaches_it_whole(self):
        server, daemon, port = self.plain_pair()
        agent, upstream = self.agent(port, 0, server)
        body = pattern(2000000, 1)
        # A negotiation command: relayed framed, it leaves the pair as it is.
        upstream.sock.sendall(b"0 CHALLENGE  T2000000 c\r\n" + body[:1000000])
        self.assertTrue(harness.wait_until(lambda: len(upstream.data) == 0, 1))
        time.sleep(0.5)  # the daemon holds the half; without the pause the case is merely easier
        agent.sock.sendall(b"0 INSTALL\r\n")
        self.assertEqual(upstream.wait_len(11), b"0 INSTALL\r\n")
        upstream.sock.sendall(body[1000000:] + b"\r\nraw from the server")
        sent = b"0 CHALLENGE  T2000000 c\r\n" + body + b"\r\nraw from the server"
        got = agent.wait_len(len(sent), 30)
        self.assertTrue(got == sent, "%d of %d bytes, beginning %r" % (len(got), len(sent), got[:40]))
        agent.sock.sendall(b"raw from the agent")
        self.assertEqual(upstream.wait_len(29), b"0 INSTALL\r\nraw from the agent")


    def test_after_compression_the_half_read_command_reaches_the_agent_as_inflated(self):
        # Raw relaying of a compressed pair passes the inflated stream, each
        # side compressing it again: so do the bytes held at the switch.
        server, daemon, port = self.start_pair(server_kwargs=dict(options="COMP", repository=None))
        agent = self.start_agent(port, options="COMP")
        self.assertEqual(agent.mode, "compressed")
        conn = server._conn(0)
        frame = build_frame(conn.out_number, "BIG", b"x", pattern(400000, 3)) + b"tail"
        half = len(frame) // 2
        conn.send_raw(conn.deflater.compress(frame[:half]) + conn.deflater.flush(zlib.Z_SYNC_FLUSH))
        time.sleep(0.5)  # the daemon holds the half; without the pause the case is merely easier
        agent.send("INSTALL")
        server.wait_count("INSTALL", 1)
        conn.send_raw(conn.deflater.compress(frame[half:]) + conn.deflater.flush(zlib.Z_SYNC_FLUSH))
        deadline = time.monotonic() + 20
        while len(agent.buffer) < len(frame):
            agent._fill(deadline)
        got = bytes(agent.buffer)
        self.assertTrue(got == frame, "%d of %d bytes, beginning %r" % (len(got), len(frame), got[:40]))


class RawPairGetsNoUpdateReplyTest(PeersTestCase):
    def test_a_waiting_request_of_an_agent_that_then_sends_install_is_withdrawn(self):
        repo = Repository(files=2)
        server = self.start_server(repository=repo, hold=True)
        daemon, port = self.start_relay(server)
        other = self.start_agent(port)
        agent = self.start_agent(port)
        announcement = other.wait_announcement()
        agent.wait_announcement()
        other.request(announcement)
        server.wait_held(1)
        agent.request(announcement)
        # The agent's request waits for the download through the other agent's connection.
        self.assertTrue(harness.wait_until(lambda: server.count("ARQ_UPDATE") == 1, 5))
        agent.send("INSTALL")
        server.wait_count("INSTALL", 1)
        agent.mode, agent.raw = "raw", agent.buffer
        server.send_raw(1, b"raw before|")
        self.assertEqual(agent.recv_raw(11), b"raw before|")
        server.release()
        update = other.receive(announcement)
        self.assertEqual(update.data, repo.payload("11"))
        # Behind every reply the download's end gave rise to.
        server.send_raw(1, b"raw after")
        got = agent.recv_raw(20, timeout=20)
        self.assertEqual(got, b"raw before|raw after", got[:120])

    def test_an_install_during_a_download_through_its_connection_lets_no_late_range_into_the_raw_stream(self):
        for options in ("", "COMP"):
            repo = Repository(files=[3 << 20])
            server = self.start_server(options=options, echo=False, repository=repo)
            daemon, port = self.start_relay(server)
            a, b, c = agents = [self.start_agent(port, options=options, timeout=30) for _ in range(3)]
            announcement = [agent.wait_announcement() for agent in agents][0]
            for i in range(3):  # each range reply begins 30 ms late
                server._conn(i).send_range = lambda t, late=server._conn(i).send_range: time.sleep(0.03) or late(t)
            a.request(announcement)  # the download runs through A's connection, B and C wait for it
            self.assertTrue(harness.wait_until(lambda: server.count("ACK_RANGE") >= 3, 10), "no download")
            waiting = [b.request(announcement), c.request(announcement)]
            self.assertTrue(harness.wait_until(lambda: daemon.count("ARQ_UPDATE") >= 4, 10))
            # Raw bytes right behind the INSTALL (plain only: the stand-in
            # server keeps compressed raw bytes as they came).
            tail = b"" if options else b"\r\n0 NOT A COMMAND\r\n" + bytes(range(256)) * 64
            wire = build_frame(a.number, "INSTALL", b"setup.exe") + tail
            a.send_raw(pack(a, wire) if options else wire)
            upstream = server._conn(0)
            self.assertTrue(harness.wait_until(lambda: upstream.raw, 15), "no INSTALL reached the server")
            raw = b"1 SRS_UPDATE looks like one\r\n" + bytes(range(255, -1, -1)) * 300
            upstream.send_raw(pack(upstream, raw) if options else raw)
            server.end_sending(0)
            with self.assertRaises(ConnectionClosed):
                while True:
                    a._fill(time.monotonic() + 20)
            self.assertTrue(a.buffer == raw, "%d bytes, beginning %r" % (len(a.buffer), bytes(a.buffer[:50])))
            self.assertEqual(server.wait_raw(0, len(tail)), tail)
            for agent, request in zip((b, c), waiting):
                self.assertTrue(agent.receive(announcement, request=request).data == repo.files[0].data)

    def test_an_install_waits_for_a_reply_that_never_comes_no_longer_than_the_stall_limit(self):
        server, daemon, port = self.start_pair({"repository": Repository([5000]), "hold": True, "echo": False},
                                               env=harness.limits_env(stall_limit_ms=500))
        agent = self.start_agent(port)
        agent.request(agent.wait_announcement())
        server.wait_held(1)
        agent.send_raw(build_frame(agent.number, "INSTALL") + b"behind it\r\n")
        daemon.wait_for("the agent's switch to raw waits no longer")
        self.assertEqual(server.wait_raw(0, 11), b"behind it\r\n")

    def test_an_install_waits_for_a_trickled_reply_and_drops_one_the_stall_limit_cut(self):
        # A range of 54 bytes: one byte every 0.12 s never leaves the limit
        # of 1 s without a byte, header included; pieces of 20 bytes 1.5 s
        # apart run it out in the middle of the header, and the reply is
        # dropped to the end of its frame all the same.
        for piece, pause, cut in ((1, 0.12, False), (20, 1.5, True)):
            server, daemon, port = self.start_pair(
                {"repository": Repository([3 << 20]), "range_size": 16, "hold": True, "echo": False},
                env=harness.limits_env(stall_limit_ms=1000))
            agent = self.start_agent(port)
            agent.request(agent.wait_announcement())
            server.wait_held(1)
            server.pace, server.pace_piece = pause, piece
            agent.send_raw(build_frame(agent.number, "INSTALL") + b"behind it\r\n")
            agent.mode = "raw"
            daemon.wait_for("The agent's switch to raw waits for the reply owed to a download")
            releasing = harness.start_thread(server.release)
            upstream = server._conn(0)
            self.assertTrue(harness.wait_until(lambda: upstream.raw, 20), "no INSTALL reached the server")
            raw = b"5 SRS_UPDATE T16 2 R16:32 S3145728\r\n" + pattern(3000)
            server.send_raw(0, raw)
            server.end_sending(0)
            releasing.join(20)
            with self.assertRaises(ConnectionClosed):
                while True:
                    agent._fill(time.monotonic() + 20)
            got = bytes(agent.buffer + agent.raw)
            self.assertTrue(got == raw, "%d bytes, beginning %r" % (len(got), got[:60]))
            self.assertEqual(server.wait_raw(0, 11), b"behind it\r\n")
            self.assertEqual(daemon.count("the agent's switch to raw waits no longer"), int(cut))

    def test_an_install_drops_the_reply_still_owed_after_its_download_was_given_up(self):
        # The agent's download is given up as stalled (no body byte for 2 s)
        # while its second range is still owed: not begun, its header
        # trickling in, or its body held back; the agent has its files from
        # another connection's download meanwhile. Whatever the command,
        # compressed or not, the reply is read to the end of its frame and
        # dropped.
        waits = "The agent's switch to raw waits for the reply owed to a download"
        for options, command, state in (("", "INSTALL", "header"), ("COMP", "INSTALLEX", "header"),
                                        ("COMP", "INSTALL", "unbegun"), ("", "INSTALLEX", "body")):
            with self.subTest(options=options, command=command, state=state):
                slow, sound = (self.start_server(repository=Repository([4096]), range_size=16, echo=False,
                                                 options=options) for _ in range(2))
                # Connections take the forwards in turn: the agent's goes to the slow server.
                daemon, port = self.start_relay(None, listens=[(harness.listen_spec(0), [slow.spec, sound.spec])],
                                                env=harness.limits_env(stall_limit_ms=2000))
                agent, other = self.start_agent(port, options=options, timeout=30), self.start_agent(port)
                upstream, ranges = slow._conn(0), []

                def second_range_late(transfer, send=upstream.send_range):
                    ranges.append(transfer)
                    if len(ranges) == 2 and state == "unbegun":
                        slow.hurried.wait(30)
                    elif len(ranges) == 2:
                        # In pieces of the header's length, a plain body waits behind it.
                        header = b"%d SRS_UPDATE T16 %d R16:32 S4096\r\n" % (upstream.out_number, transfer.request)
                        slow.pace, slow.pace_piece = (0.4, 1) if state == "header" else (30, len(header))
                    send(transfer)

                upstream.send_range = second_range_late
                announcement = agent.wait_announcement()
                agent.request(announcement)
                slow.wait_count("ARQ_UPDATE", 1)
                # The other agent's request waits for this download, then makes its own through its server.
                self.assertTrue(other.fetch(other.wait_announcement()).ok)
                self.assertTrue(agent.receive(announcement).ok)
                daemon.wait_for("made no progress for 2000 ms, given up")
                tail = b"behind it\r\n0 NOT A COMMAND\r\n" + bytes(range(256))
                wire = build_frame(agent.number, command, b"setup.exe") + tail
                agent.send_raw(pack(agent, wire) if options else wire)
                harness.wait_until(lambda: daemon.count(waits), 5)  # a sync point only: it fails sooner without
                slow.hurried.set()
                self.assertTrue(harness.wait_until(lambda: upstream.raw, 20), "no %s reached the server" % command)
                raw = b"7 SRS_UPDATE T16 2 R32:48 S4096\r\n" + pattern(3000)
                upstream.send_raw(pack(upstream, raw) if options else raw)
                slow.end_sending(0)
                with self.assertRaises(ConnectionClosed):
                    while True:
                        agent._fill(time.monotonic() + 20)
                got = bytes(agent.buffer)
                self.assertTrue(got == raw, "%d bytes, beginning %r" % (len(got), got[:60]))
                self.assertEqual(slow.wait_raw(0, len(tail), inflated=bool(options)), tail)
                self.assertEqual(daemon.count("the agent's switch to raw waits no longer"), 0)


class ResetDuringDownloadTest(PeersTestCase):
    def test_agents_that_reset_in_the_middle_of_large_unpaced_downloads_leave_no_race(self):
        # Judged by the sanitizers (scripts/tsan.sh for the race itself): the
        # teardown after the reset ends the download on one thread while its
        # body is written on the server's strand on another.
        server = self.start_server(range_size=1 << 26)
        # Four threads: the teardown and the body's writes meet more often.
        daemon, port = self.start_relay(server, pool_size=4)
        for round_ in range(30):
            # A revision of its own: a failed download delays the next one of its revision.
            server.repository = Repository([12 << 20], revision=100 + round_)
            agent = self.start_agent(port)
            agent.request(agent.wait_announcement())
            server.wait_count("ARQ_UPDATE", round_ + 1)
            agent.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            agent.sock.close()
        server.repository = repo = Repository([3000, 5000], revision=200)
        witness = self.start_agent(port)
        self.assertEqual(witness.fetch(witness.wait_announcement()).data, repo.payload("11"))


if __name__ == "__main__":
    unittest.main()
