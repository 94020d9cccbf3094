"""The soak: the daemon's binary runs for hundreds of ticks on simulated
boards while a scenario breaks each board in every way it knows and mends
it again. The board's clock steps: each tick runs when asked, so every
change lands between two ticks. After each tick the daemon's device calls
(LED writes, pin reads, serial counter reads), its messages and its output
are compared with what a model of the board and of the daemon's documented
behaviour demands; every so many ticks its descriptors, children and
resident memory are compared with those after the first round of faults.

    soak.py --board BOARD --daemon DAEMON [--ticks N | --minutes M]
            [--seed S] [--report FILE]
"""

import argparse
import collections
import datetime
import hashlib
import os
import platform
import random
import re
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from board import Board, BoardError, Log  # noqa: E402

LOG_SERIAL = "failure getting serial stats"
LOG_OPENVPN = "failure getting OpenVPN status"
LOG_IPSEC = "failure getting IPsec status"
BLINK = [0, 1] * 4
PIN_OF_MODE = {1: "bin0", 2: "bin1", 3: "out0", 4: "out1"}
SERIAL_OF_MODE = {5: ("ttyS0", 2), 6: ("ttyS0", 1), 7: ("ttyS0", 3),
                  8: ("ttyS1", 2), 9: ("ttyS1", 1), 10: ("ttyS1", 3)}
TOOLS = ["hostapd_cli", "wpa_cli", "ifconfig", "grep", "netstat", "io", "stroke", "swanctl"]
BROKEN = ["missing", "fail", "silent", "garbage"]
SETTINGS = "/opt/norvask/etc/settings"
# Both LEDs on modes that run commands, and two boards for the devices.
BOARDS = [(11, 13), (12, 14), (15, 16), (7, 3), (10, 2)]
# Broken when a board's daemon starts: on the last board the I/O command
# prints garbage when the daemon first asks it about a pin, which it asks once.
START_FAULTS = {(10, 2): [("tool", "io", "garbage")]}
# Signals the daemon leaves alone; STOP and CONT interrupt whatever it waits in.
HARMLESS_SIGNALS = ["CHLD", "WINCH", "URG", "CONT", "STOP", "CONT"]
STOP_SIGNALS = ["TERM", "INT", "QUIT"]
# The daemon's user when the board runs as root, which RLIMIT_NPROC would spare.
SOAK_USER = "65534"


class Model:
    """The board as the scenario left it, and the daemon's own state as its
    documented behaviour makes it: what every tick must do."""

    def __init__(self, modes, garbage):
        self.modes = modes
        self.garbage = garbage  # what a tool printing garbage prints
        self.gpio_file = True
        self.gpio_open = False  # the daemon keeps the device open once it has it
        self.gpio_fail = False
        self.pins = {"bin0": 1, "bin1": 1, "out0": 1, "out1": 1}  # None: the board lacks it
        self.ports = {p: {"file": True, "fail": False, "rx": 0, "tx": 0} for p in ("ttyS0", "ttyS1")}
        self.stations = {"wlan0": 0, "wlan02": 0}
        self.ssid = False
        self.sent = {"wlan0": 0, "wlan02": 0, "wlan1": 0}  # traffic bursts so far
        self.tunnels = [None] * 4  # bytes received; None: no such tunnel
        self.sas = 0
        self.tools = {t: "normal" for t in TOOLS}
        self.tools["swanctl"] = "missing"
        self.remote = "down"
        self.portal = "down"
        self.pids = {}  # the services' process IDs
        self.tmp_full = False
        self.fork_fail = False
        # The daemon's: pin support, each LED's serial snapshot, each
        # interface's counter snapshot.
        self.support = {}
        self.uart = {1: None, 2: None}
        self.net = {}
        self.devices, self.logs, self.stderr = [], [], []

    # ---- what the board's commands print ----

    def run(self, tool, normal):
        """Output and exit status of `tool`, given those of the board's own."""
        return {
            "normal": normal,
            "missing": ("", 127),
            "fail": ("", 1),
            "silent": ("", 0),
            "garbage": (self.garbage, 0),
        }[self.tools[tool]]

    def grep(self, piped, pattern, only=False):
        text, _ = piped
        if self.tools["grep"] != "normal":
            return self.run("grep", None)
        found = []
        for line in text.split("\n"):
            line = line.split("\0")[0]
            if only:
                found += [m.group(0) for m in re.finditer(pattern, line) if m.group(0)]
            elif re.search(pattern, line):
                found.append(line)
        return "".join(f + "\n" for f in found), 0 if found else 1

    def capture(self, piped, last):
        """What a capture file holds once the pipeline that ends in `last`
        wrote to it, and the pipeline's status. On a full /tmp nothing is
        written: busybox grep ends with 0 all the same, but cat, which prints
        the garbage, reports the failed write."""
        text, status = piped
        if not self.tmp_full or not text:
            return text, status
        return "", 1 if self.tools[last] == "garbage" else status

    def hostapd(self, iface):
        n = self.stations[iface]
        return "".join(f"02:00:5e:00:00:{i:02x}\naid={i}\n" for i in range(1, n + 1)), 0

    def wpa(self):
        if self.ssid:
            return "bssid=02:00:5e:10:00:01\nssid=home\nwpa_state=COMPLETED\n", 0
        return "wpa_state=DISCONNECTED\n", 0

    def ifconfig(self, unit):
        rx = self.tunnels[unit]
        if rx is None:
            return "", 1
        return f"tun{unit}  Link encap:UNSPEC\n  RX bytes:{rx} ({rx} B)  TX bytes:0 (0.0 B)\n", 0

    def stroke(self):
        return f"Status of IKE daemon:\nSecurity Associations ({self.sas} up, 0 connecting):\n", 0

    def swanctl(self):
        return "".join(f"ipsec-{i}: #{i}, ESTABLISHED, IKEv2\n" for i in range(1, self.sas + 1)), 0

    def netstat(self, listening_only):
        # net-tools' netstat cuts "PID/program" to 19 characters: with a PID
        # of five digits, "tessik_clientd" loses its last letter.
        def owner(name):
            return f"{self.pids.get(name)}/{name}"[:19]

        lines = []
        if self.remote == "connected" and not listening_only:
            lines.append(f"tcp 0 0 127.0.0.1:4000 127.0.0.1:4001 ESTABLISHED {owner('tessik_clientd')}")
        if self.remote == "listening":
            lines.append(f"tcp 0 0 127.0.0.1:4002 0.0.0.0:* LISTEN {owner('tessik_clientd')}")
        if self.portal == "listening":
            lines.append(f"tcp 0 0 127.0.0.1:4003 0.0.0.0:* LISTEN {owner('drennic')}")
        return "".join(line + "\n" for line in lines), 0

    # ---- the daemon's probes, as documented ----

    @staticmethod
    def scan_after(text, literal):
        """The number after `literal` at the start of `text`, as scanf reads it."""
        text = text.split("\0")[0]
        m = re.match(literal + r"[ \t\n\v\f\r]*[+-]?([0-9]+)", text)
        return int(m.group(1)) if m else None

    def has_stations(self, iface):
        if self.fork_fail:
            return False
        return len(self.capture(self.run("hostapd_cli", self.hostapd(iface)), "hostapd_cli")[0]) > 1

    def traffic(self, iface):
        now, before = self.sent[iface], self.net.get(iface)
        self.net[iface] = now
        return 1 if before is not None and before != now else 0

    def wifi_ap(self):
        wlan0 = self.has_stations("wlan0")
        if wlan0 and self.traffic("wlan0") == 1:
            if self.has_stations("wlan02"):
                self.traffic("wlan02")
            return "blink"
        if not self.has_stations("wlan02"):
            return "on" if wlan0 else "off"
        return "blink" if self.traffic("wlan02") == 1 else "on"

    def wifi_client(self):
        if self.fork_fail or self.grep(self.run("wpa_cli", self.wpa()), r"^ssid=")[1] != 0:
            return "off"
        return "blink" if self.traffic("wlan1") == 1 else "on"

    def openvpn(self):
        for unit in range(4):
            if self.fork_fail:
                continue
            out, status = self.capture(
                self.grep(self.run("ifconfig", self.ifconfig(unit)), r"RX bytes:[0-9]*", only=True),
                "grep")
            if status != 0:
                continue
            count = self.scan_after(out[:255], r"RX[ \t\n\v\f\r]*bytes:")
            if count is None:
                return -1
            if count != 0:
                return 1
        return 0

    def ipsec(self):
        if self.tools["stroke"] != "missing":
            if self.fork_fail:
                return 0
            out, status = self.capture(
                self.grep(self.run("stroke", self.stroke()), r"^Security Associations \([0-9]* up",
                          only=True), "grep")
            if status != 0:
                return 0
            text = out[:255]
            if not text:
                return -1
            count = self.scan_after(text.split("\n")[0],
                                    r"Security[ \t\n\v\f\r]*Associations[ \t\n\v\f\r]*\(")
            if count is None:
                return -1
            return 1 if count else 0
        if self.tools["swanctl"] != "missing":
            if self.fork_fail:
                return 0
            established = self.grep(self.grep(self.run("swanctl", self.swanctl()), r"^ipsec"),
                                    r"ESTABLISHED")
            return 1 if established[1] == 0 else 0
        return -1

    def remote_management(self):
        if self.fork_fail:
            return 0
        found = self.grep(self.run("netstat", self.netstat(False)), r"ESTABLISHED.*tessik_clientd")
        return 1 if found[1] == 0 else 0

    def vpn_portal(self):
        if self.fork_fail:
            return 0
        out, _ = self.capture(self.grep(self.run("netstat", self.netstat(True)), r"drennic"), "grep")
        return 1 if len(out) > 1 else 0

    # ---- the devices ----

    def device_open(self):
        if not self.gpio_open and self.gpio_file:
            self.gpio_open = True
        return self.gpio_open

    def gpio_write(self, led, value):
        if not self.device_open():
            return
        if self.gpio_fail:
            self.devices.append(f"ioctl gpio led {led} {value} error ENODEV")
        else:
            self.devices.append(f"led {led} {value}")

    def gpio_read(self, pin):
        if not self.device_open():
            return -1
        if self.gpio_fail:
            self.devices.append(f"ioctl gpio {pin} error ENODEV")
            return -1
        if self.pins[pin] is None:
            self.devices.append("ioctl gpio error EINVAL")
            return -1
        self.devices.append(f"ioctl gpio {pin} {self.pins[pin]}")
        return self.pins[pin]

    def read_pin(self, pin):
        supported = self.support.get(pin)
        if supported is True:
            return max(self.gpio_read(pin), 0)
        if supported is False:
            return 0
        # The first read asks the board's I/O command, once and for all.
        self.support[pin] = (not self.fork_fail and self.tools["io"] == "normal"
                             and self.pins[pin] is not None)
        return self.pins[pin] if self.support[pin] else 0

    def serial(self, led, port, selection):
        p = self.ports[port]
        if not p["file"]:
            self.stderr.append("open: No such file or directory")
            return -1
        if p["fail"]:
            self.devices.append(f"ioctl {port} error EIO")
            self.stderr.append("ioctl: Input/output error")
            return -1
        self.devices.append(f"ioctl {port} icount {p['rx']} {p['tx']}")
        before, self.uart[led] = self.uart[led], (p["rx"], p["tx"])
        if before is None:
            return 0
        moved = (selection & 2 and before[0] != p["rx"]) or (selection & 1 and before[1] != p["tx"])
        return 1 if moved else 0

    # ---- the mode table ----

    def decide(self, led, mode):
        """The action on `led` for `mode` and the value an "on" writes."""
        if mode == 17:
            return "on", 1
        if mode in PIN_OF_MODE:
            value = self.read_pin(PIN_OF_MODE[mode])
            if mode <= 2:
                return ("on", 1) if value == 0 else ("off", 0)
            return ("on", value) if value else ("off", 0)
        if mode in SERIAL_OF_MODE:
            return self.answered(self.serial(led, *SERIAL_OF_MODE[mode]), LOG_SERIAL)
        if mode == 11:
            return self.wifi_ap(), 1
        if mode == 12:
            return self.wifi_client(), 1
        if mode == 13:
            return self.answered(self.openvpn(), LOG_OPENVPN)
        if mode == 14:
            return self.answered(self.ipsec(), LOG_IPSEC)
        if mode == 15:
            return self.answered(self.remote_management(), None)
        if mode == 16:
            return self.answered(self.vpn_portal(), None)
        return "off", 0

    def answered(self, answer, failure):
        if answer in (0, 1):
            return ("on", 1) if answer else ("off", 0)
        if failure is None:
            return "off", 0
        self.logs.append(failure)
        return "keep", None

    def tick(self):
        """What one tick does: device calls, messages, standard error lines."""
        self.devices, self.logs, self.stderr = [], [], []
        for led, mode in ((1, self.modes[0]), (2, self.modes[1])):
            action, value = self.decide(led, mode)
            writes = {"off": [0], "on": [value], "blink": BLINK, "keep": []}[action]
            for v in writes:
                self.gpio_write(led, v)
        return self.devices, self.logs, self.stderr


# ---- the scenario ----

def fault_changes():
    """Every way the scenario breaks a board, each with its repair."""
    faults = [(("tool", t, how), ("tool", t, "normal")) for t in TOOLS if t != "swanctl"
              for how in BROKEN]
    faults += [
        (("swanctl",), ("stroke",)),  # IPsec status through the other tool
        (("gpio", "fail"), ("gpio", "ok")),
        (("device", "gpio", False), ("device", "gpio", True)),
        (("device", "ttyS0", False), ("device", "ttyS0", True)),
        (("device", "ttyS1", False), ("device", "ttyS1", True)),
        (("port-fail", "ttyS0", True), ("port-fail", "ttyS0", False)),
        (("port-fail", "ttyS1", True), ("port-fail", "ttyS1", False)),
        (("tmp", True), ("tmp", False)),
        (("nproc", True), ("nproc", False)),
        (("settings", "garbage"), ("settings", "garbage")),
        (("settings", "missing"), ("settings", "garbage")),
    ]
    return faults


def activity_change(rng, model, tunnels):
    """A change of what the board has to show."""
    choices = [
        lambda: ("stations", rng.choice(["wlan0", "wlan02"]), rng.choice([0, 1, 2])),
        lambda: ("send", rng.choice(["wlan0", "wlan02", "wlan1"])),
        lambda: ("send", rng.choice(["wlan0", "wlan02", "wlan1"])),
        lambda: ("ssid", rng.random() < 0.6),
        lambda: ("sas", rng.choice([0, 1, 2])),
        lambda: ("service", "tessik_clientd", rng.choice(["connected", "listening", "down"])),
        lambda: ("service", "drennic", rng.choice(["listening", "down"])),
        lambda: ("pin", rng.choice(list(model.pins)), rng.choice([0, 1, 1, None])),
        lambda: ("count", rng.choice(["ttyS0", "ttyS1"]), rng.choice(["rx", "tx", "both"])),
    ]
    if tunnels:
        choices.append(lambda: ("tun", rng.randrange(4), rng.random() < 0.6))
        up = [u for u in range(4) if model.tunnels[u] is not None]
        if up:
            choices += [lambda: ("tun-rx", rng.choice(up))] * 2
    return rng.choice(choices)()


class Scenario:
    """The changes before each tick: first one round through every fault
    (so that the daemon has met each before its resources are taken as the
    baseline), then a seeded random walk among faults and board states."""

    def __init__(self, seed, tunnels):
        self.rng = random.Random(seed)
        self.tunnels = tunnels
        self.faults = fault_changes()
        self.active = []  # repairs of the faults in force
        self.first_round = self._first_round()

    def _first_round(self):
        # PIDs near five digits, which net-tools' netstat shows cut.
        busy = [("pids", 9000), ("device", "gpio", True), ("tool", "io", "normal"),
                ("stations", "wlan0", 1), ("ssid", True), ("sas", 1),
                ("service", "tessik_clientd", "connected"), ("service", "drennic", "listening"),
                ("count", "ttyS0", "rx"), ("count", "ttyS1", "tx"), ("pin", "bin1", 0)]
        if self.tunnels:
            busy += [("tun", 0, True), ("tun-rx", 0)]
        steps = [busy, [("send", "wlan0"), ("send", "wlan1"), ("stations", "wlan02", 1)]]
        repair = []
        for fault, fix in self.faults:
            steps.append(repair + [fault])
            repair = [fix]
        # IPsec status through swanctl, and that tool and grep broken then.
        steps.append(repair + [("swanctl",)])
        steps += [[("tool", "swanctl", how)] for how in BROKEN]
        steps.append([("tool", "swanctl", "normal")])
        steps += [[("tool", "grep", how)] for how in BROKEN]
        steps.append([("tool", "grep", "normal"), ("stroke",), ("burst",)])
        steps.append([("send", "wlan02"), ("burst",)])
        return steps

    def in_first_round(self, tick):
        return tick <= len(self.first_round) + 1

    def changes(self, tick, model):
        """The changes to make before tick `tick` (2, 3, ...)."""
        if tick - 2 < len(self.first_round):
            return self.first_round[tick - 2]
        rng, changes = self.rng, []
        for fix in list(self.active):
            if rng.random() < 0.35:
                self.active.remove(fix)
                changes.append(fix)
        if rng.random() < 0.5:
            fault, fix = rng.choice(self.faults)
            # Not what was mended just now; a second fault of a broken tool
            # replaces the first, with the same repair.
            if fix not in changes:
                if fix not in self.active and fault[0] != "settings":
                    self.active.append(fix)
                changes.append(fault)
        for _ in range(rng.choice([0, 1, 1, 2, 3])):
            changes.append(activity_change(rng, model, self.tunnels))
        if rng.random() < 0.15:
            changes.append(("burst",))
        return changes

    def repairs(self):
        fixes, self.active = self.active, []
        return fixes


def garbage_bytes(rng, size):
    return bytes(rng.getrandbits(8) for _ in range(size))


def settings_text(rng, modes):
    """Both keys among garbage, long lines and lines that almost match."""
    return (garbage_bytes(rng, 3000) + b"\n" + b"x" * 20000 + b"\nmod_norvask_mode2x=9\n"
            + b" MOD_NORVASK_MODE=9\n" + f"MOD_NORVASK_MODE={modes[0]}\r\n".encode()
            + garbage_bytes(rng, 500) + b"\n" + f'MOD_NORVASK_MODE2="{modes[1]}"\n'.encode()
            + garbage_bytes(rng, 3000))


def describe(change):
    """A change as the report lists it."""
    kind, *args = change
    if kind == "swanctl":
        return "IPsec tool: swanctl instead of stroke"
    if kind == "stroke":
        return "IPsec tool: stroke again"
    if kind == "device":
        return f"device {args[0]} {'on' if args[1] else 'off'}"
    if kind == "port-fail":
        return f"serial {args[0]} {'fail' if args[1] else 'ok'}"
    if kind == "tmp":
        return "tmp full" if args[0] else "tmp free"
    if kind == "nproc":
        return "nproc 0" if args[0] else "nproc unlimited"
    if kind in ("tool", "gpio", "settings"):
        return " ".join(str(a) for a in change)
    if kind == "burst":
        return "signal burst (CHLD, WINCH, URG, STOP, CONT)"
    return f"board: {kind}"


def apply_change(b, m, change, rng):
    """Makes `change` on board `b` and in model `m`."""
    kind, *args = change
    if kind == "tool":
        name, how = args
        b.do(f"tool {name} {how}")
        m.tools[name] = how
    elif kind in ("swanctl", "stroke"):
        # Only one of the two IPsec tools installed.
        other = "stroke" if kind == "swanctl" else "swanctl"
        b.do(f"tool {kind} normal", f"tool {other} missing")
        m.tools[kind], m.tools[other] = "normal", "missing"
    elif kind == "gpio":
        b.do(f"gpio {args[0]}")
        m.gpio_fail = args[0] == "fail"
    elif kind == "device":
        name, present = args
        b.do(f"device {name} {'on' if present else 'off'}")
        if name == "gpio":
            m.gpio_file = present
        else:
            m.ports[name]["file"] = present
    elif kind == "port-fail":
        port, failing = args
        b.do(f"serial {port} {'fail' if failing else 'ok'}")
        m.ports[port]["fail"] = failing
    elif kind == "count":
        port, which = args
        p = m.ports[port]
        if which in ("rx", "both"):
            p["rx"] += 7
        if which in ("tx", "both"):
            p["tx"] += 5
        b.do(f"serial {port} {p['rx']} {p['tx']}")
    elif kind == "tmp":
        b.do(f"tmp {'full' if args[0] else 'free'}")
        m.tmp_full = args[0]
    elif kind == "nproc":
        b.do("nproc 0" if args[0] else "nproc unlimited")
        m.fork_fail = args[0]
    elif kind == "settings":
        # Read once at start-up: nothing changes.
        if args[0] == "missing":
            b.do("no-settings")
        else:
            with open(b.path(SETTINGS), "wb") as f:
                f.write(garbage_bytes(rng, 4096))
    elif kind == "stations":
        iface, count = args
        b.do(f"stations {iface} {count}")
        m.stations[iface] = count
    elif kind == "send":
        b.do(f"send {args[0]} 600")
        m.sent[args[0]] += 1
    elif kind == "ssid":
        b.do("ssid home" if args[0] else "ssid none")
        m.ssid = args[0]
    elif kind == "tun":
        unit, up = args
        b.do(f"tun {unit} {'up' if up else 'down'}")
        if not up:
            m.tunnels[unit] = None
        elif m.tunnels[unit] is None:
            m.tunnels[unit] = 0
    elif kind == "tun-rx":
        if m.tunnels[args[0]] is None:
            return  # taken down by a change before this one
        b.do(f"tun {args[0]} rx 500")
        m.tunnels[args[0]] += 500
    elif kind == "sas":
        b.do(f"sas {args[0]}")
        m.sas = args[0]
    elif kind == "service":
        name, state = args
        b.do(f"service {name} {state}")
        if name == "drennic":
            m.portal = state
        else:
            m.remote = state
        m.pids[name] = process_id(b, name)
    elif kind == "pids":
        b.do(f"pids {args[0]}")
    elif kind == "pin":
        pin, value = args
        b.do(f"pin {pin} {'none' if value is None else value}")
        m.pins[pin] = value
    elif kind != "burst":
        raise ValueError(change)


def process_id(board, name):
    """The PID inside the board of the process called `name`, or None."""
    proc = board.path("/proc")
    for entry in os.listdir(proc):
        try:
            with open(os.path.join(proc, entry, "comm")) as f:
                if entry.isdigit() and f.read().strip() == name:
                    return int(entry)
        except OSError:
            pass
    return None


def daemon_events(board, start, end):
    """The daemon's device calls, messages, standard error lines and anything
    else worth a look among the board's events from `start` to `end`."""
    devices, logs, stderr, other = [], [], [], []
    for e in board.snapshot()[start:end]:
        if e.kind in ("led", "ioctl"):
            devices.append(f"{e.kind} {e.rest}")
        elif e.kind == "log":
            log = Log(e)
            if log.ident == "norvaskd":
                logs.append(log.text)
            else:
                other.append(repr(log))
        elif e.kind == "stderr":
            stderr.append(e.rest)
        elif e.kind in ("stdout", "log-raw", "exit", "killed", "error"):
            other.append(f"{e.kind} {e.rest}")
    return devices, logs, stderr, other


# ---- one board ----

class Mismatch(Exception):
    pass


class BoardRun:
    """One board's soak."""

    def __init__(self, command, modes, seed, ticks=None, deadline=None, check_every=25):
        self.command = list(command) + ["--fast-clock"]
        if os.geteuid() == 0:
            self.command += ["--user", SOAK_USER]
        self.modes = modes
        self.seed = seed
        self.ticks = ticks
        self.deadline = deadline
        self.check_every = check_every
        self.rng = random.Random(f"{seed} {modes}")
        self.counts = collections.Counter()
        self.checked_writes = 0
        self.resources = []  # (tick, figures)
        self.tick_count = 0
        self.error = None
        self.exit = None
        self.stopped_logs = 0
        self.seconds = 0.0

    # ---- changes ----

    def apply(self, change):
        self.counts[describe(change)] += 1
        apply_change(self.board, self.model, change, self.rng)

    def burst(self, signals, count):
        lines = [f"signal {self.rng.choice(signals)}" for _ in range(count)]
        # Never leave the daemon stopped.
        self.board.send(*lines, "signal CONT")
        self.counts["signals sent"] += count + 1

    # ---- ticks ----

    def check_tick(self, start, end, changes, first=False):
        devices, logs, stderr = self.model.tick()
        expected = (devices, (["started"] if first else []) + logs, stderr)
        devices, logs, stderr, other = daemon_events(self.board, start, end)
        actual = (devices, logs, stderr)
        if actual != expected or other:
            raise Mismatch(
                f"tick {self.tick_count} after {changes}:\n"
                f"  expected devices {expected[0]}\n  got      devices {devices}\n"
                f"  expected logs {expected[1]}\n  got      logs {logs}\n"
                f"  expected stderr {expected[2]}\n  got      stderr {stderr}\n"
                f"  other events {other}")
        self.checked_writes += sum(1 for d in devices if d.startswith("led ") or " led " in d)

    def next_tick(self, changes, signals=None):
        """Makes `changes`, runs one tick and checks it."""
        for change in changes:
            self.apply(change)
        start = self.board.mark()
        self.board.send("tick")
        self.tick_count += 1
        if ("burst",) in changes:
            self.burst(HARMLESS_SIGNALS, 12)
        if signals:
            # Once the tick is under way, so that it has to be completed.
            self.board.wait_for(lambda e: e.kind in ("led", "ioctl", "log", "stderr"), start=start)
            self.burst(signals, 20)
        end = self.board.wait_for(lambda e: e.kind in ("asleep", "exit", "killed"),
                                  start=start, timeout=30).index
        self.check_tick(start, end, changes)

    # ---- resources ----

    def figures(self):
        b = self.board
        inspected = b.inspect()
        status = {}
        with open(b.path(f"/proc/{b.daemon_pid}/status")) as f:
            for line in f:
                key, _, value = line.partition(":")
                status[key] = value.split()[0] if value.split() else ""
        return {"fds": int(inspected["fds"]), "children": int(inspected["children"]),
                "zombies": int(inspected["zombies"]), "rss": int(status["VmRSS"]),
                "anon": int(status["RssAnon"])}

    def describe_process(self):
        """The daemon's open descriptors and memory map, to see what changed."""
        proc = self.board.path(f"/proc/{self.board.daemon_pid}")
        fds = [f"{fd} -> {os.readlink(os.path.join(proc, 'fd', fd))}"
               for fd in sorted(os.listdir(os.path.join(proc, "fd")), key=int)]
        with open(os.path.join(proc, "smaps")) as f:
            smaps = [line.rstrip() for line in f
                     if re.match(r"^[0-9a-f]+-|^(Rss|Anonymous):", line)]
        return "\n".join(fds + smaps)

    def check_resources(self):
        now = self.figures()
        self.resources.append((self.tick_count, now))
        base = self.baseline
        if (now["fds"], now["children"], now["zombies"], now["anon"]) != \
                (base["fds"], 0, 0, base["anon"]) or now["rss"] > base["rss"]:
            raise Mismatch(f"tick {self.tick_count}: resources {now}, after the first round {base}\n"
                           f"{self.describe_process()}")

    # ---- the run ----

    def garbage_settings_run(self):
        """A daemon whose settings file holds only garbage: both LEDs off, and done."""
        b = self.board
        with open(b.path(SETTINGS), "wb") as f:
            f.write(garbage_bytes(self.rng, 65536))
        start = b.mark()
        b.start()
        b.wait_exit(start=start)
        devices, logs, stderr, other = daemon_events(self.board, start, None)
        expected = (["led 1 0", "led 2 0"], ["started", "stopped"], [])
        if (devices, logs, stderr) != expected or other != ["exit 0"]:
            raise Mismatch(f"garbage settings: {devices} {logs} {stderr} {other}")

    def done(self):
        if self.ticks is not None:
            return self.tick_count >= self.ticks
        return time.monotonic() >= self.deadline

    def run(self):
        began = time.monotonic()
        try:
            self.board = Board(self.command)
            self.board.open()
            try:
                self._run()
            finally:
                self.diagnostics = self.board.diagnostics()
                self.board.close()
        except (Mismatch, BoardError, OSError) as e:
            self.error = str(e)
        self.seconds = time.monotonic() - began

    def _run(self):
        b = self.board
        b.do("clock step")
        try:
            b.do("tun 0 up", "tun 0 down")
            tunnels = True
        except BoardError:
            tunnels = False  # no /dev/net/tun for an unprivileged board
        with open(b.path("/opt/board/garbage"), "rb") as f:
            self.model = Model(self.modes, f.read().decode("latin-1"))
        scenario = Scenario(self.seed, tunnels)
        self.garbage_settings_run()

        with open(b.path(SETTINGS), "wb") as f:
            f.write(settings_text(self.rng, self.modes))
        # The GPIO device is missing at first: the daemon must find it later.
        b.do("device gpio off")
        self.model.gpio_file = False
        for change in START_FAULTS.get(self.modes, []):
            self.apply(change)
        start = b.mark()
        b.start()
        end = b.wait_for(lambda e: e.kind == "asleep", start=start).index
        self.tick_count = 1
        self.check_tick(start, end, ["start"], first=True)
        self.first = self.figures()
        while scenario.in_first_round(self.tick_count + 1):
            self.next_tick(scenario.changes(self.tick_count + 1, self.model))
        self.baseline = self.figures()
        self.resources.append((self.tick_count, self.baseline))
        # Only the GPIO device, found during the first round, is new.
        if (self.baseline["fds"], self.baseline["children"], self.baseline["zombies"]) != \
                (self.first["fds"] + 1, 0, 0):
            raise Mismatch(f"after the first round: {self.baseline}, at tick 1: {self.first}")
        while not self.done():
            self.next_tick(scenario.changes(self.tick_count + 1, self.model))
            if self.tick_count % self.check_every == 0:
                self.check_resources()
        # Everything mended, so that the last tick shows itself; a burst of
        # stop signals lands in it, and the tick is completed all the same.
        self.next_tick(scenario.repairs())
        self.check_resources()
        self.next_tick([], signals=STOP_SIGNALS + ["STOP", "CONT"])
        start = b.mark()
        b.send("tick")
        b.wait_log("stopped", start=start)
        self.exit = b.wait_exit(start=start)
        devices, logs, stderr, other = daemon_events(self.board, start, None)
        self.stopped_logs = logs.count("stopped")
        if devices or logs != ["stopped"] or stderr or other != ["exit 0"]:
            raise Mismatch(f"stop: {devices} {logs} {stderr} {other}")


def run_soak(command, ticks=None, minutes=None, seed=1, boards=BOARDS):
    deadline = time.monotonic() + minutes * 60 if minutes else None
    runs = [BoardRun(command, modes, seed, ticks=ticks, deadline=deadline) for modes in boards]
    threads = [threading.Thread(target=r.run) for r in runs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return runs


# ---- the report ----

def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def report(runs, command_line, daemon, seed, seconds):
    lines = [
        "# Soak under faults",
        "",
        f"Written by `{command_line}` on {datetime.date.today().isoformat()}; rerun it to "
        "refresh. Each board runs the daemon's binary as built "
        f"(`build/norvaskd`, sha256 `{sha256(daemon)[:16]}`) on the simulated board with a "
        f"stepping clock; scenario seed {seed}; {os.cpu_count()} cores, "
        f"{platform.machine()}, Linux {platform.release()}; {seconds / 60:.1f} minutes.",
        "",
        "After every tick the daemon's device calls (each LED write, pin read and serial",
        "counter read, in order), its syslog messages and its standard error are compared",
        "with what the model of the board and of the daemon's documented behaviour demands",
        "(`sim/tests/soak.py`). Descriptors, children, zombies and resident memory are read",
        "after the first round of faults (the baseline: by then the daemon has met every",
        "fault once) and every 25 ticks after it; anonymous memory must stay equal, the",
        "resident set must not grow. The run ends with a burst of stop signals in the",
        "middle of a tick.",
        "",
        "| LEDs' modes | ticks | LED writes checked | descriptors: tick 1, baseline, end | "
        "children, zombies at the end | VmRSS KiB: tick 1, baseline, highest, end | "
        "RssAnon KiB: baseline, end | stop | result |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for r in runs:
        last = r.resources[-1][1] if r.resources else None
        base = r.baseline if hasattr(r, "baseline") else None
        first = r.first if hasattr(r, "first") else None
        if first and base and last:
            highest = max(f["rss"] for _, f in r.resources)
            stop = f'"stopped" {r.stopped_logs}x, exit {r.exit[1]}' if r.exit else "-"
            lines.append(
                f"| {r.modes[0]}, {r.modes[1]} | {r.tick_count} | {r.checked_writes} | "
                f"{first['fds']}, {base['fds']}, {last['fds']} | "
                f"{last['children']}, {last['zombies']} | "
                f"{first['rss']}, {base['rss']}, {highest}, {last['rss']} | "
                f"{base['anon']}, {last['anon']} | "
                f"{stop} | "
                f"{'passed' if not r.error else 'FAILED'} |")
        else:
            lines.append(f"| {r.modes[0]}, {r.modes[1]} | {r.tick_count} | - | - | - | - | - | - | "
                         "FAILED |")
    ticks = sum(r.tick_count for r in runs)
    writes = sum(r.checked_writes for r in runs)
    lines += ["", f"{ticks} ticks in all, {ticks / seconds:.0f} a second over the five boards; "
              f"{writes} LED writes checked."]
    total = collections.Counter()
    for r in runs:
        total.update(r.counts)
    lines += ["", "Changes made between ticks, all boards together:", "",
              "| change | times |", "|---|---|"]
    for change, count in sorted(total.items()):
        lines.append(f"| `{change}` | {count} |")
    failures = [f"- LEDs {r.modes}: {r.error}" for r in runs if r.error]
    if failures:
        lines += ["", "Failures:", ""] + failures
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--board", required=True)
    parser.add_argument("--daemon", required=True)
    length = parser.add_mutually_exclusive_group()
    length.add_argument("--ticks", type=int)
    length.add_argument("--minutes", type=float)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--report")
    parser.add_argument("--command-line", default="scripts/soak")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    ticks = args.ticks if args.ticks or args.minutes else 300
    began = time.monotonic()
    runs = run_soak([args.board, "--daemon", args.daemon], ticks=None if args.minutes else ticks,
                    minutes=args.minutes, seed=seed)
    text = report(runs, args.command_line, args.daemon, seed, time.monotonic() - began)
    print(text)
    for r in runs:
        if r.error:
            print(f"--- LEDs {r.modes}: {r.error}\n{getattr(r, 'diagnostics', '')}", file=sys.stderr)
    if args.report:
        with open(args.report, "w") as f:
            f.write(text)
    return 1 if any(r.error for r in runs) else 0


if __name__ == "__main__":
    sys.exit(main())
