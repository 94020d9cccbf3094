"""Start-up, the tick loop, stopping, and the daemon's hygiene, through the
real binary on a simulated board."""

import os
import time
import unittest

from systest import BLINK, TICK_MAX, TICK_MIN, BoardCase, predict, shapes


class StartUp(BoardCase):
    def test_nothing_to_show_switches_both_leds_off_and_ends(self):
        # name -> board set-up, a shell command that then lays out the settings path
        settings = "/opt/norvask/etc/settings"
        cases = {
            "no settings file": (["no-settings"], None),
            "both modes 0": (["modes 0 0"], None),
            "neither key set": (["settings # nothing for us", "settings OTHER_KEY=5"], None),
            # Not a regular file, whatever it would give: unreadable, at once.
            "settings a link to /dev/zero": (["no-settings"], f"ln -s /dev/zero {settings}"),
            "settings a FIFO": (["no-settings"], f"mkfifo {settings}"),
            "settings a directory": (["no-settings"], f"mkdir {settings}"),
        }
        boards = {}
        for name, (setup, prepare) in cases.items():
            b = boards[name] = self.board(*setup, start=False)
            if prepare:
                self.assertEqual(b.run(prepare), (0, ""))
            b.start()
        for name, b in boards.items():
            with self.subTest(name):
                self.assertEqual(b.wait_exit(), ("exit", "0"))
                snapshot = [e for e in b.snapshot() if e.kind in ("led", "log", "stderr", "exit")]
                events = [(e.kind, e.rest.split(" ", 5)[-1] if e.kind == "log" else e.rest)
                          for e in snapshot]
                self.assertEqual(
                    events,
                    [("log", "started"), ("led", "1 0"), ("led", "2 0"),
                     ("log", "stopped"), ("exit", "0")])
                # Without a signal, and well within a tick.
                self.assertLess(snapshot[-1].time - snapshot[0].time, TICK_MIN)

    def test_logs_start_and_stop_under_its_name_and_pid(self):
        b = self.board(modes=(17, 0))
        started = b.wait_log("started")
        b.wait_writes(2, 1)
        b.do("signal TERM")
        stopped = b.wait_log("stopped")
        self.assertEqual(b.wait_exit(), ("exit", "0"))
        for log in (started, stopped):
            with self.subTest(log.text):
                self.assertEqual(
                    (log.facility, log.severity, log.ident), ("daemon", "notice", "norvaskd"))
                # The PID in the message is the one the kernel vouches for.
                self.assertEqual(log.pid, b.daemon_pid)
                self.assertEqual(log.sender, b.daemon_pid)

    def test_logs_under_a_default_name_when_started_without_one(self):
        boards = {how: self.board(modes=(17, 0), start=False)
                  for how in ("no-arguments", "empty-name")}
        for how, b in boards.items():
            with self.subTest(how):
                b.start(how=how)
                started = b.wait_log("started")
                self.assertEqual((started.ident, started.pid), ("norvaskd", b.daemon_pid))
                b.do("signal TERM")
                self.assertStopped(b)

    def test_stop_pending_at_start(self):
        # SIGTERM blocked and pending across the exec: it must reach our
        # handler, not kill the daemon, and end it before the first tick
        # (after the LEDs are switched off when both modes are 0).
        cases = {
            (17, 0): [],
            (0, 0): [("led", "1 0"), ("led", "2 0")],
        }
        boards = {modes: self.board(modes=modes, start=False) for modes in cases}
        for modes, b in boards.items():
            b.start(how="stop-pending")
        for modes, b in boards.items():
            with self.subTest(modes=modes):
                self.assertEqual(b.wait_exit(), ("exit", "0"))
                events = [(e.kind, e.rest.split(" ", 5)[-1] if e.kind == "log" else e.rest)
                          for e in b.snapshot() if e.kind in ("led", "log", "stderr", "exit")]
                self.assertEqual(
                    events,
                    [("log", "started")] + cases[modes] + [("log", "stopped"), ("exit", "0")])

    def test_each_led_written_every_tick_in_order(self):
        cases = [(0, 17), (17, 0), (18, 17), (4294967295, 18)]
        boards = {modes: self.board(modes=modes) for modes in cases}
        for modes in cases:
            with self.subTest(modes=modes):
                b = boards[modes]
                b.wait_writes(2, 3)
                writes = b.leds()[:6]
                # LED 1, then LED 2, once a tick.
                value = {"on": 1, "off": 0}
                expected = [w for led1, led2 in predict(modes, [], 3)
                            for w in ((1, value[led1]), (2, value[led2]))]
                self.assertEqual([(n, v) for _, n, v in writes], expected)
                gaps = [writes[i + 2][0] - writes[i][0] for i in (0, 2)]
                for gap in gaps:
                    self.assertTrue(TICK_MIN < gap < TICK_MAX, gaps)

    def test_each_tick_ends_asleep_once(self):
        """The sleep that ends a tick is reported once, after LED 2's write,
        on the normal clock (where it still lasts its second) and on the
        fast one; the blink sequence's shorter sleeps are not."""
        if os.environ.get("NORVASK_SIM_DEVICES") == "none":
            self.skipTest("the board sees the daemon's sleeps through its filter only")
        blinking = ["stations wlan0 1", "traffic wlan0 on"]
        boards = {"normal": self.board(*blinking, modes=(11, 17)),
                  "fast": self.board(*blinking, modes=(11, 17), fast_clock=True)}
        ticks = 4
        for clock, b in boards.items():
            with self.subTest(clock):
                b.wait_writes(2, ticks + 1)
                marks = []
                for e in b.snapshot():
                    mark = {"led": e.words[0] if e.kind == "led" else None,
                            "asleep": "z"}.get(e.kind)
                    if mark and not (mark == "1" and marks and marks[-1][0] == "1"):
                        marks.append((mark, e.time))
                self.assertEqual("".join(m for m, _ in marks)[:3 * ticks], "12z" * ticks)
                # Mode 11 blinks from the second tick on.
                self.assertGreater(len(b.leds(1)), ticks + 2)
                if clock == "normal":
                    for (m, slept), (_, woke) in zip(marks, marks[1:]):
                        if m == "z":
                            self.assertGreater(woke - slept, TICK_MIN)

    def test_gpio_device_opened_once_it_appears(self):
        b = self.board("device gpio off", modes=(17, 17))
        b.wait_log("started")
        time.sleep(2.2)
        self.assertEqual(b.leds(), [])
        # Nothing is logged about a missing device.
        self.assertEqual([log.text for log in b.logs()], ["started"])
        b.do("device gpio on")
        b.wait_writes(2, 1)
        # The descriptor is kept: removing the file no longer matters.
        b.do("device gpio off")
        mark = b.mark()
        b.wait_writes(2, 2, start=mark)
        fd_dir = b.path(f"/proc/{b.daemon_pid}/fd")
        targets = [os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)]
        self.assertEqual([t for t in targets if t.startswith("/dev/gpio")], ["/dev/gpio (deleted)"])


class Stopping(BoardCase):
    def test_stop_signals_end_the_sleep(self):
        signals = ["INT", "TERM", "QUIT"]
        boards = {sig: self.board(modes=(17, 0)) for sig in signals}
        sent = {}
        for sig, b in boards.items():
            b.wait_writes(2, 2)
            time.sleep(0.2)
            sent[sig] = b.mark()
            b.do(f"signal {sig}")
        for sig, b in boards.items():
            with self.subTest(sig):
                mark = sent[sig]
                signal_time = b.snapshot()[mark].time
                stopped = b.wait_log("stopped", start=mark)
                self.assertEqual(b.wait_exit(start=mark), ("exit", "0"))
                # The sleep is cut short and the LEDs are left as they were.
                self.assertLess(stopped.time - signal_time, 0.5)
                self.assertEqual(b.leds(start=mark), [])

    def test_signal_during_blink_completes_the_tick(self):
        signals = ["INT", "TERM", "QUIT"]
        boards = {sig: self.board("ssid home", "traffic wlan1 on", modes=(12, 17))
                  for sig in signals}
        marks = {}
        for sig, b in boards.items():
            # Tick 1 takes the first counter reading; tick 2 blinks.
            b.wait_writes(2, 1)
            marks[sig] = b.mark()
        for sig, b in boards.items():
            b.wait_writes(1, 2, start=marks[sig])
            # Into the middle of the 125 ms sleep that follows the second write.
            time.sleep(0.05)
            b.send(f"signal {sig}")
        for sig, b in boards.items():
            with self.subTest(sig):
                mark = marks[sig]
                self.assertStopped(b, start=mark)
                sent = b.wait_for(lambda e, s=sig: e.rest == f"signal {s}", start=mark).time
                after = b.leds(start=mark)
                # All eight writes of the blink, then LED 2's evaluation, then the end.
                self.assertEqual([(n, v) for _, n, v in after], [(1, v) for v in BLINK] + [(2, 1)])
                # The sleep the signal fell into is cut short: the step of the
                # blink that holds the signal is shorter than every other one
                # (each a whole 125 ms sleep), however busy the machine.
                times = [t for t, n, _ in after if n == 1]
                steps = [(later - earlier, earlier <= sent < later)
                         for earlier, later in zip(times, times[1:])]
                cut = [step for step, holds in steps if holds]
                self.assertEqual(len(cut), 1, steps)
                self.assertLess(cut[0], min(step for step, holds in steps if not holds), steps)

    def test_blink_sequence_timing(self):
        b = self.board("stations wlan0 1", "traffic wlan0 on", modes=(11, 17))
        self.wait_ticks(b, 3)
        ticks = shapes(b)
        self.assertEqual(ticks[1:3], ["blink", "blink"], ticks)
        mark = [e.index for e in b.snapshot() if e.kind == "led" and e.words == ["2", "1"]][0]
        writes = b.leds(start=mark + 1)[:9]
        self.assertEqual([n for _, n, _ in writes], [1] * 8 + [2])
        steps = [writes[i + 1][0] - writes[i][0] for i in range(8)]
        # Eight writes 125 ms apart; LED 2 follows the last sleep.
        for step in steps:
            self.assertTrue(0.11 < step < 0.25, steps)


class Hygiene(BoardCase):
    def test_started_with_output_and_error_closed(self):
        # A pin check reads the I/O command through a pipe: with descriptors
        # 1 and 2 closed that pipe must not take their numbers.
        b = self.board("pin bin0 1", "device ttyS0 off", modes=(1, 5), closed=True)
        b.wait_count(lambda e: e.kind == "log" and e.rest.endswith("failure getting serial stats"),
                     3, timeout=8)
        self.assertEqual([v for _, v in b.leds(1)][:3], [0, 0, 0])
        self.assertEqual(b.lines("stderr"), [])
        self.assertEqual(self.calls(b).count("io get bin0"), 1)
        # The daemon filled the gaps with /dev/null.
        for fd in range(3):
            self.assertEqual(os.readlink(b.path(f"/proc/{b.daemon_pid}/fd/{fd}")), "/dev/null")
        b.do("signal TERM")
        self.assertStopped(b)

    def test_many_ticks_leave_no_descriptor_or_zombie(self):
        # Every kind of probe, on a clock that skips the daemon's sleeps.
        cases = {
            (11, 13): ["stations wlan0 1", "stations wlan02 2", "traffic wlan0 on", "tun 0 up",
                       "tun 1 up", "tun 1 rx 100"],
            (12, 14): ["ssid home", "traffic wlan1 on", "swanctl on", "sas 1"],
            (3, 15): ["service tessik_clientd connected"],
            (7, 16): ["serial ttyS0 flowing on", "service drennic listening"],
        }
        boards = {}
        for modes, setup in cases.items():
            b = self.board(*setup, modes=modes, fast_clock=True)
            b.do("clock normal")
            boards[modes] = b
        baseline = {}
        for modes, b in boards.items():
            b.wait_writes(2, 1)
            time.sleep(0.2)
            baseline[modes] = b.inspect()
            b.do("clock fast")
        for modes, b in boards.items():
            with self.subTest(modes=modes):
                b.wait_writes(2, 150, timeout=60)
                b.do("clock normal")
                mark = b.mark()
                b.wait_writes(2, 1, start=mark)
                time.sleep(0.2)
                after = b.inspect()
                self.assertEqual(after, baseline[modes])
                self.assertEqual(after["children"], "0")
                self.assertEqual(after["zombies"], "0")


if __name__ == "__main__":
    unittest.main()
