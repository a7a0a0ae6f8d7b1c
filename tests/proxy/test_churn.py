"""Agents and upstreams that come and go at awkward moments, against the real
daemon: reloads while agents keep connecting, agents that reset right after
connecting, and an upstream that never answers the connect."""

import signal
import socket
import unittest

import harness
from churn import Churn, HangingUpstream, open_descriptors, settled_descriptors, wait_closed_by_peer
from standin_agent import PeersTestCase

RELOADS = 20
# Reloads that each must win against the race: it ended the service in 7 of
# 10 tries when the new pass bound while the old listening socket was open.
FAILED = "Service failed"


class ChurnTest(PeersTestCase):
    def relay_on_fixed_port(self, server, **daemon_kwargs):
        """A daemon whose file names the port it listens on, learnt from a first pass on port 0."""
        d, port = self.start_relay(server, **daemon_kwargs)
        d.write_config(harness.config_xml([(harness.listen_spec(port), [server.spec])], d.cache_root))
        self.reload(d)
        return d, port

    def reload(self, d):
        since = d.mark()
        d.signal(signal.SIGHUP)
        ok = harness.wait_until(lambda: harness.STARTED in d.log[since:] or FAILED in d.log[since:]
                                or not d.alive(), 15)
        self.assertTrue(ok and harness.STARTED in d.log[since:], "reload did not complete:\n" + d.log[since:][-4000:])

    def assertRelays(self, port, server):
        agent = self.start_agent(port)
        agent.send("NOTE", b"after%Sthe%Schurn")
        self.assertEqual(agent.expect("NOTE").args, b"after%Sthe%Schurn")
        agent.close()

    def test_reloads_while_agents_keep_connecting_never_end_the_service(self):
        server = self.start_server()
        d, port = self.relay_on_fixed_port(server, verbosity="INFO", pool_size=4)
        baseline = open_descriptors(d.pid)
        with Churn(port, threads=50) as churn:
            self.assertTrue(churn.wait_made(200), "agents cannot connect")
            for n in range(RELOADS):
                before = churn.made
                self.reload(d)
                # Agents were accepted while the pass went down and came up.
                self.assertTrue(churn.wait_made(before + 50), "no agent accepted after reload %d" % (n + 1))
        self.assertTrue(d.alive())
        self.assertNotIn(FAILED, d.log)
        self.assertEqual(d.listen_ports(), [port] * (RELOADS + 2))
        self.assertRelays(port, server)
        self.assertEqual(settled_descriptors(d.pid, baseline), baseline)

    def test_agents_that_reset_right_after_connecting_are_dropped_quietly(self):
        server = self.start_server()
        # INFO on: the accept reads the peer's address of every agent.
        d, port = self.start_relay(server, verbosity="DEBUG")
        baseline = open_descriptors(d.pid)
        with Churn(port, threads=20, reset=True) as churn:
            self.assertTrue(churn.wait_made(2000), "agents cannot connect")
        self.assertTrue(harness.wait_until(lambda: "the peer has already gone" in d.log
                                           or "Cannot attach the agent's connection" in d.log),
                        "no agent was caught gone: the race was not met")
        self.assertEqual([m for m in d.messages("ERR") if "Thread failed" in m or "Thread procedure" in m], [])
        self.assertEqual(d.messages("ERR") + d.messages("wrn"), [])
        self.assertRelays(port, server)
        self.assertEqual(settled_descriptors(d.pid, baseline), baseline)

    def test_an_upstream_that_never_answers_the_connect_is_given_up_after_the_limit(self):
        dead = HangingUpstream()
        self.addCleanup(dead.close)
        good = self.start_server()
        d, port = self.start_relay(None, listens=[(harness.listen_spec(0), [dead.spec, good.spec])],
                                   env=harness.limits_env(connect_timeout_ms=400))
        baseline = open_descriptors(d.pid)
        attempt = "Got stream endpoint <%s>" % dead.spec
        waiting = []
        for i in range(10):
            if i % 2:
                # The ring's good upstream serves its agents meanwhile.
                self.assertRelays(port, good)
                continue
            agent = harness.connect(port)
            self.addCleanup(agent.close)
            waiting.append(agent)
            # Its accept has turned the ring before the next agent comes.
            self.assertTrue(harness.wait_until(lambda: d.count(attempt) == len(waiting)), d.log[-4000:])
        # The daemon drops the pairs of the dead upstream: no agent is left hanging.
        for agent in waiting:
            self.assertTrue(wait_closed_by_peer(agent, 10), "agent left hanging behind a dead upstream")
        line = "[Layer/Transport] %s: Connect gave up after 400 ms without an answer" % dead.spec
        self.assertTrue(harness.wait_until(lambda: line in d.messages("wrn")), d.log[-4000:])
        self.assertEqual(settled_descriptors(d.pid, baseline), baseline)
        self.assertEqual(good.connections, 5)


if __name__ == "__main__":
    unittest.main()
