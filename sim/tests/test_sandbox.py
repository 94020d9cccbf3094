"""Files planted in the daemon's way, and the sandbox itself: the host stays
as it was, and the board runs without root where user namespaces allow."""

import glob
import hashlib
import os
import shlex
import shutil
import stat
import subprocess
import tempfile
import unittest

from board import Board, Unsupported, default_command
from systest import BoardCase, predict, shapes

STATION = "02:00:00:00:00:01\nflags=[AUTH][ASSOC][AUTHORIZED]\n"

# capture file, mode, board set-up, text planted there that says the
# opposite of the board, the message logged.
PLANTED = [
    ("/tmp/norvask_open_vpn.txt", 13, ["tun 0 up", "tun 0 rx 80"], "RX bytes:0\n",
     "failure getting OpenVPN status"),
    ("/tmp/norvask_ipsec.txt", 14, ["sas 1"], "Security Associations (0 up, 0 connecting):\n",
     "failure getting IPsec status"),
    ("/tmp/norvask_wifi_ap.txt", 11, ["stations wlan0 1"], STATION, None),
    ("/tmp/norvask_wifi_ap2.txt", 11, ["stations wlan02 1"], STATION, None),
    ("/tmp/norvask_pelm_vpn.txt", 16, ["service drennic listening"],
     "tcp 0 0 0.0.0.0:443 0.0.0.0:* LISTEN 77/drennic\n", None),
]

# Ways another user can prepare a capture path in a shared /tmp.
PLANTS = ("symlink", "second name", "another user's")


def plant(b, path, text, how):
    """Puts `text` at the board's `path` the way `how` says; False when
    the machine cannot do it."""
    other = b.path("/tmp/planted")
    with open(other if how == "symlink" else b.path(path), "w") as f:
        f.write(text)
    if how == "symlink":
        os.symlink("/tmp/planted", b.path(path))
    elif how == "second name":
        os.link(b.path(path), other)
    else:
        try:
            os.chown(b.path(path), 65534, 65534)
        except OSError:
            return False
    return True


def host_state():
    """What a board must not change on the host."""
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True, check=True)
    with open("/proc/self/mounts") as f:
        mounts = f.read()
    return {
        "dev": sorted(os.listdir("/dev")),
        "opt": sorted(os.listdir("/opt")) if os.path.isdir("/opt") else None,
        "board paths": [p for p in ("/usr/bin/io", "/usr/libexec/ipsec", "/usr/sbin/norvaskd",
                                    "/dev/gpio", "/dev/ttyS0", "/dev/ttyS1", "/opt/norvask",
                                    "/opt/board") if os.path.lexists(p)],
        "captures": sorted(glob.glob("/tmp/norvask_*")),
        "interfaces": sorted(line.split(":")[1].strip().split("@")[0]
                             for line in links.stdout.splitlines()),
        "mounts": mounts,
    }


def descendants(pid):
    """Every process below `pid`, by their PIDs on the host."""
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        try:
            with open(f"/proc/{parent}/task/{parent}/children") as f:
                children = [int(c) for c in f.read().split()]
        except OSError:
            children = []
        found += children
        todo += children
    return found


class PlantedFiles(BoardCase):
    def test_capture_paths_prepared_by_others_are_refused(self):
        boards = {}
        for how in PLANTS:
            for path, mode, setup, lie, _ in PLANTED:
                b = self.board(*setup, modes=(mode, 17), start=False)
                if not plant(b, path, lie, how):
                    continue
                b.start()
                boards[how, path] = b
        for (how, path), b in boards.items():
            _, mode, setup, lie, message = next(p for p in PLANTED if p[0] == path)
            with self.subTest(how=how, path=path):
                self.wait_ticks(b, 2)
                expected = [led1 for led1, _ in predict((mode, 17), setup, 2, refused=[path])]
                self.assertEqual(shapes(b)[:2], expected)
                if message:
                    self.assertGreaterEqual([log.text for log in b.logs()].count(message), 2)
                # Neither written nor removed.
                self.assertEqual(stat.S_ISLNK(os.lstat(b.path(path)).st_mode), how == "symlink")
                held = "/tmp/planted" if how == "symlink" else path
                self.assertEqual(self.read_sandbox(b, held), lie)


class Sandbox(BoardCase):
    def test_host_untouched(self):
        before = host_state()
        b = self.board("stations wlan0 1", "traffic wlan0 on", "ssid home", "tun 0 up",
                       "tun 0 rx 100", "swanctl on", "sas 1", "service tessik_clientd connected",
                       "service drennic listening", modes=(11, 13))
        self.wait_ticks(b, 2, marker=1)
        b.do("modes 14 15", "signal TERM")
        b.wait_exit()
        # The second run brings in the IPsec tools and the services' netstat.
        b.start()
        b.wait_writes(2, 2, start=b.mark())
        inside = descendants(b.pid)
        self.assertGreaterEqual(len(inside), 4)  # supervisor, daemon, two services
        b.close()
        self.assertEqual([p for p in inside if os.path.exists(f"/proc/{p}")], [])
        self.assertEqual(host_state(), before)

    def test_runs_the_binary_as_built(self):
        b = self.board(modes=(17, 17))
        b.wait_writes(2, 1)
        daemon = "/opt/norvask/bin/norvaskd"
        prefix = shlex.split(os.environ.get("NORVASK_SIM_PREFIX", ""))
        if prefix:
            # The process is the emulator's; it runs the file at the daemon's path.
            with open(b.path(f"/proc/{b.daemon_pid}/cmdline")) as f:
                self.assertEqual(f.read().split("\0")[:-1], prefix + [daemon])
            running = b.path(daemon)
        else:
            running = b.path(f"/proc/{b.daemon_pid}/exe")
            self.assertEqual(os.readlink(running), daemon)
        with open(running, "rb") as ran, open(default_command()[2], "rb") as built:
            self.assertEqual(hashlib.sha256(ran.read()).digest(),
                             hashlib.sha256(built.read()).digest())

    def test_runs_without_root(self):
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root to switch to an unprivileged user")
        board, _, daemon = default_command()[:3]
        with tempfile.TemporaryDirectory() as tmp:
            # A folder the unprivileged user can reach, with the binaries as built.
            os.chmod(tmp, 0o755)
            for path in (board, daemon):
                shutil.copy2(path, tmp)
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       os.path.join(tmp, os.path.basename(board)),
                       "--daemon", os.path.join(tmp, os.path.basename(daemon))]
            b = Board(command)
            try:
                b.open()
            except Unsupported:
                self.skipTest("unprivileged user namespaces are not allowed here")
            self.boards.append(b)
            self.addCleanup(self._close, b)
            b.do("modes 12 15", "ssid home", "service tessik_clientd connected")
            b.start()
            b.wait_writes(2, 2)
            self.assertEqual([(n, v) for _, n, v in b.leds()[:4]], [(1, 1), (2, 1)] * 2)
            b.do("signal TERM")
            self.assertStopped(b)


if __name__ == "__main__":
    unittest.main()
