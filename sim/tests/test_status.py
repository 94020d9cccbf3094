"""norvask-status beside the daemon on the simulated board: what it says
each LED shows agrees with what the board saw the daemon do and with the
model, it leaves nothing of its own behind and never touches the daemon's
files; without the daemon it says why.

NORVASK_STATUS names the program to show on the board and
NORVASK_STATUS_SHIM the device shim it runs with: a command run on the board
is outside the daemon's seccomp filter, and the shim takes its pin and
serial calls to the board. The board's files are looked at through `run`
alone, as on a board that shares nothing with the host."""

import json
import os
import re
import unittest

from board import default_command
from model import CAPTURES
from systest import BoardCase, predict, shapes

STATUS = "/opt/norvask/bin/norvask-status"
DAEMON = "/opt/norvask/bin/norvaskd"
PID_FILE = "/var/run/norvaskd.pid"
# How the plain text says each state.
WORDS = {"off": "off", "on": "on", "blink": "on, blinking", "keep": "unknown"}

# One case per mode family on LED 1, LED 2 on 17 marking the ticks: the
# board's set-up and what the JSON evidence must hold.
CASES = {
    "pin": (1, ["pin bin0 0"], {"pin": "bin0", "support": "supported", "value": 0}),
    "serial": (7, ["serial ttyS0 flowing on"], {"port": "/dev/ttyS0", "moved": True}),
    "hotspot": (11, ["stations wlan0 2", "traffic wlan0 on"],
                {"access_points": [{"iface": "wlan0", "stations": 2, "traffic": "moved"},
                                   {"iface": "wlan02", "stations": 0}]}),
    "client": (12, ["ssid café"], {"ssid": "café"}),
    "openvpn": (13, ["tun 0 up", "tun 1 up", "tun 1 rx 500"],
                {"tunnels": [{"result": "received", "rx_bytes": 0},
                             {"result": "received", "rx_bytes": 500},
                             {"result": "not looked at"}, {"result": "not looked at"}]}),
    "ipsec": (14, ["stroke off", "swanctl on", "sas 2"], {"tool": "swanctl", "associations_up": 2}),
    # A five-digit PID: netstat's cut owner column hides the client's name.
    "remote, name cut": (15, ["pids 10000", "service tessik_clientd connected"],
                         {"connected": False, "cut_owner": re.compile(r"^\d{5}/tessik_client$")}),
    "portal": (16, ["service drennic listening"], {"listening": True}),
    "beyond the table": (18, [], {"kind": "none"}),
}


def status_command():
    shim = "env LD_PRELOAD=/opt/board/shim.so " if os.environ.get("NORVASK_STATUS_SHIM") else ""
    return shim + STATUS


def run_everywhere(boards, command):
    """Runs `command` on every board at once: name -> (status, output)."""
    started = {name: b.start_run(command) for name, b in boards.items()}
    return {name: b.ran(started[name]) for name, b in boards.items()}


class Status(BoardCase):
    def status_board(self, *setup, modes=None, start=True):
        status, shim = os.environ.get("NORVASK_STATUS"), os.environ.get("NORVASK_STATUS_SHIM")
        if not status:
            self.skipTest("set NORVASK_STATUS")
        command = default_command() + ["--show", f"{status}:{STATUS}"]
        if shim:
            command += ["--shim", shim]
        return self.board(*setup, modes=modes, start=start, command=command)

    def files(self, b, *paths):
        """Each file's inode, modification time and text, through `run`."""
        found = {}
        for path in paths:
            status, text = b.run(f"stat -c '%i %y' {path} && cat {path}")
            if status == 0:
                found[path] = text
        return found

    def assertContains(self, actual, expected, where):
        """`expected`'s keys (and list items, in order) hold in `actual`."""
        if isinstance(expected, dict):
            for key, value in expected.items():
                self.assertIn(key, actual, where)
                self.assertContains(actual[key], value, f"{where}.{key}")
        elif isinstance(expected, list):
            self.assertGreaterEqual(len(actual), len(expected), where)
            for i, value in enumerate(expected):
                self.assertContains(actual[i], value, f"{where}[{i}]")
        elif isinstance(expected, re.Pattern):
            self.assertRegex(actual or "", expected, where)
        else:
            self.assertEqual(actual, expected, where)

    def assertNothingLeft(self, b):
        self.assertNotIn("status", b.run("ls -a /tmp")[1])

    def test_each_family_agrees_with_the_leds_and_the_model(self):
        boards = {name: self.status_board(*setup, modes=(mode, 17))
                  for name, (mode, setup, _) in CASES.items()}
        for b in boards.values():
            # Where the start script keeps it.
            b.run(f"echo {b.daemon_pid} >{PID_FILE}")
        for b in boards.values():
            self.wait_ticks(b, 2)
        plain = run_everywhere(boards, status_command())
        as_json = run_everywhere(boards, status_command() + " --json")
        for b in boards.values():
            self.wait_ticks(b, len(shapes(b)) + 1)

        for name, b in boards.items():
            mode, setup, evidence = CASES[name]
            with self.subTest(name):
                pids = {"tessik_clientd": b.process_id("tessik_clientd")}
                shown = shapes(b)
                expected = [led1 for led1, _ in predict((mode, 17), setup, len(shown), pids=pids)]
                # Before, while and after it looked, the daemon did as without it.
                self.assertEqual(shown, expected)
                self.assertEqual(as_json[name][0], 0, as_json[name][1])
                report = json.loads(as_json[name][1])
                led1, led2 = report["leds"]
                self.assertEqual((led1["mode"], led1["state"]), (mode, shown[-1]))
                self.assertEqual((led2["mode"], led2["state"]), (17, "on"))
                self.assertContains(led1["evidence"], evidence, name)
                self.assertEqual(report["daemon"]["state"], "running")
                self.assertEqual(report["daemon"]["pid"], b.daemon_pid)
                self.assertIsNone(report["problem"])

                self.assertEqual(plain[name][0], 0, plain[name][1])
                self.assertRegex(plain[name][1],
                                 rf"(?m)^LED 1  mode {mode} +.*: {re.escape(WORDS[shown[-1]])}$")
                self.assertRegex(plain[name][1], r"(?m)^LED 2  mode 17  always on: on$")
                self.assertRegex(plain[name][1], rf"(?m)^daemon: running \(pid {b.daemon_pid}\)")
                self.assertNothingLeft(b)
        # What the daemon itself last saw of LED 1's serial port.
        uart = json.loads(as_json["serial"][1])["daemon"]["serial"][0]
        self.assertTrue(uart["valid"] and uart["rx"] > 0, uart)

    def test_without_the_daemon(self):
        mode, setup, _ = CASES["openvpn"]
        b = self.status_board(*setup, modes=(mode, 11))
        b.wait_writes(1, 2)
        pid = b.daemon_pid
        b.run(f"echo {pid} >{PID_FILE}")

        if os.geteuid() == 0:
            # Another user may look at the LEDs, not into the daemon.
            status, output = b.run("setpriv --reuid 65534 --regid 65534 --clear-groups "
                                   + status_command())
            self.assertEqual(status, 1, output)
            self.assertRegex(output, rf"(?m)^norvask-status: cannot tell what pid {pid} is: ")

        mark = b.mark()
        b.do("signal TERM")
        self.assertStopped(b, start=mark)
        captures = self.files(b, *CAPTURES.values())
        self.assertIn(CAPTURES["openvpn"], captures)

        other = b.run("sleep 60 >/dev/null 2>&1 & echo $!")[1]
        program = b.run(f"readlink /proc/{other}/exe")[1]
        cases = {
            "pid of the daemon that stopped": (f"echo {pid} >{PID_FILE}", "not running",
                                               f"pid {pid} from {PID_FILE} has ended"),
            "pid of another program": (f"echo {other} >{PID_FILE}", "other program",
                                       f"{PID_FILE} names pid {other}, which is {program}, "
                                       f"not {DAEMON}"),
            "no pid file": (f"rm {PID_FILE}", "not running", f"no pid file {PID_FILE}"),
        }
        for name, (prepare, state, reason) in cases.items():
            with self.subTest(name):
                b.run(prepare)
                status, output = b.run(status_command() + " --json")
                self.assertEqual(status, 0, output)
                daemon = json.loads(output)["daemon"]
                self.assertEqual(daemon["state"], state)
                self.assertRegex(daemon["reason"], f"^{reason}$")
                status, output = b.run(status_command())
                self.assertEqual(status, 0, output)
                self.assertRegex(output, rf"(?m)^daemon: {state} \({reason}\)")
        self.assertNothingLeft(b)
        self.assertEqual(self.files(b, *CAPTURES.values()), captures)

    def test_options(self):
        b = self.status_board(start=False)
        for command, status, pattern in [
            (f"{STATUS} --help", 0, r"^usage: norvask-status \[--json\] \[--help\]\n"),
            (f"{STATUS} --bogus", 2, r"(?m)^usage: norvask-status \[--json\] \[--help\]$"),
            (f"{STATUS} extra", 2, r"^usage: "),
        ]:
            with self.subTest(command):
                got, output = b.run(command)
                self.assertEqual(got, status, output)
                self.assertRegex(output, pattern)


class UnreadableSettings(BoardCase):
    """Whatever is at the settings path but a regular file (after links) is
    a settings file that cannot be read: said at once, with both modes 0."""

    def test_what_is_not_a_regular_file_is_an_error(self):
        settings = "/opt/norvask/etc/settings"
        # name -> what lays out the settings path, the error shown (None: read)
        cases = {
            "link to /dev/zero": (f"ln -s /dev/zero {settings}", "Invalid argument"),
            "FIFO": (f"mkfifo {settings}", "Invalid argument"),
            "directory": (f"mkdir {settings}", "Is a directory"),
            "link to a regular file": (f"mv {settings} /opt/norvask/etc/real && "
                                       f"ln -s /opt/norvask/etc/real {settings}", None),
        }
        for name, (prepare, error) in cases.items():
            with self.subTest(name):
                b = Status.status_board(self, modes=(17, 18), start=False)
                if error:
                    b.do("no-settings")
                self.assertEqual(b.run(prepare), (0, ""))
                status, output = b.run(status_command() + " --json", timeout=10)
                self.assertEqual(status, 0, output)
                report = json.loads(output)
                self.assertEqual(report["settings"]["error"], error)
                modes = [led["mode"] for led in report["leds"]]
                self.assertEqual(modes, [0, 0] if error else [17, 18])
                status, output = b.run(status_command(), timeout=10)
                self.assertEqual(status, 0, output)
                line = f"settings: {settings} cannot be read ({error}): both modes read as 0"
                self.assertEqual(line in output.splitlines(), bool(error), output)
                b.close()


if __name__ == "__main__":
    unittest.main()
