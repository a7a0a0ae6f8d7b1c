"""Peers' text in the daemon's log: a header, a name or an argument holding a
line feed or other control bytes gives exactly one log line with those bytes
escaped, never a line of its own that reads like the daemon's."""

import re
import unittest

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape

# What a line feed in a peer's text would have put on a line of its own.
FORGED = b"20240101.000000.00 ERR [ 1234  5678] main   SIGINT handled, shutdown"
SHOWN = FORGED.decode()


class LogInjectionTest(PeersTestCase):
    def assertLoggedOnce(self, daemon, text):
        daemon.wait_for(text)
        self.assertEqual(daemon.count(text), 1, text)

    def assertWhole(self, daemon, text):
        """Every line that quotes the start of `text` holds all of it (an
        error is reported by its handler and again where it ends the connection)."""
        daemon.wait_for(text)
        head = text[:text.index("\\")]
        lines = [line for line in daemon.log.splitlines() if head in line]
        for line in lines:
            self.assertIn(text, line)

    def assertNoForgedLine(self, daemon):
        log = daemon.log
        for line in log.splitlines():
            self.assertRegex(line, harness._LINE_RE, "a line without the daemon's prefix")
        self.assertNotIn("\x1b", log)
        self.assertNotIn("\x7f", log)
        # Neither a line of its own nor a piece of an error report.
        forged = [m for m in daemon.messages() if re.match(r"\s*(20240101|SIGINT handled)", m)]
        self.assertEqual(forged, [])

    def test_agent_text_is_escaped_in_every_line_that_quotes_it(self):
        # No echo: the server's copy would be logged as received too.
        server, daemon, port = self.start_pair(server_kwargs={"repository": Repository(name="upd"), "echo": False})
        agent = self.start_agent(port, negotiate=False)
        # Raw headers: the line feed and control bytes sit in the header itself.
        agent.send_raw(b"0 HELLO a\n" + FORGED + b"\x1b[2J\x7f b\r\n1 BAD\x1bNAME\x01 x\r\n")
        self.assertLoggedOnce(daemon, "rcv <0 HELLO a\\n%s\\x1B[2J\\x7F b>" % SHOWN)
        self.assertLoggedOnce(daemon, "rcv <1 BAD\\x1BNAME\\x01 x>")
        self.assertLoggedOnce(daemon, "snd <0 HELLO a\\n%s\\x1B[2J\\x7F b>" % SHOWN)
        server.wait_frames(2)
        # An escaped word decodes to a line feed: the error that ends the agent quotes it.
        agent.send_raw(b"2 GETCONFIG 1" + escape(b"\n" + FORGED) + b"\r\n")
        self.assertLoggedOnce(daemon, ": GETCONFIG from the agent ends the connection because of ")
        self.assertWhole(daemon, '  GETCONFIG: "1\\n%s" is not an unsigned 32-bit decimal number' % SHOWN)
        self.assertRaises(ConnectionClosed, agent.frame)
        # A sequence number holding a line feed.
        agent = self.start_agent(port, negotiate=False)
        agent.send_raw(b"0\nSIGINT X\r\n")
        self.assertLoggedOnce(daemon, 'Violation: cannot convert sequence number "0\\nSIGINT" to uint')
        self.assertRaises(ConnectionClosed, agent.frame)
        # A repository name the cache refuses, holding the words an error
        # report breaks its lines at.
        agent = self.start_agent(port)
        agent.send("ARQ_UPDATE", escape(b"a/b because of " + FORGED + b"\n"), b"7 3 1")
        self.assertLoggedOnce(daemon, '[Repo] Refused repository name "a/b because\\x20of %s\\n"' % SHOWN)
        self.assertLoggedOnce(daemon, ": ARQ_UPDATE for a/b because\\x20of %s\\n not served because of " % SHOWN)
        agent.send("PING", b"1")  # still relayed: the agent stays
        server.wait_count("PING", 1)
        self.assertNoForgedLine(daemon)

    def test_server_text_is_escaped_in_every_line_that_quotes_it(self):
        server, daemon, port = self.start_pair(server_kwargs={"repository": Repository(name="upd")})
        agent = self.start_agent(port)
        agent.expect("SNF_UPDATE")
        server.send(0, "NEWS\x1b[1m", escape(b"n\n" + FORGED))
        self.assertEqual(agent.expect("NEWS\x1b[1m").args, escape(b"n\n" + FORGED))
        self.assertLoggedOnce(daemon, "rcv <5 NEWS\\x1B[1m n%N20240101")
        # Refused, and the upstream connection goes on.
        server.send(0, "SNF_UPDATE", escape(b"r\n" + FORGED), b"")
        self.assertLoggedOnce(daemon, 'Violation: SNF_UPDATE for r\\n%s refused: it has no body' % SHOWN)
        server.send(0, "CONFIG", b"1 " + escape(b"7\n" + FORGED))
        self.assertLoggedOnce(daemon, ": CONFIG from the server ends the connection because of ")
        self.assertWhole(daemon, '  CONFIG: "7\\n%s" is not an unsigned 32-bit decimal number' % SHOWN)
        self.assertRaises(ConnectionClosed, agent.frame)
        self.assertNoForgedLine(daemon)

    def test_a_command_name_is_escaped_where_its_body_takes_room_in_the_budget(self):
        # Every body counts against the budget, so the budget's line quotes the
        # name. A backslash and a byte above 127 tell the escaped form from one
        # the logger's own control-byte guard alone would give.
        server, daemon, port = self.start_pair(server_kwargs={"echo": False},
                                               env=harness.limits_env(small_body_bytes=0))
        agent = self.start_agent(port)
        agent.send("BIG\\n\x1b\xff", b"x", b"body!")
        self.assertLoggedOnce(daemon, ": BIG\\\\n\\x1B\\xFF body of 5 bytes granted room in the body budget")
        server.wait_count("BIG\\n\x1b\xff", 1)
        self.assertNoForgedLine(daemon)


if __name__ == "__main__":
    unittest.main()
