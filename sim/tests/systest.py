"""Shared helpers of the system tests: boards that close themselves, and
the daemon's LED writes cut into ticks.

Most tests put the other LED on mode 17 ("always on"), which writes once
per tick and so marks where each tick ends: LED 1 is evaluated before LED 2
in every tick.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from board import Board, Unsupported  # noqa: E402

BLINK = [0, 1, 0, 1, 0, 1, 0, 1]
# How far a tick may drift from one second on a busy machine.
TICK_MIN, TICK_MAX = 0.9, 1.6


def shape(writes):
    """What one tick did to an LED: keep, off, on, blink, or the raw values."""
    if not writes:
        return "keep"
    if writes == [0]:
        return "off"
    if writes == [1]:
        return "on"
    if writes == BLINK:
        return "blink"
    return tuple(writes)


def per_tick(board, led, marker):
    """The writes to `led` in each complete tick, ticks told apart by the
    writes to `marker`, the other LED, which must write once per tick."""
    ticks, current, started = [], [], False
    for _, n, value in board.leds():
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


def shapes(board, led=1, marker=2):
    return [shape(t) for t in per_tick(board, led, marker)]


class BoardCase(unittest.TestCase):
    """A test case whose boards are closed after each test; a failing test
    prints the events of its boards."""

    def setUp(self):
        self.boards = []

    def board(self, *setup, modes=None, start=True, closed=False, fast_clock=False):
        """A running board with `setup` commands applied and, unless
        `start` is false, the daemon started."""
        b = Board(fast_clock=fast_clock)
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
        if self._failed():
            print(f"\n{self.id()}:\n{b.diagnostics()}", file=sys.stderr)
        b.close()

    def _failed(self):
        result = getattr(getattr(self, "_outcome", None), "result", None)
        problems = getattr(result, "failures", []) + getattr(result, "errors", [])
        return any(getattr(test, "test_case", test) is self for test, _ in problems)

    def wait_ticks(self, b, count, marker=2):
        """Waits until `count` ticks are complete (see per_tick)."""
        b.wait_writes(marker, count + (1 if marker == 1 else 0))

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
