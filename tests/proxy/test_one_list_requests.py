"""Which list a request is matched against, through the real daemon: the one
list the cache holds for a revision, whichever connection asks; where two
servers' lists of it differ, the one its own connection relayed, and none
where it relayed neither."""

import unittest

import harness
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape


class OneListRequestsTest(PeersTestCase):
    def test_one_list_serves_every_connection_and_rival_lists_their_own(self):
        repo, rivals = Repository([3000, 1]), Repository([3001, 2])
        server, rival = self.start_server(repository=repo), self.start_server(repository=rivals)
        d, _ = self.start_relay(None, listens=[(harness.listen_spec(0), [s.spec]) for s in (server, rival)])
        port, rival_port = d.listen_ports()
        first = self.start_agent(port)
        shown = first.wait_announcement()
        self.assertTrue(first.fetch(shown, timeout=10).ok)
        # A new connection whose server announces nothing yet: from the cache.
        server.repository = None
        again = self.start_agent(port)
        self.assertEqual(again.fetch(shown, timeout=10).data, repo.payload("11"))
        # Revision 8 announced on another connection only: downloaded through this one's server.
        server.send(1, "NOTICE", b"ready")
        other = self.start_agent(port)
        newer = server.repository = Repository([4000], revision=8)
        server.send(2, "SNF_UPDATE", escape(newer.name), newer.snf_body())
        self.assertEqual(again.fetch(other.wait_announcement(), timeout=10).data, newer.payload("1"))
        self.assertEqual(server.count("ARQ_UPDATE"), 2)
        # A list of it the cache refuses, shown to `again`: its request is
        # refused, never answered from the list the cache holds.
        bad = b"8\n3\n4000 %s file-0.bin\n" % newer.files[0].md5.encode()[:31]
        server.send(1, "SNF_UPDATE", escape(newer.name), bad)
        with self.assertRaises(ConnectionClosed):
            again.fetch(again.wait_announcement(), timeout=10)
        # A rival server's list of revision 7: each agent gets its own
        # server's bytes; a connection that relayed neither list is refused.
        rival_agent = self.start_agent(rival_port)
        self.assertEqual(rival_agent.fetch(rival_agent.wait_announcement(), timeout=10).data, rivals.payload("11"))
        self.assertEqual(first.fetch(shown, timeout=10).data, repo.payload("11"))
        with self.assertRaises(ConnectionClosed):
            self.start_agent(port).fetch(shown, timeout=10)
        refused = "Different files count in update request and repo: "
        self.assertTrue(harness.wait_until(lambda: d.count(refused) == 2), d.log[-4000:])
        self.assertEqual((server.count("ARQ_UPDATE"), rival.count("ARQ_UPDATE")), (2, 1))


if __name__ == "__main__":
    unittest.main()
