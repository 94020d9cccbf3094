"""Modes 1 to 4: the board's binary inputs and outputs."""

import unittest

from systest import BoardCase, shapes

# mode, board set-up, LED value every tick, what the first read runs.
CASES = [
    (1, ["pin bin0 1"], "off", "supported"),
    (1, ["pin bin0 0"], "on", "supported"),
    (2, ["pin bin1 1"], "off", "supported"),
    (2, ["pin bin1 0"], "on", "supported"),
    (3, ["pin out0 1"], "on", "supported"),
    (3, ["pin out0 0"], "off", "supported"),
    (4, ["pin out1 1"], "on", "supported"),
    (4, ["pin out1 0"], "off", "supported"),
    # A pin the board lacks reads 0: the inputs show "on", the outputs "off".
    (1, ["pin bin0 none"], "on", "unsupported"),
    (2, ["pin bin1 none"], "on", "unsupported"),
    (3, ["pin out0 none"], "off", "unsupported"),
    (4, ["pin out1 none"], "off", "unsupported"),
    # Without the I/O command every pin counts as missing.
    (1, ["io off"], "on", "no command"),
    (4, ["io off"], "off", "no command"),
]

PIN_OF_MODE = {1: "bin0", 2: "bin1", 3: "out0", 4: "out1"}


class Pins(BoardCase):
    def test_pin_modes(self):
        boards = [self.board(*setup, modes=(mode, 17)) for mode, setup, _, _ in CASES]
        for b, (mode, setup, expected, support) in zip(boards, CASES):
            with self.subTest(mode=mode, setup=setup):
                self.wait_ticks(b, 3)
                self.assertEqual(shapes(b)[:3], [expected] * 3)
                pin = PIN_OF_MODE[mode]
                io_runs = self.calls(b).count(f"io get {pin}")
                reads = b.lines("ioctl")
                if support == "supported":
                    # The command answers the first read; the device the others.
                    self.assertEqual(io_runs, 1)
                    self.assertGreaterEqual(reads.count(f"gpio {pin} {setup[0][-1]}"), 2)
                else:
                    self.assertEqual(io_runs, 1 if support == "unsupported" else 0)
                    self.assertEqual(reads, [])

    def test_pin_changes_show_on_the_next_tick(self):
        steps = {
            1: [("pin bin0 1", "off"), ("pin bin0 0", "on"), ("pin bin0 1", "off")],
            3: [("pin out0 0", "off"), ("pin out0 1", "on"), ("pin out0 0", "off")],
        }
        boards = {mode: self.board(modes=(mode, 17)) for mode in steps}
        for mode, b in boards.items():
            b.do(steps[mode][0][0])
        for tick in range(1, 3):
            for mode, b in boards.items():
                b.wait_writes(2, tick + 1)
                b.do(steps[mode][tick][0])
        for mode, b in boards.items():
            with self.subTest(mode=mode):
                self.wait_ticks(b, 4)
                # Tick 1 ran before the first change could land.
                self.assertEqual(shapes(b)[2:4], [s[1] for s in steps[mode][1:]])

    def test_pin_value_written_as_read_on_led_2(self):
        b = self.board("pin out1 1", modes=(17, 4))
        self.wait_ticks(b, 2, marker=1)
        self.assertEqual(shapes(b, led=2, marker=1)[:2], ["on", "on"])


if __name__ == "__main__":
    unittest.main()
