"""Modes 5 to 10: receive and transmit activity on the two serial ports."""

import unittest

from systest import BoardCase, shapes

# Counter changes made between ticks, the same on every board.
CHANGES = [
    "serial ttyS0 5 0",  # ttyS0 receives
    "serial ttyS0 5 3",  # ttyS0 sends
    "serial ttyS1 4 0",  # ttyS1 receives
    "serial ttyS1 4 2",  # ttyS1 sends
    "serial ttyS1 4 2",  # nothing new
]

# What each mode shows in tick 1 (the first look) and after each change.
EXPECTED = {
    5: ["off", "on", "off", "off", "off", "off"],
    6: ["off", "off", "on", "off", "off", "off"],
    7: ["off", "on", "on", "off", "off", "off"],
    8: ["off", "off", "off", "on", "off", "off"],
    9: ["off", "off", "off", "off", "on", "off"],
    10: ["off", "off", "off", "on", "on", "off"],
}


class Serial(BoardCase):
    def test_activity_modes(self):
        boards = {mode: self.board(modes=(mode, 17)) for mode in EXPECTED}
        for tick, change in enumerate(CHANGES, start=1):
            for b in boards.values():
                # During the sleep after the tick: the next tick sees it.
                b.wait_writes(2, tick)
                b.do(change)
        for mode, b in boards.items():
            with self.subTest(mode=mode):
                self.wait_ticks(b, len(EXPECTED[mode]))
                self.assertEqual(shapes(b)[: len(EXPECTED[mode])], EXPECTED[mode])

    def test_each_led_keeps_its_own_snapshot(self):
        # Both LEDs watch ttyS0's receive count: each sees the change.
        b = self.board(modes=(5, 5))
        b.wait_writes(2, 1)
        b.do("serial ttyS0 9 0")
        mark = b.mark()
        writes = b.wait_writes(2, 1, start=mark)
        self.assertEqual([(n, v) for _, n, v in b.leds(start=mark)], [(1, 1), (2, 1)], writes)

    def test_port_that_cannot_be_read_keeps_the_led(self):
        cases = {
            "port missing": (["device ttyS0 off"], "open: No such file or directory"),
            "driver refuses": (["serial ttyS0 fail"], "ioctl: Input/output error"),
        }
        boards = {name: self.board(*setup, modes=(7, 17)) for name, (setup, _) in cases.items()}
        for name, b in boards.items():
            with self.subTest(name):
                self.wait_ticks(b, 3)
                self.assertEqual(shapes(b)[:3], ["keep"] * 3)
                failures = [log.text for log in b.logs()].count("failure getting serial stats")
                self.assertGreaterEqual(failures, 3)
                self.assertGreaterEqual(b.lines("stderr").count(cases[name][1]), 3)

    def test_port_that_appears_is_read_from_then_on(self):
        b = self.board("device ttyS1 off", "serial ttyS1 7 7", modes=(10, 17))
        b.wait_writes(2, 2)
        b.do("device ttyS1 on")
        b.wait_writes(2, 3)
        b.do("serial ttyS1 8 7")
        self.wait_ticks(b, 4)
        self.assertEqual(shapes(b)[:4], ["keep", "keep", "off", "on"])


if __name__ == "__main__":
    unittest.main()
