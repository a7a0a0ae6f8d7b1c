"""The negotiation's outcome through the real daemon: compressed, plain or raw
relaying after AUTHORIZE OK, between stand-in agents and a stand-in server."""

import unittest
import zlib

from standin_agent import PeersTestCase
from standin_server import parse_frame

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


if __name__ == "__main__":
    unittest.main()
