#!/usr/bin/python3
"""Measures the daemon's size and memory and writes docs/size-and-memory.md.

- The aarch64 binaries (dynamic and static PIE): stripped file size at 4, 16
  and 64 KiB segment alignment, text/data/bss, NEEDED and the newest C
  library symbol version they ask for.
- Resident memory (VmRSS, PSS, anonymous) of the host daemon after a few
  ticks on the simulated board (sim/), against minimal C programs built with
  the same compiler, flags and linking, each run on a board of its own in the
  daemon's place. It is measured on the host because under qemu-user the
  emulator's own memory would hide the daemon's.

The budgets (the daemon within 1.2 times the minimal program's VmRSS and
PSS; 56 KiB of text + data + bss for the aarch64 dynamic binary) are judged
in the report; the command fails only when it cannot measure. Run it as
root, or where the board can run.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "sim"))

from board import Board, board_command  # noqa: E402
from report import Report  # noqa: E402

TRIPLE = "aarch64-linux-gnu"
PAGES = [4096, 16384, 65536]
CHOSEN_PAGE = 65536
BUDGET_RATIO = 1.2
BUDGET_IMAGE = 56 * 1024

# The daemon's own code-generation flags (see CMakeLists.txt); -O3 is the
# Release build's.
CFLAGS = ["-O3", "-DNDEBUG", "-fno-asynchronous-unwind-tables", "-fvisibility=hidden",
          "-ffunction-sections", "-fdata-sections"]
LDFLAGS = ["-Wl,--gc-sections", "-Wl,--as-needed"]
# With -DLIKE_DAEMON it also makes the C library calls that the daemon cannot
# do without: one syslog message, and reading the settings file through stdio.
MINIMAL_C = r"""
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

int main(void) {
  openlog("minimal", LOG_PID | LOG_NDELAY, LOG_DAEMON);
#ifdef LIKE_DAEMON
  syslog(LOG_NOTICE, "started");
  FILE* settings = fopen("/opt/norvask/etc/settings", "r");
  if (settings) {
    char line[256];
    while (fgets(line, sizeof line, settings)) {
    }
    fclose(settings);
  }
#endif
  for (;;) sleep(1);
}
"""
# The programs whose memory is measured, in the report's order per build.
PROGRAMS = [("daemon", "norvaskd"), ("like", "minimal + daemon's calls"),
            ("minimal", "minimal program")]
KINDS = [("dyn", "dynamic"), ("static", "static PIE")]


def log(message):
    print(f"[measure {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def output(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


# --- building -------------------------------------------------------------------

def build_daemon(build_dir, *cmake_args):
    """The daemon alone, Release, in a build folder of its own; its path."""
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DNORVASK_TESTS=OFF", "-DNORVASK_SIM=OFF",
                    *cmake_args], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "norvaskd"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "norvaskd")


def build_minimal(work, compiler, name, *flags):
    source = os.path.join(work, "minimal.c")
    if not os.path.exists(source):
        with open(source, "w") as f:
            f.write(MINIMAL_C)
    path = os.path.join(work, name)
    subprocess.run([compiler, *CFLAGS, *LDFLAGS, *flags, source, "-o", path], check=True)
    return path


def build_all(work):
    """Every binary measured, by name."""
    toolchain = os.path.join(ROOT, "cmake", f"{TRIPLE}.cmake")
    built = {}
    for page in PAGES:
        for kind, extra in (("dyn", []), ("static", ["-DNORVASK_STATIC=ON"])):
            built[f"a64-{kind}-{page}"] = build_daemon(
                os.path.join(work, f"a64-{kind}-{page}"), f"-DCMAKE_TOOLCHAIN_FILE={toolchain}",
                f"-DNORVASK_MAX_PAGE_SIZE={page}", *extra)
    aligned = f"-Wl,-z,max-page-size={CHOSEN_PAGE}"
    built["a64-min-dyn"] = build_minimal(work, f"{TRIPLE}-gcc", "a64-min-dyn", aligned)
    built["a64-min-static"] = build_minimal(work, f"{TRIPLE}-gcc", "a64-min-static", aligned,
                                            "-static-pie")
    built["daemon-dyn"] = build_daemon(os.path.join(work, "host-dyn"))
    built["daemon-static"] = build_daemon(os.path.join(work, "host-static"),
                                          "-DNORVASK_STATIC=ON")
    for kind, flags in (("dyn", []), ("static", ["-static-pie"])):
        built[f"minimal-{kind}"] = build_minimal(work, "gcc", f"minimal-{kind}", *flags)
        built[f"like-{kind}"] = build_minimal(work, "gcc", f"like-{kind}", "-DLIKE_DAEMON",
                                              *flags)
    return built


# --- sizes ----------------------------------------------------------------------

def stripped_size(binary, work):
    stripped = os.path.join(work, "stripped")
    subprocess.run([f"{TRIPLE}-strip", "-o", stripped, binary], check=True)
    return os.path.getsize(stripped)


def image(binary):
    """text, data, bss and their sum, as size prints them."""
    return [int(v) for v in output(f"{TRIPLE}-size", binary).splitlines()[1].split()[:4]]


def needed(binary):
    names = [line.split("[", 1)[1].rstrip("]") for line in
             output(f"{TRIPLE}-readelf", "-d", binary).splitlines() if "(NEEDED)" in line]
    return " ".join(names) or "none"


def newest_glibc(binary):
    versions = set(re.findall(r"GLIBC_([0-9][0-9.]*[0-9])", output(f"{TRIPLE}-objdump", "-T",
                                                                   binary)))
    if not versions:
        return "none (linked in)"
    return "GLIBC_" + max(versions, key=lambda v: [int(n) for n in v.split(".")])


def kib(size):
    return f"{size / 1024:.1f} KiB"


# --- memory -----------------------------------------------------------------------

def memory_of(board_program, program, wait):
    """VmRSS, PSS and anonymous memory (kB) of `program`, run on a board in
    the daemon's place with LED 1 on mode 17 (always on), after `wait` s."""
    with Board(board_command(board_program, program)) as board:
        board.do("modes 17 0")
        pid = board.start()
        time.sleep(wait)
        fields = {}
        for name in ("status", "smaps_rollup"):
            with open(board.path(f"/proc/{pid}/{name}")) as f:
                for line in f:
                    key, _, value = line.partition(":")
                    fields[key] = value.split()[0] if value.split() else ""
        return {"rss": int(fields["VmRSS"]), "pss": int(fields["Pss"]),
                "anon": int(fields["Anonymous"])}


def measure_memory(board_program, built, rounds, wait):
    """Each figure is the median of `rounds` readings; in each round all
    programs run at the same time, so they share the C library's pages alike."""
    names = [f"{program}-{kind}" for kind, _ in KINDS for program, _ in PROGRAMS]
    readings = {name: [] for name in names}
    for _ in range(rounds):
        with ThreadPoolExecutor(max_workers=len(names)) as pool:
            for name, figures in zip(names, pool.map(
                    lambda n: memory_of(board_program, built[n], wait), names)):
                readings[name].append(figures)
    return {name: {key: statistics.median(r[key] for r in values) for key in values[0]}
            for name, values in readings.items()}


# --- the report ---------------------------------------------------------------------

def verdicts(built, memory):
    found = []
    for kind, label in KINDS:
        for key, figure in (("rss", "VmRSS"), ("pss", "PSS")):
            daemon, minimal = memory[f"daemon-{kind}"][key], memory[f"minimal-{kind}"][key]
            if daemon > BUDGET_RATIO * minimal:
                found.append(f"host {label} build: the daemon's {figure}, {daemon:g} kB, is over "
                             f"{BUDGET_RATIO} times the minimal program's {minimal:g} kB")
    total = image(built[f"a64-dyn-{CHOSEN_PAGE}"])[3]
    if total >= BUDGET_IMAGE:
        found.append(f"aarch64 dynamic text + data + bss {total} bytes is over 56 KiB")
    return found


def write_report(path, built, memory, work, rounds, wait):
    doc = Report("Size and memory")
    host_libc = output("ldd", "--version").splitlines()[0]
    doc.paragraph(
        "Written by `scripts/measure` (which runs `bench/size_and_memory.py`); rerun it to "
        f"refresh. Compiler: {output(f'{TRIPLE}-g++', '--version').splitlines()[0]};",
        f"host: {output('g++', '--version').splitlines()[0]}, {host_libc}.")

    doc.heading("aarch64 binaries")
    doc.paragraph(
        "File size after `strip`, and code and data as `size` prints them (bytes). The "
        "alignment is `-z max-page-size`: the largest kernel page size the file can be mapped "
        f"with. The packaged build uses {CHOSEN_PAGE // 1024} KiB (`NORVASK_MAX_PAGE_SIZE` in "
        "CMakePresets.json).")
    rows = []

    def size_row(label, binary, page):
        text, data, bss, total = image(binary)
        stripped = stripped_size(binary, work)
        rows.append([label, f"{page // 1024} KiB", f"{stripped} ({kib(stripped)})", text, data,
                     bss, f"{total} ({kib(total)})"])

    for kind, label in KINDS:
        for page in PAGES:
            size_row(f"norvaskd, {label}", built[f"a64-{kind}-{page}"], page)
    for kind, label in KINDS:
        size_row(f"minimal program, {label}", built[f"a64-min-{kind}"], CHOSEN_PAGE)
    doc.table(["binary", "alignment", "stripped file", "text", "data", "bss",
               "text + data + bss"], rows)
    doc.table(["binary", "NEEDED", "newest C library symbol version"],
              [[f"norvaskd, {label}", needed(built[f"a64-{kind}-{CHOSEN_PAGE}"]),
                newest_glibc(built[f"a64-{kind}-{CHOSEN_PAGE}"])] for kind, label in KINDS])
    doc.paragraph(
        f"The budget for the dynamic binary's text + data + bss is 56 KiB ({BUDGET_IMAGE} "
        "bytes); the settings line buffer alone is 16 KiB of bss.")
    doc.paragraph(
        f"Why {CHOSEN_PAGE // 1024} KiB alignment: the router's kernel is not ours, and an Arm64 "
        "kernel may run with 4, 16 or 64 KiB pages; a file aligned for smaller pages than the "
        "kernel's does not load. 64 KiB works under all three at the cost of some padding in "
        "the file (not in memory). For a router known to run 4 KiB pages, configure with "
        "`-DNORVASK_MAX_PAGE_SIZE=4096` to save that flash space.")

    doc.heading("Memory after a few ticks (host build)")
    doc.paragraph(
        f"Each program runs for {wait:g} s on a simulated board of its own (`sim/`, in the "
        f"daemon's place: `norvask-board --daemon PROGRAM`; {rounds} rounds, the median shown), "
        "with LED 1 on mode 17 (always on) in the settings file, and is read from "
        "`/proc/<pid>/status` (VmRSS) and `/proc/<pid>/smaps_rollup` (Pss; Anonymous: heap, "
        "stack and writable data, the process's own). All run at the same time, so they share "
        "the C library's pages alike. The minimal program only calls `openlog` and sleeps in a "
        "loop; \"minimal + daemon's calls\" also logs one message and reads the settings file "
        "through stdio, as the daemon must. Both are compiled and linked with the daemon's "
        "flags.")
    rows = []
    for kind, label in KINDS:
        minimal = memory[f"minimal-{kind}"]
        for program, title in PROGRAMS:
            m = memory[f"{program}-{kind}"]
            ratios = "" if program == "minimal" else ", ".join(
                f"{m[key] / minimal[key]:.2f}" for key in ("rss", "pss", "anon"))
            rows.append([label, title, f"{m['rss']:g}", f"{m['pss']:g}", f"{m['anon']:g}",
                         ratios])
    doc.table(["build", "program", "VmRSS kB", "PSS kB", "Anonymous kB",
               "VmRSS, PSS, Anonymous against the minimal program"], rows)
    doc.paragraph(
        f"The budget: the daemon within {BUDGET_RATIO} times the minimal program's VmRSS and "
        "PSS. In a dynamic build both count the shared C library pages a process has mapped, "
        "and the kernel maps them in blocks around each page touched (fault-around), so every "
        "further C library function called (syslog's time formatting, stdio, string "
        "functions) adds to them; compare the daemon with \"minimal + daemon's calls\" for its "
        "own share.")
    over = verdicts(built, memory)
    if over:
        doc.paragraph("Result: over budget:")
        doc.items(over)
    else:
        doc.paragraph("Result: within budget.")
    doc.write(path)
    return doc.text()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--board", default=os.path.join(ROOT, "build", "sim", "norvask-board"),
                        help="the board simulator (default: %(default)s)")
    parser.add_argument("--out", default=os.path.join(ROOT, "docs", "size-and-memory.md"),
                        help="the report to write (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=3, help="memory readings per figure")
    parser.add_argument("--wait", type=float, default=3.5,
                        help="seconds each program runs before it is read")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="norvask-measure.") as work:
        log("building (the aarch64 daemon at three alignments, both flavours; the host daemon)")
        built = build_all(work)
        log("measuring memory on the board")
        memory = measure_memory(os.path.abspath(args.board), built, args.rounds, args.wait)
        text = write_report(args.out, built, memory, work, args.rounds, args.wait)
    print(text)
    log(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
