"""A short run of the soak under faults (soak.py; scripts/soak runs it for
as long as asked): five boards, both LEDs of each on modes that run
commands or read the devices, hundreds of ticks each; and on the emulated
router, one daemon for about two minutes (NORVASK_VM_PACKAGE names the
package; NORVASK_SOAK_SEED picks the scenario and LED 1's mode)."""

import os
import sys
import unittest

import soak
from board import default_command


class Soak(unittest.TestCase):
    def test_hundreds_of_ticks_under_faults(self):
        if os.environ.get("NORVASK_SIM_DEVICES", "seccomp") != "seccomp":
            self.skipTest("the soak steps the daemon's clock through the board's device filter")
        ticks = int(os.environ.get("NORVASK_SOAK_TICKS", "1200"))
        seed = int(os.environ.get("NORVASK_SOAK_SEED", "1"))
        runs = soak.run_soak(default_command(), ticks=ticks, seed=seed)
        for r in runs:
            with self.subTest(modes=r.modes):
                if r.error:
                    print(f"\nLEDs on {r.modes}, seed {seed}:\n{r.error}\n"
                          f"{getattr(r, 'diagnostics', '')}")
                self.assertIsNone(r.error)
                self.assertGreater(r.tick_count, ticks)
                self.assertEqual((r.exit, r.stopped_logs), (("exit", "0"), 1))
                first, base, last = r.first, r.baseline, r.resources[-1][1]
                self.assertEqual((last["fds"], last["children"], last["zombies"]),
                                 (first["fds"] + 1, 0, 0))
                self.assertEqual(last["anon"], base["anon"])


class RouterSoak(unittest.TestCase):
    def test_two_minutes_on_the_router(self):
        package = os.environ.get("NORVASK_VM_PACKAGE")
        if not package:
            self.skipTest("set NORVASK_VM_PACKAGE to the router package")
        minutes = float(os.environ.get("NORVASK_SOAK_MINUTES", "2"))
        seed = int(os.environ.get("NORVASK_SOAK_SEED", "1"))
        modes = soak.ROUTER_MODES[seed % len(soak.ROUTER_MODES)]
        router = [sys.executable, os.path.join(soak.HERE, "..", "vm", "router.py"),
                  "--package", package]
        run, = soak.run_router_soak(router, minutes, seed=seed, boards=[modes])
        if run.error:
            print(f"\nLEDs on {modes}, seed {seed}:\n{run.error}\n"
                  f"{getattr(run, 'diagnostics', '')}")
        self.assertIsNone(run.error)
        print(f"\nLEDs on {modes}, seed {seed}: {run.tick_count} ticks, {run.checked_writes} "
              f"LED writes checked, {run.late_holds} late stops", file=sys.stderr)
        self.assertEqual((run.exit, run.stopped_logs), (("exit", "0"), 1))
        last = run.resources[-1][1]
        self.assertEqual((last["fds"], last["children"], last["zombies"], last["anon"]),
                         (run.first["fds"], 0, 0, run.baseline["anon"]))


if __name__ == "__main__":
    unittest.main()
