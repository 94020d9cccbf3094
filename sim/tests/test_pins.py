"""Modes 1 to 4: the board's binary inputs and outputs."""

import unittest

from systest import LED_KINDS, BoardCase, predict, shapes

# The board's set-up for each pin mode, and what the first read runs.
PINS = {
    "bin0 high": (1, ["pin bin0 1"], "supported"),
    "bin0 low": (1, ["pin bin0 0"], "supported"),
    "bin1 high": (2, ["pin bin1 1"], "supported"),
    "bin1 low": (2, ["pin bin1 0"], "supported"),
    "out0 set": (3, ["pin out0 1"], "supported"),
    "out0 clear": (3, ["pin out0 0"], "supported"),
    "out1 set": (4, ["pin out1 1"], "supported"),
    "out1 clear": (4, ["pin out1 0"], "supported"),
    # A pin the board lacks reads 0: the inputs show "on", the outputs "off".
    "bin0 missing": (1, ["pin bin0 none"], "unsupported"),
    "bin1 missing": (2, ["pin bin1 none"], "unsupported"),
    "out0 missing": (3, ["pin out0 none"], "unsupported"),
    "out1 missing": (4, ["pin out1 none"], "unsupported"),
    # Without the I/O command every pin counts as missing.
    "bin0 without the command": (1, ["io off"], "no command"),
    "out1 without the command": (4, ["io off"], "no command"),
}
CHANGING = {
    "bin0 flipping": (1, ["pin bin0 1"], ["pin bin0 0", "pin bin0 1"]),
    "out0 flipping": (3, ["pin out0 0"], ["pin out0 1", "pin out0 0"]),
    # Taken away after the first read found it: the device refuses the reads.
    "bin0 taken away": (1, ["pin bin0 1"], ["pin bin0 none"]),
}
# The device's refusal of a pin the board lacks, the same on both boards.
MISSING_PIN_READ = "gpio error EINVAL"

PIN_OF_MODE = {1: "bin0", 2: "bin1", 3: "out0", 4: "out1"}


class Pins(BoardCase):
    def test_pin_modes(self):
        boards = self.check_cases({name: case[:2] for name, case in PINS.items()})
        for (name, kind), b in boards.items():
            mode, setup, support = PINS[name]
            with self.subTest(name, led=kind):
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
        boards = self.check_cases(CHANGING)
        for kind in LED_KINDS:
            self.assertIn(MISSING_PIN_READ, boards["bin0 taken away", kind].lines("ioctl"))

    def test_pin_value_written_as_read_on_led_2(self):
        b = self.board("pin out1 1", modes=(17, 4))
        self.wait_ticks(b, 2, marker=1)
        expected = [led2 for _, led2 in predict((17, 4), ["pin out1 1"], 2)]
        self.assertEqual(shapes(b, led=2, marker=1)[:2], expected)


if __name__ == "__main__":
    unittest.main()
