"""Every mode of the daemon under valgrind's memcheck (memcheck.py)."""

import os
import shutil
import unittest

import memcheck
from board import default_command


class Memcheck(unittest.TestCase):
    def test_every_mode(self):
        if not shutil.which("valgrind"):
            self.skipTest("valgrind is not installed")
        if os.environ.get("NORVASK_SIM_PREFIX") or \
                os.environ.get("NORVASK_SIM_DEVICES", "seccomp") != "seccomp":
            self.skipTest("the daemon runs under valgrind here, with the board's device filter")
        command = default_command()
        runs = memcheck.run_all(command, command[2])
        modes = {m for r in runs for m in r.modes}
        self.assertLessEqual(set(range(19)) - modes, {13, 14} if os.geteuid() else set())
        for r in runs:
            with self.subTest(r.name):
                if r.problems:
                    print(f"\n{r.name}:\n{getattr(r, 'diagnostics', '')}\n{r.log[-3000:]}")
                self.assertEqual(r.problems, [])


if __name__ == "__main__":
    unittest.main()
