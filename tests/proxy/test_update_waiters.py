"""Agents waiting for update files side by side, through the real daemon: an
agent whose own connection cannot download (never negotiated, turned raw, or
not ready yet) holds nobody else back, and every waiting request is answered
with its own number. A connection that relayed no list of the revision
(never negotiated, not ready yet) is matched against the one list the cache
holds for it, and downloads through its own server once that is ready."""

import re
import unittest

from harness import limits_env, listen_spec, wait_until
from standin_agent import ConnectionClosed, PeersTestCase, StandinAgent
from standin_server import Repository, escape

AGENT_REQUEST = re.compile(r"rcv <\d+ ARQ_UPDATE ")
FAILED = "time(s) in a row"
# Well past a prompt answer, well short of the doubling delays that starved
# the agents before: a reply that has not come by then never comes.
PROMPT = 5


def failures(d):
    """The daemon's lines that count a failed download."""
    return [m.split("[Repo] ", 1)[-1] for m in d.messages("wrn") if FAILED in m]


class UpdateWaitersTest(PeersTestCase):
    def requests_seen(self, d, n):
        """Waits until the daemon has read `n` agents' ARQ_UPDATE in all."""
        self.assertTrue(wait_until(lambda: len(AGENT_REQUEST.findall(d.log)) >= n), d.log[-4000:])

    def test_an_agent_that_never_negotiated_holds_nobody_back(self):
        repo = Repository([5000])
        server, d, port = self.start_pair({"repository": repo})
        healthy = self.start_agent(port)
        announcement = healthy.wait_announcement()
        # Straight to ARQ_UPDATE, without PROTOCOL: its server side cannot
        # send a download, and no download is handed to it.
        silent = self.start_agent(port, negotiate=False)
        number = silent.request(announcement)
        self.requests_seen(d, 1)
        update = healthy.fetch(announcement, timeout=PROMPT)
        self.assertTrue(update.ok)
        self.assertEqual(update.data, repo.payload("1"))
        # The files it waited for came through the other connection.
        late = silent.receive(announcement, request=number, timeout=PROMPT)
        self.assertEqual((late.id, late.data), (number, repo.payload("1")))
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertEqual(failures(d), [])

    def test_an_agent_whose_pair_turned_raw_holds_nobody_back(self):
        repo = Repository([5000])
        server, d, port = self.start_pair({"repository": repo, "hold": True})
        healthy = self.start_agent(port)
        announcement = healthy.wait_announcement()
        installing = self.start_agent(port)
        installing.request(installing.wait_announcement())
        server.wait_held(1)
        # Its download was sent; the switch to raw gives it up unfinished,
        # which is no failure of the server's: no delay for the next one.
        installing.send("INSTALL")
        d.wait_for("The agent's switch to raw waits for the reply owed to a download")
        server.release()
        update = healthy.fetch(announcement, timeout=PROMPT)
        self.assertTrue(update.ok)
        self.assertEqual(update.data, repo.payload("1"))
        self.assertEqual(server.count("ARQ_UPDATE"), 2)
        self.assertEqual(failures(d), [])

    def test_an_agent_asking_before_its_server_is_ready_is_served_once_it_is(self):
        # Two upstream servers: the first announces; the second authorizes
        # and stays quiet, so its pair waits in the just-authorized state.
        repo = Repository([5000])
        announcing = self.start_server(repository=repo)
        quiet = self.start_server(repository=None)
        d, _ = self.start_relay(announcing, listens=[(listen_spec(0), [announcing.spec]),
                                                     (listen_spec(0), [quiet.spec])])
        first, second = d.listen_ports()[-2:]
        announcement = self.start_agent(first).wait_announcement()
        early = self.start_agent(second)
        number = early.request(announcement)
        self.requests_seen(d, 1)
        # The quiet server can serve the files too; its next relayed command
        # makes the pair ready, and the waiting request downloads through it.
        quiet.repository = repo
        quiet.send(0, "NOTICE", b"ready")
        update = early.receive(announcement, request=number, timeout=PROMPT)
        self.assertEqual((update.id, update.data), (number, repo.payload("1")))
        self.assertEqual((announcing.count("ARQ_UPDATE"), quiet.count("ARQ_UPDATE")), (0, 1))
        self.assertEqual(failures(d), [])

    def test_an_agent_waiting_for_a_server_that_will_never_be_ready_is_told(self):
        # As above, but the waiting agent's pair turns raw before its quiet
        # server is ready: that server will never download, and the request
        # must end rather than wait for a readiness that cannot come. It is
        # withdrawn: the raw stream gets no reply, and the agent stays.
        repo = Repository([5000])
        announcing = self.start_server(repository=repo)
        quiet = self.start_server(repository=None)
        d, _ = self.start_relay(announcing, listens=[(listen_spec(0), [announcing.spec]),
                                                     (listen_spec(0), [quiet.spec])])
        first, second = d.listen_ports()[-2:]
        announcement = self.start_agent(first).wait_announcement()
        early = self.start_agent(second)
        early.request(announcement)
        self.requests_seen(d, 1)
        early.send("INSTALL")
        quiet.wait_count("INSTALL", 1)
        early.mode, early.raw = "raw", early.buffer
        quiet.send_raw(0, b"raw, and nothing of the daemon's")
        self.assertEqual(early.recv_raw(32, PROMPT), b"raw, and nothing of the daemon's")
        self.assertEqual(d.count("Update request not served, agent disconnected"), 0)
        self.assertEqual(announcing.count("ARQ_UPDATE"), 0)
        self.assertEqual(failures(d), [])

    def test_each_waiting_request_is_answered_with_its_own_number(self):
        repo = Repository([3000, 4000])
        other = Repository([0], name="other-updates", revision=4)
        extra = [("SNF_UPDATE", escape(other.name), other.snf_body())]
        for case in ("another repository", "the same revision"):
            with self.subTest(case=case):
                server, d, port = self.start_pair({"repository": repo, "hold": True,
                                                   "after_authorize_frames": extra})
                agent = self.start_agent(port)
                announcement = agent.wait_announcement()
                second = agent.wait_announcement()
                asked = [(announcement, "10" if case == "the same revision" else "11")]
                asked.append((second, "1") if case == "another repository" else (announcement, "01"))
                numbers = [agent.request(asked[0][0], asked[0][1])]
                server.wait_held(1)
                numbers.append(agent.request(asked[1][0], asked[1][1]))
                self.requests_seen(d, 2)
                server.release()
                replies = [agent.receive(ann, mask, timeout=PROMPT) for ann, mask in asked]
                self.assertEqual([r.id for r in replies], numbers)
                self.assertEqual([r.data for r in replies],
                                 [a.repository == repo.name and repo.payload(m) or b"" for a, m in asked])
                self.assertTrue(all(r.ok for r in replies))
                self.assertEqual(agent.skipped, [])

    def test_an_agent_with_too_many_requests_waiting_is_disconnected(self):
        repo = Repository([3000, 4000, 5000])
        server, d, port = self.start_relay_held(repo, waiting_update_requests_count=2)
        agent = self.start_agent(port)
        announcement = agent.wait_announcement()
        for mask in ("100", "010"):
            agent.request(announcement, mask)
        server.wait_held(1)
        agent.request(announcement, "001")
        with self.assertRaises(ConnectionClosed):
            agent.receive(announcement, "100", timeout=PROMPT)
        d.wait_for("because of its agent has 2 other update requests waiting")
        # Others are served as before, once their own connection showed them the list.
        server.release()
        other = self.start_agent(port)
        other.wait_announcement()
        update = other.fetch(announcement, timeout=PROMPT)
        self.assertEqual(update.data, repo.payload("111"))

    def start_relay_held(self, repo, **limits):
        server = self.start_server(repository=repo, hold=True)
        d, port = self.start_relay(server, env=limits_env(**limits))
        return server, d, port


if __name__ == "__main__":
    unittest.main()
