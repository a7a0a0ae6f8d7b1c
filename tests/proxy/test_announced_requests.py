"""An agent may ask for a revision the moment its announcement reaches it:
whatever holds the cache meanwhile (its cleaner at the smallest period), the
announced list is stored by then and every such request is served."""

import threading
import unittest

from harness import limits_env
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape

AGENTS = 4
ROUNDS = 150


class AnnouncedRequestTest(PeersTestCase):
    def ask_at_each_announcement(self, server, conn, agent, repo, failures):
        """Revisions 1..ROUNDS of the agent's own repository, with `repo`'s
        files, each asked for as soon as the agent has read it."""
        own = "own-%d" % conn
        for revision in range(1, ROUNDS + 1):
            announced = Repository([(f.name, f.data) for f in repo.files], name=own, revision=revision)
            server.send(conn, "SNF_UPDATE", escape(own), announced.snf_body())
            try:
                update = agent.fetch(agent.wait_announcement(), timeout=10)
            except (ConnectionClosed, AssertionError, OSError) as e:
                failures.append((own, revision, str(e)))
                return
            if update.data != repo.payload("1" * len(repo.files)):
                failures.append((own, revision, [(f.name, f.ok) for f in update.files]))
                return

    def test_every_revision_asked_for_as_it_is_announced_is_served(self):
        repo = Repository([3000, 1, 5000])
        server, d, port = self.start_pair({"repository": repo}, verbosity="INFO",
                                          env=limits_env(cache_clean_period_ms=1))
        agents = []
        for _ in range(AGENTS):
            # One after the other: agent i's upstream connection is the server's i-th.
            agent = self.start_agent(port)
            # Downloaded once: every later revision links these files.
            self.assertTrue(agent.fetch(agent.wait_announcement(), timeout=10).ok)
            agents.append(agent)
        failures = []
        threads = [threading.Thread(target=self.ask_at_each_announcement, args=(server, i, a, repo, failures),
                                    daemon=True) for i, a in enumerate(agents)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertFalse(any(t.is_alive() for t in threads), "agents still asking")
        self.assertEqual(failures, [], "\n".join(d.messages("ERR"))[-4000:])
        self.assertEqual(d.count("not served"), 0)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)

    def test_a_list_the_pair_no_longer_keeps_is_refused(self):
        # One list kept: revision 7 is forgotten once 8 is relayed.
        repo = Repository([3000])
        server, d, port = self.start_pair({"repository": repo}, env=limits_env(relayed_lists_kept_count=1))
        agent = self.start_agent(port)
        old = agent.wait_announcement()
        newer = server.repository = Repository([(f.name, f.data) for f in repo.files], revision=8)
        server.send(0, "SNF_UPDATE", escape(repo.name), newer.snf_body())
        self.assertEqual(agent.fetch(agent.wait_announcement(), timeout=10).data, repo.payload("1"))
        with self.assertRaises(ConnectionClosed):
            agent.fetch(old, timeout=10)
        d.wait_for("Different files count in update request and repo: 1 vs 0")

    def test_older_revisions_go_before_other_repositories(self):
        # Four lists kept: another repository, then five revisions of this
        # one, of which only the three newest are kept, so the other stays.
        repo = Repository([3000])
        server, d, port = self.start_pair({"repository": repo}, env=limits_env(relayed_lists_kept_count=4))
        agent = self.start_agent(port)
        # Downloaded once: every later list links this file.
        self.assertTrue(agent.fetch(agent.wait_announcement(), timeout=10).ok)
        other = Repository([(f.name, f.data) for f in repo.files], name="other", revision=1)
        server.send(0, "SNF_UPDATE", escape(other.name), other.snf_body())
        first = agent.wait_announcement()
        for revision in range(8, 12):
            newer = Repository([(f.name, f.data) for f in repo.files], revision=revision)
            server.send(0, "SNF_UPDATE", escape(repo.name), newer.snf_body())
            agent.wait_announcement()
        self.assertEqual(agent.fetch(first, timeout=10).data, repo.payload("1"))
        self.assertEqual(d.count("not served"), 0)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)


if __name__ == "__main__":
    unittest.main()
