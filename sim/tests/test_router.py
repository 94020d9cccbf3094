"""The daemon as a router runs it: the installed files, the start script
under busybox's sh (with only busybox's applets on PATH) and under the
system's sh, and the built daemon of any build (a cross build's under its
emulator) running until it is stopped.

NORVASK_BUILD_DIR names the build whose install is checked; without it
the start script is taken from the source tree."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from board import default_command
from systest import BoardCase

DAEMON = "/opt/norvask/bin/norvaskd"
INIT = "/opt/norvask/etc/init"
PID_FILE = "/var/run/norvaskd.pid"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
STUBBORN = "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 1; done\n"


class Runs(BoardCase):
    def test_runs_until_stopped(self):
        b = self.board(modes=(17, 0))
        b.wait_log("started", timeout=20)
        time.sleep(2.5)
        self.assertEqual(b.lines("exit") + b.lines("killed"), [], "it ended by itself")
        sent = time.monotonic()
        b.do("signal TERM")
        self.assertEqual(b.wait_exit(timeout=10), ("exit", "0"))
        # It finishes the second in progress; under an emulator give it some slack.
        self.assertLess(time.monotonic() - sent, 3)


class StartScript(BoardCase):
    def setUp(self):
        super().setUp()
        build = os.environ.get("NORVASK_BUILD_DIR")
        self.init = os.path.join(SOURCE, "dist", "init")
        if build:
            stage = tempfile.TemporaryDirectory()
            self.addCleanup(stage.cleanup)
            subprocess.run(["cmake", "--install", build, "--prefix", "/opt/norvask"], check=True,
                           env=dict(os.environ, DESTDIR=stage.name), stdout=subprocess.DEVNULL)
            installed = sorted(os.path.relpath(os.path.join(d, f), stage.name)
                               for d, _, files in os.walk(stage.name) for f in files)
            self.assertEqual(installed, ["opt/norvask/bin/norvask-status",
                                         "opt/norvask/bin/norvaskd", "opt/norvask/etc/init"])
            for path in installed:
                self.assertTrue(os.access(os.path.join(stage.name, path), os.X_OK), path)
            self.init = os.path.join(stage.name, "opt/norvask/etc/init")

    def start_board(self):
        command = default_command() + ["--init", self.init]
        b = self.board(start=False, command=command)
        # busybox's applets alone, for the router's sh.
        self.assertEqual(b.run("mkdir /tmp/busybox && busybox --install -s /tmp/busybox")[0], 0)
        return b

    def daemon_pids(self, b):
        """The PIDs whose command line names the daemon (zombies have none)."""
        pids = []
        for entry in os.listdir(b.path("/proc")):
            try:
                with open(b.path(f"/proc/{entry}/cmdline"), "rb") as f:
                    if entry.isdigit() and DAEMON.encode() in f.read().split(b"\0"):
                        pids.append(int(entry))
            except OSError:
                pass
        return pids

    def ignores_term(self, b, pid):
        try:
            with open(b.path(f"/proc/{pid}/status")) as f:
                ignored = next(line for line in f if line.startswith("SigIgn:")).split()[1]
        except (OSError, StopIteration):
            return False
        return bool(int(ignored, 16) & (1 << (signal.SIGTERM - 1)))

    def wait_until(self, condition, timeout=5):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def test_start_script(self):
        for shell in ("busybox", "sh"):
            with self.subTest(shell):
                self.check_start_script(shell)

    def check_start_script(self, shell):
        b = self.start_board()
        busybox = b.run("command -v busybox")[1]
        run = {
            "busybox": f"PATH=/tmp/busybox {busybox} sh {INIT}",
            "sh": f"/bin/sh {INIT}",
        }[shell]

        def expect(action, status, pattern, env=""):
            got, output = b.run(f"{env} {run} {action}")
            self.assertEqual(got, status, f"{action}: {output}")
            self.assertRegex(output, pattern, action)

        def pid_file():
            return b.run(f"cat {PID_FILE}")[1].strip()

        b.do("modes 17 0")
        expect("status", 3, "not running")
        expect("stop", 0, "not running")
        mark = b.mark()
        expect("start", 0, r"started \(pid [0-9]+\)")
        pid = int(pid_file())
        self.assertEqual(self.daemon_pids(b), [pid])
        self.assertEqual(b.wait_log("started", start=mark).pid, pid)
        for fd in range(3):
            self.assertEqual(os.readlink(b.path(f"/proc/{pid}/fd/{fd}")), "/dev/null")
        time.sleep(1.5)  # a tick or two: the daemon keeps running
        expect("start", 0, rf"already running \(pid {pid}\)")
        self.assertEqual(self.daemon_pids(b), [pid], "a second start changed the daemon")
        expect("status", 0, rf"is running \(pid {pid}\)")

        expect("restart", 0, r"(?s)stopped.*started \(pid [0-9]+\)")
        new_pid = int(pid_file())
        self.assertNotEqual(new_pid, pid)
        self.assertEqual(self.daemon_pids(b), [new_pid])

        mark, began = b.mark(), time.monotonic()
        expect("stop", 0, "^norvaskd stopped$")
        # SIGTERM ends it after the second in progress, well before the kill.
        self.assertLess(time.monotonic() - began, 2.5)
        self.assertEqual(b.wait_log("stopped", start=mark).pid, new_pid)
        self.assertEqual(self.daemon_pids(b), [])
        self.assertNotEqual(b.run(f"test -e {PID_FILE}")[0], 0, "pid file left after stop")
        expect("stop", 0, "not running")
        expect("status", 3, "not running")

        # A pid file naming some other live process: not ours to stop.
        self.assertEqual(b.run(f"sleep 60 >/dev/null 2>&1 & echo $! >{PID_FILE}")[0], 0)
        other = pid_file()
        expect("status", 3, "not running")
        expect("stop", 0, "not running")
        self.assertEqual(b.run(f"kill -0 {other}")[0], 0, "stop killed an unrelated process")
        b.run(f"echo {other} >{PID_FILE}")
        expect("start", 0, "started")
        self.assertNotEqual(pid_file(), other)
        self.assertTrue(self.daemon_pids(b), "a stale pid file kept the daemon from starting")
        expect("stop", 0, "stopped")
        b.run(f"kill {other}")

        # Both modes 0: the daemon ends at once, and status says so.
        b.do("modes 0 0")
        expect("start", 0, "started")
        self.assertTrue(self.wait_until(lambda: not self.daemon_pids(b)))
        expect("status", 3, "not running")

        # A daemon that ignores SIGTERM is killed after the time-out.
        self.assertEqual(b.run(f"umount {DAEMON}")[0], 0)
        with open(b.path(DAEMON), "w") as f:
            f.write(STUBBORN)
        expect("start", 0, "started")
        stubborn = int(pid_file())
        # Only once its trap is set does it ignore the stop.
        self.assertTrue(self.wait_until(lambda: self.ignores_term(b, stubborn)))
        expect("stop", 0, "did not stop within 1 s; killing it", env="NORVASK_STOP_TIMEOUT=1")
        self.assertTrue(self.wait_until(lambda: not self.daemon_pids(b)))

        b.run(f"rm {DAEMON}")
        expect("start", 1, f"{DAEMON} is missing")
        expect("reload", 2, "usage:")


if __name__ == "__main__":
    unittest.main()
