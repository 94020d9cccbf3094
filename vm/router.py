"""The emulated router as a board: boots the arm64 guest that vm/build-image
made, installs the daemon's package in it, and then speaks the board
simulator's line protocol (see the README's "Simulated board"): commands on
standard input or from --script, events on standard output, each line
starting with the seconds since the driver started.

    vm/router.py [--package TARBALL | --daemon FILE] [--script FILE]
                 [--image DIR] [--console FILE]

The commands that the real board cannot carry out (a fast clock, a failing
UART driver, an interface taken away, RLIMIT_NPROC) answer with an error.
Words of its own:

    init start|stop|restart|status   the package's start script
    kill|stop|restart PROGRAM        hostapd, wpa_supplicant or charon
                                     (kill: SIGKILL, its sockets left behind)
    serial PORT in|out BYTES         bytes into or out of a UART, counted
                                     from what was sent before
    install FILE                     another package or daemon binary

init reports as run does: each line printed as "out TEXT", then "ran STATUS",
before its "ok".
"""

import argparse
import collections
import ctypes
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

UARTS = ("ttyS0", "ttyS1")
PROGRAMS = ("hostapd", "wpa_supplicant", "charon")
DAEMON = "/opt/norvask/bin/norvaskd"
INIT = "/opt/norvask/etc/init"
SETTINGS = "/opt/norvask/etc/settings"
# Guest events passed on as they are; the rest serve the driver.
REPORTED = {"led", "ioctl", "log", "log-raw", "daemon", "stdout", "stderr", "exit", "killed",
            "gpio"}
# The board script's exit status for a change the router cannot play.
REFUSED_STATUS = 3
BOOT_TIMEOUT = 90
COMMAND_TIMEOUT = 90


class RouterError(Exception):
    pass


class CommandError(Exception):
    """A command that failed; its text goes into the "error" line."""


class Refusal(CommandError):
    """A command the router cannot play: a "refused" line, as on the simulated board."""


def qemu_command(image, run_dir, console):
    return [
        "qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a57", "-smp", "2", "-m", "512M",
        "-nodefaults", "-no-user-config", "-display", "none", "-nic", "none",
        "-kernel", os.path.join(image, "vmlinuz.gz"),
        "-initrd", os.path.join(image, "initrd.gz"),
        # No IPv6: its own chatter would move the tunnels' counters.
        "-append", "console=ttyAMA0 quiet ipv6.disable=1",
        "-chardev", f"file,id=console,path={console}", "-serial", "chardev:console",
        "-device", "virtio-serial-pci",
        "-chardev", f"socket,id=board,path={run_dir}/board.sock",
        "-device", "virtserialport,chardev=board,name=board",
        "-chardev", f"socket,id=ttyS0,path={run_dir}/ttyS0.sock",
        "-chardev", f"socket,id=ttyS1,path={run_dir}/ttyS1.sock",
        "-device", "pci-serial-2x,chardev1=ttyS0,chardev2=ttyS1",
        "-fsdev", f"local,id=share,path={run_dir}/share,security_model=none,readonly=on",
        "-device", "virtio-9p-pci,fsdev=share,mount_tag=host",
        "-device", "virtio-rng-pci",
    ]


def die_with_parent():
    """In the child before exec: SIGKILL when the driver ends, however it ends
    (qemu runs in a session of its own, out of reach of the terminal's ^C)."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Request:
    def __init__(self):
        self.out = []
        self.err = []
        self.status = None
        self.failure = None
        self.done = threading.Event()


class Uart:
    """A UART's far end on the host: bytes fed to the router and bytes it sent."""

    def __init__(self, connection):
        self.connection = connection
        self.fed = 0       # bytes written towards the router
        self.arrived = 0   # of those, what the router has read
        self.received = 0  # bytes the router sent us
        self.flowing = False


class Router:
    """The running guest: its control channel, UARTs and event stream."""

    def __init__(self, image, console=None):
        self.image = image
        self.run_dir = tempfile.mkdtemp(prefix="router-vm-")
        os.mkdir(os.path.join(self.run_dir, "share"))
        self.console = console or os.path.join(self.run_dir, "console.log")
        self.origin = time.monotonic()
        self.offset = None  # host clock less guest clock, at its smallest seen
        self.changed = threading.Condition()
        self.requests = {}
        self.next_id = 1
        self.uarts = {}
        self.daemon_pid = None
        self.hello = None
        self.write_lock = threading.Lock()
        self.qemu = None
        self.control = None
        self.on_event = None

    # ---- life cycle ----

    def boot(self):
        for name in ("vmlinuz.gz", "initrd.gz"):
            if not os.path.exists(os.path.join(self.image, name)):
                raise RouterError(f"no {name} in {self.image}: run vm/build-image")
        listeners = {}
        for name in ("board",) + UARTS:
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            listener.bind(os.path.join(self.run_dir, f"{name}.sock"))
            listener.listen(1)
            listener.settimeout(30)
            listeners[name] = listener
        qemu_log = open(os.path.join(self.run_dir, "qemu.log"), "w")
        self.qemu = subprocess.Popen(
            qemu_command(self.image, self.run_dir, self.console),
            stdin=subprocess.DEVNULL, stdout=qemu_log, stderr=qemu_log, start_new_session=True,
            preexec_fn=die_with_parent)
        try:
            # qemu connects to each socket in turn before the guest starts.
            connections = {name: listener.accept()[0] for name, listener in listeners.items()}
        except OSError as e:
            raise RouterError(f"qemu did not connect ({e}): {self.qemu_log()}") from None
        finally:
            for listener in listeners.values():
                listener.close()
        self.control = connections["board"]
        for name in UARTS:
            self.uarts[name] = Uart(connections[name])
            threading.Thread(target=self._read_uart, args=(name,), daemon=True).start()
        threading.Thread(target=self._read_control, daemon=True).start()
        with self.changed:
            if not self.changed.wait_for(lambda: self.hello is not None, BOOT_TIMEOUT):
                raise RouterError(f"the router did not come up: {self.console_tail()}")
        return self.hello

    def shut_down(self):
        if self.qemu and self.qemu.poll() is None:
            self.qemu.terminate()
            try:
                self.qemu.wait(5)
            except subprocess.TimeoutExpired:
                self.qemu.kill()
                self.qemu.wait()
        shutil.rmtree(self.run_dir, ignore_errors=True)

    def qemu_log(self):
        try:
            return open(os.path.join(self.run_dir, "qemu.log")).read().strip()
        except OSError:
            return ""

    def console_tail(self, lines=20):
        try:
            text = open(self.console, errors="replace").read()
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])

    # ---- time ----

    def now(self):
        return time.monotonic() - self.origin

    def board_time(self, guest_seconds):
        """A guest time stamp on the driver's clock."""
        seen = self.now() - guest_seconds
        if self.offset is None or seen < self.offset:
            self.offset = seen
        return guest_seconds + self.offset

    # ---- the control channel ----

    def _send(self, line):
        with self.write_lock:
            self.control.sendall((line + "\n").encode())

    def _read_control(self):
        with self.control.makefile("rb") as stream:
            for raw in stream:
                self._handle(raw.decode(errors="replace").rstrip("\n"))
        with self.changed:
            self.hello = self.hello or "gone"
            for request in self.requests.values():
                request.failure = "the router went away"
                request.done.set()
            self.changed.notify_all()
        if self.on_event:
            self.on_event(self.now(), None)

    def _handle(self, line):
        kind, _, rest = line.partition(" ")
        if kind == "E":
            stamp, _, text = rest.partition(" ")
            self._guest_event(self.board_time(float(stamp)), text)
            return
        tag, _, text = rest.partition(" ")
        with self.changed:
            request = self.requests.get(int(tag)) if tag.isdigit() else None
        if request is None:
            return
        if kind == "out":
            request.out.append(text)
        elif kind == "err":
            request.err.append(text)
        elif kind in ("done", "fail"):
            if kind == "done":
                request.status = int(text)
            else:
                request.failure = text
            request.done.set()

    def _guest_event(self, when, text):
        kind, _, rest = text.partition(" ")
        # Reported before the state changes, so that whoever waits on the
        # state (the daemon's end) sees the event already out.
        if kind in REPORTED and self.on_event:
            self.on_event(when, text)
        with self.changed:
            if kind == "hello":
                self.hello = rest
            elif kind == "uart":
                port, direction, count = rest.split()
                if direction == "in":
                    self.uarts[port].arrived += int(count)
            elif kind == "daemon":
                self.daemon_pid = int(rest)
            elif kind in ("exit", "killed"):
                self.daemon_pid = None
            self.changed.notify_all()

    def request(self, verb, text, timeout=COMMAND_TIMEOUT):
        """Sends one request to the agent and waits for its answer."""
        with self.changed:
            tag = self.next_id
            self.next_id += 1
            request = self.requests[tag] = Request()
        try:
            self._send(f"{verb} {tag} {text}")
            if not request.done.wait(timeout):
                raise CommandError(f"no answer from the router within {timeout} s")
        finally:
            with self.changed:
                del self.requests[tag]
        if request.failure:
            raise CommandError(request.failure)
        return request

    def run(self, command, timeout=COMMAND_TIMEOUT):
        """Runs a shell command on the router: (status, out lines, err lines)."""
        request = self.request("run", command, timeout)
        return request.status, request.out, request.err

    def check(self, command, timeout=COMMAND_TIMEOUT):
        """Runs a shell command; raises with what it said on failure."""
        status, out, err = self.run(command, timeout)
        if status != 0:
            reason = " ".join(err[-3:] or out[-3:]) or f"status {status}"
            raise CommandError(reason)
        return out

    # ---- the UARTs ----

    def _read_uart(self, name):
        uart = self.uarts[name]
        while True:
            try:
                data = uart.connection.recv(4096)
            except OSError:
                return
            if not data:
                return
            with self.changed:
                uart.received += len(data)
                self.changed.notify_all()

    def feed(self, name, count, timeout=15):
        """Sends `count` bytes to the router's UART; returns once read there."""
        uart = self.uarts[name]
        with self.changed:
            uart.fed += count
            target = uart.fed
        uart.connection.sendall(b"\x55" * count)
        with self.changed:
            if not self.changed.wait_for(lambda: uart.arrived >= target, timeout):
                raise CommandError(f"{name} did not take the bytes")

    def drain_out(self, name, count, timeout=15):
        """Has the router send `count` bytes out of its UART; returns once here."""
        uart = self.uarts[name]
        with self.changed:
            target = uart.received + count
        self.request("tx", f"{name} {count}", timeout)
        with self.changed:
            if not self.changed.wait_for(lambda: uart.received >= target, timeout):
                raise CommandError(f"the bytes sent out of {name} did not arrive")

    # ---- the package ----

    def install(self, path):
        """Unpacks a package (a .tar.gz) into /, or puts a daemon binary in
        place beside the start script."""
        share = os.path.join(self.run_dir, "share")
        name = "package.tar.gz" if path.endswith((".tar.gz", ".tgz")) else "norvaskd"
        shutil.copy(path, os.path.join(share, name))
        self.check("grep -q ' /mnt/host ' /proc/mounts || { mkdir -p /mnt/host && "
                   "mount -t 9p -o trans=virtio,version=9p2000.L,ro host /mnt/host; }")
        if name == "norvaskd":
            shutil.copy(os.path.join(ROOT, "dist/init"), os.path.join(share, "init"))
            self.check("mkdir -p /opt/norvask/bin /opt/norvask/etc && "
                       f"cp /mnt/host/norvaskd {DAEMON} && cp /mnt/host/init {INIT} && "
                       f"chmod 755 {DAEMON} {INIT}")
        else:
            self.check("tar -xzf /mnt/host/package.tar.gz -C /")


# ---- the command language ----

def parse_int(word, low, high):
    try:
        value = int(word)
    except ValueError:
        return None
    return value if low <= value <= high else None


class Driver:
    """Runs command lines against the router and reports events."""

    def __init__(self, router):
        self.router = router
        self.out_lock = threading.Lock()
        self.quitting = False
        self.ready = False
        router.on_event = self.emit_at
        self.verbs = {
            "modes": self.modes, "settings": self.settings, "no-settings": self.no_settings,
            "start": self.start, "signal": self.signal, "serial": self.serial,
            "wait": self.hold, "say": self.say, "inspect": self.inspect, "quit": self.quit,
            "pids": self.pids, "init": self.init, "run": self.run_command,
            "install": self.install,
            "kill": self.program, "stop": self.program, "restart": self.program,
        }
        # Passed to the board's own script, which checks their words.
        for verb in ("device", "pin", "io", "gpio", "stations", "traffic", "send", "ssid", "tun",
                     "stroke", "swanctl", "sas", "service", "tool", "tmp"):
            self.verbs[verb] = self.board
        for verb, why in (("iface", "interfaces are the router's own"),
                          ("clock", "its clock is real"), ("tick", "its clock is real"),
                          ("nproc", "the daemon runs as root there, which the limit spares")):
            self.verbs[verb] = self.unsupported(why)
        self.flowing = threading.Thread(target=self._flow, daemon=True)
        self.flowing.start()

    # ---- events ----

    def emit_at(self, when, text):
        # What the router logs while it boots comes before "ready": not reported.
        if text is None or not self.ready:
            return
        line = f"{when:.6f} {text.replace(chr(10), ' ')}\n"
        with self.out_lock:
            try:
                sys.stdout.write(line)
                sys.stdout.flush()
            except (BrokenPipeError, ValueError):
                pass

    def emit(self, text):
        self.emit_at(self.router.now(), text)

    # ---- running lines ----

    def execute(self, line):
        """Runs one line; returns the seconds to hold later lines back."""
        words = line.split()
        if not words or words[0].startswith("#"):
            return 0
        handler = self.verbs.get(words[0])
        try:
            if handler is None:
                raise CommandError("unknown command")
            wait = handler(words, line) or 0
        except CommandError as e:
            self.emit(f"{'refused' if isinstance(e, Refusal) else 'error'} {line}: {e}")
            return 0
        self.emit(f"ok {line}")
        return wait

    def unsupported(self, why):
        def handler(words, line):
            raise Refusal(f"not on the emulated router: {why}")
        return handler

    def board(self, words, line):
        command = "/usr/lib/board/board " + " ".join(shlex.quote(w) for w in words)
        status, out, err = self.router.run(command)
        if status == REFUSED_STATUS:
            raise Refusal("not on the emulated router: " + " ".join(err[-3:]))
        if status != 0:
            raise CommandError(" ".join(err[-3:] or out[-3:]) or f"status {status}")

    def modes(self, words, line):
        if len(words) != 3 or any(parse_int(w, 0, 2**32 - 1) is None for w in words[1:]):
            raise CommandError("usage: modes MODE1 MODE2")
        text = f"MOD_NORVASK_MODE={words[1]}\\nMOD_NORVASK_MODE2={words[2]}\\n"
        self.router.check(f"mkdir -p /opt/norvask/etc && printf '{text}' >{SETTINGS}")

    def settings(self, words, line):
        rest = line.strip()[len(words[0]):].strip()
        self.router.check(f"mkdir -p /opt/norvask/etc && "
                          f"printf '%s\\n' {shlex.quote(rest)} >>{SETTINGS}")

    def no_settings(self, words, line):
        self.router.check(f"rm -f {SETTINGS}")

    def start(self, words, line):
        how = words[1] if len(words) == 2 else "normal"
        if how == "stop-pending" and len(words) == 2:
            raise Refusal("not on the emulated router: its agent starts the daemon unblocked")
        if len(words) > 2 or how not in ("normal", "closed", "no-arguments", "empty-name"):
            raise CommandError("usage: start [closed|no-arguments|empty-name]")
        if self.router.daemon_pid is not None:
            raise CommandError("the daemon is already running")
        self.router.request("daemon", how)

    def signal(self, words, line):
        if len(words) != 2:
            raise CommandError("usage: signal NAME")
        pid = self.router.daemon_pid
        if pid is None:
            raise CommandError("the daemon is not running")
        name = words[1].upper()
        name = name[3:] if name.startswith("SIG") else name
        number = parse_int(name, 1, 64)
        if number is None:
            try:
                number = signal.Signals["SIG" + name].value
            except KeyError:
                raise CommandError("no such signal") from None
        self.router.check(f"kill -{number} {pid}")

    def serial(self, words, line):
        usage = "usage: serial PORT RX TX | PORT in|out BYTES | PORT flowing on|off"
        if len(words) < 3 or words[1] not in UARTS:
            raise CommandError(usage)
        port = words[1]
        uart = self.router.uarts[port]
        if len(words) == 3 and words[2] in ("fail", "ok"):
            raise Refusal("not on the emulated router: its UART driver does not fail")
        if len(words) != 4:
            raise CommandError(usage)
        if words[2] == "flowing" and words[3] in ("on", "off"):
            uart.flowing = words[3] == "on"
            return 0
        count = parse_int(words[3], 0, 10**6)
        if words[2] in ("in", "out") and count is not None:
            feed, send = (count, 0) if words[2] == "in" else (0, count)
        else:
            rx, tx = parse_int(words[2], 0, 10**9), parse_int(words[3], 0, 10**9)
            if rx is None or tx is None:
                raise CommandError(usage)
            if rx < uart.fed or tx < uart.received:
                raise CommandError(f"a real UART's counters only grow: {port} has had "
                                   f"{uart.fed} bytes in and {uart.received} out")
            feed, send = rx - uart.fed, tx - uart.received
        if feed:
            self.router.feed(port, feed)
        if send:
            self.router.drain_out(port, send)
        return 0

    def _flow(self):
        # As the simulator's flowing counters: 12 bytes in, 7 out, ten times a second.
        while True:
            time.sleep(0.1)
            for port, uart in self.router.uarts.items():
                if not uart.flowing:
                    continue
                try:
                    uart.fed += 12
                    uart.connection.sendall(b"\x55" * 12)
                    self.router.request("tx", f"{port} 7", timeout=5)
                except (OSError, CommandError):
                    pass

    def hold(self, words, line):
        seconds = None
        if len(words) == 2:
            try:
                seconds = float(words[1])
            except ValueError:
                pass
        if seconds is None or not 0 <= seconds <= 3600:
            raise CommandError("usage: wait SECONDS")
        return seconds

    def say(self, words, line):
        self.emit("say " + line.strip()[len(words[0]):].strip())

    def inspect(self, words, line):
        pid = self.router.daemon_pid
        if pid is None:
            self.emit("inspect none")
            return
        out = self.router.check(
            f"ls /proc/{pid}/fd | wc -l; cat /proc/[0-9]*/stat 2>/dev/null | "
            f"awk '{{ sub(/^.*\\) /, \"\"); if ($2 == {pid}) {{ c++; if ($1 == \"Z\") z++ }} }} "
            f"END {{ print c + 0, z + 0 }}'")
        fds = int(out[0])
        children, zombies = (int(w) for w in out[1].split())
        self.emit(f"inspect fds={fds} children={children} zombies={zombies}")

    def pids(self, words, line):
        floor = parse_int(words[1], 1, 4000000) if len(words) == 2 else None
        if floor is None:
            raise CommandError("usage: pids FLOOR")
        self.router.check(f"echo {floor} >/proc/sys/kernel/ns_last_pid")

    def report_run(self, command, timeout=COMMAND_TIMEOUT):
        """As the simulator's "run": the output as "out" lines, then "ran STATUS"."""
        status, out, err = self.router.run(command, timeout)
        for text in out + err:
            self.emit("out " + text)
        self.emit(f"ran {status}")

    def init(self, words, line):
        if len(words) != 2 or words[1] not in ("start", "stop", "restart", "status"):
            raise CommandError("usage: init start|stop|restart|status")
        self.report_run(f"{INIT} {words[1]}")
        if words[1] in ("start", "restart"):
            _, out, _ = self.router.run("cat /var/run/norvaskd.pid")
            pid = parse_int(out[0], 1, 2**22) if out else None
            if pid is not None and pid != self.router.daemon_pid:
                self.router.daemon_pid = pid
                self.emit(f"daemon {pid}")

    def run_command(self, words, line):
        command = line.strip()[len(words[0]):].strip()
        if not command:
            raise CommandError("usage: run COMMAND")
        self.report_run(command)

    def install(self, words, line):
        if len(words) != 2 or not os.path.isfile(words[1]):
            raise CommandError("usage: install FILE (a package .tar.gz or a daemon binary)")
        self.router.install(words[1])

    def program(self, words, line):
        if len(words) != 2 or words[1] not in PROGRAMS:
            raise CommandError(f"usage: {words[0]} {'|'.join(PROGRAMS)}")
        self.router.check(f"/usr/lib/board/board {words[0]} {words[1]}")

    def quit(self, words, line):
        self.quitting = True

    def stop_daemon(self, timeout=5):
        """SIGTERM to a running daemon, SIGKILL when it has not ended in time."""
        router = self.router
        pid = router.daemon_pid
        if pid is None:
            return
        try:
            router.run(f"kill -TERM {pid}", timeout=5)
            with router.changed:
                if router.changed.wait_for(lambda: router.daemon_pid is None, timeout):
                    return
            router.run(f"kill -KILL {pid}", timeout=5)
            with router.changed:
                router.changed.wait_for(lambda: router.daemon_pid is None, 5)
        except CommandError:
            pass


class Lines:
    """Command lines from a script and from standard input, in the order the
    simulator runs them: the script's first; a "wait" holds back the lines
    after it in its own source; the end of input quits."""

    def __init__(self, script_lines, stream):
        self.changed = threading.Condition()
        self.sources = [collections.deque(script_lines), collections.deque()]
        self.resume_at = [0.0, 0.0]
        self.input_open = stream is not None
        if stream is not None:
            threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            with self.changed:
                self.sources[1].append(line.rstrip("\r\n"))
                self.changed.notify_all()
        with self.changed:
            self.input_open = False
            self.changed.notify_all()

    def wake(self):
        with self.changed:
            self.changed.notify_all()

    def next(self, stop):
        """(source, line) to run now; None when `stop()` says so, or once
        input has ended and its last line and wait are over."""
        with self.changed:
            while not stop():
                now = time.monotonic()
                for index, lines in enumerate(self.sources):
                    if lines and now >= self.resume_at[index]:
                        return index, lines.popleft()
                ended = not self.input_open and not self.sources[1]
                if ended and now >= self.resume_at[1]:
                    return None
                deadlines = [self.resume_at[i] for i in (0, 1) if self.sources[i]]
                if ended:
                    deadlines.append(self.resume_at[1])
                self.changed.wait(max(0.01, min(deadlines) - now) if deadlines else None)
            return None

    def hold(self, index, seconds):
        with self.changed:
            self.resume_at[index] = time.monotonic() + seconds


def default_package():
    folder = os.path.join(ROOT, "build-aarch64")
    names = sorted(n for n in os.listdir(folder) if n.endswith("-aarch64.tar.gz")) \
        if os.path.isdir(folder) else []
    return os.path.join(folder, names[-1]) if names else None


def parse_args():
    parser = argparse.ArgumentParser(
        description="Boots the emulated router and drives it with the board's commands.")
    what = parser.add_mutually_exclusive_group()
    what.add_argument("--package", help="package to install (default: the newest in "
                                        "build-aarch64/, if any)")
    what.add_argument("--daemon", help="a package (.tar.gz) or a daemon binary to install")
    parser.add_argument("--script", help="commands to run before those on standard input")
    parser.add_argument("--image", default=os.path.join(ROOT, "build-vm"),
                        help="folder with vmlinuz.gz and initrd.gz (default: build-vm/)")
    parser.add_argument("--console", help="keep the router's console output in this file")
    parser.add_argument("--fast-clock", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args()


def main():
    args = parse_args()
    if args.fast_clock:
        print("router: the emulated router has no fast clock", file=sys.stderr)
        return 2
    script = []
    if args.script:
        try:
            with open(args.script) as f:
                script = [line.rstrip("\r\n") for line in f]
        except OSError as e:
            print(f"router: cannot read {args.script}: {e}", file=sys.stderr)
            return 2
    package = args.daemon or args.package or default_package()
    router = Router(os.path.abspath(args.image),
                    os.path.abspath(args.console) if args.console else None)
    driver = Driver(router)
    lines = Lines(script, sys.stdin)

    def on_signal(number, frame):
        driver.quitting = True
        lines.wake()

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        started = time.monotonic()
        router.boot()
        booted = time.monotonic()
        if package:
            router.install(package)
        installed = time.monotonic()
        router.check("/usr/lib/board/board ready", timeout=BOOT_TIMEOUT)
        print(f"router: booted in {booted - started:.1f} s, package installed in "
              f"{installed - booted:.1f} s, ready in {time.monotonic() - started:.1f} s",
              file=sys.stderr)
        driver.ready = True
        driver.emit("ready")
        while True:
            item = lines.next(lambda: driver.quitting)
            if item is None:
                break
            index, line = item
            lines.hold(index, driver.execute(line))
        driver.stop_daemon()
        driver.emit("bye")
        return 0
    except (RouterError, CommandError, OSError) as e:
        print(f"router: {e}", file=sys.stderr)
        tail = router.console_tail()
        if tail:
            print(f"router: the console's last lines:\n{tail}", file=sys.stderr)
        return 1
    finally:
        router.shut_down()


if __name__ == "__main__":
    sys.exit(main())
