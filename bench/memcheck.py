"""The daemon under valgrind's memcheck on the simulated board, a few ticks
on every mode. Each tick's device calls, messages and errors are checked as
in the soak (the board still answers the device calls from outside the
daemon, now made by valgrind on its behalf). Memcheck must report no
invalid access and no leak, with nothing left allocated at the end and no
descriptor open but the log socket and the LEDs' devices; and the daemon's
own code must allocate nothing: every allocation's stack leads from the
daemon into the C library's stdio or syslog code, and as many are made in
each tick after the first.

    bench/memcheck.py --board BOARD --daemon DAEMON [--ticks N] [--report FILE]
"""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))

import soak  # noqa: E402
from board import CLASS_LEDS, CLASS_LEDS_DIR, Board, BoardError, class_led_setting  # noqa: E402
from model import Model  # noqa: E402
from report import Report  # noqa: E402

LOG = "/opt/board/memcheck.log"
XTREE = "/opt/board/xtmemory.kcg"
VALGRIND = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all", "--error-exitcode=99", "--track-fds=yes",
            "--trace-malloc=yes", "--xtree-memory=full", f"--xtree-memory-file={XTREE}",
            "--num-callers=30", f"--log-file={LOG}", "--trace-children=no"]

# name, the LEDs' modes, the board's lines before the start, and before each
# later tick (so that every tick takes the same path).
CASES = [
    ("nothing to show", (0, 0), [], []),
    ("binary inputs", (1, 2), ["pin bin0 0"], []),
    ("binary outputs, one the board lacks", (3, 4), ["pin out1 none"], []),
    ("serial port 1 busy", (5, 6), [], ["serial ttyS0 in 7", "serial ttyS0 out 5"]),
    ("serial ports failing and missing", (7, 8), ["serial ttyS0 fail", "device ttyS1 off"], []),
    ("serial port 2 busy", (9, 10), [], ["serial ttyS1 in 7", "serial ttyS1 out 5"]),
    ("Wi-Fi blinking", (11, 12), ["stations wlan0 1", "stations wlan02 1", "ssid home"],
     ["send wlan0 600", "send wlan02 600", "send wlan1 600"]),
    ("Wi-Fi named otherwise, four access points", (11, 12),
     ["iface ap a;b phy1-ap0 phy0-ap1 wlan0-1", "iface client phy0-sta0",
      "settings MOD_NORVASK_WIFI_AP=\"a;b phy1-ap0 phy0-ap1 wlan0-1\"",
      "settings MOD_NORVASK_WIFI_CLIENT=phy0-sta0", "stations a;b 1", "stations wlan0-1 1",
      "ssid home"],
     ["send a;b 600", "send wlan0-1 600", "send phy0-sta0 600"]),
    ("Wi-Fi keys refused", (11, 12),
     ["settings MOD_NORVASK_WIFI_AP=wlan0/1", "settings MOD_NORVASK_WIFI_CLIENT=\"wlan 1\"",
      "stations wlan0 1", "ssid home"], []),
    ("tunnels up", (13, 14), ["tun 0 up", "tun 1 up", "tun 1 rx 500", "sas 1"], []),
    ("tunnel status unreadable", (13, 14),
     ["tun 0 up", "tun 0 rx 500", "tool ifconfig garbage", "tool stroke missing"], []),
    ("IPsec through swanctl", (14, 12), [*soak.SWANCTL, "sas 1"], []),
    ("remote services", (15, 16),
     ["service tessik_clientd connected", "service drennic listening"], []),
    ("always, and beyond the table, on kernel LEDs", (17, 18),
     [class_led_setting(1, CLASS_LEDS[0]), class_led_setting(2, CLASS_LEDS[1])], []),
]

ALLOCATION = re.compile(r"^--\d+-- (\w+)\(.*\) = 0x[0-9A-Fa-f]+$", re.M)
# What the allocations made through each C library function are.
WHAT = {
    "syslog": "the time-zone data that the first message's time stamp loads, kept for later ones",
    "__syslog_chk": "the time-zone data that the first message's time stamp loads (the fortified "
                    "syslog), kept for later ones",
    "fdopen": "the settings file's stream",
    "rewind": "the settings file's stream buffer",
    "__fopen_internal": "the interface counters' stream, closed at once",
    "fgets": "the interface counters' stream buffer, freed with it",
}
# The C library's stdio streams and syslog, where the daemon's calls may allocate.
LIBC_ENTRY = re.compile(r"^(_IO_\w+|__fopen_internal|fopen\w*|fdopen\w*|fgets\w*|fread\w*|rewind"
                        r"|fclose\w*|__vsyslog_internal|v?syslog|__v?syslog_chk|openlog\w*"
                        r"|perror)$")


def needs_tunnel(case):
    return any(line.startswith("tun ") for line in case[2])


def base_name(function):
    """A function's name without namespace markers, parameters and symbol version."""
    return re.sub(r"\(anonymous namespace\)::", "", function).split("(")[0].split("@")[0]


def daemon_functions(daemon):
    out = subprocess.run(["nm", "-C", "--defined-only", daemon], capture_output=True, text=True,
                         check=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "tTwW":
            names.add(base_name(parts[2]))
    return names


def parse_xtree(text):
    """(functions from the outermost to the caller of the allocator, blocks
    allocated there) for every stack of valgrind's callgrind-format xtree."""
    names, stacks = {}, []
    for block in text.split("\n\n"):
        functions, costs = [], None
        for line in block.splitlines():
            m = re.match(r"^(c?fn)=\((\d+)\)(?: (.*))?$", line)
            if m:
                if m.group(3) is not None:
                    names[m.group(2)] = m.group(3)
                if m.group(1) == "fn":
                    functions.append(names[m.group(2)])
            elif re.match(r"^\d+( \d+)+$", line):
                costs = [int(x) for x in line.split()]
        # Cost columns: position, curB, curBk, totB, totBk, totFdB, totFdBk.
        if functions and costs and costs[4]:
            stacks.append((functions, costs[4]))
    return stacks


def allocation_sites(stacks, daemon):
    """Per (daemon function, C library function it called): blocks
    allocated; and the stacks whose allocator the daemon called itself."""
    sites, own = collections.Counter(), []
    for functions, blocks in stacks:
        bases = [base_name(f) for f in functions]
        if bases[-1] in daemon:
            own.append((functions, blocks))
            continue
        i = len(bases) - 1
        while i >= 0 and bases[i] not in daemon:
            i -= 1
        site = (bases[i], bases[i + 1]) if i >= 0 else ("(before main)", bases[-1])
        sites[site] += blocks
    return sites, own


class CaseRun:
    def __init__(self, command, case, ticks, daemon):
        self.command = list(command) + ["--fast-clock"]
        for word in VALGRIND:
            self.command += ["--prefix", word]
        self.name, self.modes, self.setup, self.each_tick = case
        self.ticks = ticks if self.modes != (0, 0) else 0
        self.daemon = daemon
        self.problems = []
        self.totals = []  # allocations made by the end of each tick
        self.log = ""
        self.stacks = []
        self.exit = None

    def run(self):
        try:
            b = Board(self.command)
            b.open()
            try:
                self._run(b)
            finally:
                self.diagnostics = b.diagnostics()
                b.close()
        except (soak.Mismatch, BoardError, OSError) as e:
            self.problems.append(str(e))
        self.check()

    def allocations(self, b):
        with open(b.path(LOG)) as f:
            return len(ALLOCATION.findall(f.read()))

    def _run(self, b):
        with open(b.path("/opt/board/garbage"), "rb") as f:
            model = Model(self.modes, f.read().decode("latin-1"))
        b.do("clock step", f"modes {self.modes[0]} {self.modes[1]}")
        for line in self.setup:
            soak.play(b, model, line)
        start = b.mark()
        b.start()
        if self.ticks == 0:
            self.exit = b.wait_exit(start=start, timeout=60)
            devices, logs, stderr, _ = soak.daemon_events(b, start, None)
            if (devices, logs, stderr) != (["led 1 0", "led 2 0"], ["started", "stopped"], []):
                raise soak.Mismatch(f"nothing to show: {devices} {logs} {stderr}")
        for tick in range(1, self.ticks + 1):
            if tick > 1:
                for line in self.each_tick:
                    soak.play(b, model, line)
                start = b.mark()
                b.send("tick")
            end = b.wait_for(lambda e: e.kind in ("asleep", "exit", "killed"), start=start,
                             timeout=60).index
            soak.check_tick(b, model, start, end, f"tick {tick}", first=tick == 1)
            self.totals.append(self.allocations(b))
        if self.ticks:
            start = b.mark()
            b.do("signal TERM")
            b.send("tick")
            self.exit = b.wait_exit(start=start, timeout=60)
        with open(b.path(LOG)) as f:
            self.log = f.read()
        with open(b.path(XTREE)) as f:
            self.stacks = parse_xtree(f.read())

    def summary(self, pattern):
        m = re.search(pattern, self.log)
        return m.group(1) if m else None

    def check(self):
        if self.exit != ("exit", "0"):
            self.problems.append(f"the daemon ended with {self.exit} (99: memcheck found errors)")
        errors = self.summary(r"ERROR SUMMARY: (\d+) errors")
        if errors != "0":
            self.problems.append(f"memcheck errors: {errors}")
        left = self.summary(r"in use at exit: ([\d,]+ bytes in [\d,]+ blocks)")
        if left != "0 bytes in 0 blocks":
            self.problems.append("heap blocks left at exit")
        # Valgrind's own log file apart.
        self.open_at_exit = [f or s for f, s in re.findall(
            r"Open (?:file descriptor \d+: (\S+)|(AF_UNIX) socket)", self.log) if f != LOG]
        # The LEDs' devices are kept open for the daemon's life.
        stray = [f for f in self.open_at_exit if f not in ("/dev/gpio", "AF_UNIX")
                 and not f.startswith(CLASS_LEDS_DIR + "/")]
        if stray:
            self.problems.append(f"open at exit: {stray}")
        self.per_tick = [b - a for a, b in zip(self.totals, self.totals[1:])]
        if len(set(self.per_tick)) > 1:
            self.problems.append(f"allocations per tick change: {self.per_tick}")
        self.sites, own = allocation_sites(self.stacks, self.daemon)
        for functions, blocks in own:
            self.problems.append(f"the daemon's own code allocates: {' > '.join(functions)}")
        for (caller, entry), blocks in self.sites.items():
            if not LIBC_ENTRY.match(entry):
                self.problems.append(f"{caller} allocates through {entry}")
        total = self.summary(r"total heap usage: ([\d,]+) allocs")
        in_stacks = sum(blocks for _, blocks in self.stacks)
        if total is None or int(total.replace(",", "")) != in_stacks:
            self.problems.append(f"allocations: {total} in all, {in_stacks} in the stacks")


def run_all(command, daemon, ticks=5, jobs=2):
    tunnels = os.geteuid() == 0  # /dev/net/tun is root's
    cases = [c for c in CASES if tunnels or not needs_tunnel(c)]
    functions = daemon_functions(daemon)
    runs = [CaseRun(command, case, ticks, functions) for case in cases]
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        list(pool.map(CaseRun.run, runs))
    return runs


def valgrind_version():
    return subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()


def report(runs, command_line):
    doc = Report("The daemon under memcheck")
    doc.paragraph(
        f"Written by `{command_line}`; rerun it to refresh. The daemon's binary as built runs",
        f"under valgrind's memcheck ({valgrind_version()}) on the simulated board",
        "(`bench/memcheck.py`): a few ticks of each case, every tick's device calls and",
        "messages checked as in the soak. Valgrind's own log file is left out of the",
        "descriptors open at exit.")
    rows = []
    sites = collections.Counter()
    for r in runs:
        first = r.totals[0] if r.totals else r.summary(r"total heap usage: ([\d,]+) allocs")
        later = ", ".join(str(n) for n in r.per_tick) or "-"
        opened = ", ".join(getattr(r, "open_at_exit", [])) or "-"
        rows.append([r.name, f"{r.modes[0]}, {r.modes[1]}", r.ticks,
                     r.summary(r"ERROR SUMMARY: (\d+) errors"),
                     r.summary(r"in use at exit: ([\d,]+ bytes in [\d,]+ blocks)"), opened,
                     f"{first}; {later}", "passed" if not r.problems else "FAILED"])
        sites.update(r.sites if hasattr(r, "sites") else {})
    doc.table(["case", "LEDs' modes", "ticks", "errors", "left at exit", "open at exit",
               "allocations: start-up and tick 1, each later tick", "result"], rows)
    doc.paragraph("Where the allocations come from, all cases together: the daemon's function,",
                  "and the C library's function it called, in which the allocation was made.")
    doc.table(["daemon function", "C library", "blocks", "what"],
              [[f"`{caller}`", f"`{entry}`", blocks, WHAT.get(entry, "")]
               for (caller, entry), blocks in sorted(sites.items())])
    failures = [f"{r.name}: {p}" for r in runs for p in r.problems]
    if failures:
        doc.paragraph("Failures:")
        doc.items(failures)
    return doc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--board", required=True)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--ticks", type=int, default=5)
    parser.add_argument("--report")
    parser.add_argument("--command-line", default="scripts/memcheck")
    args = parser.parse_args()
    if not shutil.which("valgrind"):
        print("valgrind is not installed", file=sys.stderr)
        return 2
    runs = run_all([args.board, "--daemon", args.daemon], args.daemon, ticks=args.ticks)
    failed = {r.name: f"{getattr(r, 'diagnostics', '')}\n{r.log[-3000:]}"
              for r in runs if r.problems}
    return soak.finish(report(runs, args.command_line), args.report, failed)


if __name__ == "__main__":
    sys.exit(main())
