"""Modes 5 to 10: receive and transmit activity on the two serial ports."""

import unittest

from systest import BoardCase, predict

# Counter changes made between ticks, the same on every board.
CHANGES = [
    "serial ttyS0 in 5",
    "serial ttyS0 out 3",
    "serial ttyS1 in 4",
    "serial ttyS1 out 2",
    "",  # nothing new
]
ACTIVITY = {f"mode {mode}": (mode, [], CHANGES) for mode in range(5, 11)}
ACTIVITY.update({
    "port missing": (7, ["device ttyS0 off"]),
    "driver refuses": (7, ["serial ttyS0 fail"]),
    "port that appears": (10, ["device ttyS1 off", "serial ttyS1 in 7", "serial ttyS1 out 7"],
                          ["", "device ttyS1 on", "serial ttyS1 in 1"]),
    "nothing attached": (8, []),
})
# What a port that cannot be read reports on standard error.
UNREADABLE = {"port missing": "open: No such file or directory",
              "driver refuses": "ioctl: Input/output error"}


class Serial(BoardCase):
    def test_activity_modes(self):
        boards = self.check_cases(ACTIVITY, ticks=len(CHANGES) + 1)
        for (name, kind), b in boards.items():
            if name not in UNREADABLE:
                continue
            with self.subTest(name, led=kind):
                error = UNREADABLE[name]
                failures = [log.text for log in b.logs()].count("failure getting serial stats")
                self.assertGreaterEqual(failures, 3)
                self.assertGreaterEqual(b.lines("stderr").count(error), 3)

    def test_each_led_keeps_its_own_snapshot(self):
        # Both LEDs watch ttyS0's receive count: each sees the change.
        b = self.board(modes=(5, 5))
        b.wait_writes(2, 1)
        b.do("serial ttyS0 in 9")
        mark = b.mark()
        writes = b.wait_writes(2, 1, start=mark)
        shown = predict((5, 5), [], 2, ["serial ttyS0 in 9"])[1]
        self.assertEqual(shown, ("on", "on"))
        self.assertEqual([(n, v) for _, n, v in b.leds(start=mark)], [(1, 1), (2, 1)], writes)


if __name__ == "__main__":
    unittest.main()
