"""The emulated router as a board: boots the arm64 guest that vm/build-image
made, has the board program inside it (norvask-board --router) install the
package, and then passes command lines to it and its events back: commands
on standard input (after those of --script), events on standard output,
each line starting with the seconds since this driver started.

    vm/router.py [--package TARBALL | --daemon FILE] [--offer FILE]...
                 [--script FILE] [--image DIR] [--console FILE] [--web PORT]

The lines are the board's own (see sim/README.md); nothing here reads them.
The files given are offered to the router over 9p under their own names,
for its "install NAME" (a package, or a daemon binary beside the start
script, offered as "init"). What the board inside asks of this side: "feed
PORT COUNT", bytes sent into one of its UARTs; the bytes it sends out of
them are taken and dropped here.

With --web PORT the router's web server (port 80, started by the board's
"web start") is reached at 127.0.0.1:PORT on this machine, and nowhere
else: the router's one network card is qemu's user network, restricted so
that the guest reaches nothing outside, with that one port forwarded.
"""

import argparse
import ctypes
import os
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

# The machine, as vm/image.py dumps its device tree too.
MACHINE = ["-M", "virt", "-cpu", "cortex-a57", "-smp", "2", "-m", "512M"]
UARTS = ("ttyS0", "ttyS1")
BOOT_TIMEOUT = 240
INSTALL_TIMEOUT = 90
# The owner's sign-in on the router's web server (/etc/httpd.conf there
# keeps its hash): test credentials, as a router's factory setting.
WEB_USER = "admin"
WEB_PASSWORD = "norvask-web"


class RouterError(Exception):
    pass


def web_nic(port):
    """No network card, or one to this machine's loopback port alone."""
    if port is None:
        return ["-nic", "none"]
    # No boot ROM: the router boots its kernel directly.
    return ["-netdev", f"user,id=web,restrict=on,net=10.0.2.0/24,"
                       f"hostfwd=tcp:127.0.0.1:{port}-10.0.2.15:80",
            "-device", "virtio-net-pci,netdev=web,romfile="]


def qemu_command(image, run_dir, console, web_port=None):
    return [
        "qemu-system-aarch64", *MACHINE,
        "-nodefaults", "-no-user-config", "-display", "none", *web_nic(web_port),
        # The machine's own device tree with the router's LEDs (vm/image.py).
        "-dtb", os.path.join(image, "router.dtb"),
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


class Router:
    """The running guest: its board program's port, its UARTs' far ends."""

    def __init__(self, image, console=None, web_port=None):
        self.image = image
        self.web_port = web_port
        self.run_dir = tempfile.mkdtemp(prefix="router-vm-")
        self.share = os.path.join(self.run_dir, "share")
        os.mkdir(self.share)
        self.console = console or os.path.join(self.run_dir, "console.log")
        self.origin = time.monotonic()
        self.offset = None  # host clock less guest clock, at its smallest seen
        self.changed = threading.Condition()
        self.lines = []     # the guest's lines before "ready" is passed on
        self.passing = False
        self.ended = False
        self.uarts = {}
        self.out_lock = threading.Lock()
        self.qemu = None
        self.control = None

    def offer(self, path, name=None):
        """Shows a host file to the router as /mnt/host/NAME."""
        name = name or os.path.basename(path)
        target = os.path.join(self.share, name)
        if os.path.exists(target):
            raise RouterError(f"two files offered as {name}")
        shutil.copy(path, target)
        return name

    # ---- life cycle ----

    def boot(self):
        for name in ("vmlinuz.gz", "initrd.gz", "router.dtb"):
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
            qemu_command(self.image, self.run_dir, self.console, self.web_port),
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
            self.uarts[name] = connections[name]
            threading.Thread(target=self._drop_uart_bytes, args=(name,), daemon=True).start()
        threading.Thread(target=self._read_control, daemon=True).start()

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

    # ---- the board's port ----

    def send(self, line):
        self.control.sendall((line + "\n").encode())

    def emit_at(self, when, text):
        line = f"{when:.6f} {text}\n"
        with self.out_lock:
            try:
                sys.stdout.write(line)
                sys.stdout.flush()
            except (BrokenPipeError, ValueError):
                pass

    def _read_control(self):
        with self.control.makefile("rb") as stream:
            for raw in stream:
                self._handle(raw.decode(errors="replace").rstrip("\n"))
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def _handle(self, line):
        stamp, _, text = line.partition(" ")
        try:
            when = self.board_time(float(stamp))
        except ValueError:
            return
        kind, _, rest = text.partition(" ")
        if kind == "feed":
            port, _, count = rest.partition(" ")
            if port in self.uarts and count.isdigit():
                self.uarts[port].sendall(b"\x55" * int(count))
            return
        if self.passing:
            self.emit_at(when, text)
        with self.changed:
            if not self.passing:
                self.lines.append(text)
            if kind == "bye":
                self.ended = True
            self.changed.notify_all()

    def wait_line(self, predicate, timeout):
        """The first of the guest's lines not yet passed on for which
        `predicate` holds."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for text in self.lines:
                    if predicate(text):
                        return text
                left = deadline - time.monotonic()
                if self.ended or left <= 0:
                    return None
                self.changed.wait(left)

    def pass_on(self):
        """From now on the guest's events go to standard output."""
        with self.changed:
            self.passing = True
            self.lines = []

    def _drop_uart_bytes(self, name):
        while True:
            try:
                if not self.uarts[name].recv(4096):
                    return
            except OSError:
                return


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
    parser.add_argument("--offer", action="append", default=[], metavar="FILE",
                        help="a file the router's \"install NAME\" may take (repeated)")
    parser.add_argument("--script", help="commands to run before those on standard input")
    parser.add_argument("--image", default=os.path.join(ROOT, "build-vm"),
                        help="folder with vmlinuz.gz and initrd.gz (default: build-vm/)")
    parser.add_argument("--console", help="keep the router's console output in this file")
    parser.add_argument("--web", type=int, metavar="PORT",
                        help="forward 127.0.0.1:PORT here to the router's web server")
    # The board inside always takes "clock" and "tick".
    parser.add_argument("--fast-clock", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args()


def forward(router, script, stream):
    """The script's lines, then standard input's, to the board; "quit" at
    the end of input."""
    try:
        for line in script:
            router.send(line)
        for line in stream:
            router.send(line.rstrip("\r\n"))
        router.send("quit")
    except OSError:
        pass


def main():
    args = parse_args()
    script = []
    if args.script:
        try:
            with open(args.script) as f:
                script = [line.rstrip("\r\n") for line in f]
        except OSError as e:
            print(f"router: cannot read {args.script}: {e}", file=sys.stderr)
            return 2
    package = args.daemon or args.package or default_package()
    if args.web is not None and not 0 < args.web < 65536:
        print(f"router: no such port: {args.web}", file=sys.stderr)
        return 2
    router = Router(os.path.abspath(args.image),
                    os.path.abspath(args.console) if args.console else None, args.web)

    def on_signal(number, frame):
        try:
            router.send("quit")
        except OSError:
            pass

    try:
        router.offer(os.path.join(ROOT, "dist", "init"), "init")
        for path in args.offer:
            router.offer(path)
        name = router.offer(package) if package else None
        started = time.monotonic()
        router.boot()
        if router.wait_line(lambda t: t == "ready", BOOT_TIMEOUT) is None:
            raise RouterError(f"the router did not come up: {router.console_tail()}")
        booted = time.monotonic()
        if name:
            line = f"install {name}"
            router.send(line)
            result = router.wait_line(
                lambda t: t.split(" ", 1)[0] in ("ok", "error", "refused")
                and t.split(" ", 1)[1].startswith(line), INSTALL_TIMEOUT)
            if result is None or not result.startswith("ok "):
                raise RouterError(f"the package was not installed: {result}")
        print(f"router: ready in {booted - started:.1f} s, package installed in "
              f"{time.monotonic() - booted:.1f} s", file=sys.stderr)
        router.pass_on()
        router.emit_at(router.now(), "ready")
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, on_signal)
        threading.Thread(target=forward, args=(router, script, sys.stdin), daemon=True).start()
        with router.changed:
            while not router.ended:
                router.changed.wait(1)
        return 0
    except (RouterError, OSError) as e:
        print(f"router: {e}", file=sys.stderr)
        tail = router.console_tail()
        if tail:
            print(f"router: the console's last lines:\n{tail}", file=sys.stderr)
        return 1
    finally:
        router.shut_down()


if __name__ == "__main__":
    sys.exit(main())
