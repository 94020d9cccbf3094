"""A short run of the soak under faults (soak.py; scripts/soak runs it for
as long as asked): five boards, both LEDs of each on modes that run
commands or read the devices, hundreds of ticks each; and on the emulated
router, one daemon for about two minutes (NORVASK_VM_PACKAGE names the
package; NORVASK_SOAK_SEED picks the scenario and LED 1's mode)."""

import collections
import os
import sys
import unittest

import soak
from board import BoardError, Event, default_command
from model import Model


class Soak(unittest.TestCase):
    def test_hundreds_of_ticks_under_faults(self):
        if os.environ.get("NORVASK_SIM_DEVICES", "seccomp") != "seccomp":
            self.skipTest("the soak steps the daemon's clock through the board's device filter")
        ticks = int(os.environ.get("NORVASK_SOAK_TICKS", "1200"))
        seed = int(os.environ.get("NORVASK_SOAK_SEED", "1"))
        runs = soak.run_soak(default_command(), ticks=ticks, seed=seed)
        for r in runs:
            with self.subTest(modes=r.modes):
                if r.error:
                    print(f"\nLEDs on {r.modes}, seed {seed}:\n{r.error}\n"
                          f"{getattr(r, 'diagnostics', '')}")
                self.assertIsNone(r.error)
                self.assertGreater(r.tick_count, ticks)
                self.assertEqual((r.exit, r.stopped_logs), (("exit", "0"), 1))
                first, base, last = r.first, r.baseline, r.resources[-1][1]
                self.assertEqual((last["fds"], last["children"], last["zombies"]),
                                 (first["fds"] + 1, 0, 0))
                self.assertEqual(last["anon"], base["anon"])


class RouterSoak(unittest.TestCase):
    def test_two_minutes_on_the_router(self):
        package = os.environ.get("NORVASK_VM_PACKAGE")
        if not package:
            self.skipTest("set NORVASK_VM_PACKAGE to the router package")
        minutes = float(os.environ.get("NORVASK_SOAK_MINUTES", "2"))
        seed = int(os.environ.get("NORVASK_SOAK_SEED", "1"))
        modes = soak.ROUTER_MODES[seed % len(soak.ROUTER_MODES)]
        router = [sys.executable, os.path.join(soak.HERE, "..", "vm", "router.py"),
                  "--package", package]
        run, = soak.run_router_soak(router, minutes, seed=seed, boards=[modes])
        if run.error:
            print(f"\nLEDs on {modes}, seed {seed}:\n{run.error}\n"
                  f"{getattr(run, 'diagnostics', '')}")
        self.assertIsNone(run.error)
        print(f"\nLEDs on {modes}, seed {seed}: {run.tick_count} ticks, {run.checked_writes} "
              f"LED writes checked, {run.late_holds} late stops", file=sys.stderr)
        self.assertEqual((run.exit, run.stopped_logs), (("exit", "0"), 1))
        last = run.resources[-1][1]
        self.assertEqual((last["fds"], last["children"], last["zombies"], last["anon"]),
                         (run.first["fds"], 0, 0, run.baseline["anon"]))


class ScriptedRouter:
    """A router whose daemon plays a script: each line done answers with its
    ok, `pace` seconds (by the line's number) after the one before, among
    the events the script gives for that line, timed from its ok."""

    def __init__(self, script, pace=None):
        self.events, self.clock, self.done = [], 0.0, 0
        self.script, self.pace = script, pace or {}

    def add(self, when, kind, rest):
        self.events.append(Event(when, kind, rest, len(self.events)))

    def do(self, *lines, timeout=10):
        for line in lines:
            self.clock += self.pace.get(self.done, 0.05)
            events = self.script.get(self.done, []) + [(0, "ok", line)]
            for delay, kind, rest in sorted(events, key=lambda e: e[0]):
                self.add(self.clock + delay, kind, rest)
            self.done += 1

    def mark(self):
        return len(self.events)

    def snapshot(self):
        return list(self.events)

    def wait_for(self, predicate, start=0, timeout=10):
        found = [e for e in self.events[start:] if predicate(e)]
        if not found:
            raise BoardError("no such event")
        return found[0]


class ScriptedModel:
    def __init__(self, *ticks):
        self.ticks = collections.deque(ticks)

    def tick(self):
        return self.ticks.popleft()


# A tick of LED 1 on mode 13 that cannot read the tunnels' status: its syslog
# line, sent before LED 2's write, reaches the router's events just after it.
FAILED_TICK = [(0.010, "led", "2 1"),
               (0.012, "log", "daemon notice norvaskd 337 337 failure getting OpenVPN status")]
FAILED_MODEL = (["led 2 1"], ["failure getting OpenVPN status"], [])
BURST = ["signal URG", "signal WINCH", "signal CHLD", "signal URG", "signal WINCH", "signal URG"]


class RouterHold(unittest.TestCase):
    """The router soak's hold: each tick's window, from the events of a
    daemon released with a burst of signals and held again after the tick."""

    def held(self, board, model):
        run = soak.RouterRun([], (13, 17), 1, 0)
        run.board, run.model, run.window, run.tick_count = board, model, 0, 1
        run.next_tick(BURST)
        return run

    def test_tick_ended_during_the_burst_keeps_its_late_syslog_line(self):
        # The tick runs as the burst is sent and ends before its last signal.
        board = ScriptedRouter({1: FAILED_TICK})
        run = self.held(board, ScriptedModel(FAILED_MODEL))
        self.assertEqual(board.events[-1].rest, "signal STOP")
        self.assertEqual((run.window, run.tick_count, run.late_holds), (board.mark(), 2, 0))

    def test_tick_stopped_too_late_keeps_its_late_syslog_line(self):
        # The stop comes after the sleep that followed the tick: the next
        # tick, a second later, is checked as one without changes.
        board = ScriptedRouter({1: FAILED_TICK, len(BURST) + 1: [(-0.1, "led", "2 1")]},
                               pace={len(BURST) + 1: 1.5})
        run = self.held(board, ScriptedModel(FAILED_MODEL, (["led 2 1"], [], [])))
        self.assertEqual(board.events[-1].rest, "signal STOP")
        self.assertEqual((run.tick_count, run.late_holds), (3, 1))


class RouterFrames(unittest.TestCase):
    def test_lines_that_move_the_counters_as_measured_on_the_router(self):
        # Measured on the router: a phone joining moves its interface's
        # counters, one leaving does not; the client moves wlan1's each time
        # it is told a network, the one it is on too.
        model = Model()
        for line, moved in [("stations wlan0 1", "wlan0"), ("stations wlan0 1", None),
                            ("stations wlan0 2", "wlan0"), ("stations wlan0 0", None),
                            ("ssid home", "wlan1"), ("ssid home", "wlan1"), ("ssid none", None),
                            ("send wlan02 600", None)]:
            with self.subTest(line=line, stations=model.stations["wlan0"], ssid=model.ssid):
                self.assertEqual(soak.ROUTER.moved(model, line), moved)
                self.assertIsNone(soak.SIMULATED.moved(model, line))
            model.apply(line)


if __name__ == "__main__":
    unittest.main()
