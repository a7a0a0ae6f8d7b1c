"""What the cache does with a stored file that an administrator's tool cuts
short or overwrites in place under the running daemon: the daemon stays, no
agent gets wrong bytes for the announced MD5, and the file is downloaded
again; a change found before a reply begins costs its agent nothing but the
wait for that download."""

import os
import shutil
import socket
import time
import unittest

import harness
import test_updates
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape

BIG = 3 << 20
CHANGED = "changed on disk: it is downloaded again"


def truncate(path):
    os.truncate(path, os.path.getsize(path) // 2)


def overwrite(path):
    """4 KiB in the middle replaced by other bytes: the same size."""
    with open(path, "r+b") as f:
        f.seek(os.path.getsize(path) // 2)
        old = f.read(4096)
        f.seek(-len(old), os.SEEK_CUR)
        f.write(bytes(b ^ 0xFF for b in old))


def overwrite_keeping_times(path):
    """The same, with the modification time put back: only the change time tells."""
    st = os.stat(path)
    overwrite(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


CHANGES = (("truncated", truncate), ("overwritten", overwrite), ("overwritten, times put back", overwrite_keeping_times))


class CacheChangesTest(PeersTestCase):
    def leaf(self, d, repo, i):
        return os.path.join(d.cache_root, test_updates.cache_path(repo, repo.files[i]))

    def serve(self, options, repo):
        server, d, port = self.start_pair({"repository": repo, "options": options})
        agent = self.start_agent(port, options=options)
        announcement = agent.wait_announcement()
        self.assert_fetched(agent, announcement, repo)
        return server, d, port, agent, announcement

    def assert_fetched(self, agent, announcement, repo):
        update = agent.fetch(announcement, timeout=20)
        self.assertTrue(update.ok, [(f.name, f.ok) for f in update.files])
        self.assertEqual(update.data, repo.payload("1" * len(repo.files)))

    def assert_downloaded_again(self, server, d, repo, mark):
        """One more download of the changed file, one WARNING, the right bytes stored, the daemon alive."""
        self.assertTrue(d.alive(), d.log[-4000:])
        bodies = [f.body for f in server.frames() if f.name == "ARQ_UPDATE"]
        self.assertEqual(bodies, [b"7 3 11", b"7 3 10"])
        changed = lambda: [m for m in d.messages("wrn", mark) if CHANGED in m]
        harness.wait_until(changed)
        self.assertEqual(len(changed()), 1, changed())
        with open(self.leaf(d, repo, 0), "rb") as f:
            self.assertEqual(f.read(), repo.files[0].data)

    def test_a_stored_file_changed_after_it_was_served_is_downloaded_again(self):
        # The first reply keeps the file mapped; the next must not read it blindly.
        for options in ("COMP", ""):
            for change, how in CHANGES:
                with self.subTest(agent=options or "plain", change=change):
                    repo = Repository([BIG, 5000])
                    server, d, port, agent, announcement = self.serve(options, repo)
                    how(self.leaf(d, repo, 0))
                    mark = d.mark()
                    # Found before the reply begins: answered, not broken off.
                    self.assert_fetched(agent, announcement, repo)
                    self.assert_fetched(agent, announcement, repo)
                    self.assert_downloaded_again(server, d, repo, mark)

    def test_a_stored_file_changed_after_a_restart_is_downloaded_again(self):
        for options, (change, how) in [("", c) for c in CHANGES] + [("COMP", CHANGES[0])]:
            with self.subTest(agent=options or "plain", change=change):
                repo = Repository([BIG, 5000])
                server, d, port, agent, announcement = self.serve(options, repo)
                port = d.restart()
                how(self.leaf(d, repo, 0))
                mark = d.mark()
                agent = self.start_agent(port, options=options)
                self.assert_fetched(agent, agent.wait_announcement(), repo)
                self.assert_downloaded_again(server, d, repo, mark)

    def test_a_file_whose_other_link_is_removed_is_served_without_a_download(self):
        # Revision 8 links the files of 7; removing 7 moves the change time of
        # the files 8 shares, not their content: examined again, still served.
        repo = Repository([BIG, 5000])
        server, d, port, agent, announcement = self.serve("", repo)
        newer = Repository([(f.name, f.data) for f in repo.files], name=repo.name, revision=8)
        server.repository = newer
        server.send(0, "SNF_UPDATE", escape(newer.name), newer.snf_body())
        announcement = agent.wait_announcement()
        # Relayed before it is stored: its links are made right after.
        harness.wait_until(lambda: all(os.path.exists(self.leaf(d, newer, i)) for i in range(2)))
        shutil.rmtree(os.path.join(d.cache_root, repo.name, "7"))
        mark = d.mark()
        for _ in range(2):
            self.assert_fetched(agent, announcement, newer)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertEqual(d.messages("wrn", mark), [])

    def test_a_revision_the_cleaner_removes_costs_the_newest_no_second_look(self):
        # Every newer revision links the first one's files; cleaning it moves
        # their change time, which the cleaner itself takes into their stamps.
        repo = Repository([BIG, 5000])
        server, d, port = self.start_pair({"repository": repo}, env=harness.limits_env(cache_clean_period_ms=200))
        agent = self.start_agent(port)
        self.assert_fetched(agent, agent.wait_announcement(), repo)
        for revision in (8, 9, 10):
            newest = Repository([(f.name, f.data) for f in repo.files], name=repo.name, revision=revision)
            server.send(0, "SNF_UPDATE", escape(newest.name), newest.snf_body())
            announcement = agent.wait_announcement()
        d.wait_for("[Repo] Remove files in %s/7" % repo.name)
        harness.wait_until(lambda: not os.path.exists(os.path.join(d.cache_root, repo.name, "7")))
        mark = d.mark()
        self.assert_fetched(agent, announcement, newest)
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertEqual(d.messages("wrn", mark), [])
        self.assertNotIn("was examined again", d.log[mark:])

    def test_a_stored_file_cut_short_while_it_is_sent_breaks_that_reply_off(self):
        # Larger than what the sockets between daemon and agent hold: the
        # reply is still being sent when the file is cut. The agent, also one
        # that has ended its sending, sees a reset: an orderly end would pass
        # the cut reply off as whole.
        repo = Repository([64 << 20, 5000])
        for options, half_closed in [("COMP", False), ("", False), ("COMP", True), ("", True)]:
            with self.subTest(agent=options or "plain", half_closed=half_closed):
                server, d, port, agent, announcement = self.serve(options, repo)
                agent = self.start_agent(port, options=options)
                announcement = agent.wait_announcement()
                agent.request(announcement)
                if half_closed:
                    agent.sock.shutdown(socket.SHUT_WR)
                deadline = time.monotonic() + 20
                while len(agent.buffer) < 1 << 20:
                    agent._fill(deadline)
                mark = d.mark()
                os.truncate(self.leaf(d, repo, 0), 0)
                with self.assertRaises(ConnectionClosed):
                    agent.receive(announcement, timeout=20)
                self.assertEqual(agent.ending, "reset")
                agent = self.start_agent(port, options=options)
                self.assert_fetched(agent, agent.wait_announcement(), repo)
                self.assert_downloaded_again(server, d, repo, mark)

    def test_a_plain_reply_whose_next_file_is_cut_short_ends_with_a_reset_wherever_the_write_splits(self):
        # The system copies a send in pieces of up to 32 KiB: the first file's
        # last piece puts the cut page at several places of one gathered write.
        for tail in (1, 5000, 33000, 40000, 50000, 65535):
            with self.subTest(tail=tail):
                repo = Repository([(16 << 20) + tail, 1 << 20])
                # One I/O thread: no other connection's event wakes a write left waiting.
                server, d, port = self.start_pair({"repository": repo}, pool_size=1)
                agent = self.start_agent(port)
                announcement = agent.wait_announcement()
                # Served whole once, so that the next reply sends from both mappings.
                self.assert_fetched(agent, announcement, repo)
                # A small window: the reply waits for room long before the second file.
                agent.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 128 << 10)
                agent.request(announcement)
                deadline = time.monotonic() + 20
                while len(agent.buffer) < 1 << 20:
                    agent._fill(deadline)
                os.truncate(self.leaf(d, repo, 1), 0)
                # A bound that only catches the silent wait: the reset comes at once.
                with self.assertRaises(ConnectionClosed):
                    agent.receive(announcement, timeout=5)
                self.assertEqual(agent.ending, "reset")

    def test_a_status_change_while_a_compressed_reply_is_sent_reads_the_file_on_no_reply_thread(self):
        # The file's content would have to be read again to finish the reply,
        # on a thread that serves other connections: the reply is broken off
        # instead, and the next request is served once the cache's checking
        # thread has read it, with no download.
        repo = Repository([64 << 20, 5000])
        server, d, port, agent, announcement = self.serve("COMP", repo)
        agent = self.start_agent(port, options="COMP")
        announcement = agent.wait_announcement()
        agent.request(announcement)
        deadline = time.monotonic() + 20
        while len(agent.buffer) < 1 << 20:
            agent._fill(deadline)
        os.chmod(self.leaf(d, repo, 0), 0o600)
        with self.assertRaises(ConnectionClosed):
            agent.receive(announcement, timeout=20)
        self.assertEqual(agent.ending, "reset")
        agent = self.start_agent(port, options="COMP")
        self.assert_fetched(agent, agent.wait_announcement(), repo)
        self.assertEqual([f.body for f in server.frames() if f.name == "ARQ_UPDATE"], [b"7 3 11"])
        d.wait_for("was examined again after a change of its status")


if __name__ == "__main__":
    unittest.main()
