"""The daemon as a router runs it: the installed files, the start script
under busybox's sh (with only busybox's applets on PATH) and under the
system's sh, and the built daemon of any build (a cross build's under its
emulator) running until it is stopped.

NORVASK_BUILD_DIR names the build whose install is checked; without it
the start script is taken from the source tree."""

import os
import subprocess
import tempfile
import time
import unittest

from board import DAEMON, INIT, PID_FILE, SETTINGS, default_command
from systest import BoardCase

LOCK = "/var/run/norvaskd.lock"
AS_NOBODY = "setpriv --reuid=65534 --regid=65534 --clear-groups"
QUIET = "</dev/null >/dev/null 2>&1"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


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
                                         "opt/norvask/bin/norvaskd", "opt/norvask/etc/init",
                                         "opt/norvask/www/app.js",
                                         "opt/norvask/www/cgi-bin/norvask",
                                         "opt/norvask/www/index.html",
                                         "opt/norvask/www/style.css"])
            page = ("app.js", "index.html", "style.css")
            for path in installed:
                runs = not path.endswith(page)
                self.assertEqual(os.access(os.path.join(stage.name, path), os.X_OK), runs, path)
            self.init = os.path.join(stage.name, "opt/norvask/etc/init")

    def start_board(self):
        command = default_command() + ["--init", self.init]
        b = self.board(start=False, command=command)
        # busybox's applets alone, for the router's sh.
        self.assertEqual(b.run("mkdir /tmp/busybox && busybox --install -s /tmp/busybox")[0], 0)
        return b

    def daemon_pids(self, b):
        """The live processes that run the installed daemon, or the file it
        replaced ("(deleted)"); a zombie has no program to look at."""
        installed = os.stat(b.path(DAEMON)) if os.path.exists(b.path(DAEMON)) else None
        pids = []
        for entry in os.listdir(b.path("/proc")):
            try:
                exe = b.path(f"/proc/{entry}/exe")
                target, st = os.readlink(exe), os.stat(exe)
            except (OSError, ValueError):
                continue
            same = installed and (st.st_dev, st.st_ino) == (installed.st_dev, installed.st_ino)
            if entry.isdigit() and (same or target == DAEMON + " (deleted)"):
                pids.append(int(entry))
        return sorted(pids)

    def wait_until(self, condition, timeout=5):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def init_runner(self, b, shell="busybox"):
        """expect(action, status, pattern[, env]) for the start script under
        `shell`; returns expect and the command line that runs the script."""
        busybox = b.run("command -v busybox")[1]
        run = {
            "busybox": f"PATH=/tmp/busybox {busybox} sh {INIT}",
            "sh": f"/bin/sh {INIT}",
        }[shell]

        def expect(action, status, pattern, env=""):
            got, output = b.run(f"{env} {run} {action}")
            self.assertEqual(got, status, f"{action}: {output}")
            self.assertRegex(output, pattern, action)
            return output

        return expect, run

    def exists(self, b, pid):
        return os.path.exists(b.path(f"/proc/{pid}"))

    def ended(self, b, pid):
        try:
            with open(b.path(f"/proc/{pid}/stat")) as f:
                return f.read().rsplit(")", 1)[1].split()[0] in "ZX"
        except OSError:
            return True

    def pid_file(self, b):
        return b.run(f"cat {PID_FILE}")[1].strip()

    def assertAlive(self, b, pid, what):
        self.assertEqual(b.run(f"kill -0 {pid}")[0], 0, f"{what} was killed")

    def test_start_script(self):
        for shell in ("busybox", "sh"):
            with self.subTest(shell):
                self.check_start_script(shell)

    def check_start_script(self, shell):
        b = self.start_board()
        expect, _ = self.init_runner(b, shell)

        b.do("modes 17 0")
        expect("status", 3, "not running")
        expect("stop", 0, "not running")
        mark = b.mark()
        expect("start", 0, r"started \(pid [0-9]+\)")
        pid = int(self.pid_file(b))
        # Once start has answered, the daemon runs: no exec still to come.
        self.assertEqual(self.daemon_pids(b), [pid])
        self.assertEqual(b.wait_log("started", start=mark).pid, pid)
        for fd in range(3):
            self.assertEqual(os.readlink(b.path(f"/proc/{pid}/fd/{fd}")), "/dev/null")
        time.sleep(1.5)  # a tick or two: the daemon keeps running
        expect("start", 0, rf"already running \(pid {pid}\)")
        self.assertEqual(self.daemon_pids(b), [pid], "a second start changed the daemon")
        expect("status", 0, rf"is running \(pid {pid}\)")

        expect("restart", 0, r"(?s)stopped.*started \(pid [0-9]+\)")
        new_pid = int(self.pid_file(b))
        self.assertNotEqual(new_pid, pid)
        self.assertEqual(self.daemon_pids(b), [new_pid])

        mark, began = b.mark(), time.monotonic()
        expect("stop", 0, "^norvaskd stopped$")
        # SIGTERM ends it after the second in progress, well before the kill.
        self.assertLess(time.monotonic() - began, 2.5)
        self.assertEqual(b.wait_log("stopped", start=mark).pid, new_pid)
        self.assertTrue(self.wait_until(lambda: not self.daemon_pids(b)))
        self.assertNotEqual(b.run(f"test -e {PID_FILE}")[0], 0, "pid file left after stop")
        expect("stop", 0, "not running")
        expect("status", 3, "not running")

        # Both modes 0, or no settings file it can read: the daemon ends at
        # once, and start says so and why, leaving no pid file behind.
        for setup, why in (("modes 0 0", "both modes are 0"),
                           ("no-settings", f"the settings file {SETTINGS} is missing"),
                           (f"mkfifo {SETTINGS}",
                            f"the settings file {SETTINGS} is not a regular file")):
            if setup.startswith("mkfifo"):
                self.assertEqual(b.run(setup)[0], 0)
            else:
                b.do(setup)
            mark = b.mark()
            expect("start", 0, f"^norvaskd ended at once: {why}$")
            b.wait_log("stopped", start=mark)
            self.assertNotEqual(b.run(f"test -e {PID_FILE}")[0], 0, f"{setup}: pid file left")
            self.assertEqual(self.daemon_pids(b), [])
            expect("status", 3, "not running")

        # A daemon that does not end on SIGTERM (stopped here) is killed
        # after the time-out.
        b.run(f"rm {SETTINGS}")
        b.do("modes 17 0")
        expect("start", 0, "started")
        hung = int(self.pid_file(b))
        self.assertEqual(b.run(f"kill -STOP {hung}")[0], 0)
        expect("stop", 0, "did not stop within 1 s; killing it", env="NORVASK_STOP_TIMEOUT=1")
        self.assertTrue(self.wait_until(lambda: not self.daemon_pids(b)))

        self.assertEqual(b.run(f"umount {DAEMON} && rm {DAEMON}")[0], 0)
        expect("start", 1, f"{DAEMON} is missing")
        expect("reload", 2, "usage:")

    def land(self, b, pid, command):
        """Starts `command` in the background as process `pid`, as a local
        user forking until it gets there would."""
        b.run(f"echo {pid - 1} >/proc/sys/kernel/ns_last_pid && {command} {QUIET} &")
        return pid if self.wait_until(lambda: self.exists(b, pid)) else None

    def test_stale_pid_file(self):
        """The pid file of a daemon that died names a process of someone
        else, with the daemon's path among its arguments: not the daemon,
        not in the way of a new one, never signalled."""
        b = self.start_board()
        expect, _ = self.init_runner(b)
        b.do("modes 17 0")
        fakes = {
            "root's": f"sh -c 'sleep 300; :' {DAEMON} {DAEMON}",
            "nobody's": f"{AS_NOBODY} sh -c 'sleep 300; :' {DAEMON}",
        }
        for owner, command in fakes.items():
            with self.subTest(owner):
                expect("start", 0, "started")
                dead = int(self.pid_file(b))
                b.run(f"kill -KILL {dead}")
                self.assertTrue(self.wait_until(lambda: not self.exists(b, dead)))
                fake = self.land(b, dead, command)
                self.assertEqual(fake, dead, "the fake did not land on the dead daemon's pid")
                self.assertEqual(self.pid_file(b), str(fake))
                expect("status", 3, "not running")
                expect("start", 0, r"started \(pid [0-9]+\)")
                daemon = int(self.pid_file(b))
                self.assertNotEqual(daemon, fake)
                self.assertEqual(self.daemon_pids(b), [daemon])
                expect("stop", 0, "stopped")
                self.assertAlive(b, fake, "the process on the stale pid")
                # Its pid file back, naming it: still not stopped.
                b.run(f"echo {fake} >{PID_FILE}")
                expect("stop", 0, "not running")
                self.assertAlive(b, fake, "the process on the stale pid")
                b.run(f"kill -KILL {fake}")

        # The daemon's own program not started by the script (no record of
        # its start), or run by another user with a record that matches it
        # (which only root could write): not the daemon either.
        outsider = b.start()
        b.run(f"echo {outsider} >{PID_FILE}")
        expect("status", 3, "not running")
        expect("stop", 0, "not running")
        self.assertAlive(b, outsider, "a daemon the script did not start")
        b.do("signal TERM")
        b.wait_exit()
        b.run(f"{AS_NOBODY} {DAEMON} {QUIET} & echo $! >{PID_FILE}")
        other = int(self.pid_file(b))
        self.assertTrue(self.wait_until(lambda: other in self.daemon_pids(b)),
                        "the daemon does not run as another user")
        with open(b.path(f"/proc/{other}/stat")) as f:
            started = f.read().rsplit(")", 1)[1].split()[19]
        b.run(f"echo '{other} {started}' >/var/run/norvaskd.started")
        expect("status", 3, "not running")
        expect("stop", 0, "not running")
        self.assertAlive(b, other, "another user's copy of the daemon")
        b.run(f"kill -KILL {other}")

    def test_concurrent(self):
        """Starts, stops and restarts at the same time leave exactly one
        daemon, the one in the pid file."""
        b = self.start_board()
        expect, run = self.init_runner(b)
        b.do("modes 17 0")
        with self.subTest("a live holder"):
            # Its lock is waited for.
            b.run(f"sleep 3 {QUIET} & echo $! >/tmp/holder")
            holder = int(self.read_sandbox(b, "/tmp/holder"))
            with open(b.path(f"/proc/{holder}/stat")) as f:
                started = f.read().rsplit(")", 1)[1].split()[19]
            b.run(f"ln -s {holder}:{started} {LOCK}")
            expect("start", 0, "started")
            self.assertTrue(self.ended(b, holder), "start did not wait for the lock")
            expect("stop", 0, "stopped")
        with self.subTest("a holder whose pid was taken again"):
            # The pid runs, but a process started at another time than the
            # holder's: the holder has died, and its lock is not waited for.
            b.run(f"sleep 60 {QUIET} & echo $! >/tmp/holder")
            holder = int(self.read_sandbox(b, "/tmp/holder"))
            with open(b.path(f"/proc/{holder}/stat")) as f:
                started = int(f.read().rsplit(")", 1)[1].split()[19])
            b.run(f"rm -f {LOCK} && ln -s {holder}:{started - 1} {LOCK}")
            # A lock it waits for it gives up after 21 s, not 35.
            expect("start", 0, "started", env="NORVASK_STOP_TIMEOUT=1")
            self.assertFalse(self.ended(b, holder), "start waited for the pid's new process")
            self.assertNotEqual(b.run(f"test -L {LOCK}")[0], 0, "lock left behind")
            expect("stop", 0, "stopped")
            b.run(f"kill {holder}")
        with self.subTest("a dead holder"):
            # A script killed while it held the lock does not block.
            b.run(f"rm -f {LOCK} && ln -s 99999:1 {LOCK}")
            expect("start", 0, "started")
            self.assertNotEqual(b.run(f"test -L {LOCK}")[0], 0, "lock left behind")
            expect("stop", 0, "stopped")
        for actions in (("start", "start", "start"), ("restart", "restart", "start"),
                        ("stop", "start", "restart")):
            with self.subTest(" ".join(actions)):
                together = " & ".join(f"{run} {a} >/dev/null 2>&1" for a in actions)
                self.assertEqual(b.run(f"{together} & wait")[0], 0)
                daemons = self.daemon_pids(b)
                if daemons or "stop" not in actions:
                    self.assertEqual(daemons, [int(self.pid_file(b))])
                    expect("status", 0, rf"running \(pid {daemons[0]}\)")
                else:
                    # The stop came last.
                    expect("status", 3, "not running")

    def test_upgrade(self):
        """A running daemon whose file an upgrade replaced is still the
        daemon: status finds it and restart replaces it."""
        b = self.start_board()
        expect, _ = self.init_runner(b)
        b.do("modes 17 0")
        # The daemon as a file of its own, which a new one can replace.
        self.assertEqual(b.run(f"cp {DAEMON} /tmp/norvaskd && umount {DAEMON}"
                               f" && cp /tmp/norvaskd {DAEMON}")[0], 0)
        expect("start", 0, "started")
        old = int(self.pid_file(b))
        self.assertEqual(b.run(f"cp /tmp/norvaskd {DAEMON}.new && mv {DAEMON}.new {DAEMON}")[0], 0)
        self.assertEqual(os.readlink(b.path(f"/proc/{old}/exe")), DAEMON + " (deleted)")
        expect("status", 0, rf"running \(pid {old}\)")
        mark = b.mark()
        expect("restart", 0, "(?s)stopped.*started")
        self.assertEqual(b.wait_log("stopped", start=mark).pid, old)
        new = int(self.pid_file(b))
        self.assertEqual(self.daemon_pids(b), [new])
        expect("stop", 0, "stopped")


if __name__ == "__main__":
    unittest.main()
