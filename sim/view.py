"""Live view of the two LEDs while the daemon drives them on a board: the
simulated one, or the emulated arm64 router. Keys change the board; q or
Ctrl-C stops the daemon (SIGTERM) and leaves.

usage: view.py (--board BIN --daemon BIN | --router PACKAGE) [--status BIN]
               [--scenario FILE] [--for SECONDS] [--events FILE] MODE1 [MODE2]
"""

import argparse
import json
import math
import os
import select
import signal
import subprocess
import sys
import termios
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from board import STATUS, Board, BoardError, Log, Unsupported, led_value  # noqa: E402
from model import WIFI, Model  # noqa: E402

UNKNOWN_MODE = ("not a mode", "Numbers above 17 select nothing: the LED stays dark.")


def mode_words(listing):
    """What each mode shows, from the status tool's `--modes --json`, the
    one table of them: mode -> (what it shows, when it is lit and blinks)."""
    words = {}
    for m in json.loads(listing)["modes"]:
        text = f"On when: {m['on']}." if m["on"] else "Never on: the LED stays dark."
        if m["blinks"]:
            text += f" Blinks when: {m['blinks']}."
        words[m["mode"]] = (m["shows"], text)
    return words


def words_from_program(status):
    """The table from norvask-status on this machine; empty, with a
    warning, when it cannot be run."""
    try:
        done = subprocess.run([status, "--modes", "--json"], capture_output=True, text=True,
                              check=True, timeout=10)
        return mode_words(done.stdout)
    except (OSError, subprocess.SubprocessError, ValueError) as e:
        print(f"no words for the modes from {plain(status)}: {plain(str(e))}", file=sys.stderr)
        return {}


# key: (what it changes, the modes it matters for)
KEYS = {
    "1": ("switch on input 1 (bin0)", {1}),
    "2": ("switch on input 2 (bin1)", {2}),
    "3": ("output 1 (out0)", {3}),
    "4": ("output 2 (out1)", {4}),
    "s": ("data on serial port 1 (ttyS0)", {5, 6, 7}),
    "S": ("data on serial port 2 (ttyS1)", {8, 9, 10}),
    "w": ("a phone on the Wi-Fi hotspot (wlan0)", {11}),
    "c": ("the router's own Wi-Fi connection (wlan1)", {12}),
    "t": ("data flowing over Wi-Fi", {11, 12}),
    "o": ("OpenVPN tunnel tun0", {13}),
    "i": ("IPsec tunnel", {14}),
    "r": ("remote-management connection", {15}),
    "p": ("VPN portal service", {16}),
}


PIN_OF_KEY = {"1": "bin0", "2": "bin1", "3": "out0", "4": "out1"}
PORT_OF_KEY = {"s": "ttyS0", "S": "ttyS1"}


def describe(m, key):
    """In words, what `key` changes as the model `m` of the board has it."""
    if key in PIN_OF_KEY:
        value = m.pins[PIN_OF_KEY[key]]
        words = ("closed", "open") if key in "12" else ("off", "on")
        return "missing" if value is None else words[value]
    if key in PORT_OF_KEY:
        return "flowing" if m.ports[PORT_OF_KEY[key]]["flowing"] else "quiet"
    rx, stations = m.tunnels[0], m.stations["wlan0"]
    return {
        "w": f"{stations} connected" if stations else "nobody connected",
        "c": f'connected to "{plain(m.ssid)}"' if m.ssid else "not connected",
        "t": "flowing" if m.flowing else "quiet",
        "o": "down" if rx is None else "up, data received" if rx else "up, no data yet",
        "i": f"{m.sas} up" if m.sas else "not established",
        "r": {"connected": "connected", "listening": "waiting, not connected",
              "down": "not running"}[m.remote],
        "p": "listening" if m.portal == "listening" else "not running",
    }[key]


def toggle(m, key):
    """The board lines that flip what `key` changes, given the model `m`."""
    if key in PIN_OF_KEY:
        pin = PIN_OF_KEY[key]
        return [f"pin {pin} {1 if m.pins[pin] == 0 else 0}"]
    if key in PORT_OF_KEY:
        port = PORT_OF_KEY[key]
        return [f"serial {port} flowing {'off' if m.ports[port]['flowing'] else 'on'}"]
    return {
        "w": [f"stations wlan0 {0 if m.stations['wlan0'] else 1}"],
        "c": [f"ssid {'none' if m.ssid else 'home'}"],
        "t": [f"traffic {iface} {'off' if m.flowing else 'on'}" for iface in WIFI],
        "o": ["tun 0 down"] if m.tunnels[0] is not None else ["tun 0 up", "tun 0 rx 1500"],
        "i": [f"sas {0 if m.sas else 1}"],
        "r": ["service tessik_clientd "
              + ("listening" if m.remote == "connected" else "connected")],
        "p": ["service drennic " + ("down" if m.portal == "listening" else "listening")],
    }.get(key, [])


BOLD, DIM, GREEN, RESET = "\x1b[1m", "\x1b[2m", "\x1b[1;32m", "\x1b[0m"
# Besides C0 and C1: the marks that turn text right to left, which can make
# a line read other than it is.
BIDI = {0x061c, 0x200e, 0x200f, *range(0x2028, 0x202f), *range(0x2066, 0x206a)}


def plain(text):
    """Text from the board (an SSID is anyone's to choose) as the status
    tool prints it: backslash escapes for quotes, backslashes and control
    characters, so that nothing it holds reaches the terminal as a command."""
    out = []
    for ch in text:
        c = ord(ch)
        if ch in '\\"':
            out.append("\\" + ch)
        elif ch in "\n\r\t":
            out.append({"\n": "\\n", "\r": "\\r", "\t": "\\t"}[ch])
        elif 0xdc80 <= c <= 0xdcff:
            out.append(f"\\x{c - 0xdc00:02x}")  # a byte that was not UTF-8
        elif c < 0x20 or c == 0x7f:
            out.append(f"\\x{c:02x}")
        elif 0x80 <= c <= 0x9f or c in BIDI or 0xd800 <= c <= 0xdfff:
            out.append(f"\\u{c:04x}")
        else:
            out.append(ch)
    return "".join(out)


def wrap(text, width):
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return lines + [line] if line else lines


def words_from_board(board):
    """The table from the router's own norvask-status, through `run`."""
    status, listing = board.run(f"{STATUS} --modes --json")
    try:
        return mode_words(listing) if status == 0 else {}
    except ValueError:
        return {}


class View:
    def __init__(self, board, modes, title="a simulated router board", words=None):
        self.board = board
        self.modes = modes
        self.words = words or {}
        self.title = title
        self.model = Model()  # fed the lines the board confirms
        self.leds = {1: None, 2: None}
        self.changes = {1: [], 2: []}  # when each LED last changed
        self.seen = 0
        self.messages = []
        self.caption = ""
        self.daemon = "starting"
        self.started = time.monotonic()

    def absorb(self):
        """Takes in the board's new events; True when something changed."""
        events = self.board.snapshot()[self.seen:]
        self.seen += len(events)
        for e in events:
            if e.kind == "led":
                led, value = int(e.words[0]), led_value(e.words[1])
                if self.leds[led] != value:
                    self.changes[led] = self.changes[led][-5:] + [time.monotonic()]
                self.leds[led] = value
            elif e.kind == "ok":
                self.model.apply(e.rest)
            elif e.kind == "log":
                log = Log(e)
                self.messages.append(plain(f"{log.ident}[{log.pid}]: {log.text}"))
            elif e.kind in ("stderr", "stdout"):
                self.messages.append(f"({e.kind}) {plain(e.rest)}")
            elif e.kind == "say":
                self.caption = plain(e.rest)
            elif e.kind == "daemon":
                self.daemon = f"running (pid {plain(e.rest)})"
            elif e.kind in ("exit", "killed"):
                self.daemon = f"stopped ({e.kind} {plain(e.rest)})"
            elif e.kind in ("error", "refused"):
                self.messages.append(f"(board) {e.kind} {plain(e.rest)}")
        self.messages = self.messages[-6:]
        return bool(events)

    def led_lines(self, led):
        mode = self.modes[led - 1]
        name, text = self.words.get(mode, UNKNOWN_MODE)
        value = self.leds[led]
        now = time.monotonic()
        # Four flashes a second are easy to miss in a terminal: say so.
        blinking = len([t for t in self.changes[led] if now - t < 2.2]) >= 3
        state = ("blinking" if blinking else "not set yet" if value is None
                 else "ON" if value else "off")
        lamp = f"{GREEN}(@){RESET}" if value else f"{DIM}( ){RESET}"
        colour = GREEN if value or blinking else ""
        lines = [f"  LED {led}  {lamp}  {colour}{state:<11}{RESET}  "
                 f"{BOLD}mode {mode}: {name}{RESET}"]
        lines += [f"{'':29}{line}" for line in wrap(text, 50)]
        return lines

    def render(self):
        relevant = set(self.modes)
        out = [f"{BOLD}norvask on {self.title}{RESET}"
               f"{'':22}q or Ctrl-C: quit", ""]
        out += self.led_lines(1) + [""] + self.led_lines(2) + [""]
        out.append(f"{BOLD}The board{RESET} (press a key to change it; "
                   f"{DIM}dim lines do not affect these modes{RESET})")
        for key, (what, modes) in KEYS.items():
            line = f"  [{key}] {what:<44} {describe(self.model, key)}"
            out.append(line if modes & relevant else f"{DIM}{line}{RESET}")
        elapsed = int(time.monotonic() - self.started)
        out += ["", f"Daemon: {self.daemon}, {elapsed} s"]
        if self.caption:
            out.append(f"{BOLD}>> {self.caption}{RESET}")
        out.append("System log:")
        out += [f"  {m}" for m in self.messages[-5:]]
        return "\x1b[H" + "".join(f"{line}\x1b[K\r\n" for line in out) + "\x1b[J"


def run_live(board, modes, duration, title, words):
    view = View(board, modes, title, words)
    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    sys.stdout.write("\x1b[?1049h\x1b[?25l")  # own screen, no cursor
    try:
        tty.setcbreak(fd)
        deadline = time.monotonic() + duration if duration else None
        last = 0.0
        while deadline is None or time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.03)
            if ready:
                key = os.read(fd, 1).decode(errors="replace")
                if key in ("q", "Q"):
                    break
                if key in KEYS:
                    board.send(*toggle(view.model, key))
            now = time.monotonic()
            if view.absorb() or now - last > 0.2:
                sys.stdout.write(view.render())
                sys.stdout.flush()
                last = now
    except KeyboardInterrupt:
        pass
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)
        sys.stdout.write("\x1b[?25h\x1b[?1049l")
        sys.stdout.flush()
    return view


def run_plain(board, modes, duration, title, words):
    """Without a terminal: one line per LED change, until the time is up."""
    view = View(board, modes, title, words)
    deadline = time.monotonic() + duration if duration else None
    try:
        while deadline is None or time.monotonic() < deadline:
            before = dict(view.leds)
            view.absorb()
            for led in (1, 2):
                if view.leds[led] != before[led]:
                    print(f"LED {led} {'on' if view.leds[led] else 'off'}", flush=True)
            time.sleep(0.02)
    except KeyboardInterrupt:
        pass
    return view


def write_events(board, path):
    """Every event the board reported, one a line as it printed it, with
    its text escaped as on the screen: the file may end up on a terminal.
    The client's own end-of-output mark has no time and is left out."""
    with open(path, "w", encoding="utf-8") as f:
        for e in board.snapshot():
            if math.isfinite(e.time):
                f.write(plain(" ".join(w for w in (f"{e.time:.6f}", e.kind, e.rest) if w)) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--board", help="the norvask-board binary (the simulated board)")
    parser.add_argument("--daemon", help="the daemon binary, for the simulated board")
    parser.add_argument("--router", metavar="PACKAGE",
                        help="the emulated arm64 router instead, with this package installed "
                             "and the daemon started by its start script")
    parser.add_argument("--status", help="norvask-status on this machine, for the modes' words "
                                         "(default: beside --daemon; with --router, the "
                                         "router's own)")
    parser.add_argument("--scenario", help="a file of board commands to run")
    parser.add_argument("--web", type=int, metavar="PORT",
                        help="with --router: its web page at 127.0.0.1:PORT on this machine")
    parser.add_argument("--for", dest="duration", type=float, help="quit after SECONDS")
    parser.add_argument("--events", metavar="FILE",
                        help="write every event the board reported to FILE when the view ends")
    parser.add_argument("mode1", type=int,
                        help="LED 1's mode: 0 to 17 (see the README); 18 and above keep it off")
    parser.add_argument("mode2", type=int, nargs="?", default=0,
                        help="LED 2's mode, from the same table (default 0: off)")
    args = parser.parse_args()
    if not args.router and not (args.board and args.daemon):
        parser.error("give --board and --daemon, or --router")
    if args.web is not None and not args.router:
        parser.error("--web needs --router")

    if args.router:
        router = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vm", "router.py")
        web = ["--web", str(args.web)] if args.web is not None else []
        board = Board([sys.executable, router, "--package", args.router] + web,
                      script=args.scenario)
        print("booting the emulated router (some 15 to 30 s) ...", flush=True)
    else:
        board = Board([args.board, "--daemon", args.daemon], script=args.scenario)
    try:
        board.open(timeout=300 if args.router else 15)
    except Unsupported as e:
        lines = "\n".join(map(plain, str(e).splitlines()))
        print(f"this machine cannot host the board's sandbox:\n{lines}", file=sys.stderr)
        return 1
    # Ctrl-C reaches us alone; the board is stopped through its input.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        board.do(f"modes {args.mode1} {args.mode2}")
        if args.router:
            # As on a router: through its start script.
            start = board.mark()
            board.do("init start", timeout=60)
            board.wait_for(lambda e: e.kind == "daemon", start=start)
        else:
            board.start()
        if args.status or not args.router:
            words = words_from_program(
                args.status or os.path.join(os.path.dirname(args.daemon), "norvask-status"))
        else:
            words = words_from_board(board)
        live = sys.stdin.isatty() and sys.stdout.isatty()
        run = run_live if live else run_plain
        title = "the emulated arm64 router" if args.router else "a simulated router board"
        if args.web is not None:
            board.do("web start")
            sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vm"))
            from router import WEB_PASSWORD, WEB_USER
            title += (f"; its page: http://127.0.0.1:{args.web}/ "
                      f"(user {WEB_USER}, password {WEB_PASSWORD})")
            print(f"the router's page: http://127.0.0.1:{args.web}/ "
                  f"(user {WEB_USER}, password {WEB_PASSWORD})", flush=True)
        run(board, (args.mode1, args.mode2), args.duration, title, words)
        print("stopping the daemon (SIGTERM) ...", flush=True)
        mark = board.mark()
        board.close()
        ends = [e for e in board.snapshot()[mark:] if e.kind in ("exit", "killed")]
        print(f"the daemon has stopped: {ends[0].kind} {plain(ends[0].rest)}" if ends
              else "the daemon had already stopped")
    except BoardError as e:
        board.close()
        print(f"the board failed: {plain(str(e))}", file=sys.stderr)
        return 1
    finally:
        # Once the board has closed, so that the daemon's end is there too.
        if args.events:
            write_events(board, args.events)
    return 0


if __name__ == "__main__":
    sys.exit(main())
