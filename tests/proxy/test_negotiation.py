"""The negotiation through the real daemon, and the commands it answers or
consumes itself, between stand-in agents and a stand-in server on loopback."""

import time
import unittest
import zlib

from harness import wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import build_frame, escape, parse_frame, words

# timestamp_t counts 10 ns units from 0001-01-01; this is its count at 1970-01-01.
UNIX_EPOCH_TICKS = 0x563AFF9BAD170000
PARSER_OFF = "Protocol parser disabled, switch to raw mode"
# Bytes a parser would choke on or take for frames; a raw relay passes them as they are.
RAW_DOWN = b"7 NOT_A_FRAME T3\r\n" + bytes(range(256)) + b"\r\n0 PING\r\n"
RAW_UP = b"\x78\x9c garbage that looks like zlib\r\n\r\n" + bytes(range(255, -1, -1))
RAW_LATER = b"\r\n%Z%P\x00" * 100


def frames_of(data):
    out = []
    while True:
        frame, data = parse_frame(data)
        if frame is None:
            return out, data
        out.append(frame)


class NegotiationTest(PeersTestCase):
    def test_protocol_lowers_version_minima_seen_in_pong_and_ranges(self):
        server, d, port = self.start_pair()
        rows = [  # agent's version, server's version, PONG carries the time, reply in ranges
            ((2, 9), (2, 9), True, True),
            ((3, 0), (2, 9), False, False),  # minima 2 and 0
            ((2, 5), (3, 1), False, False),  # minima 2 and 1: each number on its own
            ((2, 4), (2, 9), True, False),
            ((2, 3), (2, 9), False, False),
            ((5, 9), (2, 10), True, True),
        ]
        for agent_version, server_version, stamped, ranged in rows:
            with self.subTest(agent=agent_version, server=server_version):
                server.version = server_version
                agent = self.start_agent(port, version=agent_version)
                announcement = agent.wait_announcement()
                conn = server.connections - 1
                pongs = server.count("PONG")
                server.send(conn, "PING", b"17")
                server.wait_count("PONG", pongs + 1)
                pong = [f for f in server.frames() if f.name == "PONG"][-1]
                self.assertEqual(words(pong.args)[0], b"17")
                self.assertEqual(len(words(pong.args)), 2 if stamped else 1, pong)
                if stamped:
                    self.assertTimeCount(words(pong.args)[1])
                # The PING is answered by the daemon, never seen by the agent.
                server.send(conn, "MARK")
                self.assertEqual(agent.frame().name, "MARK")
                update = agent.fetch(announcement)
                self.assertTrue(update.ok)
                self.assertEqual(update.ranges, [(0, len(update.data), len(update.data))] if ranged else [])
        # Before any PROTOCOL the minima are at their top: the time is sent.
        self.start_agent(port, negotiate=False)
        self.assertTrue(server.wait_connections(len(rows) + 1))
        server.send(len(rows), "PING")
        server.wait_count("PONG", len(rows) + 1)
        pong = server.frames()[-1]
        self.assertEqual(len(words(pong.args)), 1, pong)
        self.assertTimeCount(words(pong.args)[0])

    def assertTimeCount(self, word):
        now = UNIX_EPOCH_TICKS + time.time_ns() // 10
        self.assertLess(abs(int(word) - now), 3600 * 10 ** 8, word)

    def test_offers_decide_compressed_plain_or_raw_relaying(self):
        server, d, port = self.start_pair()
        rows = [  # agent's options, server's options, relaying after AUTHORIZE OK
            ("COMP", "COMP", "compressed"),
            ("comp,crypt", "CRYPT,COMP", "raw"),
            ("CRYPT", "crypt", "raw"),
            ("COMP", "CRYPT", "plain"),
            ("", "COMP,CRYPT", "plain"),
        ]
        for agent_options, server_options, mode in rows:
            with self.subTest(agent=agent_options, server=server_options):
                server.options = server_options
                server.after_authorize = RAW_DOWN if mode == "raw" else b""
                agent = self.start_agent(port, options=agent_options)
                conn = server.connections - 1
                self.assertEqual(agent.mode, mode)
                if mode == "raw":
                    self.assertRelayedRaw(server, conn, agent)
                    continue
                self.assertEqual(agent.wait_announcement().repository, server.repository.name)
                agent.send("ECHO", b"x%Sy", b"body\r\n")
                echo = agent.expect("ECHO")
                self.assertEqual((echo.args, echo.body), (b"x%Sy", b"body\r\n"))
                if mode == "plain":
                    self.assertEqual((agent.wire, server.wire(conn)), (b"", b""))
                    continue
                # The wire bytes of both connections, inflated here on their own.
                down, rest = frames_of(zlib.decompressobj().decompress(agent.wire))
                self.assertEqual(([f.name for f in down], rest), (["SNF_UPDATE", "ECHO"], b""))
                up, rest = frames_of(zlib.decompressobj().decompress(server.wire(conn)))
                self.assertEqual(([f.name for f in up], rest), (["ECHO"], b""))

    def assertRelayedRaw(self, server, conn, agent):
        # RAW_DOWN left the server in the same write as the AUTHORIZE.
        self.assertEqual(agent.recv_raw(len(RAW_DOWN)), RAW_DOWN)
        agent.send_raw(RAW_UP)
        self.assertEqual(server.wait_raw(conn, len(RAW_UP)), RAW_UP)
        server.send_raw(conn, RAW_LATER)
        self.assertEqual(agent.recv_raw(len(RAW_DOWN + RAW_LATER)), RAW_DOWN + RAW_LATER)
        agent.send_raw(RAW_LATER)
        self.assertEqual(server.wait_raw(conn, len(RAW_UP + RAW_LATER)), RAW_UP + RAW_LATER)

    def test_authorize_other_than_ok_changes_nothing(self):
        server, d, port = self.start_pair()
        for options, answers, mode in [("COMP", ("DENIED", "OK"), "compressed"),
                                       ("CRYPT", ("no", "OKAY", "ok"), "raw")]:
            with self.subTest(options=options):
                server.options = options
                server.authorize = answers
                since = d.mark()
                agent = self.start_agent(port, negotiate=False, options=options)
                # Each refusal is followed by a new CHALLENGE, read and
                # answered framed and plain: nothing was switched.
                self.assertEqual(agent.negotiate(), list(answers))
                self.assertEqual(agent.mode, mode)
                if mode == "raw":
                    d.wait_for(PARSER_OFF, since=d.wait_for(PARSER_OFF, since=since))
                else:
                    self.assertEqual(agent.wait_announcement().repository, server.repository.name)
                    self.assertNotIn(PARSER_OFF, d.log[since:])

    def test_install_turns_both_connections_raw(self):
        server, d, port = self.start_pair()
        for conn, name in enumerate(("INSTALL", "INSTALLEX")):
            with self.subTest(name):
                since = d.mark()
                agent = self.start_agent(port, negotiate=False)
                self.assertTrue(server.wait_connections(conn + 1))
                agent.send("PROTOCOL", b"2 9 %Z")
                agent.expect("CHALLENGE")
                # The command travels framed; the bytes in the same write behind it raw.
                agent.send_raw(build_frame(agent.number, name, b"pkg%S1", b"abc") + RAW_UP)
                self.assertEqual(server.wait_raw(conn, len(RAW_UP)), RAW_UP)
                install = [f for f in server.frames() if f.conn == conn][-1]
                self.assertEqual((install.name, install.args, install.body), (name, b"pkg%S1", b"abc"))
                d.wait_for(PARSER_OFF, since=d.wait_for(PARSER_OFF, since=since))
                agent.mode = "raw"
                server.send_raw(conn, RAW_DOWN)
                self.assertEqual(agent.recv_raw(len(RAW_DOWN)), RAW_DOWN)

    def test_keepalive_answers_of_the_agent_are_consumed(self):
        server, d, port = self.start_pair()
        agent = self.start_agent(port)
        conn = server.connections - 1
        before = len(server.frames())
        agent.send("PONG", b"1 2")
        agent.send("ALIVE", b"5 0 update")
        agent.send("ACK_RANGE", b"3 R0:1")
        agent.send("MARK", b"x")
        self.assertEqual(agent.expect("MARK").args, b"x")
        self.assertEqual([f.name for f in server.frames()[before:] if f.conn == conn], ["MARK"])

    def test_config_answer_carries_the_agents_command_number(self):
        server, d, port = self.start_pair()
        agent = self.start_agent(port)
        conn = server.connections - 1
        agent.send("NOISE")  # the agent's and the daemon's numbers part
        number = agent.send("GETCONFIG", b"7")
        self.assertEqual(words(agent.expect("CONFIG").args), [b"%d" % number, b"7", b"config for 7"])
        # The entry was taken; an id never asked for maps to 4294967295. The
        # marker and body of the server's CONFIG are not passed on.
        for args, body in [(b"3 7 x", None), (b"0 4294967295 y%Sz", b"dropped")]:
            server.send(conn, "CONFIG", args, body)
            config = agent.expect("CONFIG")
            self.assertEqual((config.args, config.binary, config.body),
                             (b"4294967295 " + args.split(b" ", 1)[1], False, b""))

    def test_commands_with_too_few_words_are_refused_and_logged(self):
        server, d, port = self.start_pair()
        repo = escape(server.repository.name)
        rows = [  # who sends, name, arguments, body
            ("agent", "ANF_STATE", b"", None),
            ("agent", "GETCONFIG", b"", None),
            ("agent", "ARQ_UPDATE", b"", None),
            ("agent", "ARQ_UPDATE", repo, None),
            ("agent", "ARQ_UPDATE", b"", b"7 3 111"),
            ("agent", "ARQ_UPDATE", repo, b"7"),
            ("server", "CONFIG", b"1", None),
            ("server", "CONFIG", b"", None),
            ("server", "SNF_UPDATE", b"", b"7\n3\n"),
            ("server", "SNF_UPDATE", repo, None),
            ("server", "SNF_UPDATE", repo, b"7\n3\nabc def name\n"),
            ("server", "SRS_UPDATE", b"", b"xyz"),
        ]
        for who, name, args, body in rows:
            with self.subTest(who=who, name=name, args=args, body=body):
                agent = self.start_agent(port)
                agent.wait_announcement()
                since = d.mark()
                if who == "agent":
                    agent.send(name, args, body)
                else:
                    server.send(server.connections - 1, name, args, body)
                self.assertTrue(wait_until(lambda: any(name in m for m in d.messages("ERR", since))),
                                d.log[since:])
                # Refused, or the connection ended; never a crash.
                try:
                    agent.send("MARK")
                    self.assertEqual(agent.command().name, "MARK")
                except (ConnectionClosed, OSError):
                    pass
                self.assertTrue(d.alive())
        agent = self.start_agent(port)
        self.assertTrue(agent.fetch(agent.wait_announcement()).ok)


if __name__ == "__main__":
    unittest.main()
