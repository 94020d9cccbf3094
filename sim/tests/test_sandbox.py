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

from board import Board, BoardError, Refused, Unsupported, default_command
from systest import BoardCase, predict, shapes

# capture file, mode, board set-up that lights the LED, and text planted
# there that would switch it off.
PLANTED = [
    ("/tmp/norvask_open_vpn.txt", 13, ["tun 0 up", "tun 0 rx 80"], "RX bytes:0\n"),
    ("/tmp/norvask_ipsec.txt", 14, ["sas 1"], "Security Associations (0 up, 0 connecting):\n"),
    # One byte: no station; nothing listening.
    ("/tmp/norvask_wifi_ap.txt", 11, ["stations wlan0 1"], "\n"),
    ("/tmp/norvask_wifi_ap2.txt", 11, ["stations wlan02 1"], "\n"),
    ("/tmp/norvask_pelm_vpn.txt", 16, ["service drennic listening"], "\n"),
]

# Ways to take a capture path in a shared /tmp before the daemon makes it,
# and whether the daemon removes what is there (else it is ours, or not ours
# to walk, and stays).
PLANTS = {
    "symlink": True,
    "another user's": True,
    "another user's second name": True,
    "FIFO": True,
    "empty directory": True,
    "second name of ours": False,
    "directory with a file": False,
}

REPLACED = "capture {} was taken by another user: replaced"
KEPT = "capture {} was taken by another user: left as it is, output kept in a private file"


def plant(b, path, text, how):
    """Takes the board's `path` the way `how` says, with `text` where a file
    is made; False when the machine cannot do it."""
    at, other = b.path(path), b.path("/tmp/planted")
    if how == "FIFO":
        os.mkfifo(at, 0o666)
    elif how.endswith("directory"):
        os.mkdir(at, 0o777)
    elif how == "directory with a file":
        os.mkdir(at, 0o777)
        with open(os.path.join(at, "inside"), "w") as f:
            f.write(text)
    else:
        with open(other if how == "symlink" else at, "w") as f:
            f.write(text)
        if how == "symlink":
            os.symlink("/tmp/planted", at)
        elif "second name" in how:
            os.link(at, other)
    if how == "second name of ours":
        return True
    try:
        os.lchown(at, 65534, 65534)
    except OSError:
        return how not in ("another user's", "another user's second name")
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
    def test_capture_paths_taken_by_others_are_recovered(self):
        # One kind at a time: five boards at once.
        for how, removed in PLANTS.items():
            boards = {}
            for path, mode, setup, lie in PLANTED:
                b = self.board(*setup, modes=(mode, 17), start=False)
                if plant(b, path, lie, how):
                    b.start()
                    boards[path] = b
            for path, b in boards.items():
                _, mode, setup, lie = next(p for p in PLANTED if p[0] == path)
                with self.subTest(how=how, path=path):
                    self.wait_ticks(b, 3)
                    # The board's truth, as if nobody had been there.
                    expected = [led1 for led1, _ in predict((mode, 17), setup, 3)]
                    self.assertEqual(shapes(b)[:3], expected)
                    logs = [log.text for log in b.logs()]
                    told = (REPLACED if removed else KEPT).format(path)
                    self.assertEqual(logs.count(told), 1, logs)
                    self.assertEqual([t for t in logs if t.startswith("capture ")], [told])
                    st = os.lstat(b.path(path))
                    if removed:
                        self.assertTrue(stat.S_ISREG(st.st_mode) and st.st_uid == os.getuid())
                        self.assertEqual(stat.S_IMODE(st.st_mode), 0o644)
                        self.assertNotEqual(self.read_sandbox(b, path), lie)
                    elif how == "second name of ours":
                        self.assertEqual(self.read_sandbox(b, path), lie)
                    else:
                        self.assertEqual(self.read_sandbox(b, path + "/inside"), lie)
                    if how == "symlink" or "second name" in how:
                        self.assertEqual(self.read_sandbox(b, "/tmp/planted"), lie)
            for b in boards.values():
                b.close()


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

    def test_lines_the_board_cannot_play_are_refused(self):
        """A word of the boards' vocabulary that this board lacks is refused,
        told apart from a line that fails; the board goes on either way."""
        b = self.board(start=False)
        for line in ("init status", "install /dev/null"):
            with self.subTest(line), self.assertRaises(Refused):
                b.do(line)
        for line in ("frobnicate", "pin bin9 1", "clock fast"):
            with self.subTest(line), self.assertRaises(BoardError) as raised:
                b.do(line)
            self.assertNotIsInstance(raised.exception, Refused)
        b.do("modes 17 0")

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
