"""Kernel LEDs (MOD_NORVASK_LED, MOD_NORVASK_LED2) on the board's own LED
class: triggers found at start and set by others, max_brightness, LEDs
refused, missing, shared or gone. The clock steps: each tick runs when
asked, so that every change lands between two ticks. (Every mode on kernel
LEDs is in the mode tables, which run on both kinds of LED.)"""

import unittest

from board import CLASS_LEDS_DIR
from systest import CLASS_LEDS, BoardCase, class_led_setting

GREEN, RED = CLASS_LEDS


def sysfs_writes(b, start=0, file=""):
    """The calls on the LEDs' files the board reported besides brightness
    writes by an LED's descriptor, on files whose path ends in `file`:
    (file, what), a written newline dropped."""
    found = []
    for e in b.snapshot()[start:]:
        if e.kind == "sysfs" and e.words[0].endswith(file):
            path, what = e.rest.split(" ", 1)
            found.append((path, what.replace("\\x0a", "")))
    return found


def triggers_written(b, start=0):
    return [what for _, what in sysfs_writes(b, start, "/trigger")]


def led_writes(b, start=0):
    return [(n, value) for _, n, value in b.leds(start=start)]


class KernelLeds(BoardCase):
    def stepped(self, *setup, modes=(17, 17), leds=None):
        """A board on a stepping clock, `leds` (LED -> kernel LED name) in its
        settings and `setup` done, its daemon started and through tick 1."""
        lines = [class_led_setting(n, name) for n, name in (leds or {}).items()]
        b = self.board(*lines, *setup, "clock step", modes=modes, start=False, fast_clock=True)
        start = b.mark()
        b.start()
        b.wait_for(lambda e: e.kind in ("asleep", "exit"), start=start)
        return b

    def write_setting(self, b, led, file, text):
        """Another program writes a trigger's setting (a shell on the board
        cannot: only pwrite reaches the board's LED files)."""
        with open(b.path(f"{CLASS_LEDS_DIR}/{led}/{file}"), "w") as f:
            f.write(text)

    def ticks(self, b, count):
        """Runs `count` more ticks; the mark before them."""
        before = b.mark()
        for _ in range(count):
            start = b.mark()
            b.send("tick")
            b.wait_for(lambda e: e.kind == "asleep", start=start)
        return before

    def stop(self, b):
        start = b.mark()
        b.do("signal TERM")
        b.send("tick")
        self.assertStopped(b, start=start)

    def notices(self, b, led):
        return [log.text for log in b.logs() if log.ident == "norvaskd"
                and log.text.startswith(f"LED {led}")]

    def test_the_board_has_its_own_leds_beside_the_hosts_other_classes(self):
        b = self.board(start=False)
        status, out = b.run(f"ls {CLASS_LEDS_DIR}; ls {CLASS_LEDS_DIR}/{GREEN}; "
                            "test -d /sys/class/net/lo && echo net")
        self.assertEqual((status, out.split()),
                         (0, [GREEN, RED, "brightness", "max_brightness", "trigger", "net"]))
        self.assertEqual(b.class_led(RED), (0, 255, "none"))

    def test_trigger_found_at_start_is_taken_and_given_back(self):
        # name -> the trigger found, its settings as another program left
        # them, the modes (0 0: the daemon ends at once)
        cases = {
            "timer": ("timer", {"delay_on": "100\n"}, (17, 18)),
            "netdev": ("netdev", {"device_name": "wlan0\n", "interval": "1000\n"}, (17, 18)),
            "timer, nothing to show": ("timer", {"delay_off": "2000\n"}, (0, 0)),
        }
        boards = {}
        for name, (trigger, settings, modes) in cases.items():
            b = boards[name] = self.board(f"led-trigger {GREEN} {trigger}",
                                          class_led_setting(1, GREEN), "clock step",
                                          modes=modes, start=False, fast_clock=True)
            for file, text in settings.items():
                self.write_setting(b, GREEN, file, text)
            b.start()
        for name, b in boards.items():
            trigger, settings, modes = cases[name]
            with self.subTest(name):
                if modes != (0, 0):
                    b.wait_for(lambda e: e.kind == "asleep")
                    self.ticks(b, 1)
                    # Taken: on is max_brightness, under no trigger.
                    self.assertEqual(b.class_led(GREEN), (255, 255, "none"))
                    self.assertEqual(led_writes(b), [(1, 1), (2, 0)] * 2)
                    self.stop(b)
                else:
                    self.assertStopped(b)
                    self.assertEqual(led_writes(b), [(1, 0), (2, 0)])
                # Taken at start, not as one another program set later.
                self.assertEqual(self.notices(b, 1), [])
                # Given back as found, its settings too.
                self.assertEqual(b.class_led(GREEN)[2], trigger)
                self.assertEqual(triggers_written(b), ["write none", f"write {trigger}"])
                for file, text in settings.items():
                    self.assertEqual(self.read_sandbox(b, f"{CLASS_LEDS_DIR}/{GREEN}/{file}"),
                                     text)

    def test_trigger_set_by_another_program_is_taken_back(self):
        b = self.stepped(leds={1: GREEN})
        b.do(f"led-trigger {GREEN} timer")
        start = self.ticks(b, 2)
        self.assertEqual(b.class_led(GREEN), (255, 255, "none"))
        self.assertEqual(triggers_written(b, start), ["write none"])
        self.assertEqual(len(self.notices(b, 1)), 1, b.logs())
        self.assertIn("timer", self.notices(b, 1)[0])
        # LED 2 on the board's GPIO device goes on as ever.
        self.assertEqual(led_writes(b, start).count((2, 1)), 2)
        self.ticks(b, 2)
        self.assertEqual(len(self.notices(b, 1)), 1, b.logs())
        self.stop(b)
        self.assertEqual(b.class_led(GREEN)[2], "none")

    def test_on_is_max_brightness(self):
        b = self.stepped(f"led-class {GREEN} 1", f"led-class {RED} 65535",
                         leds={1: GREEN, 2: RED})
        start = self.ticks(b, 1)
        self.assertEqual(led_writes(b, start), [(1, 1), (2, 1)])
        self.assertEqual(b.class_led(GREEN), (1, 1, "none"))
        self.assertEqual(b.class_led(RED), (65535, 65535, "none"))
        self.stop(b)

    def test_refused_and_missing_leds_are_never_written(self):
        long_name = "x" * 64
        names = {
            "missing": "nosuch:led",
            "empty": "",
            "dot": ".",
            "dot dot": "..",
            "a path to a served LED": f"../leds/{GREEN}",
            "a slash after a served LED": f"{GREEN}/",
            "longer than 63 bytes, though there": long_name,
        }
        boards = {name: self.stepped(f"led-class {long_name}", leds={1: led, 2: RED})
                  for name, led in names.items()}
        for name, b in boards.items():
            with self.subTest(name):
                self.ticks(b, 1)
                # LED 1 is not written, not on the GPIO device either; LED 2 is.
                self.assertEqual(led_writes(b), [(2, 1), (2, 1)])
                self.assertEqual(sysfs_writes(b), [])
                for led in (GREEN, long_name):
                    self.assertEqual(b.class_led(led), (0, 255, "none"))
                self.assertEqual(len(self.notices(b, 1)), 1, b.logs())
                self.stop(b)

    def test_both_leds_on_one_kernel_led(self):
        b = self.stepped(f"led-trigger {GREEN} timer", modes=(17, 18), leds={1: GREEN, 2: GREEN})
        start = self.ticks(b, 2)
        # Each LED writes through its own descriptor: LED 2, last, wins.
        self.assertEqual(led_writes(b, start), [(1, 1), (2, 0)] * 2)
        self.assertEqual(b.class_led(GREEN), (0, 255, "none"))
        self.stop(b)
        # LED 1 found the timer, LED 2 no trigger: given back in reverse order.
        self.assertEqual(b.class_led(GREEN)[2], "timer")
        self.assertEqual(triggers_written(b), ["write none", "write timer"])

    def test_led_that_goes_leaves_the_other_going(self):
        b = self.stepped(leds={1: GREEN})
        b.do(f"led-class {GREEN} gone")
        start = self.ticks(b, 3)
        self.assertEqual(led_writes(b, start), [(2, 1)] * 3)
        self.assertIn((f"{GREEN}/brightness", "write 255 error ENODEV"), sysfs_writes(b, start))
        self.assertEqual(len(self.notices(b, 1)), 1, b.logs())
        self.stop(b)


if __name__ == "__main__":
    unittest.main()
