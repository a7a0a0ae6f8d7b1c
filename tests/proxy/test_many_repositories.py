"""A server announcing many repositories, through the real daemon: once 300
are stored, and while it goes on announcing new ones, another agent's fetch
from the cache and a new connection are answered."""

import threading
import unittest

from standin_agent import PeersTestCase
from standin_server import Repository, escape

STORED, FILES = 300, 200
BOUND = 20  # seconds: catches a hang, or the lock held for the whole stream; the figures are bench_cache's


class ManyRepositoriesTest(PeersTestCase):
    def test_agents_are_answered_while_many_lists_are_announced(self):
        repo = Repository([3000, 1])
        server, d, port = self.start_pair({"repository": repo}, verbosity="INFO")
        fetcher = self.start_agent(port)
        shown = fetcher.wait_announcement()
        self.assertTrue(fetcher.fetch(shown, timeout=BOUND).ok)
        listener = self.start_agent(port, timeout=BOUND)  # the server's second connection
        listener.wait_announcement()
        stop, sent = threading.Event(), [0]

        def announce():
            while sent[0] < STORED or not stop.is_set():
                body = b"1\n0\n" + b"".join(b"64 %032x f%d\n" % (sent[0] * FILES + i, i) for i in range(FILES))
                server.send(1, "SNF_UPDATE", escape("repo-%d" % sent[0]), body)
                sent[0] += 1
            server.send(1, "NOTICE", b"end")

        announcer = threading.Thread(target=announce, daemon=True)
        announcer.start()
        seen = [listener.wait_announcement().repository for _ in range(STORED)]
        self.assertEqual(fetcher.fetch(shown, timeout=BOUND).data, repo.payload("11"))
        late = self.start_agent(port, timeout=BOUND)
        self.assertEqual(late.fetch(late.wait_announcement(), timeout=BOUND).data, repo.payload("11"))
        self.assertGreater(sent[0], STORED, "no list announced meanwhile")
        stop.set()
        announcer.join(BOUND)
        self.assertEqual(seen, ["repo-%d" % i for i in range(STORED)])
        listener.expect("NOTICE")  # behind every list announced since
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertEqual(d.messages("ERR"), [])


if __name__ == "__main__":
    unittest.main()
