"""One revision announced differently by two servers, through the real
daemon: each agent is answered with the files its own server announced,
downloaded through its own server, and again from the cache, and no pair is
ended for a file of the other server's."""

import unittest

import harness
from standin_agent import PeersTestCase
from standin_server import Repository

CONTENTS = (b"ONE", b"TWO")


class TwoServersOneRevisionTest(PeersTestCase):
    def test_each_agent_gets_its_own_servers_file(self):
        for layout in ("two listen entries", "two forwards of one"):
            with self.subTest(layout=layout):
                self.each_agent_gets_its_own(layout)

    def each_agent_gets_its_own(self, layout):
        servers = [self.start_server(repository=Repository([("f.bin", data)])) for data in CONTENTS]
        if layout == "two listen entries":
            d, _ = self.start_relay(None, listens=[(harness.listen_spec(0), [s.spec]) for s in servers])
            ports = d.listen_ports()
        else:
            # Connections take the forwards in turn: the first agent's goes to the first server.
            d, port = self.start_relay(None, listens=[(harness.listen_spec(0), [s.spec for s in servers])])
            ports = [port, port]
        self.assertEqual(len(ports), 2)
        # Both lists are announced before either agent asks.
        agents = [self.start_agent(port) for port in ports]
        announcements = [agent.wait_announcement() for agent in agents]
        self.assertNotEqual(announcements[0].files, announcements[1].files)
        for round_ in range(2):
            for agent, announcement, data in zip(agents, announcements, CONTENTS):
                update = agent.fetch(announcement, timeout=10)
                self.assertEqual(update.data, data, d.log[-4000:])
        # Each server was asked once, for its own list; the second round came from the cache.
        self.assertEqual([s.count("ARQ_UPDATE") for s in servers], [1, 1])
        self.assertEqual(d.count("wrong md5"), 0)
        self.assertEqual(d.messages("ERR"), [])
        # An agent that comes later through either server gets that server's file from the cache.
        own = {a.files[0].md5: data for a, data in zip(announcements, CONTENTS)}
        for port in ports:
            late = self.start_agent(port)
            announcement = late.wait_announcement()
            self.assertEqual(late.fetch(announcement, timeout=10).data, own[announcement.files[0].md5])
        self.assertEqual([s.count("ARQ_UPDATE") for s in servers], [1, 1])


if __name__ == "__main__":
    unittest.main()
