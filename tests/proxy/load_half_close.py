#!/usr/bin/env python3
"""The half-close limit at its default, run by hand (not part of the test
command: it waits the whole default, about half a minute):

  VELMOD_PROXY=build/release/proxy/velmod-proxy python3 tests/proxy/load_half_close.py

Agents that got their answer and closed, behind an upstream that keeps its
socket open after their end of stream, are freed a little after the default
limit of 30 s, not minutes: the daemon's descriptors return to the baseline.
The same with a short limit runs in the test command
(test_half_close_updates.py)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from test_half_close_updates import HalfClosedUpdateTest, IgnoringUpstream, open_descriptors  # noqa: E402


class DefaultHalfCloseLimit(HalfClosedUpdateTest):
    def test_pairs_whose_agents_left_are_freed_within_the_default_limit(self):
        upstream = IgnoringUpstream()
        self.addCleanup(upstream.close)
        daemon = self.start_daemon(listens=[(harness.listen_spec(0), [upstream.spec])])
        self.addCleanup(self._stop_clean, daemon)
        daemon.wait_started()
        baseline = open_descriptors(daemon.pid)
        self.agents_leave(daemon, 5)
        # The default limit is 30 s: a little more than that, not minutes.
        self.assertTrue(harness.wait_until(lambda: open_descriptors(daemon.pid) <= baseline, 40),
                        "%d descriptors open, %d before" % (open_descriptors(daemon.pid), baseline))
        self.assertEqual(daemon.count("One direction ended 30000 ms ago and the other did not, disconnect"), 5)


if __name__ == "__main__":
    unittest.main(defaultTest="DefaultHalfCloseLimit.test_pairs_whose_agents_left_are_freed_within_the_default_limit")
