"""A server announcing many repositories, through the real daemon: once a few
hundred are stored, and while it goes on announcing new ones, another
agent's fetch from the cache and a new connection are answered, and every
list is stored and relayed."""

import threading
import time
import unittest

from standin_agent import PeersTestCase
from standin_server import Repository, escape

STORED = 300
FILES = 200
# Generous: a hang, or a lock held for the whole stream, fails it; the
# figures themselves are the benchmark's (bench_cache).
BOUND = 20


def snf_body(index):
    lines = [b"1", b"0"] + [b"64 %032x file-%d.bin" % (index * FILES + i, i) for i in range(FILES)]
    return b"\n".join(lines) + b"\n"


class ManyRepositoriesTest(PeersTestCase):
    def test_agents_are_answered_while_many_lists_are_announced(self):
        repo = Repository([3000, 1, 5000])
        server, d, port = self.start_pair({"repository": repo}, verbosity="INFO")
        fetcher = self.start_agent(port)
        shown = fetcher.wait_announcement()
        self.assertTrue(fetcher.fetch(shown, timeout=BOUND).ok)
        # The server announces on the second connection; its agent reads every list.
        listener = self.start_agent(port, timeout=BOUND)
        listener.wait_announcement()
        seen, stop, sent = [], threading.Event(), [0]

        def read_all():
            # Up to the NOTICE sent behind the last list.
            while True:
                frame = listener.command()
                if frame.name == "NOTICE":
                    return
                seen.append(frame.args.decode())

        def announce(count):
            for _ in range(count):
                server.send(1, "SNF_UPDATE", escape("repo-%d" % sent[0]), snf_body(sent[0]))
                sent[0] += 1

        def announce_until_stopped():
            while not stop.is_set():
                announce(1)
            server.send(1, "NOTICE", b"end")

        reader = threading.Thread(target=read_all, daemon=True)
        reader.start()
        announce(STORED)
        self.assertTrue(self.wait(lambda: len(seen) >= STORED), "%d of %d lists relayed" % (len(seen), STORED))
        announcer = threading.Thread(target=announce_until_stopped, daemon=True)
        announcer.start()
        try:
            started = time.monotonic()
            self.assertEqual(fetcher.fetch(shown, timeout=BOUND).data, repo.payload("111"))
            late = self.start_agent(port, timeout=BOUND)
            self.assertEqual(late.fetch(late.wait_announcement(), timeout=BOUND).data, repo.payload("111"))
            self.assertLess(time.monotonic() - started, BOUND)
            self.assertGreater(sent[0], STORED, "no list announced meanwhile")
        finally:
            stop.set()
            announcer.join(BOUND)
        reader.join(BOUND)
        self.assertFalse(reader.is_alive(), "%d of %d lists relayed" % (len(seen), sent[0]))
        self.assertEqual(seen, ["repo-%d" % i for i in range(sent[0])])
        self.assertEqual(server.count("ARQ_UPDATE"), 1)
        self.assertEqual(d.messages("ERR"), [])

    @staticmethod
    def wait(predicate):
        deadline = time.monotonic() + BOUND
        while not predicate() and time.monotonic() < deadline:
            time.sleep(0.05)
        return predicate()


if __name__ == "__main__":
    unittest.main()
