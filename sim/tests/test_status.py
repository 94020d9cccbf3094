"""norvask-status beside the daemon on the simulated board: what it says
each LED shows agrees with what the board saw the daemon do and with the
model, it leaves nothing of its own behind and never touches the daemon's
files; without the daemon it says why.

NORVASK_STATUS names the program to show on the board; run there with
`run`, its pin and serial calls are answered by the board as the daemon's
are. The board's files are looked at through `run` alone, as on a board
that shares nothing with the host."""

import json
import os
import re
import signal
import time
import unittest

from board import DAEMON, PID_FILE, STATUS, default_command
from model import CAPTURES
from systest import BoardCase, predict, shapes

USAGE = r"usage: norvask-status \[--json\] \[--mode N \| --modes\] \[--help\]"
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
    "hotspot, named otherwise": (11, [
        "iface ap phy0-ap0 phy1-ap0 phy2-ap0",
        "settings MOD_NORVASK_WIFI_AP=phy0-ap0 phy1-ap0 phy2-ap0", "stations phy2-ap0 2",
        "traffic phy2-ap0 on"],
        {"refused": None, "access_points": [{"iface": "phy0-ap0", "stations": 0},
                                            {"iface": "phy1-ap0", "stations": 0},
                                            {"iface": "phy2-ap0", "stations": 2,
                                             "traffic": "moved"}]}),
    "client": (12, ["ssid café"], {"ssid": "café"}),
    "client refused": (12, ["ssid home", "settings MOD_NORVASK_WIFI_CLIENT=a/b"],
                       {"refused": "\"a/b\" holds '/'", "iface": None, "ssid": None}),
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


def run_everywhere(boards, command):
    """Runs `command` on every board at once: name -> (status, output)."""
    started = {name: b.start_run(command) for name, b in boards.items()}
    return {name: b.ran(started[name]) for name, b in boards.items()}


class Status(BoardCase):
    def status_board(self, *setup, modes=None, start=True):
        status = os.environ.get("NORVASK_STATUS")
        if not status:
            self.skipTest("set NORVASK_STATUS")
        command = default_command() + ["--show", f"{status}:{STATUS}"]
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
        plain = run_everywhere(boards, STATUS)
        as_json = run_everywhere(boards, STATUS + " --json")
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
                                   + STATUS)
            self.assertEqual(status, 1, output)
            self.assertRegex(output, rf"(?m)^norvask-status: cannot tell what pid {pid} is: ")

        mark = b.mark()
        b.do("signal TERM")
        self.assertStopped(b, start=mark)
        captures = self.files(b, *CAPTURES.values())
        self.assertIn(CAPTURES["openvpn"], captures)

        # Another program's pid, once it runs that program: until its exec
        # the child shows the shell that forked it.
        program = b.run('readlink -f "$(command -v sleep)"')[1]
        other = b.run(f"sleep 60 >/dev/null 2>&1 & p=$!; for i in $(seq 500); do "
                      f"[ \"$(readlink /proc/$p/exe)\" = {program} ] && break; sleep 0.01; "
                      f"done; echo $p")[1]
        self.assertEqual(b.run(f"readlink /proc/{other}/exe")[1], program)
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
                status, output = b.run(STATUS + " --json")
                self.assertEqual(status, 0, output)
                daemon = json.loads(output)["daemon"]
                self.assertEqual(daemon["state"], state)
                self.assertRegex(daemon["reason"], f"^{reason}$")
                status, output = b.run(STATUS)
                self.assertEqual(status, 0, output)
                self.assertRegex(output, rf"(?m)^daemon: {state} \({reason}\)")
        self.assertNothingLeft(b)
        self.assertEqual(self.files(b, *CAPTURES.values()), captures)

    def test_left_running_by_run(self):
        # Started in the background by a `run` that has reported, and with
        # more commands run meanwhile than the board keeps filters for, it
        # still gets the board's answers.
        b = self.status_board("pin bin0 0", modes=(1, 17))
        b.run(f"echo {b.daemon_pid} >{PID_FILE}")
        status, output = b.run(f"(sleep 1; {STATUS} --json >/tmp/later.part; "
                               "mv /tmp/later.part /tmp/later.json) >/dev/null 2>&1 &")
        self.assertEqual(status, 0, output)
        for _ in range(4):
            self.assertEqual(b.run("true")[0], 0)
        deadline = time.monotonic() + 10
        while (found := b.run("cat /tmp/later.json"))[0] != 0 and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(found[0], 0, found[1])
        led1 = json.loads(found[1])["leds"][0]
        self.assertContains(led1["evidence"], CASES["pin"][2], "pin")
        b.run("rm /tmp/later.json")
        self.assertNothingLeft(b)

    def test_options(self):
        b = self.status_board(start=False)
        for command, status, pattern in [
            (f"{STATUS} --help", 0, rf"^{USAGE}\n"),
            (f"{STATUS} --bogus", 2, rf"(?m)^{USAGE}$"),
            (f"{STATUS} extra", 2, r"^usage: "),
            # A mode's preview and the table of modes.
            (f"{STATUS} --mode 17", 0, r"^preview  mode 17  always on: on\n"),
            (f"{STATUS} --mode=0 --json", 0,
             r'^\{"preview":\{"led":null,"mode":0,"shows":"not used"'),
            (f"{STATUS} --modes", 0,
             r"(?s)^ 0  not used\n.*\n17  always on\n    on when: the daemon is running\n"),
            (f"{STATUS} --mode 18", 2,
             r"^norvask-status: --mode takes a whole number from 0 to 17"),
            (f"{STATUS} --mode -1", 2, r"--mode takes a whole number"),
            (f"{STATUS} --mode ' 1'", 2, r"--mode takes a whole number"),
            (f"{STATUS} --mode 1 --modes", 2, r"^usage: "),
        ]:
            with self.subTest(command):
                got, output = b.run(command)
                self.assertEqual(got, status, output)
                self.assertRegex(output, pattern)


# Another user on the board, as an attacker would be.
AS_NOBODY = "setpriv --reuid 65534 --regid 65534 --clear-groups "
# A netstat that never ends, for the status tool alone (its PATH): the
# program it leaves running is called "stuck".
HANG = ("mkdir -p /tmp/hang && cp /bin/sleep /tmp/hang/stuck && "
        "printf '#!/bin/sh\\nexec /tmp/hang/stuck 61\\n' >/tmp/hang/netstat && "
        "chmod 755 /tmp/hang/netstat")
STUCK = "grep -qsx stuck /proc/[0-9]*/comm"


def hanging(command):
    return "env PATH=/tmp/hang:$PATH " + command


class StatusCase(BoardCase):
    """Status's board and checks, without its tests."""
    status_board = Status.status_board
    assertNothingLeft = Status.assertNothingLeft


class StatusIdentity(StatusCase):
    """The pid file names a process: it is the daemon only when it runs the
    installed file as root, whatever name /proc gives its program."""

    def test_only_root_running_the_installed_file_is_the_daemon(self):
        b = self.status_board(modes=(17, 17))
        b.run(f"cp {DAEMON} /tmp/copy && chown 65534 /tmp/copy")
        in_namespaces = "unshare -Urm sh -c 'mount --bind /tmp/copy {0} && exec {0}'"
        cases = {
            "the daemon's file run by another user":
                (AS_NOBODY + DAEMON, f"{DAEMON}, but not as root"),
            "a copy shown at its path in a user's namespaces":
                (AS_NOBODY + in_namespaces.format(DAEMON), f"{DAEMON}, but not as root"),
            "another program shown at its path in a mount namespace":
                (f"unshare -m sh -c 'mount --bind /bin/sleep {DAEMON} && exec {DAEMON} 60'",
                 f"another file at {DAEMON}"),
        }
        for name, (command, reason) in cases.items():
            with self.subTest(name):
                pid = b.run(f"{command} >/dev/null 2>&1 & echo $!")[1]
                b.run(f"echo {pid} >{PID_FILE}; for i in $(seq 50); do "
                      f"[ \"$(readlink /proc/{pid}/exe)\" = {DAEMON} ] && break; sleep 0.1; done")
                status, output = b.run(STATUS + " --json")
                b.run(f"kill {pid}")
                self.assertEqual(status, 0, output)
                daemon = json.loads(output)["daemon"]
                self.assertEqual(daemon["state"], "other program", daemon)
                self.assertEqual(daemon["reason"],
                                 f"{PID_FILE} names pid {pid}, which runs {reason}")
                self.assertIsNone(daemon["stop_signal"])
                self.assertIsNone(daemon["serial"])
        with self.subTest("the daemon"):
            b.run(f"echo {b.daemon_pid} >{PID_FILE}")
            status, output = b.run(STATUS + " --json")
            self.assertEqual(status, 0, output)
            daemon = json.loads(output)["daemon"]
            self.assertEqual((daemon["state"], daemon["stop_signal"]), ("running", 0), daemon)


class StatusServiceOwners(StatusCase):
    """Modes 15 and 16 go by a program's name, whoever runs it: a user's
    program under the service's name lights the LED as the rule says, and
    the status names whose program it saw."""

    def test_whose_program_took_the_services_name(self):
        if os.geteuid() != 0:
            self.skipTest("starting another user's program needs root")
        # name -> mode, set-up, the owner's user and uid
        cases = {
            "nobody's client": (15, "service tessik_clientd connected as 65534", "nobody", 65534),
            "nobody's portal": (16, "service drennic listening as 65534", "nobody", 65534),
            "the client": (15, "service tessik_clientd connected", "root", 0),
            "the portal": (16, "service drennic listening", "root", 0),
        }
        boards = {name: self.status_board(setup, modes=(mode, 17))
                  for name, (mode, setup, _, _) in cases.items()}
        for b in boards.values():
            self.wait_ticks(b, 3)
        plain = run_everywhere(boards, STATUS)
        as_json = run_everywhere(boards, STATUS + " --json")
        for name, (mode, setup, user, uid) in cases.items():
            with self.subTest(name):
                b = boards[name]
                self.assertEqual(shapes(b)[:3], [led1 for led1, _ in predict((mode, 17), [setup])])
                self.assertEqual(shapes(b)[-1], "on")
                program = setup.split()[1]
                pid = b.process_id(program)
                self.assertEqual(as_json[name][0], 0, as_json[name][1])
                evidence = json.loads(as_json[name][1])["leds"][0]["evidence"]
                self.assertRegex(evidence["netstat_line"], rf" {pid}/{program}$")
                self.assertEqual(evidence["owner"], {"pid": pid, "uid": uid, "user": user})
                self.assertEqual(plain[name][0], 0, plain[name][1])
                self.assertRegex(plain[name][1], rf"(?m)^       {program} .* {pid}/{program}; "
                                                 rf"pid {pid} runs as user \"{user}\" "
                                                 rf"\(uid {uid}\)$")
                self.assertNothingLeft(b)


class StatusStreams(StatusCase):
    """Started with standard descriptors closed it gives the same answer, or
    says that it cannot write it."""

    def test_closed_standard_descriptors(self):
        b = self.status_board("service drennic listening", modes=(16, 17))
        b.run(f"echo {b.daemon_pid} >{PID_FILE}")
        status, output = b.run(STATUS + " --json")
        self.assertEqual(status, 0, output)
        leds = json.loads(output)["leds"]
        self.assertEqual(leds[0]["evidence"]["listening"], True)
        for name, redirect in {"0": "<&-", "2": "2>&-", "0 and 2": "<&- 2>&-"}.items():
            with self.subTest(f"{name} closed"):
                status, output = b.run(f"{STATUS} --json {redirect}")
                self.assertEqual(status, 0, output)
                self.assertEqual(json.loads(output)["leds"], leds)
        for name, redirect in {"1": ">&-", "0 and 1": "<&- >&-"}.items():
            with self.subTest(f"{name} closed"):
                status, output = b.run(f"{STATUS} --json {redirect}")
                self.assertEqual(status, 1, output)
                self.assertEqual(output, "norvask-status: cannot write the report: "
                                         "Bad file descriptor")
        self.assertNothingLeft(b)


class StatusStopping(StatusCase):
    """A stop signal ends it at once, a command that hangs ends within its
    bound, and nothing of its own is left behind either way."""

    def test_signals_while_a_command_hangs(self):
        b = self.status_board("service drennic listening", modes=(16, 17))
        b.run(HANG)
        names = ["TERM", "INT", "HUP", "QUIT", "ALRM", "USR1", "USR2", "PIPE", "XCPU", "XFSZ",
                 "VTALRM", "PROF"]
        for name in names:
            with self.subTest(name):
                # It is given 3 s to end; the time from the signal to its end, in ms.
                status, output = b.run(
                    f"rm -rf /tmp/norvask-status.*; ulimit -c 0; "
                    f"{hanging(STATUS)} >/dev/null 2>&1 & p=$!; "
                    f"for i in $(seq 100); do {STUCK} && break; sleep 0.05; done; "
                    f"t=$(date +%s%N); kill -{name} $p; "
                    f"for i in $(seq 30); do kill -0 $p 2>/dev/null || break; sleep 0.1; done; "
                    f"ms=$(( ($(date +%s%N) - t) / 1000000 )); kill -KILL $p 2>/dev/null; "
                    f"wait $p; s=$?; echo $ms; exit $s")
                ms = int(output.split()[-1])
                self.assertEqual(status, 128 + signal.Signals["SIG" + name], output)
                self.assertLess(ms, 1000)
                self.assertNothingLeft(b)
                # Its command went with it.
                self.assertNotEqual(b.run(f"sleep 0.2; {STUCK} && pkill -x stuck")[0], 0)

    def test_a_command_that_never_ends_is_bounded(self):
        b = self.status_board("service drennic listening", modes=(16, 17))
        b.run(HANG)
        started = time.monotonic()
        status, output = b.run(hanging(STATUS) + " --json", timeout=20)
        took = time.monotonic() - started
        self.assertEqual(status, 0, output)
        self.assertTrue(5 <= took < 7, took)
        led = json.loads(output)["leds"][0]
        self.assertEqual((led["state"], led["answered"], led["value"]), ("keep", False, None), led)
        status, output = b.run(hanging(STATUS), timeout=20)
        self.assertEqual(status, 0, output)
        self.assertRegex(output, r"(?m)^LED 1  mode 16  VPN portal: unknown, the LED keeps its "
                                 r"last state\n       a command did not answer within 5 s and "
                                 r"was ended$")
        self.assertNothingLeft(b)
        self.assertNotEqual(b.run(STUCK)[0], 0)


# A path or a name that would clear the administrator's screen and forge a
# report line: an escape sequence, a carriage return, a newline, C1's CSI as
# UTF-8, and a backslash that must not pass for an escape.
FORGED = "x\x1b[2J\r\nLED 1  mode 11  Wi-Fi hotspot: on, blinking\u009b\\x1b"
# The same as the plain report shows it.
FORGED_SHOWN = r"x\x1b[2J\r\nLED 1  mode 11  Wi-Fi hotspot: on, blinking\u009b\\x1b"


def printf_format(text):
    """`text` as a printf format in single quotes, each byte outside
    printable ASCII (and each quote, backslash and percent sign) as an octal
    escape, so that the board's command line stays one plain line."""
    return "'" + "".join(c if " " <= c <= "~" and c not in "'\\%" else
                         "".join(f"\\{b:03o}" for b in c.encode()) for c in text) + "'"


class StatusOutsideText(BoardCase):
    """Names that come from outside reach root's terminal escaped, and the
    JSON form as it was."""

    status_board = Status.status_board

    def assertSafe(self, output):
        for raw in ("\x1b", "\r", "\u009b"):
            self.assertNotIn(raw, output)
        self.assertNotRegex(output, r"(?m)^LED 1  mode 11")

    def test_an_ssid_and_the_program_the_pid_file_names(self):
        ssid = "caf\u00e9\x1b[2J\u009b\u202e"
        b = self.status_board(f"ssid {ssid}", modes=(12, 0), start=False)
        # A program whose path holds the forged line, named by the pid file.
        status, output = b.run(f'p="/tmp/$(printf {printf_format(FORGED)})"; cp /bin/sleep "$p" && '
                               f'"$p" 60 >/dev/null 2>&1 & echo $! >{PID_FILE}')
        self.assertEqual(status, 0, output)

        status, output = b.run(STATUS)
        self.assertEqual(status, 0, output)
        self.assertSafe(output)
        self.assertIn('wlan1: connected to "caf\u00e9\\x1b[2J\\u009b\\u202e"', output)
        self.assertRegex(output, rf"(?m)^daemon: other program \({PID_FILE} names pid \d+, "
                                 rf"which is /tmp/{re.escape(FORGED_SHOWN)}, not {DAEMON}\)")

        status, output = b.run(STATUS + " --json")
        self.assertEqual(status, 0, output)
        self.assertSafe(output)
        for markup in "<>&\u2028\u2029":
            self.assertNotIn(markup, output)
        report = json.loads(output)
        self.assertEqual(report["leds"][0]["evidence"]["ssid"], ssid)
        self.assertEqual(report["daemon"]["program"], f"/tmp/{FORGED}")


class StatusHonesty(BoardCase):
    """What could not be seen whole is said to be so: a cut listing, a look
    cut short by a stop signal, a /tmp with no room for the captures."""

    status_board = Status.status_board
    assertNothingLeft = Status.assertNothingLeft

    def test_a_listing_longer_than_what_is_read(self):
        b = self.status_board("stations wlan0 1000", modes=(11, 17), start=False)
        status, output = b.run(STATUS)
        self.assertEqual(status, 0, output)
        counted = re.search(r"wlan0: at least (\d+) devices connected \(listing cut: (\d+) bytes\)",
                            output)
        self.assertIsNotNone(counted, output)
        status, output = b.run(STATUS + " --json")
        self.assertEqual(status, 0, output)
        wlan0 = json.loads(output)["leds"][0]["evidence"]["access_points"][0]
        self.assertEqual(wlan0["stations"], int(counted[1]))
        self.assertLess(wlan0["stations"], 1000)
        self.assertEqual(wlan0["listing_bytes"], int(counted[2]))
        self.assertTrue(wlan0["listing_cut"])

    def test_a_stop_signal_during_the_looks(self):
        b = self.status_board("stations wlan0 2", "traffic wlan0 on", modes=(11, 13), start=False)
        # In the second between the two looks at the hotspot's traffic.
        status, output = b.run(f"{STATUS} & sleep 0.5; kill -TERM $!; wait $!; "
                               "echo status $?")
        self.assertEqual(status, 0, output)
        for led, shows in ((1, "Wi-Fi hotspot"), (2, "OpenVPN tunnel")):
            self.assertRegex(output, rf"(?m)^LED {led}  mode 1\d  {shows}: not looked at "
                                     r"\(interrupted\)\n +a stop signal came before")
        self.assertRegex(output, r"(?m)^could not look: interrupted before every LED was looked "
                                 r"at$")
        # It ends by the signal, as its own default would have it.
        self.assertRegex(output, r"(?m)^status 143$")
        self.assertNothingLeft(b)

    def test_no_room_in_tmp(self):
        # /tmp as a small file system of its own, with room for that many
        # files (its own directory counts as one).
        inodes = "mount -t tmpfs -o size=1m,nr_inodes={} board /tmp"
        cases = {
            # No room for a byte: each command's output is lost.
            "full": (["tmp full"], "true", "LED 1 could not write its capture: /tmp is full",
                     "no room for the capture"),
            # Room for the private directory, none for a file in it.
            "no file for a capture": ([], inodes.format(2),
                                      "LED 1 could not write its capture: /tmp refused a new file",
                                      "capture not made"),
            "no private directory": ([], inodes.format(1),
                                     "cannot make a private directory in /tmp: "
                                     "No space left on device", "capture not made"),
        }
        for name, (words, shell, problem, because) in cases.items():
            with self.subTest(name):
                b = self.status_board("stations wlan0 2", *words, modes=(11, 17), start=False)
                self.assertEqual(b.run(shell)[0], 0)
                status, output = b.run(STATUS)
                self.assertEqual(status, 1, output)
                self.assertRegex(output, rf"(?m)^norvask-status: {problem}$")
                self.assertRegex(output, r"(?m)^LED 1  mode 11  Wi-Fi hotspot: not known \(its "
                                         r"capture could not be written\)$")
                status, output = b.run(STATUS + " --json 2>/dev/null")
                self.assertEqual(status, 1, output)
                report = json.loads(output)
                self.assertEqual(report["problem"], problem)
                self.assertEqual(report["leds"][0]["unknown_because"], because)
                self.assertIsNone(report["leds"][0]["state"])
                self.assertEqual(report["leds"][1]["state"], "on")


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
                status, output = b.run(STATUS + " --json", timeout=10)
                self.assertEqual(status, 0, output)
                report = json.loads(output)
                self.assertEqual(report["settings"]["error"], error)
                modes = [led["mode"] for led in report["leds"]]
                self.assertEqual(modes, [0, 0] if error else [17, 18])
                status, output = b.run(STATUS, timeout=10)
                self.assertEqual(status, 0, output)
                line = f"settings: {settings} cannot be read ({error}): both modes read as 0"
                self.assertEqual(line in output.splitlines(), bool(error), output)
                b.close()


if __name__ == "__main__":
    unittest.main()
