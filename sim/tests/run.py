"""Runs one system test module for CTest: exit status 77 (skipped) when the
machine cannot host the board's sandbox, else unittest's own status.
With SHARD/COUNT, runs every COUNT-th of the module's tests in name order,
starting at the SHARD-th: the COUNT shards together run each test once, side
by side (most of a test's time is the board's ticks, not this machine's)."""

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


def tests_of(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from tests_of(test)
        else:
            yield test


def shard_of(suite, shard, count):
    if count == 1:
        return suite
    tests = sorted(tests_of(suite), key=lambda test: test.id())
    return unittest.TestSuite(tests[shard - 1::count])


def arguments(args):
    """MODULE [SHARD/COUNT] as (module, shard, count); None when malformed."""
    if len(args) == 1:
        return args[0], 1, 1
    if len(args) != 2:
        return None
    try:
        shard, count = (int(n) for n in args[1].split("/"))
    except ValueError:
        return None
    return (args[0], shard, count) if 1 <= shard <= count else None


def main():
    parsed = arguments(sys.argv[1:])
    if parsed is None:
        print("usage: run.py MODULE [SHARD/COUNT]", file=sys.stderr)
        return 2
    module, shard, count = parsed
    # The simulated board's sandbox, unless another board is used.
    if os.environ.get("NORVASK_BOARD"):
        try:
            Board().open().close()
        except Unsupported as e:
            print(f"skipped: the machine cannot host the board's sandbox\n{e}")
            return SKIPPED
    suite = shard_of(unittest.defaultTestLoader.loadTestsFromName(module), shard, count)
    if suite.countTestCases() == 0:
        # A shard past the module's last test: fewer tests than the build expects.
        print(f"no tests in {module} shard {shard}/{count}", file=sys.stderr)
        return 1
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
