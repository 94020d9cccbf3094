"""The system tests' tables on the emulated arm64 router: one boot, the
router package installed as on a router, and every case of every mode
family in turn against the real hostapd, wpa_supplicant, OpenVPN, charon,
busybox and net-tools. The case's mode is on one of the router's kernel
LEDs (leds-gpio on its PL061; what the kernel set, read from its trace),
LED 1's and LED 2's by turns, the other LED always on, on the board's GPIO
device. What each shows in each tick (ticks end where the daemon falls
asleep) must be what the model (sim/model.py) predicts, exactly as on the
simulated board, and a kernel LED's blink must take the kernel's time. A case that
needs what the emulated router cannot do (a driver refusing, a missing
interface) is skipped with the board's reason. The owner's page is tried in
a browser in the same boot (web/tests/browser.py's cases, mixed in).

NORVASK_VM_PACKAGE names the package to install (default: the driver's,
build-aarch64/norvask-<version>-aarch64.tar.gz), NORVASK_VM_STATIC_PACKAGE
the static one, which the start script's case also runs."""

import glob
import json
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "sim", "tests"))
sys.path.insert(0, os.path.join(ROOT, "sim"))
sys.path.insert(0, os.path.join(ROOT, "web", "tests"))

import test_pins  # noqa: E402
import test_serial  # noqa: E402
import test_vpn  # noqa: E402
import test_wifi  # noqa: E402
from board import (CLASS_LEDS, Board, BoardError, Refused, class_led_setting,  # noqa: E402
                   led_value)
from browser import WebPage, free_port  # noqa: E402
from model import BLINK, predict, shape  # noqa: E402
from systest import shapes  # noqa: E402

FAMILIES = {
    "pins": {name: case[:2] for name, case in test_pins.PINS.items()} | test_pins.CHANGING,
    "serial": test_serial.ACTIVITY,
    "access point": test_wifi.ACCESS_POINT,
    "client": test_wifi.CLIENT,
    # The router refuses to name its radios anew: those cases are skipped
    # with its reason; the names the daemon refuses are played.
    "radio names": test_wifi.RADIO_NAMES,
    "openvpn": test_vpn.OPENVPN,
    "ipsec": test_vpn.IPSEC,
    "services": test_vpn.SERVICES,
}
# What makes the router's state the model's starting point: one IPsec tool.
BASELINE = ["swanctl off"]
# A kernel LED's blink: eight values 125 ms apart by the kernel's clock.
# Each step is the daemon's sleep and more: the board answers each sleep
# (its device filter), under emulation, on a busy machine (at a load of 15
# on two cores steps of 0.14 to 0.26 s were seen, half of them above 0.2 s).
# So a step is never shorter than the sleep, and the usual step shorter
# than two.
BLINK_STEP_MIN, BLINK_STEP_MEDIAN_MAX = 0.115, 0.25
# How long a tick may take under emulation, and the boot.
TICK_SECONDS = 8
BOOT_SECONDS = 240


def undo(line):
    """The lines that take back what `line` did to the board."""
    words = line.split()
    if not words:
        return []
    verb, args = words[0], words[1:]
    back = {
        "stations": lambda: [f"stations {args[0]} 0"],
        "ssid": lambda: ["ssid none"],
        "traffic": lambda: [f"traffic {args[0]} off"] if args[1] == "on" else [],
        "tun": lambda: [f"tun {args[0]} down"] if args[1] == "up" else [],
        "sas": lambda: ["sas 0"],
        "service": lambda: [f"service {args[0]} down"],
        "pin": lambda: [f"pin {args[0]} 1"],
        "io": lambda: ["io on"],
        "stroke": lambda: ["stroke on"],
        "swanctl": lambda: ["swanctl off"],
        "device": lambda: [f"device {args[0]} on"],
        "kill": lambda: [f"restart {args[0]}"],
        "stop": lambda: [f"restart {args[0]}"],
        "gpio": lambda: ["gpio ok"],
        "tool": lambda: [f"tool {args[0]} normal"],
    }.get(verb)
    return back() if back else []


def piece(line):
    """The piece of the router's world that `line` sets to a state
    ("stations wlan0", "sas"), which setting it again changes as a whole;
    None for an event (data through a tunnel, a program killed)."""
    words = line.split()
    if words[0] in ("sas", "ssid"):
        return words[0]
    if words[0] == "tun" and words[2] in ("up", "down"):
        return " ".join(words[:2])
    if words[0] in ("stations", "traffic", "service", "pin", "device", "io", "stroke",
                    "swanctl", "tool"):
        return " ".join(words[:2])
    return None


def package():
    """The router package the tests install: NORVASK_VM_PACKAGE's, or the
    newest one scripts/package built."""
    if os.environ.get("NORVASK_VM_PACKAGE"):
        return os.environ["NORVASK_VM_PACKAGE"]
    return sorted(glob.glob(os.path.join(ROOT, "build-aarch64", "norvask-*-aarch64.tar.gz")))[-1]


def router_command(web_port):
    command = [sys.executable, os.path.join(ROOT, "vm", "router.py"), "--package", package(),
               "--web", str(web_port)]
    if os.environ.get("NORVASK_VM_STATIC_PACKAGE"):
        command += ["--offer", os.environ["NORVASK_VM_STATIC_PACKAGE"]]
    return command


class EmulatedRouter(WebPage, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The owner's page in a browser shares this boot (WebPage's cases).
        cls.web_port = free_port()
        cls.board = Board(router_command(cls.web_port))
        began = time.monotonic()
        cls.board.open(timeout=BOOT_SECONDS)
        cls.boot_seconds = time.monotonic() - began
        print(f"\nthe emulated router is ready after {cls.boot_seconds:.1f} s", file=sys.stderr)
        cls.board.do(*BASELINE, timeout=60)
        # What the cases made of the world and did not take back (settle).
        cls.made = []

    @classmethod
    def tearDownClass(cls):
        cls.close_browser()
        cls.board.close(timeout=30)

    def run_case(self, modes, setup, changes=(), kinds=("gpio", "gpio")):
        """One case: the daemon started with LED 1 and LED 2, of the `kinds`
        of LED, on `modes`, on a board set up with `setup`, changes[k] made
        while it is held after tick k + 1; the LEDs' shapes against the
        model's. What it made of the world is left for the next case to
        settle. The case's events from and to, as marks."""
        b = self.board
        ticks = max(2, len(changes) + 1)
        leds = [class_led_setting(n, CLASS_LEDS[n - 1])
                for n, kind in enumerate(kinds, 1) if kind == "class"]
        made = type(self).made
        try:
            b.do("modes {} {}".format(*modes), *leds)
            self.make(self.settle(setup), made)
            start = b.mark()
            b.start(timeout=30)
            for k, change in enumerate(changes):
                self.wait_ticks(start, k + 1)
                if change:
                    # Held in its sleep while the board changes, however long
                    # the change takes: the next tick sees all of it.
                    b.do("signal STOP")
                    try:
                        self.make([change], made)
                    finally:
                        b.do("signal CONT")
            writes = self.ticks(start, ticks)
            expected = predict(modes, leds + setup, ticks, changes)
            self.assertEqual([(shape(self.values(t, 1)), shape(self.values(t, 2))) for t in writes],
                             expected)
            for tick in writes:
                self.assert_in_order(tick)
                for n, kind in enumerate(kinds, 1):
                    if kind == "class":
                        self.assert_blink_steps([(t, v) for t, led, v in tick if led == n])
        finally:
            self.stop_daemon()
        return start, b.mark()

    def stop_daemon(self):
        """Ends the daemon the board started, if it still runs."""
        b = self.board
        if b.daemon_pid is not None:
            stop = b.mark()
            b.do("signal TERM")
            b.wait_exit(start=stop, timeout=TICK_SECONDS * 2)
            b.daemon_pid = None

    def settle(self, setup=()):
        """Takes the router's world from what the cases before made to what
        `setup` makes; the lines of `setup` still to make. A piece of the
        world that `setup` sets alike is kept as it is, one it sets
        otherwise is left for it to set, the rest is taken back; all of it
        after an event, whose traces (a tunnel's counters, a restarted
        program) no later case expects."""
        made = type(self).made
        wanted = {piece(line): line for line in setup}
        whole = any(piece(line) is None for line in made)
        for line in reversed(list(made)):
            if whole or piece(line) not in wanted:
                self.board.do(*undo(line), timeout=60)
                made.remove(line)
            elif wanted[piece(line)] != line:
                made.remove(line)
        return [line for line in setup if line not in made]

    def wait_ticks(self, start, count):
        """Waits until the daemon has fallen asleep `count` times from `start` on."""
        self.board.wait_count(lambda e: e.kind == "asleep", count, start=start,
                              timeout=TICK_SECONDS * (count + 1))

    def ticks(self, start, count):
        """The LED writes, as (time, LED, value), of each of the first
        `count` ticks from `start` on, each tick ended by the daemon falling
        asleep, as the last of its list: (time, 0, "asleep")."""
        self.wait_ticks(start, count)
        ticks, current = [], []
        for e in self.board.snapshot()[start:]:
            if e.kind == "asleep":
                ticks.append(current + [(e.time, 0, "asleep")])
                current = []
            elif e.kind == "led":
                current.append((e.time, int(e.words[0]), led_value(e.words[1])))
        return ticks[:count]

    @staticmethod
    def values(tick, led):
        return [v for _, n, v in tick if n == led]

    def assert_in_order(self, tick):
        """LED 1 acts before LED 2 in a tick, and the kernel's times of a
        kernel LED's values fall where the board saw the other LED's and the
        daemon falling asleep."""
        leds = [n for _, n, _ in tick[:-1]]
        self.assertEqual(leds, sorted(leds), tick)
        self.assertEqual([t for t, _, _ in tick], sorted(t for t, _, _ in tick), tick)

    def assert_blink_steps(self, writes):
        """A kernel LED's blink, by the kernel's clock: eight values 125 ms
        apart, ending on."""
        if [v for _, v in writes] != BLINK:
            return
        steps = [round(b[0] - a[0], 3) for a, b in zip(writes, writes[1:])]
        self.assertGreater(min(steps), BLINK_STEP_MIN, steps)
        self.assertLess(sorted(steps)[len(steps) // 2], BLINK_STEP_MEDIAN_MAX, steps)

    def assert_asleep_each_tick(self, start, ticks):
        """Each of the first `ticks` ticks from `start` on ends with one
        `asleep`, after LED 2's write, on the router's normal clock."""
        b = self.board
        b.wait_count(lambda e: e.kind == "asleep", ticks, start=start,
                     timeout=TICK_SECONDS * (ticks + 1))
        marks = "".join("z" if e.kind == "asleep" else "2" for e in b.snapshot()[start:]
                        if e.kind == "asleep" or (e.kind == "led" and e.words[0] == "2"))
        self.assertEqual(marks[:2 * ticks], "2z" * ticks)

    def make(self, lines, made):
        """Makes each of `lines`, kept in `made` (a piece of the world set
        again where it was set before); skips the test at one the router
        cannot play."""
        for line in lines:
            try:
                self.board.do(line, timeout=60)
            except Refused as e:
                raise unittest.SkipTest(str(e).splitlines()[0]) from None
            same = [i for i, old in enumerate(made) if piece(line) and piece(old) == piece(line)]
            if same:
                made[same[0]] = line
            else:
                made.append(line)

    def run_family(self, family):
        """Every case of the family, its mode on a kernel LED, LED 1's and
        LED 2's by turns, the other LED always on (mode 17) on the board's
        GPIO device; each case's events, as marks, by name."""
        marks = {}
        try:
            for i, (name, (mode, setup, *changes)) in enumerate(FAMILIES[family].items()):
                modes, kinds = ((mode, 17), ("class", "gpio")) if i % 2 == 0 else \
                    ((17, mode), ("gpio", "class"))
                with self.subTest(family=family, case=name, modes=modes, leds=kinds):
                    marks[name] = self.run_case(modes, setup, *changes, kinds=kinds)
        finally:
            # The next test finds the router as it started.
            self.settle()
        return marks

    def daemon_events(self, start):
        return [(e.kind, e.rest.split(" ", 5)[-1] if e.kind == "log" else e.rest)
                for e in self.board.snapshot()[start:] if e.kind in ("led", "log", "exit")]

    def test_lifecycle(self):
        b = self.board
        with self.subTest("both modes 0"):
            b.do("modes 0 0")
            start = b.mark()
            b.start(timeout=30)
            self.assertEqual(b.wait_exit(start=start, timeout=30), ("exit", "0"))
            self.assertEqual(self.daemon_events(start),
                             [("log", "started"), ("led", "1 0"), ("led", "2 0"),
                              ("log", "stopped"), ("exit", "0")])
            b.daemon_pid = None
        with self.subTest("beyond the table"):
            self.run_case((4294967295, 4294967295), [])
        with self.subTest("the board's daemon from the start script"):
            b.do("modes 17 18")
            start = b.mark()
            b.do("init start", timeout=60)
            try:
                # Its first sleeps too, before the board knows its PID.
                self.assert_asleep_each_tick(start, 2)
            finally:
                stop = b.mark()
                b.do("init stop", timeout=60)
                b.wait_exit(start=stop, timeout=TICK_SECONDS * 2)
                b.daemon_pid = None
        with self.subTest("the start script"):
            b.do("modes 17 18")
            start = b.mark()
            status, output = b.run("/opt/norvask/etc/init start", timeout=30)
            self.assertEqual(status, 0, output)
            self.assertRegex(output, r"norvaskd started \(pid \d+\)")
            pid = b.wait_log("started", start=start, timeout=30).pid
            b.wait_writes(2, 2, start=start, timeout=TICK_SECONDS * 3)
            self.assertEqual(b.run("/opt/norvask/etc/init status")[0], 0)
            restarted = b.mark()
            status, output = b.run("/opt/norvask/etc/init restart", timeout=60)
            self.assertEqual(status, 0, output)
            self.assertEqual(b.wait_log("stopped", start=restarted, timeout=30).pid, pid)
            self.assertNotEqual(b.wait_log("started", start=restarted, timeout=30).pid, pid)
            stopped = b.mark()
            status, output = b.run("/opt/norvask/etc/init stop", timeout=60)
            self.assertEqual((status, output), (0, "norvaskd stopped"))
            b.wait_log("stopped", start=stopped, timeout=30)
            self.assertEqual(b.run("/opt/norvask/etc/init status")[0], 3)
            # What the router's syslog kept.
            status, messages = b.run("grep -c 'daemon.notice norvaskd.*: st' /var/log/messages")
            self.assertGreaterEqual(int(messages or 0), 4, messages)
            b.daemon_pid = None
        static = os.environ.get("NORVASK_VM_STATIC_PACKAGE")
        with self.subTest("the static package"):
            if not static:
                self.skipTest("set NORVASK_VM_STATIC_PACKAGE")
            # The router takes the files offered to it by name.
            b.do(f"install {os.path.basename(static)}", timeout=60)
            try:
                self.run_case((17, 17), [])
            finally:
                b.do(f"install {os.path.basename(package())}", timeout=60)

    def test_status(self):
        """norvask-status from the package, beside the daemon on modes 11 and
        13 started by the start script: both LEDs with their evidence, the
        daemon found, and the daemon's LED writes before, while and after it
        runs as the model has them without it."""
        b = self.board
        setup = ["stations wlan0 1", "traffic wlan0 on", "tun 0 up", "tun 0 rx 700"]
        made = []
        try:
            b.do("modes 11 13")
            self.make(setup, made)
            start = b.mark()
            self.assertEqual(b.run("/opt/norvask/etc/init start", timeout=30)[0], 0)
            # LED 2 writes once a tick: three ticks, then the status.
            b.wait_writes(2, 3, start=start, timeout=TICK_SECONDS * 4)
            status, plain = b.run("/opt/norvask/bin/norvask-status", timeout=60)
            self.assertEqual(status, 0, plain)
            status, text = b.run("/opt/norvask/bin/norvask-status --json", timeout=60)
            self.assertEqual(status, 0, text)
            b.wait_writes(2, 7, start=start, timeout=TICK_SECONDS * 8)
            print(f"\n{plain}\n{text}", file=sys.stderr)
            report = json.loads(text)
            leds = {led["led"]: led for led in report["leds"]}
            self.assertEqual((leds[1]["mode"], leds[1]["state"]), (11, "blink"))
            self.assertEqual(leds[1]["evidence"]["access_points"][0]["stations"], 1)
            self.assertEqual((leds[2]["mode"], leds[2]["state"]), (13, "on"))
            self.assertEqual(leds[2]["evidence"]["tunnels"][0]["result"], "received")
            self.assertEqual(report["daemon"]["state"], "running")
            self.assertRegex(plain, r"LED 1 +mode 11 +Wi-Fi hotspot: on, blinking")
            self.assertRegex(plain, r"LED 2 +mode 13 +OpenVPN tunnel: on")
            # Each LED's writes in each of the seven ticks, the status's
            # included, as the model has them for a board without it (LED 2
            # writes once a tick and so marks them).
            expected = predict((11, 13), setup, 7)
            self.assertEqual(shapes(b, led=1, marker=2, start=start)[:7],
                             [led1 for led1, _ in expected])
            self.assertEqual([v for _, v in b.leds(2, start=start)][:7],
                             [{"on": 1, "off": 0}[led2] for _, led2 in expected])
            self.assertEqual(b.run("ls -d /tmp/norvask-status.* 2>/dev/null")[1], "")
        finally:
            b.run("/opt/norvask/etc/init stop", timeout=60)
            b.daemon_pid = None
            for line in reversed(made):
                b.do(*undo(line), timeout=60)

    def test_refusals(self):
        """What the router cannot play is refused, as the simulated board
        refuses what it lacks, and told apart from a line that fails."""
        b = self.board
        for line in ("nproc 5", "iface wlan0 off", "iface ap phy0-ap0 phy1-ap0",
                     "iface client phy0-sta0", "serial ttyS0 fail", "sas 2", "stations wlan0 3",
                     "tun 0 rx 27", "service drennic listening as 65534", "led-class other:led",
                     "led-class norvask:red:two 255", "led-trigger norvask:red:two pattern",
                     "led-trigger other:led timer"):
            with self.subTest(line), self.assertRaises(Refused):
                b.do(line, timeout=60)
        for line in ("frobnicate", "pin bin9 1", "sas x", "stations wlan5 1", "tick",
                     "install ../etc/passwd", "install nothing-offered.tar.gz",
                     "led-class ../norvask:red:two", "led-trigger norvask:red:two"):
            with self.subTest(line), self.assertRaises(BoardError) as raised:
                b.do(line, timeout=60)
            self.assertNotIsInstance(raised.exception, Refused)

    def test_stepping_clock(self):
        """The daemon's one-second sleeps held, each reported as asleep, and
        let go one at a time by tick, as on the simulated board: a tick's
        LED write comes only once it is let go."""
        b = self.board
        b.do("modes 17 17", "clock step")
        try:
            start = b.mark()
            b.start(timeout=30)
            b.wait_for(lambda e: e.kind == "asleep", start=start, timeout=30)
            held = len(b.leds(start=start))
            time.sleep(3)
            self.assertEqual(len(b.leds(start=start)), held)
            for ticks in (2, 3):
                b.do("tick")
                b.wait_count(lambda e: e.kind == "asleep", ticks, start=start, timeout=30)
            self.assertGreater(len(b.leds(start=start)), held)
        finally:
            b.do("clock normal")
            stop = b.mark()
            b.do("signal TERM")
            b.wait_exit(start=stop, timeout=TICK_SECONDS * 2)
            b.daemon_pid = None

    def trigger(self, name):
        """The kernel LED's active trigger and that trigger's settings, as
        its files read: (trigger, {file: text})."""
        status, text = self.board.run(
            f"cd /sys/class/leds/{name} && tr ' ' '\\n' <trigger | grep '^\\[' && "
            "for f in delay_on delay_off device_name; do [ ! -e $f ] || echo $f=$(cat $f); done")
        self.assertEqual(status, 0, text)
        active, *rest = text.splitlines()
        return active.strip("[]"), dict(line.split("=", 1) for line in rest)

    def test_kernel_leds(self):
        """The router's kernel LEDs taken from the triggers set on them, and
        given them back, settings and all, at stop; a trigger another
        program sets meanwhile taken back within two ticks, logged once; an
        LED whose driver goes (unbound) logged once while the other LED goes
        on. What the LEDs showed is the kernel's own record."""
        b = self.board
        green, red = CLASS_LEDS
        b.do("modes 17 17", class_led_setting(1, green), class_led_setting(2, red),
             f"led-trigger {green} timer", f"led-trigger {red} netdev")
        b.run(f"echo 100 >/sys/class/leds/{green}/delay_on; "
              f"echo wlan0 >/sys/class/leds/{red}/device_name")
        found = (self.trigger(green), self.trigger(red))
        self.assertEqual(found, (("timer", {"delay_on": "100", "delay_off": "500"}),
                                 ("netdev", {"device_name": "wlan0"})))
        try:
            start = b.mark()
            b.start(timeout=30)
            writes = self.ticks(start, 2)
            self.assertEqual((self.trigger(green)[0], self.trigger(red)[0]), ("none", "none"))
            # The timer's blinking stopped as the daemon took the LED: from
            # the second tick on, only its own writes.
            self.assertEqual([self.values(t, 1) for t in writes[1:]], [[1]])
            taken = "LED 2: another program set the trigger timer on norvask:red:two; taken back " \
                    "(not logged again)"
            for _ in range(2):
                b.do(f"led-trigger {red} timer")
                self.wait_ticks(b.mark(), 2)
                self.assertEqual(self.trigger(red)[0], "none")
            self.assertEqual([log.text for log in b.logs(start)].count(taken), 1)
            stop = b.mark()
            b.do("signal TERM")
            self.assertEqual(b.wait_exit(start=stop, timeout=TICK_SECONDS * 2), ("exit", "0"))
            b.daemon_pid = None
            self.assertEqual((self.trigger(green), self.trigger(red)), found)

            # LED 2's driver unbound under the running daemon.
            b.do("modes 17 17", class_led_setting(2, red), f"led-trigger {green} none",
                 f"led-class {red}")
            start = b.mark()
            b.start(timeout=30)
            self.wait_ticks(start, 1)
            b.do(f"led-class {red} gone")
            gone = b.mark()
            writes = self.ticks(gone, 3)
            self.assertEqual([(self.values(t, 1), self.values(t, 2)) for t in writes[1:]],
                             [([1], []), ([1], [])])
            failed = [log.text for log in b.logs(start) if " cannot " in log.text]
            self.assertEqual(len(failed), 1, failed)
            self.assertRegex(failed[0], "^LED 2: cannot .* of norvask:red:two: No such device; ")
        finally:
            self.stop_daemon()
            for name in CLASS_LEDS:
                b.do(f"led-class {name}", timeout=60)

    def test_start_stop_pending(self):
        """Started with SIGTERM blocked and pending, the daemon still ends on it."""
        b = self.board
        b.do("modes 17 17")
        start = b.mark()
        b.do("start stop-pending", timeout=30)
        self.assertEqual(b.wait_exit(start=start, timeout=TICK_SECONDS * 2), ("exit", "0"))

    def test_pins(self):
        marks = self.run_family("pins")
        start, end = marks["bin0 taken away"]
        reads = [e.rest for e in self.board.snapshot()[start:end] if e.kind == "ioctl"]
        self.assertIn(test_pins.MISSING_PIN_READ, reads)

    def test_serial(self):
        self.run_family("serial")

    def test_access_point(self):
        self.run_family("access point")

    def test_client(self):
        self.run_family("client")

    def test_radio_names(self):
        self.run_family("radio names")

    def test_openvpn(self):
        self.run_family("openvpn")

    def test_ipsec(self):
        self.run_family("ipsec")

    def test_services(self):
        self.run_family("services")


if __name__ == "__main__":
    unittest.main()
