"""What the cache refuses or ends, through the real daemon: names and MD5
texts it cannot store, requests for keys the server never announced, the
cleaning timer firing on its own, and a list that changes while an agent waits."""

import os
import unittest

from harness import limits_env, wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape

GOOD_MD5 = "0123456789abcdef0123456789abcdef"


def tree(root):
    """Every directory and file under the cache root, relative to it."""
    out = set()
    for directory, dirs, names in os.walk(root):
        out.update(os.path.relpath(os.path.join(directory, n), root) for n in dirs + names)
    return out


class UpdateRequestsTest(PeersTestCase):
    def announce(self, server, repository, body):
        server.send(0, "SNF_UPDATE", escape(repository), body)

    def test_names_and_md5_texts_the_cache_cannot_store_are_refused_and_the_connections_stay(self):
        repo = Repository([100])
        server, d, port = self.start_pair({"repository": repo})
        agent = self.start_agent(port)
        agent.wait_announcement()
        hostile = [("r" * 300, "100 %s f" % GOOD_MD5, "r" * 100),
                   ("upd", "100 %s %s" % (GOOD_MD5, "n" * 300), "n" * 100),
                   ("upd", "100 %s d/%s" % (GOOD_MD5, "n/" * 2100), "n/n/n/n"),
                   ("upd", "0 %s~ x" % GOOD_MD5, GOOD_MD5 + "~"),
                   ("upd", "1 .. x", '".."'),
                   ("upd", "1 %s x" % GOOD_MD5.upper(), GOOD_MD5.upper()),
                   ("upd", "1 %s x" % (GOOD_MD5 * 3), GOOD_MD5 * 3),
                   # Same name and md5 text, different sizes: one path for two files.
                   ("upd", "1000 %s x\n0 %s x" % (GOOD_MD5, GOOD_MD5), "shares its path")]
        for revision, (repository, line, named) in enumerate(hostile, 20):
            mark = d.mark()
            self.announce(server, repository, b"%d\n0\n%s\n" % (revision, line.encode()))
            agent.expect("SNF_UPDATE")  # still relayed to the agent
            self.assertTrue(wait_until(lambda: " not stored because of" in d.log[mark:]), d.log[mark:][-2000:])
            self.assertIn(named, "\n".join(d.messages("ERR", mark)))
        # The agent asks for a repository name the cache cannot store.
        mark = d.mark()
        agent.send("ARQ_UPDATE", escape("r" * 300), b"20 0 1")
        self.assertTrue(wait_until(lambda: "ARQ_UPDATE for " + "r" * 100 in d.log[mark:]), d.log[mark:][-2000:])
        # Nothing of the refused ones was stored: only the real announcement's directory.
        self.assertEqual(tree(d.cache_root), {repo.name, os.path.join(repo.name, "7")})
        # Both connections are still there: the real announcement is served.
        update = agent.fetch(repo_announcement(agent))
        self.assertTrue(update.ok)
        self.assertEqual(server.connections, 1)

    def test_unannounced_keys_create_nothing_and_the_cleaning_timer_keeps_announced_revisions(self):
        repo = Repository([1000], revision=7)
        server, d, port = self.start_pair({"repository": repo}, env=limits_env(cache_clean_period_ms=300))
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        self.assertTrue(agent.fetch(announcement).ok)
        # Three older revisions announced: one more than the cleaning keeps.
        for revision in (1, 2, 3):
            self.announce(server, repo.name, b"%d\n0\n5 %s old\n" % (revision, GOOD_MD5.encode()))
            agent.expect("SNF_UPDATE")
        mark = d.mark()
        # Each from an agent of its own, the last with a mask too long for
        # the list: no reply can come, so the daemon lets it go.
        for name, body in [(repo.name, b"%d 0 1" % r) for r in (8, 9, 10, 11)] + \
                [("other", b"7 0 1"), ("x" * 200, b"7 0 1"), (repo.name, b"7 0 11")]:
            asker = self.start_agent(port)
            asker.wait_announcement()
            asker.send("ARQ_UPDATE", escape(name), body)
            self.assertRaises(ConnectionClosed, asker.command)
        self.assertTrue(wait_until(lambda: d.log[mark:].count("repo: 1 vs 0") >= 6), d.log[mark:][-2000:])
        d.wait_for("repo: 2 vs 1", since=mark)
        # The timer, on its own, removes the oldest announced revision only.
        d.wait_for("[Repo] Remove files in %s/1" % repo.name, since=mark)
        # The line comes before the removal itself.
        expected = {repo.name} | {os.path.join(repo.name, r) for r in ("2", "3", "7")} | \
            {os.path.join(repo.name, "7", "~%s~%s" % (f.name, f.md5)) for f in repo.files}
        wait_until(lambda: tree(d.cache_root) == expected, timeout=5)
        self.assertEqual(tree(d.cache_root), expected)
        self.assertNotIn("Remove files in %s/7" % repo.name, d.log)
        # The announced revision is still served, from the cache.
        self.assertTrue(agent.fetch(announcement).ok)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)

    def test_a_waiting_request_is_answered_against_the_list_it_was_made_for(self):
        old = Repository([3000, 5000])
        server, d, port = self.start_pair({"repository": old, "hold": True})
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        number = agent.request(announcement)
        server.wait_count("ARQ_UPDATE", 1)
        # Another agent's connection brings a new list of the same revision.
        server.repository = Repository(list(zip([f.name for f in old.files] + ["new.bin"],
                                                [f.data for f in old.files] + [b"n" * 700])))
        other = self.start_agent(port)
        other.wait_announcement()
        server.release()
        update = agent.receive(announcement, request=number, timeout=20)
        self.assertTrue(update.ok)
        self.assertEqual(update.data, old.payload("11"))
        self.assertNotIn("Pending update request", d.log)

    def test_a_waiting_request_whose_file_left_the_list_ends_and_its_agent_is_disconnected(self):
        old = Repository([3000, 5000])
        server, d, port = self.start_pair({"repository": old, "hold": True, "faults": ["drop"]})
        agent = self.start_agent(port)
        agent.wait_announcement()
        waiting = self.start_agent(port)
        announcement = waiting.wait_announcement()
        # The first agent's download (its own connection) will be dropped.
        agent.request(announcement)
        server.wait_count("ARQ_UPDATE", 1)
        waiting.request(announcement, "01")
        # A new list of the same revision without the second file.
        server.repository = Repository([("file-0.bin", old.files[0].data), ("other.bin", b"o" * 100)])
        self.start_agent(port).wait_announcement()
        server.release()
        with self.assertRaises(ConnectionClosed):
            waiting.receive(announcement, "01", timeout=20)
        d.wait_for("[Repo] Pending update request for %s/7 dropped because of" % old.name)
        d.wait_for("Update request not served, agent disconnected because of")


def repo_announcement(agent):
    """Has the server announce `repo` again (an ANF_STATE does) and returns the announcement."""
    agent.send("ANF_STATE", b"win-nt-32")
    return agent.wait_announcement()


if __name__ == "__main__":
    unittest.main()
