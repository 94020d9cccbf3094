"""The live view's board panel (sim/view.py): each key's lines go to the
board, and the panel says what the model fed the board's confirmations
makes of them."""

import os
import re
import subprocess
import sys
import tempfile

from systest import BoardCase
from view import KEYS, View, describe, toggle, words_from_program

VIEW = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "view.py")

# What the panel says of a fresh board, and after the key is pressed once.
PANEL = {
    "1": ("open", "closed"), "2": ("open", "closed"), "3": ("on", "off"), "4": ("on", "off"),
    "s": ("quiet", "flowing"), "S": ("quiet", "flowing"),
    "w": ("nobody connected", "1 connected"), "c": ("not connected", 'connected to "home"'),
    "t": ("quiet", "flowing"), "o": ("down", "up, data received"),
    "i": ("not established", "1 up"), "r": ("not running", "connected"),
    "p": ("not running", "listening"),
}


class Panel(BoardCase):
    def test_each_key_pressed_twice(self):
        b = self.board(start=False)
        view = View(b, (11, 13))
        self.assertEqual(set(PANEL), set(KEYS))
        for key, (fresh, pressed) in PANEL.items():
            with self.subTest(key=key):
                for shown in (fresh, pressed, "waiting, not connected" if key == "r" else fresh):
                    view.absorb()
                    self.assertEqual(describe(view.model, key), shown)
                    b.do(*toggle(view.model, key))


class Words(BoardCase):
    def test_the_modes_are_told_in_the_status_tools_words(self):
        status = os.environ.get("NORVASK_STATUS")
        if not status:
            self.skipTest("set NORVASK_STATUS")
        words = words_from_program(status)
        self.assertEqual(sorted(words), list(range(18)))
        view = View(self.board(start=False), (11, 0), words=words)
        screen = view.render()
        for text in ("mode 11: Wi-Fi hotspot", "wlan0 or wlan02", "Blinks when: data flows",
                     "mode 0: not used", "Never on"):
            self.assertIn(text, screen)


class Escaping(BoardCase):
    def test_board_text_reaches_the_terminal_escaped(self):
        # An SSID is chosen by whoever runs the network: one that clears the
        # screen and retitles the terminal, as a caption and in the panel.
        evil = "\x1b[2J\x1b]0;owned\x07\u202e\x9b"
        b = self.board(start=False)
        view = View(b, (12, 17))
        b.do(f"ssid {evil}", f"say {evil}")
        view.absorb()
        shown = r"\x1b[2J\x1b]0;owned\x07\u202e\u009b"
        self.assertEqual(describe(view.model, "c"), f'connected to "{shown}"')
        self.assertEqual(view.caption, shown)
        screen = view.render()
        for raw in ("\x1b[2J", "\x1b]", "\x07", "\u202e", "\x9b"):
            self.assertNotIn(raw, screen)


class EventLog(BoardCase):
    def test_every_event_written_as_printed_and_escaped(self):
        self.board(start=False)  # skips where the board cannot run
        evil = "\x1b]0;owned\x07\u202e"
        with tempfile.TemporaryDirectory() as tmp:
            scenario, events = os.path.join(tmp, "scenario"), os.path.join(tmp, "events")
            with open(scenario, "w") as f:
                f.write(f"say {evil}\n")
            subprocess.run([sys.executable, VIEW, "--board", os.environ["NORVASK_BOARD"],
                            "--daemon", os.environ["NORVASK_SIM_DAEMON"], "--scenario", scenario,
                            "--for", "2.5", "--events", events, "17", "17"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True,
                           timeout=60)
            with open(events, encoding="utf-8") as f:
                text = f.read()
        for raw in ("\x1b", "\x07", "\u202e"):
            self.assertNotIn(raw, text)
        lines = text.splitlines()
        for line in lines:
            self.assertRegex(line, r"^\d+\.\d{6} [a-z-]+( |$)")
        kinds = [re.sub(r"^\S+ ", "", line) for line in lines]
        self.assertIn(r"say \x1b]0;owned\x07\u202e", kinds)
        # Written once the board has closed: the daemon's end is there.
        for kind in ("led 1 1", "led 2 1", "asleep", "exit 0"):
            self.assertIn(kind, kinds)
