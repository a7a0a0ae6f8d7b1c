"""The GETCONFIG ids a pair remembers: only the newest are kept, so an agent
whose requests the server never answers cannot grow the daemon, and a CONFIG
for a forgotten id reaches the agent like one for an id never asked for."""

import unittest

import config_ids
import harness
from standin_agent import PeersTestCase
from standin_server import words

UNKNOWN = b"4294967295"
# The 1,024 ids kept by default take some 100 kB; the rest is room for the
# allocator settling (up to 1.5 MB seen). Unbounded, the ids of the measured
# round alone took 6 MB (10 MB under AddressSanitizer).
WARM_UP, MEASURED = 20000, 60000
GROWTH_LIMIT_KB = 3072


class ConfigIdsTest(PeersTestCase):
    def test_unanswered_requests_do_not_grow_the_daemon(self):
        server = config_ids.LineCounter()
        self.addCleanup(server.close)
        daemon, port = config_ids.start_daemon(self.start_daemon, server)
        self.addCleanup(self._stop_clean, daemon)
        agent = config_ids.GetconfigAgent(port)
        self.addCleanup(agent.close)
        growth = config_ids.growth_kb(daemon, server, agent, warm_up=WARM_UP, measured=MEASURED)
        self.assertLess(growth, GROWTH_LIMIT_KB, "VmRSS grew by %d kB over %d unanswered GETCONFIG"
                        % (growth, MEASURED))

    def test_config_for_a_forgotten_id_reads_as_unknown(self):
        server = self.start_server(answer_getconfig=False)
        daemon, port = self.start_relay(server, env=harness.limits_env(config_ids_kept_count=4))
        agent = self.start_agent(port)
        numbers = [agent.send("GETCONFIG", b"%d" % i) for i in range(1, 7)]
        numbers.append(agent.send("GETCONFIG", b"3"))  # asked again: the newest, with the later number
        numbers.append(agent.send("GETCONFIG", b"7"))  # forgets 4, the oldest now
        server.wait_count("GETCONFIG", 8)
        for i in (1, 2, 3, 4, 5, 6, 7, 3):
            server.send(0, "CONFIG", b"9 %d text%d" % (i, i))
        got = [words(agent.expect("CONFIG").args) for _ in range(8)]
        expected = [UNKNOWN, UNKNOWN, b"%d" % numbers[6], UNKNOWN, b"%d" % numbers[4], b"%d" % numbers[5],
                    b"%d" % numbers[7], UNKNOWN]
        self.assertEqual([w[0] for w in got], expected, got)
        self.assertEqual([w[1:] for w in got], [[b"%d" % i, b"text%d" % i] for i in (1, 2, 3, 4, 5, 6, 7, 3)])


if __name__ == "__main__":
    unittest.main()
