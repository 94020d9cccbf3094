"""Shared helpers of the system tests: boards that close themselves, the
daemon's LED writes cut into ticks, and what the model says they must be.

Most tests put the other LED on mode 17 ("always on"), which writes once
per tick and so marks where each tick ends: LED 1 is evaluated before LED 2
in every tick. The mode tables run on both kinds of LED the daemon drives:
the board's GPIO device, and kernel LEDs (LED_KINDS).
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from board import CLASS_LEDS, Board, Unsupported, class_led_setting  # noqa: E402, F401
from model import BLINK, predict, shape  # noqa: E402, F401

# The board lines that put both LEDs on each kind: the board's GPIO device
# (no settings for it), and its kernel LEDs.
LED_KINDS = {
    "gpio": [],
    "class": [class_led_setting(1, CLASS_LEDS[0]), class_led_setting(2, CLASS_LEDS[1])],
}

# How far a tick may drift from one second on a busy machine.
TICK_MIN, TICK_MAX = 0.9, 1.6


def per_tick(board, led, marker, start=0):
    """The writes to `led` in each complete tick from event `start` on, ticks
    told apart by the writes to `marker`, the other LED, which must write
    once per tick."""
    ticks, current, started = [], [], False
    for _, n, value in board.leds(start=start):
        if n == marker:
            if marker > led:
                # The marker is evaluated last: its write ends the tick.
                ticks.append(current)
                current = []
            else:
                # The marker is evaluated first: its write starts the tick.
                if started:
                    ticks.append(current)
                current, started = [], True
        elif n == led and (started or marker > led):
            current.append(value)
    return ticks


def shapes(board, led=1, marker=2, start=0):
    return [shape(t) for t in per_tick(board, led, marker, start)]


class BoardCase(unittest.TestCase):
    """A test case whose boards are closed after each test; a failing test
    prints the events of its boards."""

    def run(self, result=None):
        # The boards' events are kept as they close, and shown only when the
        # test added a failure or an error to the result.
        result = result or self.defaultTestResult()
        self.diagnostics = []
        problems = len(result.failures) + len(result.errors)
        super().run(result)
        if len(result.failures) + len(result.errors) > problems:
            for text in self.diagnostics:
                print(f"\n{self.id()}:\n{text}", file=sys.stderr)
        return result

    def setUp(self):
        self.boards = []

    def board(self, *setup, modes=None, start=True, closed=False, fast_clock=False, command=None):
        """A running board with `setup` commands applied and, unless
        `start` is false, the daemon started."""
        b = Board(command, fast_clock=fast_clock)
        try:
            b.open()
        except Unsupported as e:
            self.skipTest(f"the machine cannot host the board's sandbox: {e}")
        self.boards.append(b)
        self.addCleanup(self._close, b)
        if modes is not None:
            b.do(f"modes {modes[0]} {modes[1]}")
        b.do(*setup)
        if start:
            b.start(closed=closed)
        return b

    def _close(self, b):
        # The first board closed asks the others to leave too: they leave
        # side by side, not one after the other.
        for other in self.boards:
            other.quit()
        self.diagnostics.append(b.diagnostics())
        b.close()

    def wait_ticks(self, b, count, marker=2):
        """Waits until `count` ticks are complete (see per_tick)."""
        b.wait_writes(marker, count + (1 if marker == 1 else 0))

    def check_cases(self, cases, ticks=3, kinds=tuple(LED_KINDS)):
        """Runs each case, name -> (mode, set-up lines[, changes]), on a board
        of its own for each kind of LED in `kinds`, with LED 1 on `mode` and
        LED 2 on 17 (always on, which marks each tick's end); changes[k] is
        made after tick k + 1. What LED 1 shows in each tick must be what
        the model predicts. The boards, by (name, kind)."""
        boards = {}
        for name, (mode, setup, *rest) in cases.items():
            for kind in kinds:
                boards[name, kind] = self.board(*LED_KINDS[kind], *setup, modes=(mode, 17),
                                                start=False)
        # Once every board is laid out, so that each daemon is still in its
        # first tick's sleep when its board's first change comes.
        for b in boards.values():
            b.start()
        for k in range(max((len(c[2]) for c in cases.values() if len(c) > 2), default=0)):
            for (name, kind), b in boards.items():
                changes = cases[name][2] if len(cases[name]) > 2 else []
                if k < len(changes) and changes[k]:
                    # During the sleep after the tick: the next tick sees it.
                    b.wait_writes(2, k + 1)
                    b.do(changes[k])
        for (name, kind), b in boards.items():
            mode, setup, *rest = cases[name]
            with self.subTest(name, led=kind):
                setup = LED_KINDS[kind] + setup
                expected = [led1 for led1, _ in predict((mode, 17), setup, ticks, *rest)]
                self.wait_ticks(b, ticks)
                self.assertEqual(shapes(b)[:ticks], expected)
        return boards

    def calls(self, b):
        """The commands the board's stand-ins ran, one per line."""
        try:
            with open(b.path("/opt/board/state/calls")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def read_sandbox(self, b, path):
        with open(b.path(path)) as f:
            return f.read()

    def assertStopped(self, b, start=0, timeout=5):
        """The daemon logged "stopped" and ended with status 0."""
        b.wait_log("stopped", timeout=timeout, start=start)
        self.assertEqual(b.wait_exit(timeout=timeout, start=start), ("exit", "0"))
