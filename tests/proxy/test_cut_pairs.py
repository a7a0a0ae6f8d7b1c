"""Many raw pairs cut at once, through the real daemon on a loaded machine
(the short form of cut_pairs.py): over all four kinds of listen, a partner
flooding towards a peer that reset or closed with bytes unread gets a prefix
of that peer's bytes (all of them from a local peer, then an end of stream;
a reset from a TCP peer) and its connection ends within the half-close
limit; whole pairs beside them arrive exact both ways."""

import unittest

import cut_pairs


class CutPairsTest(unittest.TestCase):
    def test_every_partner_of_a_cut_peer_ends_within_the_limit_and_whole_pairs_arrive_whole(self):
        options = cut_pairs.options_parser().parse_args(
            ["--cut", "4", "--whole", "2", "--scale", "2", "--busy", "2", "--rcvbuf", "4096", "--limit", "1.5",
             "--slack", "4", "--verbosity", "DEBUG3"])
        failed, pairs, report = cut_pairs.run(options, log=lambda line: None)
        self.assertEqual(pairs, 24)
        self.assertEqual([(r["pair"], r["failure"]) for r in failed], [])
        self.assertEqual(report, "")


if __name__ == "__main__":
    unittest.main()
