"""The process-wide budget for command bodies held in memory: many agents,
each within the per-command limit, cannot add up to more than the budget; a
body that does not fit waits (its agent is not read) and goes on once room is
released, also by an agent that disconnects; other agents' small commands are
relayed all the while."""

import time
import unittest

import harness
from standin_agent import PeersTestCase
from standin_server import build_frame
from test_backpressure import SMALL_QUARANTINE
from test_load import process_figures

MiB = 1 << 20
WAITS = "waits for room in the body budget"


def send_body(agent, name, data, held_back=1):
    """Sends a command with body `data` from a thread, all but its last
    `held_back` bytes (and then without the closing CR LF)."""
    frame = b"%d %s T%d x\r\n" % (agent.number, name.encode(), len(data))
    agent.number += 1

    def run():
        try:
            agent.sock.sendall(frame)
            agent.sock.sendall(data[:len(data) - held_back])
            if held_back == 0:
                agent.sock.sendall(b"\r\n")
        except OSError:
            pass
    return harness.start_thread(run)


def granted(name, size):
    return "%s body of %d bytes granted room in the body budget" % (name, size)


class BodyBudgetTest(PeersTestCase):
    def assertRelayed(self, agent, body=b"", name="SMALL"):
        agent.send(name, b"c", body)
        echoed = agent.expect(name, timeout=20)
        self.assertEqual(echoed.body, body)

    def test_twenty_almost_complete_large_bodies_stay_within_the_budget_while_others_are_relayed(self):
        server, daemon, port = self.start_pair(env=SMALL_QUARANTINE)
        control = self.start_agent(port)
        before = process_figures(daemon.pid)[0]
        greedy = [self.start_agent(port) for _ in range(20)]
        huge = b"h" * ((64 << 20) - 1)
        for agent in greedy:
            send_body(agent, "HUGE", huge)
        peak = before
        deadline = time.monotonic() + 20
        # Four fit in the default 256 MiB; the other sixteen wait unread.
        while time.monotonic() < deadline and daemon.count(WAITS) < 16:
            peak = max(peak, process_figures(daemon.pid)[0])
            time.sleep(0.05)
        self.assertEqual(daemon.count(WAITS), 16)
        for _ in range(20):
            peak = max(peak, process_figures(daemon.pid)[0])
            time.sleep(0.05)
        if harness.memory_bounds_judged():
            self.assertLess(peak, 640 * 1024, "RSS %d KiB before, %d at the peak" % (before, peak))
        # Commands without a body and with a small one still pass both ways.
        self.assertRelayed(control)
        self.assertRelayed(control, b"s" * (60 << 10))
        self.assertEqual(daemon.count(granted("HUGE", len(huge))), 4)

    def test_a_waiting_body_goes_on_when_room_is_released_by_completion_or_disconnect(self):
        env = harness.limits_env(body_budget_bytes=MiB, small_body_bytes=4096)
        server, daemon, port = self.start_pair(env=env)
        first, second, third = (self.start_agent(port) for _ in range(3))
        body = bytes(range(256)) * 2048  # 512 KiB
        # The first takes half the budget and keeps it, one byte short.
        send_body(first, "HALF", body)
        daemon.wait_for(granted("HALF", len(body)))
        send_body(second, "REST", b"r" * MiB)
        daemon.wait_for(WAITS)
        send_body(third, "THIRD", body, held_back=0)
        self.assertTrue(harness.wait_until(lambda: daemon.count(WAITS) == 2))
        # Small bodies pass meanwhile; and first come, first served: the
        # third would fit beside the first, yet waits behind the second.
        self.assertRelayed(self.start_agent(port), b"z" * 4000)
        self.assertEqual(server.count("THIRD"), 0)
        # The first leaves unfinished: its share goes to the second, which
        # completes, and then to the third.
        first.close()
        daemon.wait_for(granted("REST", MiB))
        second.sock.sendall(b"r\r\n")
        self.assertEqual(second.expect("REST", timeout=20).body, b"r" * MiB)
        daemon.wait_for(granted("THIRD", len(body)))
        self.assertEqual(third.expect("THIRD", timeout=20).body, body)


if __name__ == "__main__":
    unittest.main()
