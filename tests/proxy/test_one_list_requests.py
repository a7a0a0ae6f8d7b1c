"""Which list a request is matched against, through the real daemon: the one
list the cache holds for a revision serves every connection, also one that
relayed nothing yet; where two servers announce one revision differently,
each agent is answered from its own connection's list, and a connection
that relayed neither has its request refused."""

import unittest

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape


class OneListRequestsTest(PeersTestCase):
    def test_a_revision_with_one_list_serves_every_connection(self):
        repo = Repository([3000, 1, 5000])
        server, d, port = self.start_pair({"repository": repo})
        first = self.start_agent(port)
        shown = first.wait_announcement()
        self.assertTrue(first.fetch(shown, timeout=10).ok)
        first.close()
        # The agent reconnects and asks at once, before its new connection's
        # server announces anything: served from the cache, nothing downloaded.
        server.repository = None
        again = self.start_agent(port)
        self.assertEqual(again.fetch(shown, timeout=10).data, repo.payload("111"), d.log[-4000:])
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        # Two agents of the server, both shown revision 7; revision 8 is
        # announced on B's connection only (the server's fourth), and A's
        # own connection downloads it.
        server.repository = repo
        a, b = self.start_agent(port), self.start_agent(port)
        a.wait_announcement(), b.wait_announcement()
        newer = server.repository = Repository([4000, 2], revision=8)
        server.send(3, "SNF_UPDATE", escape(newer.name), newer.snf_body())
        eight = b.wait_announcement()
        self.assertEqual(a.fetch(eight, timeout=10).data, newer.payload("11"), d.log[-4000:])
        self.assertEqual(b.fetch(eight, timeout=10).data, newer.payload("11"))
        self.assertEqual(server.count("ARQ_UPDATE"), 2)
        self.assertEqual(d.count("Different files count"), 0)
        # A list of revision 8 the cache refuses, shown to A: its request is
        # refused, never answered from the list the cache holds.
        bad = b"8\n3\n4000 %s file-0.bin\n2 0123 dir1/file-1.bin\n" % newer.files[0].md5.encode()
        server.send(2, "SNF_UPDATE", escape(newer.name), bad)
        with self.assertRaises(ConnectionClosed):
            a.fetch(a.wait_announcement(), timeout=10)
        d.wait_for("Different files count in update request and repo: 2 vs 0")

    def test_two_servers_lists_serve_their_own_connections_only(self):
        servers = [self.start_server(repository=Repository([("f.bin", data)])) for data in (b"ONE", b"TWO")]
        d, _ = self.start_relay(None, listens=[(harness.listen_spec(0), [s.spec]) for s in servers])
        ports = d.listen_ports()
        agents = [self.start_agent(port) for port in ports]
        shown = [agent.wait_announcement() for agent in agents]
        for agent, announcement, data in zip(agents, shown, (b"ONE", b"TWO")):
            self.assertEqual(agent.fetch(announcement, timeout=10).data, data)
        # A connection of the first server that relayed neither list: which
        # is its server's cannot be told, so it is refused and asks again.
        servers[0].repository = None
        late = self.start_agent(ports[0])
        with self.assertRaises(ConnectionClosed):
            late.fetch(shown[0], timeout=10)
        d.wait_for("Different files count in update request and repo: 1 vs 0")
        self.assertEqual([s.count("ARQ_UPDATE") for s in servers], [1, 1])


if __name__ == "__main__":
    unittest.main()
