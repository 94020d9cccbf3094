"""Client for norvask-board: starts a simulated board, sends it commands and
collects the events it reports (LED writes, syslog messages, the daemon's
output and exit).

The board and daemon binaries come from the arguments or from the
environment: NORVASK_BOARD (the supervisor), NORVASK_SIM_DAEMON (the daemon
binary), NORVASK_SIM_PREFIX (an emulator command line to run the daemon
under, split like a shell would) and NORVASK_SIM_DEVICES ("seccomp", the
default, or "none" when something else answers the device calls).
"""

import os
import shlex
import subprocess
import threading
import time

# The supervisor's exit status when the machine cannot host its sandbox.
UNSUPPORTED = 77


class BoardError(Exception):
    pass


class Unsupported(BoardError):
    """The machine cannot host the simulated board."""


class Refused(BoardError):
    """A line the board cannot play ("refused LINE: WHY"), told apart from
    one that failed by the event's kind, whichever board it came from."""


class Event:
    """One line of the board's report: "<seconds> <kind> <rest>"."""

    __slots__ = ("time", "kind", "rest", "index")

    def __init__(self, time_, kind, rest, index):
        self.time = time_
        self.kind = kind
        self.rest = rest
        self.index = index

    @property
    def words(self):
        return self.rest.split()

    def __repr__(self):
        return f"{self.time:.3f} {self.kind} {self.rest}"


class Log:
    """A syslog message: facility, severity, identity, claimed and real PID, text."""

    __slots__ = ("time", "facility", "severity", "ident", "pid", "sender", "text")

    def __init__(self, event):
        facility, severity, ident, pid, sender, *text = event.rest.split(" ", 5)
        self.time = event.time
        self.facility = facility
        self.severity = severity
        self.ident = ident
        self.pid = int(pid)
        self.sender = int(sender)
        self.text = text[0] if text else ""

    def __repr__(self):
        return f"{self.time:.3f} {self.ident}[{self.pid}] {self.severity}: {self.text}"


def led_value(word):
    """The value of an `led N V` event: 0 or 1, or on a kernel LED a
    brightness between the two as the text "RAW/MAX"."""
    return int(word) if word.isdigit() else word


def parse_event(line, index):
    stamp, _, rest = line.partition(" ")
    kind, _, rest = rest.partition(" ")
    return Event(float(stamp), kind, rest, index)


# Where the board shows a host file given with --file.
FILES_DIR = "/opt/board/files"

# Where the package puts its files on the board, as on a router.
DAEMON = "/opt/norvask/bin/norvaskd"
STATUS = "/opt/norvask/bin/norvask-status"
INIT = "/opt/norvask/etc/init"
SETTINGS = "/opt/norvask/etc/settings"
CGI = "/opt/norvask/www/cgi-bin/norvask"
PID_FILE = "/var/run/norvaskd.pid"
# The boards' kernel LEDs, LED 1's and LED 2's (the router's, by its device
# tree; served with max_brightness 255 on the simulated board), and where
# their files are.
CLASS_LEDS = ("norvask:green:one", "norvask:red:two")
CLASS_LEDS_DIR = "/sys/class/leds"


def class_led_setting(led, name):
    """The board line that has LED `led` (1 or 2) be the kernel LED `name`."""
    return f"settings MOD_NORVASK_LED{'' if led == 1 else led}={name}"


def shown_path(host_path):
    """Where the board shows the host file `host_path` given with --file."""
    return f"{FILES_DIR}/{os.path.basename(host_path)}"


def board_command(board, daemon, prefix=(), env=(), files=(), shell=None, devices=True):
    """The supervisor's command line: the daemon (or any program in its
    place) run under the `prefix` words with the extra `env` entries, host
    `files` shown at shown_path(), `shell` at /bin/sh, and the device calls
    answered by the board unless `devices` is false."""
    command = [board, "--daemon", daemon]
    for option, values in (("--prefix", prefix), ("--env", env), ("--show", files)):
        for value in values:
            command += [option, value]
    if shell:
        command += ["--shell", shell]
    if not devices:
        command.append("--no-device-filter")
    return command


def default_command():
    board = os.environ.get("NORVASK_BOARD")
    daemon = os.environ.get("NORVASK_SIM_DAEMON")
    if not board or not daemon:
        raise BoardError("set NORVASK_BOARD and NORVASK_SIM_DAEMON")
    return board_command(board, daemon,
                         prefix=shlex.split(os.environ.get("NORVASK_SIM_PREFIX", "")),
                         devices=os.environ.get("NORVASK_SIM_DEVICES", "seccomp") != "none")


class Board:
    """A running simulated board. Use as a context manager, or call open()
    and close()."""

    def __init__(self, command=None, fast_clock=False, script=None):
        self.command = list(command or default_command())
        if fast_clock:
            self.command.append("--fast-clock")
        if script:
            self.command += ["--script", script]
        self.events = []
        self.daemon_pid = None
        self._changed = threading.Condition()
        self._proc = None
        self._stderr = []
        self._sent = 0
        self._quit_sent = False

    # ---- life cycle ----

    def open(self, timeout=15):
        self._proc = subprocess.Popen(
            self.command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
            start_new_session=True,
        )
        self._reader = threading.Thread(target=self._read_events, daemon=True)
        self._reader.start()
        threading.Thread(target=self._read_stderr, daemon=True).start()
        try:
            self.wait_for(lambda e: e.kind == "ready", timeout=timeout)
        except BoardError:
            status = self._proc.wait(timeout=5)
            if status == UNSUPPORTED:
                raise Unsupported(self.diagnostics()) from None
            raise
        return self

    def quit(self):
        """Asks the board to leave, without waiting for it (close waits):
        boards asked together leave side by side."""
        if self._proc is None or self._quit_sent or self._proc.poll() is not None:
            return
        self._quit_sent = True
        try:
            self._proc.stdin.write("quit\n")
            self._proc.stdin.flush()
        except OSError:
            pass  # it has gone: close finds it so

    def close(self, timeout=10):
        if self._proc is None:
            return
        try:
            self.quit()
            self._proc.wait(timeout=timeout)
        except (OSError, subprocess.TimeoutExpired):
            self._proc.kill()
            self._proc.wait()
        finally:
            # Every event the board reported before it ended is collected.
            self._reader.join(timeout=5)
            for stream in (self._proc.stdin, self._proc.stdout, self._proc.stderr):
                try:
                    stream.close()
                except OSError:
                    pass

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    @property
    def pid(self):
        """The supervisor's PID on the host."""
        return self._proc.pid

    def path(self, inside):
        """The host path under which the sandbox's `inside` path is seen."""
        return f"/proc/{self._proc.pid}/root{inside}"

    def diagnostics(self):
        lines = [repr(e) for e in self.snapshot()[-40:]]
        return "\n".join(["--- board events (last 40):", *lines,
                          "--- board stderr:", *self._stderr])

    # ---- commands ----

    def send(self, *lines):
        """Sends command lines without waiting for them."""
        for line in lines:
            self._proc.stdin.write(line + "\n")
            self._sent += 1
        self._proc.stdin.flush()

    def do(self, *lines, timeout=10):
        """Runs command lines one after the other; raises on an error."""
        for line in lines:
            start = len(self.snapshot())
            self.send(line)
            event = self.wait_for(
                lambda e, sent=line: e.kind in ("ok", "error", "refused")
                and e.rest.startswith(sent),
                timeout=timeout,
                start=start,
            )
            if event.kind != "ok":
                # The event names its line first.
                raise (Refused if event.kind == "refused" else BoardError)(event.rest)
        return self

    def start(self, closed=False, how=None, timeout=10):
        """Starts the daemon and returns its PID. `how` is one of the start
        command's variants (closed, no-arguments, empty-name)."""
        how = "closed" if closed else how
        start = self.mark()
        self.do(f"start {how}" if how else "start", timeout=timeout)
        event = self.wait_for(lambda e: e.kind == "daemon", timeout=timeout, start=start)
        self.daemon_pid = int(event.rest)
        return self.daemon_pid

    # ---- events ----

    def _read_events(self):
        for line in self._proc.stdout:
            line = line.rstrip("\n")
            if not line:
                continue
            with self._changed:
                self.events.append(parse_event(line, len(self.events)))
                self._changed.notify_all()
        with self._changed:
            self.events.append(Event(float("inf"), "eof", "", len(self.events)))
            self._changed.notify_all()

    def _read_stderr(self):
        for line in self._proc.stderr:
            self._stderr.append(line.rstrip("\n"))

    def snapshot(self):
        with self._changed:
            return list(self.events)

    def wait_for(self, predicate, timeout=10, start=0):
        """The first event from index `start` on that satisfies `predicate`,
        which sees each event once and in order."""
        deadline = time.monotonic() + timeout
        position = start
        with self._changed:
            while True:
                while position < len(self.events):
                    event = self.events[position]
                    position += 1
                    if predicate(event):
                        return event
                    if event.kind == "eof":
                        raise BoardError("the board ended\n" + self.diagnostics())
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BoardError("timed out waiting\n" + self.diagnostics())
                self._changed.wait(left)

    def wait_count(self, predicate, count, timeout=10, start=0):
        """Waits until `count` events from `start` on satisfy `predicate`; returns them."""
        found = []

        def enough(event):
            if predicate(event):
                found.append(event)
            return len(found) >= count

        self.wait_for(enough, timeout=timeout, start=start)
        return found

    def leds(self, led=None, start=0):
        """LED writes as (time, led, value), or (time, value) for one LED
        (values as led_value reads them)."""
        writes = []
        for e in self.snapshot()[start:]:
            if e.kind != "led":
                continue
            n, value = int(e.words[0]), led_value(e.words[1])
            if led is None:
                writes.append((e.time, n, value))
            elif n == led:
                writes.append((e.time, value))
        return writes

    def wait_writes(self, led, count, timeout=None, start=0):
        """Waits for `count` writes to `led` from index `start`; returns (time, value) pairs."""
        timeout = timeout if timeout is not None else count * 1.5 + 5
        found = self.wait_count(
            lambda e: e.kind == "led" and e.words[0] == str(led), count, timeout=timeout,
            start=start)
        return [(e.time, led_value(e.words[1])) for e in found]

    def logs(self, start=0):
        return [Log(e) for e in self.snapshot()[start:] if e.kind == "log"]

    def wait_log(self, text, timeout=10, start=0):
        event = self.wait_for(
            lambda e: e.kind == "log" and Log(e).text == text, timeout=timeout, start=start
        )
        return Log(event)

    def lines(self, kind, start=0):
        """The text of every event of one kind (e.g. "stderr")."""
        return [e.rest for e in self.snapshot()[start:] if e.kind == kind]

    def wait_exit(self, timeout=10, start=0):
        """The daemon's end: ("exit", status) or ("killed", signal name)."""
        event = self.wait_for(lambda e: e.kind in ("exit", "killed"), timeout=timeout, start=start)
        return event.kind, event.rest

    def mark(self):
        """The index of the next event, to look only at what follows."""
        with self._changed:
            return len(self.events)

    def run(self, command, timeout=30):
        """Runs a shell command in the board's sandbox, as root; returns its
        exit status and its output (standard output and error together)."""
        return self.ran(self.start_run(command), timeout=timeout)

    def start_run(self, command):
        """Starts `command` as run does, without waiting for it; returns the
        mark to hand to ran."""
        start = self.mark()
        self.do(f"run {command}")
        return start

    def ran(self, start, timeout=30):
        """The exit status and output of the command started at mark `start`."""
        ended = self.wait_for(lambda e: e.kind == "ran", start=start, timeout=timeout)
        output = [e.rest for e in self.snapshot()[start:ended.index] if e.kind == "out"]
        return int(ended.rest), "\n".join(output)

    def wait_cpu(self, timeout=10, start=0):
        """The CPU time, in microseconds, of the daemon that ended and of the
        children it waited for: (user, system)."""
        event = self.wait_for(lambda e: e.kind == "cpu", timeout=timeout, start=start)
        user, system = event.words
        return int(user), int(system)

    def process_id(self, name):
        """The PID inside the board of the process called `name`, or None."""
        proc = self.path("/proc")
        for entry in os.listdir(proc):
            try:
                with open(os.path.join(proc, entry, "comm")) as f:
                    if entry.isdigit() and f.read().strip() == name:
                        return int(entry)
            except OSError:
                pass
        return None

    def class_led(self, name):
        """What the board's kernel LED `name` shows through its files:
        (brightness, max_brightness, the active trigger), or None when it
        is not there."""
        folder = self.path(f"{CLASS_LEDS_DIR}/{name}")
        try:
            with open(f"{folder}/brightness") as b, open(f"{folder}/max_brightness") as m, \
                    open(f"{folder}/trigger") as t:
                brightness, top, triggers = int(b.read()), int(m.read()), t.read().split()
        except FileNotFoundError:
            return None
        active, = [w[1:-1] for w in triggers if w.startswith("[")]
        return brightness, top, active

    def inspect(self):
        """The daemon's open descriptors, children and zombies."""
        start = self.mark()
        self.send("inspect")
        event = self.wait_for(lambda e: e.kind == "inspect", start=start)
        return dict(pair.split("=") for pair in event.words)
