"""The system tests' tables on the emulated arm64 router: one boot, the
router package installed as on a router, and every case of every mode
family in turn against the real hostapd, wpa_supplicant, OpenVPN, charon,
busybox and net-tools. What LED 1 shows in each tick must be what the
model (sim/model.py) predicts, exactly as on the simulated board; LED 2 on
mode 17 marks each tick's end. A case that needs what the emulated router
cannot do (a driver refusing, a missing interface) is skipped with the
board's reason. The owner's page is tried in a browser in the same boot
(web/tests/browser.py's cases, mixed in).

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
from board import Board, BoardError, Refused  # noqa: E402
from browser import WebPage, free_port  # noqa: E402
from model import predict  # noqa: E402
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

    @classmethod
    def tearDownClass(cls):
        cls.close_browser()
        cls.board.close(timeout=30)

    def run_case(self, mode, setup, changes=()):
        """One case: the daemon started on a board set up with `setup`,
        changes[k] made while it is held after tick k + 1; the LED's shapes
        against the model's, then everything taken back. The case's events
        from and to, as marks."""
        b = self.board
        ticks = max(2, len(changes) + 1)
        made = []
        try:
            b.do(f"modes {mode} 17")
            self.make(setup, made)
            start = b.mark()
            b.start(timeout=30)
            for k, change in enumerate(changes):
                b.wait_writes(2, k + 1, start=start, timeout=TICK_SECONDS * (k + 2))
                if change:
                    # Held in its sleep while the board changes, however long
                    # the change takes: the next tick sees all of it.
                    b.do("signal STOP")
                    try:
                        self.make([change], made)
                    finally:
                        b.do("signal CONT")
            b.wait_writes(2, ticks, start=start, timeout=TICK_SECONDS * (ticks + 1))
            expected = [led1 for led1, _ in predict((mode, 17), setup, ticks, changes)]
            self.assertEqual(shapes(b, start=start)[:ticks], expected)
            self.assert_asleep_each_tick(start, ticks)
        finally:
            if b.daemon_pid is not None:
                stop = b.mark()
                b.do("signal TERM")
                b.wait_exit(start=stop, timeout=TICK_SECONDS * 2)
                b.daemon_pid = None
            for line in reversed(made):
                b.do(*undo(line), timeout=60)
        return start, b.mark()

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
        for line in lines:
            try:
                self.board.do(line, timeout=60)
            except Refused as e:
                raise unittest.SkipTest(str(e).splitlines()[0]) from None
            made.append(line)

    def run_family(self, family):
        """Every case of the family; each case's events, as marks, by name."""
        marks = {}
        for name, (mode, setup, *changes) in FAMILIES[family].items():
            with self.subTest(family=family, case=name):
                marks[name] = self.run_case(mode, setup, *changes)
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
            self.run_case(4294967295, [])
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
                self.run_case(17, [])
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
                     "tun 0 rx 27", "service drennic listening as 65534"):
            with self.subTest(line), self.assertRaises(Refused):
                b.do(line, timeout=60)
        for line in ("frobnicate", "pin bin9 1", "sas x", "stations wlan5 1", "tick",
                     "install ../etc/passwd", "install nothing-offered.tar.gz"):
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
