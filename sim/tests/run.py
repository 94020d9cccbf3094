"""Runs one system test module for CTest: exit status 77 (skipped) when the
machine cannot host the board's sandbox, else unittest's own status."""

import os
import sys
import unittest

# The system tests, and the folder a test module is run from (bench/ for
# the soak and memcheck).
sys.path.insert(0, os.getcwd())
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from board import Board, Unsupported  # noqa: E402

SKIPPED = 77


def main():
    if len(sys.argv) != 2:
        print("usage: run.py MODULE", file=sys.stderr)
        return 2
    # The simulated board's sandbox, unless another board is used.
    if os.environ.get("NORVASK_BOARD"):
        try:
            Board().open().close()
        except Unsupported as e:
            print(f"skipped: the machine cannot host the board's sandbox\n{e}")
            return SKIPPED
    suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[1])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
