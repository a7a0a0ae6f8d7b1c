"""What the cache does when the disk or its own cleaner takes a revision or a
file from under the running daemon: every agent still gets its files, or an
error and a closed connection so that it asks again, never a wait without end;
and an announcement no download can satisfy is refused where it comes in."""

import os
import shutil
import unittest

import harness
import test_updates
from harness import limits_env, wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape

CLEAN_MS = 200


def revision(repo, number, files=None):
    """`repo` announced as revision `number`, with the same files unless given."""
    return Repository(files or [(f.name, f.data) for f in repo.files], name=repo.name, revision=number)


class CacheRecoveryTest(PeersTestCase):
    def announce(self, server, conn, agent, repo):
        """Has the server announce `repo` on its connection `conn`; the agent gets it relayed."""
        server.send(conn, "SNF_UPDATE", escape(repo.name), repo.snf_body())
        return agent.wait_announcement()

    def leaf(self, d, repo, i):
        return os.path.join(d.cache_root, test_updates.cache_path(repo, repo.files[i]))

    def assert_fetched(self, agent, announcement, repo, mask=None):
        update = agent.fetch(announcement, mask, timeout=10)
        self.assertTrue(update.ok, [(f.name, f.ok) for f in update.files])
        self.assertEqual(update.data, repo.payload(mask or "1" * len(repo.files)))

    # Revisions the cleaner takes.

    def test_a_request_for_a_revision_cleaned_meanwhile_is_dropped_and_asked_again(self):
        repo = Repository([3000, 5000])
        server, d, port = self.start_pair({"repository": repo}, env=limits_env(cache_clean_period_ms=CLEAN_MS))
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        for newer in (8, 9, 10):
            self.announce(server, 0, agent, revision(repo, newer, [("other-%d.bin" % newer, b"o" * 100)]))
        d.wait_for("[Repo] Remove files in %s/7" % repo.name)
        mark = d.mark()
        with self.assertRaises(ConnectionClosed):
            agent.fetch(announcement, timeout=5)
        d.wait_for("is no longer in the cache", since=mark)
        # The line that follows may still be on its way to the harness.
        d.wait_for("Update request not served, agent disconnected", since=mark)
        self.assertIn("Update request not served, agent disconnected", "\n".join(d.messages("ERR", mark)))
        # Asked again: its server announces the revision anew, and it is
        # served. The cleaner may take it once more before the request comes.
        for attempt in range(3):
            again = self.start_agent(port)
            try:
                self.assert_fetched(again, again.wait_announcement(), repo)
                break
            except ConnectionClosed:
                self.assertLess(attempt, 2, d.log[-4000:])
        self.assertEqual(server.count("ARQ_UPDATE"), 1)

    def test_a_revision_downloading_when_the_cleaner_runs_is_kept_until_its_request_is_answered(self):
        repo = Repository([3000, 5000])
        server, d, port = self.start_pair({"repository": repo, "hold": True},
                                          env=limits_env(cache_clean_period_ms=CLEAN_MS))
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        number = agent.request(announcement)
        server.wait_held(1)
        for newer in (8, 9, 10):
            self.announce(server, 0, agent, revision(repo, newer, [("other-%d.bin" % newer, b"o" * 100)]))
        # A clean while the download is held (the log folds the next ones
        # into one line) keeps the revision.
        mark = d.mark()
        d.wait_for("[Repo] Keep %s/7 while" % repo.name, since=mark)
        self.assertTrue(os.path.isdir(os.path.join(d.cache_root, repo.name, "7")))
        server.release()
        update = agent.receive(announcement, request=number, timeout=10)
        self.assertTrue(update.ok, [(f.name, f.ok) for f in update.files])
        self.assertEqual(update.data, repo.payload("11"))
        # Answered: it goes at the next clean, and nothing brings its directory back.
        d.wait_for("[Repo] Remove files in %s/7" % repo.name, since=mark)
        self.assertTrue(wait_until(lambda: not os.path.exists(os.path.join(d.cache_root, repo.name, "7"))))
        self.assertEqual(sorted(os.listdir(os.path.join(d.cache_root, repo.name))), ["10", "8", "9"])
        self.assertEqual(d.messages("ERR"), [])

    # Files gone from the disk.

    def test_files_gone_from_the_disk_are_downloaded_again(self):
        for case in ("old revision directory", "one shared file", "stored file after a restart"):
            with self.subTest(case):
                repo = Repository([3000, 5000, 700])
                server, d, port = self.start_pair({"repository": repo})
                agent = self.start_agent(port)
                self.assert_fetched(agent, agent.wait_announcement(), repo)
                if case == "stored file after a restart":
                    port = d.restart()
                    os.unlink(self.leaf(d, repo, 1))
                    mark = d.mark()
                    agent = self.start_agent(port)
                    announcement = agent.wait_announcement()
                    # Found gone before its reply begins: it waits for the download.
                    self.assert_fetched(agent, announcement, repo)
                    new, missing = repo, "010"
                else:
                    if case == "old revision directory":
                        shutil.rmtree(os.path.join(d.cache_root, repo.name, "7"))
                        missing = "111"
                    else:
                        os.unlink(self.leaf(d, repo, 1))
                        missing = "010"
                    mark = d.mark()
                    new = server.repository = revision(repo, 8)
                    self.announce(server, 0, agent, new)
                agent = self.start_agent(port)
                self.assert_fetched(agent, agent.wait_announcement(), new)
                bodies = [f.body for f in server.frames() if f.name == "ARQ_UPDATE"]
                self.assertEqual(bodies[-1], b"%d 3 %s" % (new.revision, missing.encode()))
                self.assertEqual(len(bodies), 2)
                # The log is read beside the daemon: its lines may still be on the way.
                gone = lambda: [m for m in d.messages("wrn", mark) if "is gone from the disk" in m]
                wait_until(lambda: len(gone()) >= missing.count("1"))
                self.assertEqual(len(gone()), missing.count("1"), gone())
                self.assertNotIn("not stored", d.log)
                for i in range(len(new.files)):
                    with open(self.leaf(d, new, i), "rb") as f:
                        self.assertEqual(f.read(), new.files[i].data)

    def test_files_of_a_revision_removed_under_the_daemon_cost_one_dropped_reply(self):
        # One mapping at most: the others are read from the disk at every
        # reply, as files unused for long are once their mapping went.
        env = limits_env(mapping_budget_count=1)
        for case, removed in (("its directory", "1111"), ("two of its files", "0101")):
            with self.subTest(case):
                repo = Repository([3000, 5000, 700, ("deep/sub/file.bin", b"s" * 2000)])
                server, d, port = self.start_pair({"repository": repo}, env=env)
                agent = self.start_agent(port)
                self.assert_fetched(agent, agent.wait_announcement(), repo)
                if case == "its directory":
                    shutil.rmtree(os.path.join(d.cache_root, repo.name, "7"))
                else:
                    for i, flag in enumerate(removed):
                        if flag == "1":
                            os.unlink(self.leaf(d, repo, i))
                mark = d.mark()
                # The first reply finds a file gone after its sizes went out:
                # broken off. Every later request is served whole.
                drops = 0
                while True:
                    agent = self.start_agent(port)
                    announcement = agent.wait_announcement()
                    try:
                        self.assert_fetched(agent, announcement, repo)
                        break
                    except ConnectionClosed:
                        drops += 1
                        self.assertLess(drops, len(repo.files), d.log[-4000:])
                self.assertLessEqual(drops, 1)
                bodies = [f.body for f in server.frames() if f.name == "ARQ_UPDATE"]
                self.assertEqual(bodies, [b"7 3 1111", b"7 3 " + removed.encode()])
                gone = lambda: [m for m in d.messages("wrn", mark) if "is gone from the disk" in m]
                wait_until(lambda: len(gone()) >= removed.count("1"))
                self.assertEqual(len(gone()), removed.count("1"), gone())
                for i in range(len(repo.files)):
                    with open(self.leaf(d, repo, i), "rb") as f:
                        self.assertEqual(f.read(), repo.files[i].data)

    def test_what_stands_in_a_stored_file_s_way_is_named_never_waited_on(self):
        for case, warning in (("named pipe at the file", 'Removed a named pipe "'),
                              ("named pipe at its directory", "lies below a named pipe"),
                              ("link at its directory", "is reached through a symbolic link: not served")):
            with self.subTest(case):
                repo = Repository([("dir/file.bin", b"d" * 3000)])
                server, d, port = self.start_pair({"repository": repo})
                agent = self.start_agent(port)
                self.assert_fetched(agent, agent.wait_announcement(), repo)
                # Put in place after the restart's load, before any agent asks.
                port = d.restart()
                if case == "named pipe at the file":
                    os.unlink(self.leaf(d, repo, 0))
                    os.mkfifo(self.leaf(d, repo, 0), 0o600)
                else:
                    place = os.path.dirname(self.leaf(d, repo, 0))
                    shutil.rmtree(place)
                    if case == "named pipe at its directory":
                        os.mkfifo(place, 0o600)
                    else:
                        os.symlink(d.dir, place)
                mark = d.mark()
                agent = self.start_agent(port)
                announcement = agent.wait_announcement()
                # Found before its reply begins: it waits for the download.
                self.assert_fetched(agent, announcement, repo)
                found = lambda: [m for m in d.messages("wrn", mark) if repo.files[0].md5 in m]
                wait_until(found)
                warnings = found()
                self.assertEqual(len(warnings), 1, warnings)
                self.assertIn(warning, warnings[0])
                agent = self.start_agent(port)
                self.assert_fetched(agent, agent.wait_announcement(), repo)
                self.assertEqual([f.body for f in server.frames() if f.name == "ARQ_UPDATE"], [b"7 3 1"] * 2)

    # Announcements no download can satisfy.

    def test_an_empty_file_announced_with_another_md5_is_refused_and_the_others_served(self):
        wrong = "0123456789abcdef0123456789abcdef"
        repo = Repository([3000, 5000])
        server, d, port = self.start_pair({"repository": repo})
        agent = self.start_agent(port)
        agent.wait_announcement()
        lines = repo.snf_body().split(b"\n")
        body = b"\n".join([b"8", lines[1], b"0 %s empty.bin" % wrong.encode()] + lines[2:])
        server.send(0, "SNF_UPDATE", escape(repo.name), body)
        announcement = agent.wait_announcement()
        self.assertEqual([f.size for f in announcement.files], [0, 3000, 5000])
        d.wait_for('Refused file "empty.bin" with md5 "%s"' % wrong)
        server.repository = revision(repo, 8, [("empty.bin", b"")] + [(f.name, f.data) for f in repo.files])
        update = agent.fetch(announcement, "011", timeout=10)
        self.assertTrue(update.ok)
        self.assertEqual(update.data, repo.payload("11"))
        # Asked for, it ends the request at once, and nothing asks the server for it.
        mark = d.mark()
        with self.assertRaises(ConnectionClosed):
            agent.fetch(announcement, "100", timeout=5)
        d.wait_for("can never be served", since=mark)
        self.assertEqual([f.body for f in server.frames() if f.name == "ARQ_UPDATE"], [b"8 3 011"])


if __name__ == "__main__":
    unittest.main()
