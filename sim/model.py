"""What the daemon does on a board, worked out from the board's state: the
one description of the mode table and of what the board's commands answer,
for the system tests on either board, the soak, memcheck and the live view.

A Model follows a board through the same scenario lines the board takes
(`apply`) and tells what each tick must do (`tick`): the device calls in
order, the messages logged and the lines on standard error, and in
`writes` the values each LED was given. `predict` runs a whole scenario.
"""

import re

LOG_SERIAL = "failure getting serial stats"
LOG_OPENVPN = "failure getting OpenVPN status"
LOG_IPSEC = "failure getting IPsec status"
BLINK = [0, 1] * 4
# What stroke prints under "tool stroke no-count".
NO_COUNT = "Security Associations ( up, 0 connecting):\n  none\n"
PIN_OF_MODE = {1: "bin0", 2: "bin1", 3: "out0", 4: "out1"}
SERIAL_OF_MODE = {5: ("ttyS0", 2), 6: ("ttyS0", 1), 7: ("ttyS0", 3),
                  8: ("ttyS1", 2), 9: ("ttyS1", 1), 10: ("ttyS1", 3)}
TOOLS = ["hostapd_cli", "wpa_cli", "ifconfig", "grep", "netstat", "io", "stroke", "swanctl"]
# The board's Wi-Fi interfaces until `iface ap|client` names them anew: the
# access points, then the client. The daemon watches these unless its
# settings name others.
WIFI = ["wlan0", "wlan02", "wlan1"]
ACCESS_POINTS = ["wlan0", "wlan02"]
CLIENT = "wlan1"
AP_KEY, CLIENT_KEY = "MOD_NORVASK_WIFI_AP", "MOD_NORVASK_WIFI_CLIENT"
# The program each control tool talks to.
PROGRAM_OF_TOOL = {"hostapd_cli": "hostapd", "wpa_cli": "wpa_supplicant", "stroke": "charon",
                   "swanctl": "charon"}
# The board's kernel LEDs until a line changes them (the router's two), and
# the settings keys that give each LED one.
CLASS_LEDS = ("norvask:green:one", "norvask:red:two")
LED_KEYS = {"MOD_NORVASK_LED": 1, "MOD_NORVASK_LED2": 2}
# Where the daemon keeps each command's output.
CAPTURES = {
    "wlan0": "/tmp/norvask_wifi_ap.txt",
    "wlan02": "/tmp/norvask_wifi_ap2.txt",
    "openvpn": "/tmp/norvask_open_vpn.txt",
    "ipsec": "/tmp/norvask_ipsec.txt",
    "portal": "/tmp/norvask_pelm_vpn.txt",
}
# Each access point's listing, in the order the settings name them.
AP_CAPTURES = ["/tmp/norvask_wifi_ap.txt", "/tmp/norvask_wifi_ap2.txt",
               "/tmp/norvask_wifi_ap3.txt", "/tmp/norvask_wifi_ap4.txt"]


def client_stats_log(iface):
    return f"unable to get interface stats for {iface}"


def settings_value(lines, key):
    """The value the first of the settings file's `lines` that sets `key`
    gives, read as the daemon reads it, or None."""
    for line in lines:
        line = line.split("\0")[0].split("\r")[0].split("\n")[0]
        if '"' in line:
            line = line[:line.rindex('"')]
        name, equals, value = line.partition("=")
        if equals and name.lower() == key.lower():
            return value[1:] if value.startswith('"') else value
    return None


def name_fault(name):
    """Why the daemon refuses the interface name `name` (bytes), or None:
    the kernel's rule, printable ASCII only."""
    if not name:
        return "is empty"
    if len(name) > 15:
        return "is longer than 15 bytes"
    if name in (b".", b".."):
        return "is not a name an interface can have"
    for byte in name:
        if byte == ord("/"):
            return "holds '/'"
        if byte == ord(":"):
            return "holds ':'"
        if byte in b" \t":
            return "holds a blank"
        if byte < 0x20 or byte == 0x7f:
            return "holds a control character"
        if byte > 0x7f:
            return "holds a byte outside ASCII"
    return None


def shown_name(name):
    """The start of a refused name as the daemon shows it: printable ASCII."""
    text = ""
    for byte in name[:23]:
        if byte in b'"\\':
            text += "\\" + chr(byte)
        elif byte < 0x20 or byte > 0x7e:
            text += f"\\x{byte:02x}"
        else:
            text += chr(byte)
    return text + ("..." if len(name) > 23 else "")


def wifi_key(lines, key, limit, default):
    """The interfaces the Wi-Fi `key` names in the settings `lines`, and why
    it was refused: (names, None) or (None, reason)."""
    value = (settings_value(lines, key) or "").encode().strip(b" \t")
    if not value:
        return list(default), None
    names = [value] if limit == 1 else [n for n in value.replace(b"\t", b" ").split(b" ") if n]
    for i, name in enumerate(names):
        if i == limit:
            return None, f"names more than {limit} interfaces"
        if (fault := name_fault(name)) is not None:
            return None, f'"{shown_name(name)}" {fault}'
    return [n.decode() for n in names], None


def shape(writes):
    """What one tick did to an LED: keep, off, on, blink, or the raw values."""
    if not writes:
        return "keep"
    if writes == [0]:
        return "off"
    if writes == [1]:
        return "on"
    if writes == BLINK:
        return "blink"
    return tuple(writes)


def usable_led_name(name):
    """A kernel LED name the daemon takes (whether the LED is there apart)."""
    return (0 < len(name.encode()) <= 63 and "/" not in name and name not in (".", "..")
            and not any(ord(c) < 32 or ord(c) == 127 for c in name))


class Model:
    """The board as the scenario left it, and the daemon's own state as its
    documented behaviour makes it."""

    def __init__(self, modes=(0, 0), garbage=""):
        self.modes = tuple(modes)
        self.garbage = garbage  # what a tool printing garbage prints
        # Each LED's kernel LED as the settings name it (None: the board's
        # GPIO device), and the board's kernel LEDs.
        self.led_names = {1: None, 2: None}
        self.served = set(CLASS_LEDS)
        self.gpio_file = True
        self.gpio_open = False  # the daemon keeps the device open once it has it
        self.gpio_fail = False
        self.pins = {"bin0": 1, "bin1": 1, "out0": 1, "out1": 1}  # None: the board lacks it
        self.ports = {p: {"file": True, "fail": False, "flowing": False, "rx": 0, "tx": 0}
                      for p in ("ttyS0", "ttyS1")}
        # The board's Wi-Fi interfaces: access points, then the client.
        self.aps, self.client = list(ACCESS_POINTS), CLIENT
        self.stations = {ap: 0 for ap in self.aps}
        self.ssid = None  # the network the Wi-Fi client is associated with
        self.ifaces = set(WIFI)
        self.sent = {i: 0 for i in WIFI}  # how often traffic moved the counters
        self.flowing = set()  # interfaces with traffic that goes on by itself
        self.tunnels = [None] * 4  # bytes received; None: no such tunnel
        self.sas = 0
        self.tools = {t: "normal" for t in TOOLS}
        self.tools["swanctl"] = "missing"
        self.remote = "down"
        self.portal = "down"
        self.pids = {}  # the services' process IDs, where they matter
        self.tmp_full = False
        self.fork_fail = False
        self.down = set()  # programs behind the tools that do not run
        # The settings file's lines beyond the modes; the interfaces the
        # daemon read from them when it started (None: the key was refused).
        self.settings_lines = []
        self.watch_aps, self.watch_client = list(ACCESS_POINTS), CLIENT
        # The daemon's: pin support, each LED's serial snapshot, each
        # interface's counter snapshot.
        self.support = {}
        self.uart = {1: None, 2: None}
        self.net = {}
        self.devices, self.logs, self.stderr = [], [], []
        self.writes = {1: [], 2: []}
        self.ticks = 0

    # ---- the scenario words ----

    def apply(self, line):
        """Changes the board as the board's command `line` does. Words that
        do not change what the daemon sees (wait, say, signal, ...) are
        accepted and ignored."""
        words = line.split()
        if not words or words[0].startswith("#"):
            return
        verb, args = words[0], words[1:]
        if verb == "settings":
            # The rest of the line as it is, blanks and all.
            rest = line.lstrip(" \t").split(None, 1)[1]
            self.settings_lines.append(rest)
            self._settings(rest)
            return
        handler = getattr(self, "_" + verb.replace("-", "_"), None)
        if handler:
            handler(*args)

    def _modes(self, mode1, mode2):
        if not self.ticks:  # the daemon reads its settings once, when it starts
            self.modes = (int(mode1), int(mode2))
            self.led_names = {1: None, 2: None}  # the file is written anew
            self.settings_lines = []

    def _no_settings(self):
        if not self.ticks:
            self.led_names = {1: None, 2: None}
            self.settings_lines = []

    def _settings(self, line):
        # The first line that sets a key counts.
        if self.ticks:
            return
        for key, led in LED_KEYS.items():
            value = settings_value([line], key)
            if self.led_names[led] is None and value is not None:
                self.led_names[led] = value

    def _led_class(self, name, change=None):
        if not self.ticks:  # what happens to an LED in use is not modelled
            if change == "gone":
                self.served.discard(name)
            else:
                self.served.add(name)

    def _pin(self, name, value):
        self.pins[name] = None if value == "none" else int(value)

    def _io(self, state):
        self.tools["io"] = "normal" if state == "on" else "missing"

    def _serial(self, port, *args):
        p = self.ports[port]
        if args[0] in ("fail", "ok"):
            p["fail"] = args[0] == "fail"
        elif args[0] == "flowing":
            if args[1] == "off" and p["flowing"]:
                self._flow(p)  # it flowed until now
            p["flowing"] = args[1] == "on"
        elif args[0] in ("in", "out"):
            p["rx" if args[0] == "in" else "tx"] += int(args[1])
        else:
            p["rx"], p["tx"] = int(args[0]), int(args[1])

    def _device(self, name, state):
        if name == "gpio":
            self.gpio_file = state == "on"
        else:
            self.ports[name]["file"] = state == "on"

    def _stations(self, iface, count):
        self.stations[iface] = int(count)

    def _ssid(self, name):
        self.ssid = None if name == "none" else name

    def _traffic(self, iface, state):
        if state == "on":
            self.flowing.add(iface)
        elif iface in self.flowing:
            self.flowing.discard(iface)
            self.sent[iface] += 1  # it flowed until now

    def _send(self, iface, _bytes=None):
        self.sent[iface] += 1

    def _iface(self, iface, *args):
        if iface in ("ap", "client"):
            # Named anew: the old interfaces go, the new ones come without
            # stations, traffic or counts.
            old = self.aps if iface == "ap" else [self.client]
            for name in old:
                self.ifaces.discard(name)
                self.flowing.discard(name)
            for name in args:
                self.ifaces.add(name)
                self.sent[name] = 0
            if iface == "ap":
                self.aps = list(args)
                self.stations = {ap: 0 for ap in self.aps}
            else:
                self.client = args[0]
        elif args[0] == "on":
            self.ifaces.add(iface)
        else:
            self.ifaces.discard(iface)

    def _tun(self, unit, state, count=None):
        unit = int(unit)
        if state == "rx":
            if self.tunnels[unit] is not None:
                self.tunnels[unit] += int(count)
        elif state in ("down", "off"):
            self.tunnels[unit] = None
        elif self.tunnels[unit] is None:
            self.tunnels[unit] = 0

    def _stroke(self, state):
        self.tools["stroke"] = "normal" if state == "on" else "missing"

    def _swanctl(self, state):
        self.tools["swanctl"] = "normal" if state == "on" else "missing"

    def _sas(self, count):
        self.sas = int(count)

    def _service(self, name, state, *_as_user):
        # Whoever runs a program of that name, it is the service to the daemon.
        if name == "drennic":
            self.portal = state
        else:
            self.remote = state

    def _tool(self, name, how):
        self.tools[name] = how

    def _gpio(self, state):
        self.gpio_fail = state == "fail"

    def _kill(self, program):
        self.down.add(program)

    _stop = _kill

    def _restart(self, program):
        # An access point that starts again has no stations yet; an IPsec
        # daemon no associations. The Wi-Fi client associates by itself.
        self.down.discard(program)
        if program == "hostapd":
            self.stations = {ap: 0 for ap in self.aps}
        if program == "charon":
            self.sas = 0

    def _tmp(self, state):
        self.tmp_full = state == "full"

    def _nproc(self, limit):
        self.fork_fail = limit == "0"

    # ---- what the board's commands print ----

    def run(self, tool, normal):
        """Output and exit status of `tool`, given those of the board's own."""
        if self.tools[tool] == "normal" and PROGRAM_OF_TOOL.get(tool) in self.down:
            return "", 255
        return {
            "normal": normal,
            "missing": ("", 127),
            "fail": ("", 1),
            "silent": ("", 0),
            "garbage": (self.garbage, 0),
            "no-count": (NO_COUNT, 0),
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

    def capture(self, piped, last, path):
        """What the capture file `path` holds once the pipeline that ends in
        `last` wrote to it (None: it cannot be read), and the pipeline's
        status. A capture path that someone else took first is the
        daemon's all the same: it clears it or writes elsewhere, so it is
        not modelled. On a full /tmp nothing is written: busybox grep ends with
        0 all the same, but cat, which prints the garbage, reports the failed
        write."""
        text, status = piped
        if not self.tmp_full or not text:
            return text, status
        return "", 1 if self.tools[last] == "garbage" else status

    def hostapd(self, iface):
        n = self.stations.get(iface, 0)
        return "".join(f"02:00:5e:00:00:{i:02x}\naid={i}\n" for i in range(1, n + 1)), 0

    def wpa(self, iface):
        if self.ssid and iface == self.client:
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
            lines.append("tcp 0 0 127.0.0.1:4000 127.0.0.1:4001 ESTABLISHED "
                         + owner("tessik_clientd"))
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

    def has_stations(self, index, iface):
        if self.fork_fail:
            return False
        out, _ = self.capture(self.run("hostapd_cli", self.hostapd(iface)), "hostapd_cli",
                              AP_CAPTURES[index])
        return out is not None and len(out) > 1

    def traffic(self, iface):
        if iface not in self.ifaces:
            return -1
        now, before = self.sent.get(iface, 0), self.net.get(iface)
        self.net[iface] = now
        return 1 if before is not None and before != now else 0

    def wifi_ap(self):
        """Each access point in turn; each with stations has its counters
        read, after a blink was decided too. A refused key: off."""
        stations = moved = False
        for index, iface in enumerate(self.watch_aps or []):
            if self.has_stations(index, iface):
                stations = True
                moved = self.traffic(iface) == 1 or moved
        return "blink" if moved else "on" if stations else "off"

    def wifi_client(self):
        iface = self.watch_client
        if iface is None or self.fork_fail or \
                self.grep(self.run("wpa_cli", self.wpa(iface)), r"^ssid=")[1] != 0:
            return "off"
        moved = self.traffic(iface)
        if moved < 0:
            self.logs.append(client_stats_log(iface))
            return "off"
        return "blink" if moved else "on"

    def start(self):
        """What the daemon reads of its settings when it starts, and the
        refusals it logs then."""
        aps, ap_refused = wifi_key(self.settings_lines, AP_KEY, 4, ACCESS_POINTS)
        client, client_refused = wifi_key(self.settings_lines, CLIENT_KEY, 1, [CLIENT])
        self.watch_aps, self.watch_client = aps, client and client[0]
        for key, refused, mode in ((AP_KEY, ap_refused, 11), (CLIENT_KEY, client_refused, 12)):
            if refused:
                self.logs.append(f"{key} refused: {refused}; mode {mode} keeps its LED off")

    def openvpn(self):
        for unit in range(4):
            if self.fork_fail:
                continue
            out, status = self.capture(
                self.grep(self.run("ifconfig", self.ifconfig(unit)), r"RX bytes:[0-9]*", only=True),
                "grep", CAPTURES["openvpn"])
            if status != 0:
                continue
            if out is None:
                return -1
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
                          only=True), "grep", CAPTURES["ipsec"])
            if status != 0:
                return 0
            if out is None:
                return -1
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
        listing = self.grep(self.run("netstat", self.netstat(True)), r"drennic")
        out, _ = self.capture(listing, "grep", CAPTURES["portal"])
        return 1 if out is not None and len(out) > 1 else 0

    # ---- the devices ----

    def device_open(self):
        if not self.gpio_open and self.gpio_file:
            self.gpio_open = True
        return self.gpio_open

    def led_kind(self, led):
        """How LED `led` is driven: "gpio", "class", or "none" for a kernel
        LED the daemon refused or did not find, which it never writes."""
        name = self.led_names[led]
        if name is None:
            return "gpio"
        return "class" if usable_led_name(name) and name in self.served else "none"

    def led_write(self, led, value):
        kind = self.led_kind(led)
        if kind == "gpio":
            self.gpio_write(led, value)
        elif kind == "class":
            # On is max_brightness, which the board reports as 1.
            self.devices.append(f"led {led} {1 if value else 0}")
            self.writes[led].append(1 if value else 0)

    def gpio_write(self, led, value):
        if not self.device_open():
            return
        if self.gpio_fail:
            self.devices.append(f"ioctl gpio led {led} {value} error ENODEV")
        else:
            self.devices.append(f"led {led} {value}")
            self.writes[led].append(value)

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

    @staticmethod
    def _flow(port):
        port["rx"] += 12
        port["tx"] += 7

    def tick(self):
        """What one tick does: device calls, messages, standard error lines.
        Traffic that flows by itself has moved its counters since the last
        tick."""
        if self.ticks:
            for iface in self.flowing:
                self.sent[iface] += 1
            for p in self.ports.values():
                if p["flowing"]:
                    self._flow(p)
        self.devices, self.logs, self.stderr = [], [], []
        if not self.ticks:
            self.start()
        self.ticks += 1
        self.writes = {1: [], 2: []}
        for led, mode in ((1, self.modes[0]), (2, self.modes[1])):
            action, value = self.decide(led, mode)
            for v in {"off": [0], "on": [value], "blink": BLINK, "keep": []}[action]:
                self.led_write(led, v)
        return self.devices, self.logs, self.stderr

    def shapes(self):
        """What the last tick did to each LED (see shape)."""
        return shape(self.writes[1]), shape(self.writes[2])


def predict(modes, setup=(), ticks=3, changes=(), pids=None):
    """What each LED shows in each of `ticks` ticks of a daemon started on
    a board set up with the lines `setup` (and the services' `pids` where
    they matter),
    when the line changes[k] is applied after tick k + 1: a list of
    (LED 1, LED 2) shapes."""
    model = Model(modes)
    for line in setup:
        model.apply(line)
    model.pids.update(pids or {})
    shown = []
    for tick in range(ticks):
        if 0 < tick <= len(changes):
            model.apply(changes[tick - 1])
        model.tick()
        shown.append(model.shapes())
    return shown
