#!/usr/bin/python3
"""Measures the daemon against its physical floor and writes the report.

    bench/report.py BUILD_DIR REPORT.md [--quick]

Runs, in this order and in one go: the Google Benchmark suites (tick bodies,
command runner against posix_spawn, settings lookup, counters scan), then the
real daemon in private sandboxes (bench/sandbox.py): a system-call census per
tick for each family of modes, resident memory after 3 and after 100 ticks,
heap allocations per tick, and finally CPU time per tick of the daemon and of
the owner's busybox loop (bench/router_loop.sh) for modes 11 and 13, side by
side. Every figure in the report comes from this one run. --quick shortens
everything (for trying the script, not for the report).
"""
import collections
import datetime
import fcntl
import json
import os
import platform
import re
import resource
import statistics
import struct
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# What the stand-in tools answer. The scenarios keep every LED steady (no
# blink), so a tick's cost is its probes' and not a second of blinking.
ANSWERS = {
    "hostapd_cli -i wlan0 all_sta": "02:00:00:00:00:01\nflags=[AUTH][ASSOC][AUTHORIZED]\n"
                                    "rx_bytes=4096\ntx_bytes=2048\n",
    "hostapd_cli -i wlan02 all_sta": "",
    "wpa_cli -i wlan1 status": "bssid=02:00:00:00:01:00\nfreq=2437\nssid=home\nid=0\n"
                               "mode=station\nwpa_state=COMPLETED\nip_address=192.168.1.20\n",
    "ifconfig tun1": "tun1      Link encap:UNSPEC  HWaddr 00-00-00-00-00-00-00-00-00-00\n"
                     "          inet addr:10.8.0.6  P-t-P:10.8.0.5  Mask:255.255.255.255\n"
                     "          UP POINTOPOINT RUNNING NOARP MULTICAST  MTU:1500  Metric:1\n"
                     "          RX packets:120 errors:0 dropped:0 overruns:0 frame:0\n"
                     "          TX packets:98 errors:0 dropped:0 overruns:0 carrier:0\n"
                     "          RX bytes:123456 (120.5 KiB)  TX bytes:65432 (63.8 KiB)\n",
    "stroke statusall": "Status of IKE charon daemon (strongSwan 5.9.1, Linux 5.10.0, aarch64):\n"
                        "Connections:\n    site:  %any...203.0.113.9  IKEv2\n"
                        "Security Associations (1 up, 0 connecting):\n"
                        "        site[1]: ESTABLISHED 2 hours ago\n",
    "netstat -pnat": "Active Internet connections (servers and established)\n"
                     "Proto Recv-Q Send-Q Local Address   Foreign Address  State       PID/Program\n"
                     "tcp        0      0 0.0.0.0:22      0.0.0.0:*        LISTEN      402/dropbear\n"
                     "tcp        0      0 192.168.1.1:41822 203.0.113.5:443 ESTABLISHED "
                     "812/tessik_clientd\n",
    "netstat -tlpn": "Active Internet connections (only servers)\n"
                     "Proto Recv-Q Send-Q Local Address   Foreign Address  State       PID/Program\n"
                     "tcp        0      0 0.0.0.0:4443    0.0.0.0:*        LISTEN      911/drennic\n",
    "io get bin0": "1",
    "io get bin1": "0",
    "io get out0": "0",
    "io get out1": "1",
}

# What one tick must do, in system calls of the daemon's own process.
LED_WRITES = {"ioctl": 2}
SLEEP = {"clock_nanosleep": 1}
PIN_READ = {"ioctl": 1}
SERIAL_READ = {"openat": 1, "ioctl": 1, "close": 1}
COMMAND = {"clone": 1, "wait4": 1}  # with its execve in the child
CAPTURE = {"openat": 1, "close": 1}  # opened truncated, handed over, closed
SIZE_QUERY = {"stat": 1}
READ_BACK = {"openat": 1, "read": 1, "close": 1}
COUNTERS_READ = {"openat": 1, "read": 1, "close": 1}

# What the daemon does beyond that, and why.
EXTRA_COMMAND = ({"rt_sigprocmask": 2},
                 "every signal is blocked while the child shares the daemon's memory "
                 "(as posix_spawn does), so that a stop signal cannot run the daemon's "
                 "handler in the child")
EXTRA_CAPTURE = ({"fstat": 1, "ftruncate": 1},
                 "the capture file is opened without O_TRUNC, checked to be a plain file "
                 "with one link (a FIFO, device or hard link planted in /tmp is refused) "
                 "and only then truncated")
EXTRA_READ_BACK = ({"fstat": 1}, "the read-back refuses anything but a plain file")
EXTRA_COUNTERS_READ = ({"read": 1},
                       "/proc/net/dev is read in 1 KiB pieces, /proc's block size, and wlan1's "
                       "line lies past the first (the kernel formats as many records as a read "
                       "asks for, so one large read costs more CPU for the first interfaces)")

# Families of modes, each run as (LED 1's mode, LED 2's mode).
FAMILIES = [
    {"name": "none-0-17", "title": "0 and 17 (off, on)", "modes": [0, 17],
     "floor": [LED_WRITES, SLEEP], "extras": [], "commands": 0},
    {"name": "none-18-max", "title": "18 and 4294967295 (off)", "modes": [18, 4294967295],
     "floor": [LED_WRITES, SLEEP], "extras": [], "commands": 0},
    {"name": "pins", "title": "1 and 3 (pins bin0, out0)", "modes": [1, 3],
     "floor": [LED_WRITES, SLEEP, PIN_READ, PIN_READ], "extras": [], "commands": 0},
    {"name": "serial", "title": "5 and 10 (serial ports)", "modes": [5, 10],
     "floor": [LED_WRITES, SLEEP, SERIAL_READ, SERIAL_READ], "extras": [], "commands": 0,
     "serial": True},
    {"name": "wifi-ap", "title": "11 (access points; stations on wlan0, idle)", "modes": [11, 0],
     "floor": [LED_WRITES, SLEEP, COMMAND, COMMAND, CAPTURE, CAPTURE, SIZE_QUERY, SIZE_QUERY,
               COUNTERS_READ],
     "extras": [EXTRA_COMMAND, EXTRA_COMMAND, EXTRA_CAPTURE, EXTRA_CAPTURE], "commands": 2},
    {"name": "wifi-client", "title": "12 (Wi-Fi client, associated, idle)", "modes": [12, 0],
     "floor": [LED_WRITES, SLEEP, COMMAND, COUNTERS_READ],
     "extras": [EXTRA_COMMAND, EXTRA_COUNTERS_READ], "commands": 1},
    {"name": "openvpn", "title": "13 (OpenVPN; no tun0, tun1 has data)", "modes": [13, 0],
     "floor": [LED_WRITES, SLEEP, COMMAND, COMMAND, CAPTURE, CAPTURE, READ_BACK],
     "extras": [EXTRA_COMMAND, EXTRA_COMMAND, EXTRA_CAPTURE, EXTRA_CAPTURE, EXTRA_READ_BACK],
     "commands": 2},
    {"name": "ipsec", "title": "14 (IPsec through stroke, 1 up)", "modes": [14, 0],
     "floor": [LED_WRITES, SLEEP, SIZE_QUERY, COMMAND, CAPTURE, READ_BACK],
     "extras": [EXTRA_COMMAND, EXTRA_CAPTURE, EXTRA_READ_BACK], "commands": 1},
    {"name": "remote", "title": "15 (remote management connected)", "modes": [15, 0],
     "floor": [LED_WRITES, SLEEP, COMMAND], "extras": [EXTRA_COMMAND], "commands": 1},
    {"name": "portal", "title": "16 (VPN portal listening)", "modes": [16, 0],
     "floor": [LED_WRITES, SLEEP, COMMAND, CAPTURE, SIZE_QUERY],
     "extras": [EXTRA_COMMAND, EXTRA_CAPTURE], "commands": 1},
]

# The runner's child, per command, up to its exec: what the behaviour needs
# (/dev/null for the streams not given, every descriptor from 3 closed, exec)
# and what sharing the daemon's memory adds.
CHILD_FLOOR = {"openat": 1, "dup2": 3, "close_range": 1, "execve": 1}
CHILD_EXTRA = (("rt_sigaction", "rt_sigprocmask"),
               "the child sets every handled signal back to its default action before it "
               "restores the mask and execs (it shares the daemon's memory until exec, so the "
               "daemon's handler must not run in it): one query per signal and one reset per "
               "handled signal, as posix_spawn does")

CPU_MODES = [
    {"mode": 11, "marker": "hostapd_cli -i wlan0 all_sta"},
    {"mode": 13, "marker": "ifconfig tun0"},
]


def add(*parts):
    total = collections.Counter()
    for part in parts:
        total.update(part)
    return total


def median(values):
    return statistics.median(values) if values else float("nan")


def log(message):
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", flush=True)


# --- Google Benchmark -------------------------------------------------------

def bench_environment():
    # The router's /tmp, where the capture files live, is a tmpfs: so is the
    # stand-in board's directory when the machine has one.
    env = dict(os.environ)
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        env["TMPDIR"] = "/dev/shm"
    return env


def run_google_benchmark(build, out_dir, quick):
    # The runner's pairs take milliseconds, so they get longer repetitions.
    parts = [("-runner_vs_spawn", "0.02" if quick else "0.5"),
             ("runner_vs_spawn", "0.1" if quick else "2")]
    medians = {}
    context = None
    for number, (selection, min_time) in enumerate(parts):
        out = os.path.join(out_dir, f"google-benchmark-{number}.json")
        args = [os.path.join(build, "norvask_bench"), f"--benchmark_filter={selection}",
                f"--benchmark_out={out}", "--benchmark_out_format=json",
                "--benchmark_enable_random_interleaving=true",
                "--benchmark_report_aggregates_only=true",
                "--benchmark_repetitions=%d" % (2 if quick else 7),
                f"--benchmark_min_time={min_time}"]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL, env=bench_environment())
        with open(out) as f:
            data = json.load(f)
        context = context or data["context"]
        for entry in data["benchmarks"]:
            if entry.get("aggregate_name") == "median":
                medians[entry["run_name"]] = entry
    return {"context": context, "medians": medians}


# --- sandboxes ----------------------------------------------------------------

def serial_port_readable():
    try:
        fd = os.open("/dev/ttyS0", os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError:
        return False
    try:
        fcntl.ioctl(fd, 0x545D, bytes(80))  # TIOCGICOUNT
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def run_sandbox(cfg):
    os.makedirs(cfg["out"], exist_ok=True)
    path = os.path.join(cfg["out"], "config.json")
    with open(path, "w") as f:
        json.dump(cfg, f, indent=1)
    with open(os.path.join(cfg["out"], "sandbox.log"), "w") as log_file:
        done = subprocess.run(["unshare", "-m", "-n", "/usr/bin/python3",
                               os.path.join(HERE, "sandbox.py"), path],
                              stdout=log_file, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise RuntimeError(f"sandbox {cfg['out']} failed; see its sandbox.log")
    with open(os.path.join(cfg["out"], "result.json")) as f:
        return json.load(f)


def base_config(build, out):
    return {"out": out, "daemon": os.path.join(build, "norvaskd"),
            "standin": os.path.join(build, "norvask_standin"),
            "heap_probe": os.path.join(build, "libnorvask_heap_probe.so"),
            "loop": os.path.join(HERE, "router_loop.sh"), "answers": ANSWERS}


STRACE_LINE = re.compile(r"^(\d+) +(.*)$")
CALL = re.compile(r"^([a-z_0-9]+)\((.*)$")
RESUMED = re.compile(r"^<\.\.\. ([a-z_0-9]+) resumed>(.*)$")
RESULT = re.compile(r"\)\s+= (-?\d+)")
CLONES = ("clone", "clone3", "fork", "vfork")


def syscall_key(name, args):
    # glibc's fstat and stat both end in newfstatat; tell them apart.
    if name == "newfstatat":
        return "fstat" if "AT_EMPTY_PATH" in args else "stat"
    return name


def parse_trace(path, daemon_pid):
    """Splits a strace -f log into the daemon's ticks. Each tick has the daemon's
    own calls, its children's calls up to their exec, the number of children
    and the calls of the commands themselves (after exec, and their children)."""
    ticks = []

    def new_tick():
        return {"daemon": collections.Counter(), "child": collections.Counter(),
                "children": 0, "command_calls": 0}

    tick = new_tick()
    # A vfork-style child's calls come before its parent's clone returns, so
    # the daemon's children are found in a first pass.
    direct = set()
    with open(path, errors="replace") as f:
        for line in f:
            m = STRACE_LINE.match(line.rstrip("\n"))
            if not m or int(m.group(1)) != daemon_pid:
                continue
            rest = m.group(2)
            call = RESUMED.match(rest) or CALL.match(rest)
            found = RESULT.search(rest)
            if call and call.group(1) in CLONES and found and int(found.group(1)) > 0:
                direct.add(int(found.group(1)))
    execed = set()

    def note_result(pid, name, tail):
        found = RESULT.search(tail)
        if not found:
            return
        value = int(found.group(1))
        if name in CLONES and pid == daemon_pid and value > 0:
            tick["children"] += 1
        if name == "execve" and value == 0:
            execed.add(pid)

    with open(path, errors="replace") as f:
        for line in f:
            m = STRACE_LINE.match(line.rstrip("\n"))
            if not m:
                continue
            pid, rest = int(m.group(1)), m.group(2)
            if rest.startswith(("---", "+++")):
                continue
            resumed = RESUMED.match(rest)
            if resumed:
                note_result(pid, resumed.group(1), resumed.group(2))
                continue
            call = CALL.match(rest)
            if not call:
                continue
            name, args = call.group(1), call.group(2)
            key = syscall_key(name, args)
            if pid == daemon_pid:
                tick["daemon"][key] += 1
            elif pid in direct and pid not in execed:
                tick["child"][key] += 1
            else:
                tick["command_calls"] += 1
            note_result(pid, name, args)
            if pid == daemon_pid and name == "clock_nanosleep" and "{tv_sec=1, tv_nsec=0}" in args:
                ticks.append(tick)
                tick = new_tick()
    return ticks


def census_summary(family, result, trace_path, window):
    ticks = parse_trace(trace_path, result["daemon_pid"])
    chosen = ticks[window[0] - 1:window[1]]
    keys = sorted(set().union(*(t["daemon"] for t in chosen)))
    daemon = {k: median([t["daemon"][k] for t in chosen]) for k in keys}
    constant = all(t["daemon"] == chosen[0]["daemon"] for t in chosen)
    children = median([t["children"] for t in chosen])
    child_keys = sorted(set().union(*(t["child"] for t in chosen)))
    per_child = {k: median([t["child"][k] / t["children"] for t in chosen if t["children"]])
                 for k in child_keys}
    command_calls = median([t["command_calls"] / t["children"] for t in chosen if t["children"]])

    floor = add(*family["floor"])
    explained = add(*(extra for extra, _ in family["extras"]))
    beyond = {k: daemon.get(k, 0) - floor.get(k, 0) for k in set(daemon) | set(floor)}
    unexplained = {k: v - explained.get(k, 0) for k, v in beyond.items()
                   if v - explained.get(k, 0) > 0}
    missing = {k: -v for k, v in beyond.items() if v < 0}
    heap = result["heap_counts"]
    heap_per_tick = [b - a for a, b in zip(heap[1:], heap[2:])]  # from tick 3 on
    cpu = result["own_cpu_ns"]
    own_us = median([(b - a) / 1000 for a, b in zip(cpu[1:], cpu[2:])])
    rss = result["rss_kib"]
    return {
        "daemon": daemon, "constant": constant, "total": sum(daemon.values()),
        "floor": dict(floor), "floor_total": sum(floor.values()),
        "beyond": {k: v for k, v in beyond.items() if v > 0},
        "unexplained": unexplained, "missing": missing,
        "children": children, "per_child": per_child, "command_calls": command_calls,
        "heap_per_tick": heap_per_tick, "own_us": own_us, "rss": rss,
        "ticks_parsed": len(ticks), "window": window,
        "stderr": result.get("census-stderr.txt", ""),
        "syslog": result.get("syslog.txt", ""),
    }


def run_census(build, out_dir, quick):
    ticks = 12 if quick else 100
    window = (4, 8) if quick else (4, 13)
    serial_ok = serial_port_readable()
    jobs = []
    for family in FAMILIES:
        if family.get("serial") and not serial_ok:
            continue
        cfg = base_config(build, os.path.join(out_dir, "census-" + family["name"]))
        cfg.update({"kind": "census", "modes": family["modes"], "ticks": ticks,
                    "heap_ticks": 8 if quick else 12})
        jobs.append((family, cfg))
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        results = list(pool.map(lambda job: run_sandbox(job[1]), jobs))
    summaries = {}
    for (family, cfg), result in zip(jobs, results):
        summaries[family["name"]] = census_summary(
            family, result, os.path.join(cfg["out"], "strace.txt"), window)
    return {"ticks": ticks, "window": window, "serial_ok": serial_ok, "families": summaries}


def run_cpu(build, out_dir, quick):
    jobs = []
    for wanted in CPU_MODES:
        cfg = base_config(build, os.path.join(out_dir, "cpu-%d" % wanted["mode"]))
        cfg.update({"kind": "cpu", "modes": [wanted["mode"], 0], "marker": wanted["marker"],
                    "runs": 2 if quick else 7, "ticks": 6 if quick else 14})
        jobs.append((wanted, cfg))
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        results = list(pool.map(lambda job: run_sandbox(job[1]), jobs))
    summaries = {}
    for (wanted, cfg), result in zip(jobs, results):
        runs = result["runs"]
        rows = []
        for run in runs:
            d, l = run["daemon"], run["loop"]
            d_total = d["own_per_tick_ns"] + d["children_per_tick_ns"]
            l_total = l["own_per_tick_ns"] + l["children_per_tick_ns"]
            rows.append({
                "daemon_own": d["own_per_tick_ns"] / 1000,
                "daemon_children": d["children_per_tick_ns"] / 1000,
                "daemon_total": d_total / 1000,
                "own_share": d["own_per_tick_ns"] / d["children_per_tick_ns"],
                "loop_own": l["own_per_tick_ns"] / 1000,
                "loop_children": l["children_per_tick_ns"] / 1000,
                "loop_total": l_total / 1000,
                "ratio": d_total / l_total,
                "ticks": (d["ticks"], l["ticks"]),
            })
        summaries[wanted["mode"]] = {
            "runs": rows, "ticks": cfg["ticks"],
            "exec_us": {k: v / 1000 for k, v in result["exec_ns"].items()},
            "median": {k: median([r[k] for r in rows]) for k in rows[0] if k != "ticks"},
            "stderr": (result.get("daemon-stderr.txt", ""), result.get("loop-stderr.txt", "")),
        }
    return summaries


# --- the report ---------------------------------------------------------------

def fmt_calls(counts):
    return ", ".join(f"{k} {v:g}" for k, v in sorted(counts.items())) or "none"


def us(value):
    return f"{value:,.1f}" if value < 100 else f"{value:,.0f}"


def mark(ok):
    return "met" if ok else "**not met**"


def machine_facts():
    facts = {"kernel": platform.release(), "cores": os.cpu_count(),
             "glibc": " ".join(platform.libc_ver())}
    try:
        with open("/proc/cpuinfo") as f:
            facts["cpu"] = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")),
                                "unknown")
    except OSError:
        facts["cpu"] = "unknown"
    facts["fd_hard_limit"] = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    with open("/proc/sys/fs/nr_open") as f:
        facts["nr_open"] = int(f.read())
    banner = subprocess.run(["busybox"], capture_output=True, text=True).stdout.splitlines()
    facts["busybox"] = banner[0] if banner else "unknown"
    commit = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip()
    facts["commit"] = commit or "unknown"
    return facts


TICK_ROWS = [
    ("tick/none_0_17/real_time", "0 and 17"),
    ("tick/none_18_max/real_time", "18 and 4294967295"),
    ("tick/pins_1_3/real_time", "1 and 3 (pins)"),
    ("tick/serial_5_7/real_time", "5 and 7 (serial, /dev/ttyS0)"),
    ("tick/wifi_ap_11/real_time", "11 (access points)"),
    ("tick/wifi_client_12/real_time", "12 (Wi-Fi client)"),
    ("tick/openvpn_13/real_time", "13 (OpenVPN, 2 commands)"),
    ("tick/ipsec_14/real_time", "14 (IPsec)"),
    ("tick/remote_management_15/real_time", "15 (remote management)"),
    ("tick/vpn_portal_16/real_time", "16 (VPN portal)"),
]
COMMAND_FREE = ["tick/none_0_17/real_time", "tick/none_18_max/real_time",
                "tick/pins_1_3/real_time", "tick/serial_5_7/real_time"]
LOOKUP_ROWS = [
    ("settings_lookup", "settings lookup (rewind and scan 68 lines for MOD_NORVASK_MODE2)"),
    ("settings_read", "whole settings read (open, both lookups, close)"),
    ("net_dev_scan", "counters scan, wlan0 ninth of nine interfaces (file)"),
    ("net_dev_scan_proc", "counters scan of the real /proc/net/dev (lo)"),
    ("net_dev_line", "one counters line parsed"),
]


def to_us(entry, key="real_time"):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[entry["time_unit"]]
    return entry[key] * scale


def write_report(path, facts, gb, census, cpu, started, finished, quick):
    lines = []
    w = lines.append
    medians = gb["medians"]
    fams = census["families"]
    nofloor = [f for f in FAMILIES if f["commands"] == 0 and f["name"] in fams]

    # Targets.
    beyond_free = {f["name"]: sum(fams[f["name"]]["beyond"].values()) for f in nofloor}
    heap_bench = {name: medians[name].get("allocs_per_tick", 0) for name in COMMAND_FREE
                  if name in medians and "error_occurred" not in medians[name]}
    heap_real = {f["name"]: max(fams[f["name"]]["heap_per_tick"] or [0]) for f in nofloor}
    runner_rows = [(name, entry) for name, entry in sorted(medians.items())
                   if name.startswith("runner_vs_spawn")]
    worst_ratio = max((e["ratio"] for _, e in runner_rows), default=float("nan"))
    rss_equal = {name: s["rss"].get("3", {}).get("VmRSS") == s["rss"].get(str(census["ticks"]), {}).get("VmRSS")
                 for name, s in fams.items()}
    unexplained = {name: s["unexplained"] for name, s in fams.items() if s["unexplained"]}
    for name, s in fams.items():
        odd = {k: v for k, v in s["per_child"].items()
               if k not in CHILD_FLOOR and k not in CHILD_EXTRA[0]}
        if odd:
            unexplained.setdefault(name, {}).update({"child " + k: v for k, v in odd.items()})

    w("# Performance: the daemon against its physical floor")
    w("")
    w("Generated by `scripts/bench` (which runs `bench/report.py`); every figure below comes "
      "from one run of it and is a median over repetitions. Regenerate with:")
    w("")
    w("```sh")
    w("scripts/bench")
    w("```")
    w("")
    if quick:
        w("**This is a quick run (`--quick`): too few repetitions for the figures to mean much.**")
        w("")
    w(f"Run {started:%Y-%m-%d %H:%M} to {finished:%H:%M} UTC at commit `{facts['commit']}` on "
      f"{facts['cpu']}, {facts['cores']} cores (shared with other work while it ran), "
      f"Linux {facts['kernel']}, {facts['glibc']}, {facts['busybox'].split(' multi-call')[0]}. "
      f"Descriptor limit: hard {facts['fd_hard_limit']}, kernel ceiling {facts['nr_open']}.")
    w("")
    w("The floor is what the behaviour needs: for modes that run no command, one LED ioctl per "
      "LED and one nanosleep per tick, plus the pin-read ioctl for a pin mode and open, ioctl "
      "and close of the port for a serial mode; for the others, the fork (clone), exec and "
      "wait of each command, plus the capture files, read-backs and counter reads that the "
      "mode's decision is made from.")
    w("")
    w("## Targets")
    w("")
    w("| target | measured | |")
    w("|---|---|---|")
    w("| modes without commands: no system call per tick beyond the floor | "
      + ", ".join(f"{n}: {v:g} beyond" for n, v in beyond_free.items())
      + f" | {mark(all(v == 0 for v in beyond_free.values()))} |")
    w("| modes without commands: no heap allocation per tick | tick bodies in-process: "
      + ", ".join(f"{v:g}" for v in heap_bench.values()) + "; real daemon: "
      + ", ".join(f"{v:g}" for v in heap_real.values())
      + f" | {mark(all(v == 0 for v in list(heap_bench.values()) + list(heap_real.values())))} |")
    w(f"| command runner within 1.10 x posix_spawn, at 1024 and at the highest limit | "
      f"worst ratio {worst_ratio:.3f} | {mark(worst_ratio <= 1.10)} |")
    for mode in sorted(cpu):
        m = cpu[mode]["median"]
        w(f"| mode {mode}: daemon's own CPU per tick at most 5% of its children's | "
          f"{m['own_share'] * 100:.1f}% ({us(m['daemon_own'])} us against {us(m['daemon_children'])} us)"
          f" | {mark(m['own_share'] <= 0.05)} |")
        w(f"| mode {mode}: daemon's total CPU per tick below the shell loop's | "
          f"ratio {m['ratio']:.3f} ({us(m['daemon_total'])} us against {us(m['loop_total'])} us)"
          f" | {mark(m['ratio'] < 1)} |")
    w(f"| resident memory after {census['ticks']} ticks equal to after 3 | "
      + ("equal in every family" if all(rss_equal.values()) else
         "differs in " + ", ".join(n for n, ok in rss_equal.items() if not ok))
      + f" | {mark(all(rss_equal.values()))} |")
    w(f"| every system call beyond the floor removed or explained (all families) | "
      + ("none unexplained" if not unexplained else
         "; ".join(f"{n}: {fmt_calls(u)}" for n, u in unexplained.items()))
      + f" | {mark(not unexplained)} |")
    w("")
    w("Where a target is not met, the reason is under [Why some targets are not met]"
      "(#why-some-targets-are-not-met).")
    w("")

    # Tick bodies.
    w("## Tick bodies (Google Benchmark)")
    w("")
    w("`run_tick` for both LEDs without the sleep, in-process, against a stand-in board: "
      "/dev/null as the GPIO device (each LED ioctl fails with ENOTTY after the same one "
      "system call), the stand-in tools of `bench/standin.cpp` on PATH, capture files and a "
      "counters file in a temporary directory (on /dev/shm, a tmpfs like the router's /tmp). "
      "The commands run through the machine's own /bin/sh and grep here. Wall time per tick, "
      "the daemon's own CPU time (without its children) and heap allocations per tick.")
    w("")
    w("| modes | wall per tick (us) | own CPU per tick (us) | heap allocations per tick |")
    w("|---|---|---|---|")
    for name, title in TICK_ROWS:
        entry = medians.get(name)
        if not entry:
            w(f"| {title} | skipped | | |")
            continue
        w(f"| {title} | {us(to_us(entry))} | {us(to_us(entry, 'cpu_time'))} | "
          f"{entry.get('allocs_per_tick', 0):g} |")
    w("")
    allocating = [title for name, title in TICK_ROWS
                  if medians.get(name, {}).get("allocs_per_tick", 0) > 0]
    if allocating:
        w("Allocating: " + ", ".join(allocating) + ": the stdio stream that reads "
          "/proc/net/dev, freed before the tick ends (the stream's buffer is the daemon's own).")
    w("")

    w("## Command runner against posix_spawn")
    w("")
    w("The same command, with the same descriptors (output to /dev/null or to a capture file, "
      "/dev/null for the rest, every descriptor from 3 up closed), through `run_command` and "
      "through `posix_spawnp` plus `waitpid`, alternating call by call so that both see the "
      "same load. Medians per command; the ratio is the median of each pair's runner over "
      "posix_spawn. The highest "
      f"limit is the hard limit, {facts['fd_hard_limit']} (this machine does not let even "
      "root raise it: CAP_SYS_RESOURCE is withheld).")
    w("")
    w("| command | descriptor limit | runner (us) | posix_spawn (us) | ratio | runner own CPU (us) | posix_spawn own CPU (us) |")
    w("|---|---|---|---|---|---|---|")
    for name, e in runner_rows:
        command = "/bin/true" if "command:0" in name else "capture of `sh -c 'hostapd_cli ... | grep -c flags'`"
        w(f"| {command} | {int(e['fd_limit'])} | {us(e['runner_us'])} | {us(e['spawn_us'])} | "
          f"{e['ratio']:.3f} | {us(e['runner_cpu_us'])} | {us(e['spawn_cpu_us'])} |")
    w("")
    w("The child closes descriptors with one close_range call, so the limit does not show in "
      "its cost (the loop over getdtablesize that stays as a fallback for kernels without "
      "close_range would cost one close per possible descriptor).")
    w("")

    w("## Settings lookup and counters scan")
    w("")
    w("| what | time (ns) |")
    w("|---|---|")
    for name, title in LOOKUP_ROWS:
        entry = medians.get(name)
        if entry:
            w(f"| {title} | {us(to_us(entry) * 1000)} |")
    w("")

    # Census.
    w("## System calls per tick, real daemon")
    w("")
    w(f"`build-bench/norvaskd`, unmodified, under `strace -f` for {census['ticks']} ticks in a "
      "private mount and network namespace (`bench/sandbox.py`): tmpfs on /tmp, /opt and /dev; "
      "the settings file at /opt/norvask/etc/settings; /dev/null bound onto /dev/gpio; the "
      "machine's first UART bound onto /dev/ttyS0 and /dev/ttyS1 (only its counters are "
      "read); veth interfaces wlan0, wlan02 and wlan1, left down; busybox as /bin/sh, grep "
      "and sleep, as on the router; the stand-in tools on PATH, at /usr/bin/io and at "
      "/usr/libexec/ipsec/stroke. Counts are the median over ticks "
      f"{census['window'][0]} to {census['window'][1]} (after the one-time work of the first "
      "ticks) of the daemon's own process; `fstat` and `stat` are glibc's two uses of "
      "newfstatat.")
    w("")
    if not census["serial_ok"]:
        w("The serial family was skipped: /dev/ttyS0 has no readable counters on this machine.")
        w("")
    w("| modes | per tick | floor | beyond the floor | same every tick |")
    w("|---|---|---|---|---|")
    for family in FAMILIES:
        s = fams.get(family["name"])
        if not s:
            continue
        w(f"| {family['title']} | {s['total']:g}: {fmt_calls(s['daemon'])} | {s['floor_total']}: "
          f"{fmt_calls(s['floor'])} | {fmt_calls(s['beyond'])} | {'yes' if s['constant'] else 'no'} |")
    w("")
    w("Beyond the floor, and why:")
    w("")
    seen = set()
    for family in FAMILIES:
        for extra, why in family["extras"]:
            if why in seen:
                continue
            seen.add(why)
            w(f"- {fmt_calls(extra)} per use: {why}.")
    w("")
    w("The runner's child, per command, from clone to exec (median):")
    w("")
    child_rows = [(f, fams[f["name"]]) for f in FAMILIES
                  if f["commands"] and f["name"] in fams]
    for family, s in child_rows[:1]:
        child_beyond = {k: v - CHILD_FLOOR.get(k, 0) for k, v in s["per_child"].items()
                        if v > CHILD_FLOOR.get(k, 0)}
        w(f"- Measured: {fmt_calls(s['per_child'])}.")
        w(f"- Needed: {fmt_calls(CHILD_FLOOR)} (/dev/null for the streams it is not given, "
          "every descriptor from 3 closed, the exec).")
        w(f"- Beyond: {fmt_calls(child_beyond)}: {CHILD_EXTRA[1]}.")
    w("")
    w("| modes | commands per tick | calls of each command itself (shell and tools, after exec) |")
    w("|---|---|---|")
    for family, s in child_rows:
        w(f"| {family['title']} | {s['children']:g} | {s['command_calls']:g} |")
    w("")

    # Memory.
    w("## Memory and own CPU, real daemon")
    w("")
    w(f"Resident memory of the traced daemon after 3 and after {census['ticks']} ticks (VmRSS "
      "counts every C library page the daemon has mapped; PSS counts shared pages in part, so it "
      "also moves with how many other processes map them); heap "
      "allocations and own CPU time per tick of a second, untraced daemon in the same sandbox "
      "with `libnorvask_heap_probe.so` preloaded (at each one-second sleep it logs the "
      "allocation count and the process's CPU time, one clock_gettime and one write that the "
      "own time includes; ticks 3 onwards, median).")
    w("")
    n = census["ticks"]
    w(f"| modes | VmRSS after 3 / {n} (KiB) | PSS after 3 / {n} (KiB) | anonymous after 3 / {n} (KiB) | heap allocations per tick | own CPU per tick (us) |")
    w("|---|---|---|---|---|---|")
    for family in FAMILIES:
        s = fams.get(family["name"])
        if not s:
            continue
        first, last = s["rss"].get("3", {}), s["rss"].get(str(census["ticks"]), {})
        heap = sorted(set(s["heap_per_tick"]))
        w(f"| {family['title']} | {first.get('VmRSS', '?')} / {last.get('VmRSS', '?')} | "
          f"{first.get('Pss', '?')} / {last.get('Pss', '?')} | "
          f"{first.get('RssAnon', '?')} / {last.get('RssAnon', '?')} | "
          f"{', '.join(str(h) for h in heap) or '?'} | {us(s['own_us'])} |")
    w("")

    # CPU.
    w("## CPU time per tick: daemon against a busybox loop")
    w("")
    w("The daemon (LED 2 on mode 0) and `bench/router_loop.sh`, the loop a router owner would "
      "write for the same LED under busybox sh, run side by side in one sandbox with the same "
      "stand-in tools and busybox applets. Own time is each process's own CPU time over its "
      "ticks after the second (from /proc/PID/schedstat, while it sleeps); children's time is "
      "what wait4 reports for the process minus its own, per tick. "
      f"{len(next(iter(cpu.values()))['runs'])} runs of "
      f"{next(iter(cpu.values()))['ticks']} ticks each; medians of the runs, and of each run's "
      "ratios. Microseconds per tick.")
    w("")
    w("| mode | daemon own | daemon children | own / children | daemon total | loop own | loop children | loop total | daemon / loop |")
    w("|---|---|---|---|---|---|---|---|---|")
    for mode in sorted(cpu):
        m = cpu[mode]["median"]
        w(f"| {mode} | {us(m['daemon_own'])} | {us(m['daemon_children'])} | "
          f"{m['own_share'] * 100:.1f}% | {us(m['daemon_total'])} | {us(m['loop_own'])} | "
          f"{us(m['loop_children'])} | {us(m['loop_total'])} | {m['ratio']:.3f} |")
    w("")
    w("Each run, daemon total / loop total: " + "; ".join(
        f"mode {mode}: " + ", ".join(f"{r['ratio']:.3f}" for r in cpu[mode]["runs"])
        for mode in sorted(cpu)) + ".")
    w("")

    reasons = why_not_met(cpu, fams)
    w("## Why some targets are not met")
    w("")
    w("\n\n".join(reasons) if reasons else "Every target is met in this run.")
    w("")
    with open(path, "w") as f:
        f.write("\n".join(lines))


def why_not_met(cpu, fams):
    """The reasons, with this run's figures, for the targets it did not meet."""
    reasons = []
    behind = {mode: c["median"] for mode, c in cpu.items() if c["median"]["ratio"] >= 1}
    commands = {11: fams.get("wifi-ap", {}).get("children"),
                13: fams.get("openvpn", {}).get("children")}
    if behind:
        figures = "; ".join(
            f"mode {mode}: {us(m['daemon_total'])} against {us(m['loop_total'])} us "
            f"(ratio {m['ratio']:.3f}), with the daemon's own time {us(m['daemon_own'])} us "
            f"and the loop's {us(m['loop_own'])} us" for mode, m in sorted(behind.items()))
        counts = " and ".join(f"{commands[mode]:g} commands a tick in mode {mode}"
                              for mode in sorted(behind) if commands.get(mode) is not None)
        execs = next(iter(cpu.values()))["exec_us"]
        reasons.append(
            f"Total CPU per tick against the shell loop ({figures}). Every probe command runs "
            "as `/bin/sh -c COMMAND`, so each costs an exec of busybox sh before the tool's own "
            f"exec (here {counts}); the loop runs the same tools from the shell "
            "it already is, with a fork, and pays instead for the exec of its `sleep 1` and for "
            "its forks and its interpreting, which is its own time. Measured in the same sandbox, "
            f"one busybox `sh -c :` costs {us(execs['sh'])} us of CPU and one `sleep 0` "
            f"{us(execs['sleep'])} us: two execs of sh a tick outweigh the loop's sleep and its "
            "forks. On this machine every exec of a dynamically linked program is dear (a large "
            "part of it is the dynamic loader's CPU feature and cache detection, whose CPUID "
            "instructions trap to the hypervisor), which weighs an exec against a fork even more "
            "than on the router. Dropping the shell would change what the daemon runs for each "
            "probe (every command is a `/bin/sh -c` line, several of them pipelines); what it "
            "controls, its own time, is at the floor of process "
            "creation (the runner costs what posix_spawn costs) and is a few percent of the "
            "total, so no change inside the daemon closes the gap.")
    over = {mode: c["median"] for mode, c in cpu.items() if c["median"]["own_share"] > 0.05}
    if over:
        idle = fams.get("none-0-17", {}).get("own_us")
        client = fams.get("wifi-client", {}).get("own_us")
        remote = fams.get("remote", {}).get("own_us")
        parts = []
        if idle is not None:
            parts.append(f"waking up, sleeping and writing both LEDs alone costs {us(idle)} us a "
                         "tick (modes 0 and 17)")
        if client is not None and remote is not None:
            parts.append(f"the /proc/net/dev read about {us(client - remote)} us (mode 12, "
                         f"{us(client)} us, against mode 15, {us(remote)} us, each with one "
                         "command)")
        figures = "; ".join(
            f"mode {mode}: {m['own_share'] * 100:.1f}%, {us(m['daemon_own'])} against "
            f"{us(m['daemon_children'])} us" for mode, m in sorted(over.items()))
        reasons.append(
            f"Own CPU against the children's ({figures}). The daemon's own time is what the "
            "floor operations cost the kernel in a process that wakes once a second to cold "
            "caches: " + "; ".join(parts) + ". The rest is the process creations and waits "
            "and the capture files, each at the floor (one clone and one wait4 a command, "
            "as posix_spawn). The children here are the smallest possible, stand-ins that "
            "print a file; a real hostapd_cli, which talks to hostapd over a socket, would cost "
            "more and the share fall.")
    return reasons


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    quick = "--quick" in sys.argv
    if len(args) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    build, report = os.path.abspath(args[0]), os.path.abspath(args[1])
    out_dir = os.path.join(build, "perf")
    subprocess.run(["rm", "-rf", out_dir], check=True)
    os.makedirs(out_dir)
    started = datetime.datetime.utcnow()
    facts = machine_facts()
    log("Google Benchmark suites")
    gb = run_google_benchmark(build, out_dir, quick)
    log("system-call census, memory and heap per family (real daemon, sandboxed)")
    census = run_census(build, out_dir, quick)
    log("CPU per tick against the busybox loop (modes 11 and 13)")
    cpu = run_cpu(build, out_dir, quick)
    finished = datetime.datetime.utcnow()
    write_report(report, facts, gb, census, cpu, started, finished, quick)
    with open(os.path.join(out_dir, "summary.json"), "w") as f:
        json.dump({"facts": facts, "census": census, "cpu": cpu}, f, indent=1, default=str)
    log(f"report written to {report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
