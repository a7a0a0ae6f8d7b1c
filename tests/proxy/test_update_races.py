"""Downloads that fail while others run: many agents on their own connections,
a server whose first reply for each file is corrupt and whose other replies
trickle in slowly. A failed download must never disturb one that another
connection started meanwhile, and no agent may ever get a wrong byte."""

import random
import threading
import time
import unittest

from standin_agent import ConnectionClosed, PeersTestCase, StandinAgent
from standin_server import Repository

WRONG_MD5 = "downloaded file has wrong md5"


def wrong_md5_failures(log):
    """The reasons of the upstream connections that a wrong MD5 ended."""
    lines = log.splitlines()
    return [lines[i + 1] for i in range(len(lines) - 1)
            if "SRS_UPDATE from the server ends the connection because of" in lines[i] and WRONG_MD5 in lines[i + 1]]


class DownloadRaceTest(PeersTestCase):
    AGENTS = 64
    ROUNDS = 2
    FETCHES = 3

    def crowd(self, port, repo, seed):
        """Every agent asks, at a moment of its own, for a random part of the
        list, and starts over on a new connection when its pair is dropped
        (its own connection carried a corrupt reply). Returns the failures."""
        failures = []
        lock = threading.Lock()

        def agent_run(index):
            rnd = random.Random(seed * 1000 + index)
            time.sleep(rnd.uniform(0, 1.0))
            for fetch in range(self.FETCHES):
                mask = "".join(rnd.choice("01") for _ in repo.files)
                mask = mask if "1" in mask else "1" + mask[1:]
                for attempt in range(8):
                    agent = StandinAgent(port, timeout=60)
                    try:
                        agent.negotiate()
                        update = agent.fetch(agent.wait_announcement(), mask)
                        if not update.ok or update.data != repo.payload(mask):
                            with lock:
                                failures.append((index, mask, [(f.name, f.ok) for f in update.files]))
                        break
                    except (ConnectionClosed, OSError):
                        continue
                    finally:
                        agent.close()
                else:
                    with lock:
                        failures.append((index, mask, "no answer after 8 connections"))

        threads = [threading.Thread(target=agent_run, args=(i,), daemon=True) for i in range(self.AGENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertFalse(any(t.is_alive() for t in threads), "agents still waiting")
        return failures

    def test_a_failed_download_never_disturbs_a_later_one(self):
        for round_ in range(self.ROUNDS):
            with self.subTest(round=round_):
                repo = Repository([40000 + 1000 * i for i in range(10)])
                server, d, port = self.start_pair({"repository": repo, "corrupt_first": True, "pace": 0.002},
                                                  verbosity="INFO")
                failures = self.crowd(port, repo, round_)
                self.assertEqual(failures, [])
                # Each corrupt reply fails its download once; a correct one never does.
                rejected = wrong_md5_failures(d.log)
                self.assertLessEqual(len(rejected), server.corrupt_replies, rejected)
                d.stop()


if __name__ == "__main__":
    unittest.main()
