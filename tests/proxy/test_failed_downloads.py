"""Downloads a server keeps failing, through the real daemon: agents that wait
for a revision their server no longer delivers are dropped once its downloads
failed a bounded number of times in a row, so that they ask again, and the
revision goes to the cleaner like any other."""

import os
import socket
import struct
import unittest

from harness import limits_env, wait_until
from standin_agent import ConnectionClosed, PeersTestCase
from standin_server import Repository, escape
from test_update_waiters import AGENT_REQUEST, failures

FAILURES = 3
STALL_MS = 1000
CLEAN_MS = 200


def revision(repo, number):
    """`repo` announced as revision `number`, with a file of its own."""
    return Repository([("new-%d.bin" % number, b"n" * (100 + number))], name=repo.name, revision=number)


class FailedDownloadsTest(PeersTestCase):
    def test_agents_waiting_for_a_revision_the_server_no_longer_delivers_are_dropped(self):
        repo = Repository([3000, 5000])
        env = limits_env(stall_limit_ms=STALL_MS, cache_clean_period_ms=CLEAN_MS, failed_downloads_count=FAILURES)
        server, d, port = self.start_pair({"repository": repo, "faults": ["stall"], "range_size": 1000}, env=env)
        agents = [self.start_agent(port) for _ in range(2)]
        announcement = [agent.wait_announcement() for agent in agents][0]
        # The server moves on: the first download stalls, and every later
        # request for revision 7 gets an empty reply (R0:0 S0).
        server.repository = revision(repo, 8)
        numbers = [agent.request(announcement) for agent in agents]
        newest = self.start_agent(port)
        self.assertEqual(newest.wait_announcement().revision, 8)
        for number in (9, 10):
            server.send(2, "SNF_UPDATE", escape(repo.name), revision(repo, number).snf_body())
            newest.wait_announcement()
        # The waiting requests hold the revision from the cleaner...
        d.wait_for("[Repo] Keep %s/7 while" % repo.name)
        # ... until its downloads failed FAILURES times in a row: then each
        # agent is dropped, so that it asks again.
        for agent, number in zip(agents, numbers):
            with self.assertRaises(ConnectionClosed):
                agent.receive(announcement, request=number, timeout=30)
        dropped = "[Repo] Pending update request for %s/7 dropped because of its downloads failed %d time(s) in a row"
        self.assertTrue(wait_until(lambda: d.messages("ERR").count(dropped % (repo.name, FAILURES)) == 2),
                        d.log[-4000:])
        self.assertEqual(failures(d), ["Download of %s/7 failed %d time(s) in a row, next attempt in %d s"
                                       % (repo.name, n, 1 << (n - 1)) for n in range(1, FAILURES + 1)])
        self.assertEqual([f.body for f in server.frames() if f.name == "ARQ_UPDATE"], [b"7 3 11"] * FAILURES)
        # Then the cleaner takes it, and a request for it is refused as for any cleaned revision.
        d.wait_for("[Repo] Remove files in %s/7" % repo.name)
        self.assertTrue(wait_until(lambda: not os.path.exists(os.path.join(d.cache_root, repo.name, "7"))))
        late = self.start_agent(port)
        late.wait_announcement()
        with self.assertRaises(ConnectionClosed):
            late.fetch(announcement, timeout=10)
        d.wait_for("is no longer in the cache")
        # Asking again for what the server announces now works.
        again = self.start_agent(port)
        current = again.wait_announcement()
        update = again.fetch(current, timeout=10)
        self.assertTrue(update.ok)
        self.assertEqual(update.data, server.repository.payload("1"))

    def test_a_download_given_up_for_its_agents_install_is_no_failure(self):
        # B waits for A's download (half its body written, or nothing back):
        # A's INSTALL gives it up, no failure, so B is served through its own connection.
        for options, command, fault in (("", "INSTALL", "stall"), ("COMP", "INSTALLEX", "pings")):
            with self.subTest(options=options, command=command, fault=fault):
                repo = Repository([3000, 5000])
                server, d, port = self.start_pair({"repository": repo, "faults": [fault], "options": options},
                                                  env=limits_env(failed_downloads_count=1))
                a, b = (self.start_agent(port, options=options) for _ in range(2))
                announcement = [agent.wait_announcement() for agent in (a, b)][0]
                a.request(announcement)
                server.wait_count("ARQ_UPDATE", 1)
                number = b.request(announcement)
                self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) == 2), d.log[-4000:])
                a.send(command, b"setup.exe")
                self.assertEqual(b.receive(announcement, request=number).data, repo.payload("11"))
                self.assertEqual([f.conn for f in server.frames() if f.name == "ARQ_UPDATE"], [0, 1])
                self.assertEqual(failures(d), [])

    def test_a_download_whose_agent_goes_is_no_failure_one_whose_server_resets_is(self):
        # B waits for A's download, which has part of its body, when A resets,
        # or is dropped for a bad frame and the half-close limit ends its pair,
        # or A's server resets. Only the server counts: with a bound of 1, B
        # is served at once, or dropped.
        for cut in ("agent reset", "agent dropped", "server reset"):
            with self.subTest(cut=cut):
                repo = Repository([3000, 5000])
                server, d, port = self.start_pair({"repository": repo, "faults": ["stall"]},
                                                  env=limits_env(failed_downloads_count=1, half_close_limit_ms=500))
                a, b = (self.start_agent(port) for _ in range(2))
                announcement = [agent.wait_announcement() for agent in (a, b)][0]
                a.request(announcement)
                server.wait_count("ARQ_UPDATE", 1)
                number = b.request(announcement)
                self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) == 2), d.log[-4000:])
                d.wait_for("File file-0.bin has completely downloaded")
                if cut == "agent reset":
                    a.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    a.close()
                elif cut == "agent dropped":
                    a.send_raw(b"x BAD\r\n")
                else:
                    server.reset(0)
                if cut != "server reset":
                    self.assertEqual(b.receive(announcement, request=number).data, repo.payload("11"))
                    self.assertEqual([f.conn for f in server.frames() if f.name == "ARQ_UPDATE"], [0, 1])
                    self.assertEqual(failures(d), [])
                else:
                    with self.assertRaises(ConnectionClosed):
                        b.receive(announcement, request=number)
                    self.assertEqual(failures(d), ["Download of %s/7 failed 1 time(s) in a row, next attempt in 1 s"
                                                   % repo.name])

if __name__ == "__main__":
    unittest.main()
