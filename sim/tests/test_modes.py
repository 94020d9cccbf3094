"""Every mode on both LEDs: on a board where every condition holds, and on
one where none does, one LED on the board's GPIO device and the other on a
kernel LED."""

import unittest

from systest import CLASS_LEDS, BoardCase, class_led_setting, predict

MODES = list(range(19)) + [4294967295]

EVERYTHING_ON = [
    "pin bin0 0", "pin bin1 0", "pin out0 1", "pin out1 1",
    "serial ttyS0 flowing on", "serial ttyS1 flowing on",
    "stations wlan0 1", "ssid home", "tun 0 up", "tun 0 rx 100", "sas 1",
    "service tessik_clientd connected", "service drennic listening",
]
EVERYTHING_OFF = ["pin bin0 1", "pin bin1 1", "pin out0 0", "pin out1 0", "sas 0"]
# Where everything holds LED 1 is a kernel LED, where nothing does LED 2.
KERNEL_LED = {True: class_led_setting(1, CLASS_LEDS[0]), False: class_led_setting(2, CLASS_LEDS[1])}


class EveryMode(BoardCase):
    def test_every_mode_on_both_leds(self):
        # Board k has MODES[k] on LED 1 and MODES[k + 7] on LED 2, so that
        # each mode runs on each LED once per board state, and on each kind
        # of LED.
        boards = {}
        for board_on, setup in ((True, EVERYTHING_ON), (False, EVERYTHING_OFF)):
            for k, mode in enumerate(MODES):
                modes = (mode, MODES[(k + 7) % len(MODES)])
                boards[board_on, modes] = self.board(KERNEL_LED[board_on], *setup, modes=modes)
        for (board_on, modes), b in boards.items():
            # The serial modes need one tick for their first reading.
            b.wait_writes(1, 3, timeout=20)
            b.wait_writes(2, 3, timeout=20)
            setup = [KERNEL_LED[board_on]] + (EVERYTHING_ON if board_on else EVERYTHING_OFF)
            third = predict(modes, setup, 3)[2]
            for led, mode in ((1, modes[0]), (2, modes[1])):
                with self.subTest(board_on=board_on, led=led, mode=mode):
                    values = [v for _, v in b.leds(led)]
                    self.assertEqual(values[2], {"on": 1, "off": 0}[third[led - 1]], values)
                    self.assertEqual(b.logs()[0].text, "started")
                    self.assertEqual(len(b.logs()), 1, b.logs())


if __name__ == "__main__":
    unittest.main()
