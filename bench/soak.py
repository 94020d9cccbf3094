"""The soak: the daemon's binary runs for hundreds of ticks on simulated
boards while a scenario of board lines, played on the board and in the
model alike, breaks each board in every way it knows and mends it again.
The board's clock steps: each tick runs when asked, so every
change lands between two ticks. After each tick the daemon's device calls
(LED writes, pin reads, serial counter reads), its messages and its output
are compared with what a model of the board and of the daemon's documented
behaviour demands; every so many ticks its descriptors, children and
resident memory are compared with those after the first round of faults.

On the emulated router (--router PACKAGE) the same walk, limited to the
lines the router plays, runs against its real services and UARTs on the
real clock (the router could step it, but what only the router shows is
the daemon keeping time beside real services): each change is made while
the daemon is held with SIGSTOP in its sleep after a tick, and released
after.

    bench/soak.py --board BOARD --daemon DAEMON [--ticks N | --minutes M]
            [--seed S] [--report FILE]
    bench/soak.py --router PACKAGE [--minutes M] [--seed S] [--report FILE]
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
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))

from board import CLASS_LEDS, SETTINGS, Board, BoardError, Log, class_led_setting  # noqa: E402
from model import TOOLS, WIFI, Model  # noqa: E402
from report import Report  # noqa: E402

BROKEN = ["missing", "fail", "silent", "garbage"]
# Both LEDs on modes that run commands, and two boards for the devices.
BOARDS = [(11, 13), (12, 14), (15, 16), (7, 3), (10, 2)]
# LED 1 on a kernel LED of the board's (the GPIO device's faults leave it be).
KERNEL_LED_BOARDS = {(7, 3)}
# Broken when a board's daemon starts: on the last board the I/O command
# prints garbage when the daemon first asks it about a pin, which it asks once.
START_FAULTS = {(10, 2): ["tool io garbage"]}
# IPsec status through one tool or the other, the other not installed.
SWANCTL = ("tool swanctl normal", "tool stroke missing")
STROKE = ("tool stroke normal", "tool swanctl missing")
# Signals the daemon leaves alone; STOP and CONT interrupt whatever it waits in.
HARMLESS_SIGNALS = ["CHLD", "WINCH", "URG", "CONT", "STOP", "CONT"]
# On the router STOP and CONT are the soak's own: it tells a daemon held in
# its sleep from one that has begun the next tick by the time since the
# tick's last write, which holds only while nothing else stops the daemon (a
# stop that outlasts its sleep lets the next tick begin as soon as it is
# continued).
ROUTER_SIGNALS = ["CHLD", "WINCH", "URG"]
STOP_SIGNALS = ["TERM", "INT", "QUIT", "STOP", "CONT"]
# The daemon's user when the board runs as root, which RLIMIT_NPROC would spare.
SOAK_USER = "65534"
# The router's board: one daemon after another, LED 1 on each mode family
# in turn; LED 2 on mode 17 writes last in every tick and so marks its end.
ROUTER_MODES = [(13, 17), (11, 17), (14, 17), (12, 17), (15, 17), (7, 17), (16, 17), (2, 17)]
# What a tool printing garbage prints on the router (its board script's stand-in).
ROUTER_GARBAGE = "\x01\xfe garbage\nRX bytes: none\nSecurity Associations ( up, none\n"


class Plays:
    """What a board plays, in one place: the walk chooses only these lines.
    `refused`: verbs, or "verb word" for a verb's word after the port, it
    refuses; `phones`: stations it can join in all (None: any number);
    `sas`: the most security associations; `needs_peer`: data moves over a
    Wi-Fi network only with a phone on it or the client associated;
    `tools_own`: its own actions run the tools the faults break, so a tool's
    fault is mended before the board acts again; `frames`: a phone joining
    (not one leaving), or the client told a network (the one it is on too:
    it associates again), sends frames that move the interface's counters;
    `unseen`: the device calls it cannot report (by the start of their
    event); `signals`: those its bursts send."""

    def __init__(self, refused=(), phones=None, sas=2, needs_peer=False, tools_own=False,
                 frames=False, unseen=(), signals=HARMLESS_SIGNALS):
        self.frames = frames
        self.signals = signals
        self.unseen = tuple(unseen)
        self.refused = set(refused)
        self.phones = phones
        self.sas = sas
        self.needs_peer = needs_peer
        self.tools_own = tools_own

    def __call__(self, line):
        words = line.split()
        return not (words[0] in self.refused
                    or len(words) > 2 and f"{words[0]} {words[2]}" in self.refused)

    def moved(self, model, line):
        """The interface whose counters `line` moves on this board besides
        what the model has it do, or None."""
        words = line.split()
        if not self.frames:
            return None
        if words[0] == "stations" and int(words[2]) > model.stations[words[1]]:
            return words[1]
        if words[0] == "ssid" and words[1] != "none":
            return "wlan1"
        return None


SIMULATED = Plays()
# The router's interfaces are its own, its UART driver does not fail, and
# the daemon runs as root there, which RLIMIT_NPROC spares; its UARTs'
# counters are read from the kernel's own driver, unseen.
ROUTER = Plays(refused=("iface", "nproc", "serial fail", "serial ok"),
               phones=2, sas=1, needs_peer=True, tools_own=True, frames=True,
               unseen=("ioctl ttyS0 ", "ioctl ttyS1 "), signals=ROUTER_SIGNALS)


# ---- the scenario: board lines ----

def fault_lines(plays=SIMULATED):
    """Every way the scenario breaks a board that `plays` those lines: the
    lines that break it and those that mend it (none for the settings,
    which the daemon has read)."""
    pairs = [(f"tool {t} {how}", f"tool {t} normal") for t in TOOLS if t != "swanctl"
             for how in BROKEN]
    pairs += [("gpio fail", "gpio ok"), ("tmp full", "tmp free"), ("nproc 0", "nproc unlimited")]
    pairs += [(f"device {d} off", f"device {d} on") for d in ("gpio", "ttyS0", "ttyS1")]
    pairs += [(f"serial {p} fail", f"serial {p} ok") for p in ("ttyS0", "ttyS1")]
    faults = [((fault,), (fix,)) for fault, fix in pairs]
    faults.append((SWANCTL, STROKE))
    faults += [(("modes 17 17",), ()), (("no-settings",), ())]
    return [(fault, fix) for fault, fix in faults if all(map(plays, fault + fix))]


def activity(rng, model, tunnels, plays=SIMULATED):
    """A board line that changes what the board has to show."""
    wifi = rng.choice(WIFI)
    ap = rng.choice(["wlan0", "wlan02"])
    counts = [0, 1, 2]
    if plays.phones is not None:
        other = sum(n for i, n in model.stations.items() if i != ap)
        counts = [n for n in counts if n + other <= plays.phones]
    peer = model.ssid if wifi == "wlan1" else model.stations[wifi]
    send = f"send {wifi} 600"
    if plays.needs_peer and not peer:
        send = f"ssid {rng.choice(['home', 'none'])}"
    choices = [
        f"stations {ap} {rng.choice(counts)}",
        send, send,
        rng.choice(["ssid home"] * 3 + ["ssid none"] * 2),
        f"sas {rng.choice(range(plays.sas + 1))}",
        f"service tessik_clientd {rng.choice(['connected', 'listening', 'down'])}",
        f"service drennic {rng.choice(['listening', 'down'])}",
        f"pin {rng.choice(list(model.pins))} {rng.choice(['0', '1', '1', 'none'])}",
        f"serial {rng.choice(['ttyS0', 'ttyS1'])} {rng.choice(['in 7', 'out 5'])}",
    ]
    if tunnels:
        choices.append(f"tun {rng.randrange(4)} {rng.choice(['up'] * 3 + ['down'] * 2)}")
        up = [u for u in range(4) if model.tunnels[u] is not None]
        if up:
            choices += [f"tun {rng.choice(up)} rx 500"] * 2
    return rng.choice(choices)


class Scenario:
    """The board lines before each tick: first one round through every
    fault (so that the daemon has met each before its resources are taken
    as the baseline), then a seeded random walk among faults and board
    states. Signal lines are meant for the tick that follows them."""

    def __init__(self, seed, tunnels, plays=SIMULATED):
        self.rng = random.Random(seed)
        self.tunnels = tunnels
        self.plays = plays
        self.faults = fault_lines(plays)
        self.active = []  # repairs of the faults in force
        self.first_round = self._first_round()

    def _first_round(self):
        # PIDs near five digits, which net-tools' netstat shows cut.
        busy = ["pids 9000", "device gpio on", "tool io normal", "stations wlan0 1", "ssid home",
                "sas 1", "service tessik_clientd connected", "service drennic listening",
                "serial ttyS0 in 7", "serial ttyS1 out 5", "pin bin1 0"]
        if self.tunnels:
            busy += ["tun 0 up", "tun 0 rx 500"]
        steps = [busy, ["send wlan0 600", "send wlan1 600", "stations wlan02 1"]]
        repair = []
        for fault, fix in self.faults:
            steps.append(repair + list(fault))
            repair = list(fix)
        # IPsec status through swanctl, and that tool and grep broken then.
        steps.append(repair + list(SWANCTL))
        steps += [[f"tool swanctl {how}"] for how in BROKEN] + [["tool swanctl normal"]]
        steps += [[f"tool grep {how}"] for how in BROKEN]
        steps.append(["tool grep normal", *STROKE, *self.burst()])
        steps.append(["send wlan02 600", *self.burst()])
        return steps

    def burst(self):
        burst = [f"signal {self.rng.choice(self.plays.signals)}" for _ in range(12)]
        # Never leave the daemon stopped.
        return burst + ["signal CONT"] if "STOP" in self.plays.signals else burst

    def changes(self, model):
        """The lines before the next tick, made one at a time: the caller
        plays each on the board and in `model` before asking for the next."""
        if self.first_round:
            yield from self.first_round.pop(0)
            return
        rng, mended = self.rng, []
        for fix in list(self.active):
            if rng.random() < 0.35 or self.plays.tools_own:
                self.active.remove(fix)
                mended.append(fix)
                yield from fix
        if self.plays.tools_own:
            yield from self._activity(model)
        if rng.random() < 0.5:
            fault, fix = rng.choice(self.faults)
            # Not what was mended just now; a second fault of a broken tool
            # replaces the first, with the same repair.
            if fix not in mended:
                if fix and fix not in self.active:
                    self.active.append(fix)
                yield from fault
        if not self.plays.tools_own:
            yield from self._activity(model)
        if rng.random() < 0.15:
            yield from self.burst()

    def _activity(self, model):
        for _ in range(self.rng.choice([0, 1, 1, 2, 3])):
            yield activity(self.rng, model, self.tunnels, self.plays)

    def repairs(self):
        fixes, self.active = self.active, []
        return [line for fix in fixes for line in fix]


def garbage_bytes(rng, size):
    return bytes(rng.getrandbits(8) for _ in range(size))


def settings_text(rng, modes, lines=()):
    """Both keys, and any other `lines`, among garbage, long lines and lines
    that almost match."""
    return (garbage_bytes(rng, 3000) + b"\n" + b"x" * 20000 + b"\nmod_norvask_mode2x=9\n"
            + b" MOD_NORVASK_MODE=9\n" + f"MOD_NORVASK_MODE={modes[0]}\r\n".encode()
            + garbage_bytes(rng, 500) + b"\n" + f'MOD_NORVASK_MODE2="{modes[1]}"\n'.encode()
            + b"".join(line.encode() + b"\r\n" for line in lines)
            + garbage_bytes(rng, 3000))


def play(board, model, line, process_id=None, timeout=10):
    """Makes the change `line` on the board and in the model."""
    board.do(line, timeout=timeout)
    model.apply(line)
    words = line.split()
    if words[0] == "service":
        # Its process ID, which netstat shows, is the board's to choose.
        model.pids[words[1]] = (process_id or board.process_id)(words[1])


def daemon_events(board, start, end, services_log=False):
    """The daemon's device calls, messages, standard error lines and anything
    else worth a look among the board's events from `start` to `end`
    (`services_log`: the board's own services log too, and are left out)."""
    devices, logs, stderr, other = [], [], [], []
    for e in board.snapshot()[start:end]:
        if e.kind in ("led", "ioctl"):
            devices.append(f"{e.kind} {e.rest}")
        elif e.kind == "log":
            log = Log(e)
            if log.ident == "norvaskd":
                logs.append(log.text)
            elif not services_log:
                other.append(repr(log))
        elif e.kind == "stderr":
            stderr.append(e.rest)
        elif e.kind in ("stdout", "log-raw", "exit", "killed", "error"):
            other.append(f"{e.kind} {e.rest}")
    return devices, logs, stderr, other


class Mismatch(Exception):
    pass


def check_tick(board, model, start, end, title, first=False, services_log=False, plays=SIMULATED):
    """Checks the daemon's events from `start` to `end` against the model's
    next tick; its device calls."""
    devices, logs, stderr = model.tick()
    devices = [d for d in devices if not d.startswith(plays.unseen)]
    expected = (devices, (["started"] if first else []) + logs, stderr)
    devices, logs, stderr, other = daemon_events(board, start, end, services_log)
    if (devices, logs, stderr) != expected or other:
        raise Mismatch(
            f"{title}:\n"
            f"  expected devices {expected[0]}\n  got      devices {devices}\n"
            f"  expected logs {expected[1]}\n  got      logs {logs}\n"
            f"  expected stderr {expected[2]}\n  got      stderr {stderr}\n"
            f"  other events {other}")
    return devices


# ---- one board ----

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

    # ---- ticks ----

    services_log = False
    plays = SIMULATED
    OPEN_SECONDS = 15

    def check_tick(self, start, end, played, first=False):
        devices = check_tick(self.board, self.model, start, end,
                             f"tick {self.tick_count} after {played}", first, self.services_log,
                             self.plays)
        self.checked_writes += sum(1 for d in devices if d.startswith("led ") or " led " in d)

    def take(self, lines, change):
        """Counts `lines` and makes each change with `change`; returns the
        lines played and the signals among them, which are left to send."""
        played, signals = [], []
        for line in lines:
            self.counts[line] += 1
            played.append(line)
            if line.startswith("signal "):
                signals.append(line)
            else:
                change(line)
        return played, signals

    def next_tick(self, lines, under_way=False):
        """Plays `lines`, runs one tick and checks it. The signals among
        them go to the daemon as the tick begins (`under_way`: once it has
        begun, so that it has to be completed)."""
        played, signals = self.take(lines, lambda line: play(self.board, self.model, line))
        start = self.board.mark()
        self.board.send("tick")
        self.tick_count += 1
        if under_way:
            self.board.wait_for(lambda e: e.kind in ("led", "ioctl", "log", "stderr"), start=start)
        self.board.send(*signals)
        end = self.board.wait_for(lambda e: e.kind in ("asleep", "exit", "killed"),
                                  start=start, timeout=30).index
        self.check_tick(start, end, played)

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
            raise Mismatch(f"tick {self.tick_count}: resources {now}, "
                           f"after the first round {base}\n"
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
            self.board.open(timeout=self.OPEN_SECONDS)
            try:
                self._run()
            finally:
                self.diagnostics = self.board.diagnostics()
                self.board.close(timeout=self.OPEN_SECONDS)
        except (Mismatch, BoardError, OSError) as e:
            self.error = str(e)
        self.seconds = time.monotonic() - began

    def walk(self, scenario, new_fds):
        """After the first round: its figures as the baseline (`new_fds`:
        the descriptors opened during it), the random walk until done, and
        a tick with everything mended, so that the last tick shows itself."""
        self.baseline = self.figures()
        self.resources.append((self.tick_count, self.baseline))
        if (self.baseline["fds"], self.baseline["children"], self.baseline["zombies"]) != \
                (self.first["fds"] + new_fds, 0, 0):
            raise Mismatch(f"after the first round: {self.baseline}, at tick 1: {self.first}\n"
                           f"{self.describe_process()}")
        while not self.done():
            self.next_tick(scenario.changes(self.model))
            if self.tick_count % self.check_every == 0:
                self.check_resources()
        self.next_tick(scenario.repairs())
        self.check_resources()

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

        # A kernel LED's key as the reader takes it too: in small letters,
        # its value quoted.
        lines = [f'mod_norvask_led="{CLASS_LEDS[0]}"'] if self.modes in KERNEL_LED_BOARDS else []
        with open(b.path(SETTINGS), "wb") as f:
            f.write(settings_text(self.rng, self.modes, lines))
        for line in lines:
            self.model.apply(f"settings {line}")
        # The GPIO device is missing at first: the daemon must find it later.
        for line in ["device gpio off"] + START_FAULTS.get(self.modes, []):
            play(b, self.model, line)
        start = b.mark()
        b.start()
        end = b.wait_for(lambda e: e.kind == "asleep", start=start).index
        self.tick_count = 1
        self.check_tick(start, end, ["start"], first=True)
        self.first = self.figures()
        while scenario.first_round:
            self.next_tick(scenario.changes(self.model))
        # Only the GPIO device, found during the first round, is new.
        self.walk(scenario, new_fds=1)
        # A burst of stop signals lands in the last tick, and the tick is
        # completed all the same.
        stop = [f"signal {self.rng.choice(STOP_SIGNALS)}" for _ in range(20)]
        self.next_tick(stop + ["signal CONT"], under_way=True)
        start = b.mark()
        b.send("tick")
        b.wait_log("stopped", start=start)
        self.exit = b.wait_exit(start=start)
        devices, logs, stderr, other = daemon_events(self.board, start, None)
        self.stopped_logs = logs.count("stopped")
        if devices or logs != ["stopped"] or stderr or other != ["exit 0"]:
            raise Mismatch(f"stop: {devices} {logs} {stderr} {other}")


# ---- the emulated router ----

def marks_tick_end(e):
    """LED 2's write on mode 17, the last device call of every tick."""
    return e.kind == "led" and e.rest.startswith("2 ") or \
        e.kind == "ioctl" and e.rest.startswith("gpio led 2 ")


class RouterRun(BoardRun):
    """One daemon's soak on the emulated router, on the real clock. A
    change takes seconds there, so the daemon is held with SIGSTOP after
    each tick, the changes made, and released: the tick that follows sees
    all of them. It is held in its one-second sleep when the stop landed
    within HELD_SECONDS of the tick's last write, whether the tick ended
    before the walk's signals were all sent or after; otherwise the next
    tick may have begun, and is taken as one without changes."""

    services_log = True
    plays = ROUTER
    OPEN_SECONDS = 240
    HELD_SECONDS = 0.8
    TICK_SECONDS = 30
    CHANGE_SECONDS = 60

    def __init__(self, command, modes, seed, seconds, check_every=10):
        super().__init__(command, modes, seed, None, None, check_every)
        self.share = seconds  # counted from the router's boot on
        self.command = list(command)
        self.window = None  # where the events of the tick under way begin
        self.late_holds = 0

    def process_id(self, name):
        status, out = self.board.run(f"pidof {name}")
        return int(out.split()[0]) if status == 0 and out.split() else None

    def hold(self, played, first=False):
        """Waits for the tick under way to end and checks it; returns with
        the daemon held in its sleep after a tick. A tick whose sleep the
        stop came too late for is checked with the events from before its
        sleep could end (its syslog lines trail its last write), and the
        next one held."""
        b = self.board
        while True:
            end = b.wait_for(marks_tick_end, start=self.window, timeout=self.TICK_SECONDS)
            start = b.mark()
            b.do("signal STOP")
            stopped = b.wait_for(lambda e: e.kind == "ok" and e.rest == "signal STOP",
                                 start=start)
            if stopped.time - end.time < self.HELD_SECONDS:
                # Whatever the tick sent on its way (its syslog lines) is in.
                time.sleep(0.2)
                now = b.mark()
                self.check_tick(self.window, now, played, first)
                self.window = now
                return
            self.late_holds += 1
            b.do("signal CONT")
            cut = next((e.index for e in b.snapshot()[end.index + 1:]
                        if e.time >= end.time + self.HELD_SECONDS), b.mark())
            self.check_tick(self.window, cut, played, first)
            self.window = cut
            self.tick_count += 1
            played, first = ["(nothing: the next tick may have begun)"], False

    def next_tick(self, lines, under_way=False):
        """Plays `lines` while the daemon is held, releases it, sends the
        signals among them and holds it again after the tick."""
        def change(line):
            moved = ROUTER.moved(self.model, line)
            play(self.board, self.model, line, self.process_id, timeout=self.CHANGE_SECONDS)
            if moved:
                self.model.apply(f"send {moved}")

        played, signals = self.take(lines, change)
        self.board.do("signal CONT", *signals)
        self.tick_count += 1
        self.hold(played)

    def figures(self):
        b = self.board
        inspected = b.inspect()
        status = dict(line.split(":", 1) for line in
                      b.run(f"cat /proc/{b.daemon_pid}/status")[1].splitlines() if ":" in line)
        return {"fds": int(inspected["fds"]), "children": int(inspected["children"]),
                "zombies": int(inspected["zombies"]), "rss": int(status["VmRSS"].split()[0]),
                "anon": int(status["RssAnon"].split()[0])}

    def describe_process(self):
        pid = self.board.daemon_pid
        return self.board.run(f"ps -o pid,ppid,stat,args; ls -l /proc/{pid}/fd; "
                              f"grep -E '^[0-9a-f]+-|^(Rss|Anonymous):' /proc/{pid}/smaps")[1]

    def _run(self):
        b = self.board
        self.deadline = time.monotonic() + self.share
        # The model's starting point: IPsec status through stroke, swanctl not installed.
        b.do("swanctl off", timeout=self.CHANGE_SECONDS)
        self.model = Model(self.modes, ROUTER_GARBAGE)
        scenario = Scenario(self.seed, True, ROUTER)
        b.do(f"modes {self.modes[0]} {self.modes[1]}")
        # LED 1 on the router's kernel LED, whose values are the kernel's
        # record; LED 2, on the GPIO device, ends each tick.
        play(b, self.model, class_led_setting(1, CLASS_LEDS[0]))
        start = b.mark()
        b.start(timeout=self.TICK_SECONDS)
        self.window = start
        self.tick_count = 1
        self.hold(["start"], first=True)
        self.first = self.figures()
        while scenario.first_round and not self.done():
            self.next_tick(scenario.changes(self.model))
        # The GPIO device was there from the start: nothing is new.
        self.walk(scenario, new_fds=0)
        # Stop signals while it is held in its sleep: it ends without another tick.
        start = b.mark()
        stop = [f"signal {self.rng.choice(STOP_SIGNALS[:3])}" for _ in range(3)]
        b.do(*stop, "signal CONT")
        b.wait_log("stopped", start=start, timeout=self.TICK_SECONDS)
        self.exit = b.wait_exit(start=start, timeout=self.TICK_SECONDS)
        devices, logs, stderr, other = daemon_events(b, self.window, None, services_log=True)
        self.stopped_logs = logs.count("stopped")
        if devices or logs != ["stopped"] or stderr or other != ["exit 0"]:
            raise Mismatch(f"stop: {devices} {logs} {stderr} {other}")


def run_router_soak(command, minutes, seed=1, boards=ROUTER_MODES):
    """One daemon after another on the router, each for its share of
    `minutes` once the router is up."""
    runs = []
    for modes in boards:
        run = RouterRun(command, modes, seed, minutes * 60 / len(boards))
        run.run()
        runs.append(run)
    return runs


def run_soak(command, ticks=None, minutes=None, seed=1, boards=BOARDS):
    deadline = time.monotonic() + minutes * 60 if minutes else None
    runs = [BoardRun(command, modes, seed, ticks=ticks, deadline=deadline) for modes in boards]
    # Every board at once: each spends most of its time waiting for its daemon.
    with ThreadPoolExecutor(max_workers=len(runs)) as pool:
        list(pool.map(BoardRun.run, runs))
    return runs


# ---- the report ----

def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def modes_text(modes, router=False):
    """A board's LEDs' modes, a kernel LED's marked."""
    first = f"{modes[0]} (kernel LED)" if modes in KERNEL_LED_BOARDS and not router else modes[0]
    return f"{first}, {modes[1]}"


def report(runs, command_line, daemon, seed, seconds, router=False):
    doc = Report("Soak under faults" + (" on the emulated router" if router else ""))
    machine = (f"scenario seed {seed}; {os.cpu_count()} cores, {platform.machine()}, "
               f"Linux {platform.release()}; {seconds / 60:.1f} minutes.")
    if router:
        late = sum(r.late_holds for r in runs)
        doc.paragraph(
            f"Written by `{command_line}` on {datetime.date.today().isoformat()}; rerun it to",
            "refresh. The router package as built",
            f"(`{os.path.basename(daemon)}`, sha256 `{sha256(daemon)[:16]}`) on the emulated",
            "arm64 router (`vm/router.py`), against its real hostapd, wpa_supplicant,",
            "OpenVPN, charon and 16550 UARTs: one daemon after another, LED 1 on each",
            "mode family in turn for its share of the time, LED 2 on mode 17, whose write",
            "ends each tick. The walk is the simulated board's (`docs/soak.md`) with only",
            "the lines the router plays, on the real clock: the daemon is held with",
            "SIGSTOP in its sleep after each tick while the changes are made, and its",
            "signal bursts leave STOP and CONT to that hold; its UART",
            "driver does not fail and RLIMIT_NPROC spares the daemon, which runs as root;",
            "a tool's fault lasts one tick, as the router's own actions use the tools.",
            f"{late} stops came too late to hold a tick's sleep; each such tick was",
            f"checked as one without changes. {machine}")
    else:
        doc.paragraph(
            f"Written by `{command_line}` on {datetime.date.today().isoformat()}; rerun it to",
            "refresh. Each board runs the daemon's binary as built",
            f"(`build/norvaskd`, sha256 `{sha256(daemon)[:16]}`) on the simulated board with a",
            "stepping clock, its LEDs on the board's GPIO device but where a kernel LED of",
            f"the board's is named (its key among the settings' garbage); {machine}")
    doc.paragraph(
        "After every tick the daemon's device calls (each LED write, pin read and serial",
        "counter read, in order), its syslog messages and its standard error are compared",
        "with what the model of the board and of the daemon's documented behaviour demands",
        "(`sim/model.py`). Descriptors, children, zombies and resident memory are read",
        "after the first round of faults (the baseline: by then the daemon has met every",
        f"fault once) and every {runs[0].check_every} ticks after it; anonymous memory",
        "must stay equal, the resident set must not grow. The run ends with a burst of",
        "stop signals " + ("while the daemon is held in its sleep: it ends without another"
                           " tick." if router else "in the middle of a tick."))
    rows = []
    for r in runs:
        last = r.resources[-1][1] if r.resources else None
        base = getattr(r, "baseline", None)
        first = getattr(r, "first", None)
        result = "passed" if not r.error else "FAILED"
        if not (first and base and last):
            rows.append([modes_text(r.modes, router), r.tick_count] + ["-"] * 6 + ["FAILED"])
            continue
        highest = max(f["rss"] for _, f in r.resources)
        stop = f'"stopped" {r.stopped_logs}x, exit {r.exit[1]}' if r.exit else "-"
        rows.append([modes_text(r.modes, router), r.tick_count, r.checked_writes,
                     f"{first['fds']}, {base['fds']}, {last['fds']}",
                     f"{last['children']}, {last['zombies']}",
                     f"{first['rss']}, {base['rss']}, {highest}, {last['rss']}",
                     f"{base['anon']}, {last['anon']}", stop, result])
    doc.table(["LEDs' modes", "ticks", "LED writes checked", "descriptors: tick 1, baseline, end",
               "children, zombies at the end", "VmRSS KiB: tick 1, baseline, highest, end",
               "RssAnon KiB: baseline, end", "stop", "result"], rows)
    ticks = sum(r.tick_count for r in runs)
    writes = sum(r.checked_writes for r in runs)
    doc.paragraph(f"{ticks} ticks in all, {ticks / seconds:.1f} a second over the",
                  f"{len(runs)} boards; {writes} LED writes checked.")
    total = collections.Counter()
    for r in runs:
        total.update(r.counts)
    doc.paragraph("Board lines played before each tick (signals: during it), all boards together:")
    doc.table(["change", "times"], [[f"`{change}`", count]
                                    for change, count in sorted(total.items())])
    failures = [f"LEDs {r.modes}: {r.error}" for r in runs if r.error]
    if failures:
        doc.paragraph("Failures:")
        doc.items(failures)
    return doc


def finish(doc, path, failed):
    """Prints the report, and the details of each failed run on standard
    error; writes the report to `path` when given. The exit status."""
    print(doc.text())
    for name, details in failed.items():
        print(f"--- {name}:\n{details}", file=sys.stderr)
    if path:
        doc.write(path)
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    board = parser.add_mutually_exclusive_group(required=True)
    board.add_argument("--board")
    board.add_argument("--router", metavar="PACKAGE", help="the emulated router, with this package")
    parser.add_argument("--daemon")
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
    if args.router:
        router = [sys.executable, os.path.join(HERE, "..", "vm", "router.py"),
                  "--package", args.router]
        runs = run_router_soak(router, args.minutes or 2, seed=seed)
        doc = report(runs, args.command_line, args.router, seed, time.monotonic() - began,
                     router=True)
    else:
        if not args.daemon:
            parser.error("--board needs --daemon")
        runs = run_soak([args.board, "--daemon", args.daemon],
                        ticks=None if args.minutes else ticks, minutes=args.minutes, seed=seed)
        doc = report(runs, args.command_line, args.daemon, seed, time.monotonic() - began)
    failed = {f"LEDs {r.modes}": f"{r.error}\n{getattr(r, 'diagnostics', '')}"
              for r in runs if r.error}
    return finish(doc, args.report, failed)


if __name__ == "__main__":
    sys.exit(main())
