#!/usr/bin/python3
"""One measurement of the real daemon in a router-like sandbox.

Run inside a private mount and network namespace, as root:

    unshare -m -n python3 bench/sandbox.py CONFIG.json

Everything the daemon touches is private to the namespace: a tmpfs on /tmp,
/opt and /dev (with /dev/null, the serial port and a stand-in /dev/gpio bound
in), overlays that put the stand-in tools and busybox's sh at /usr/bin and
/usr/libexec/ipsec, and veth interfaces wlan0, wlan02 and wlan1. Nothing
appears on the host and everything started here is stopped and reaped before
the script ends. Results go to CONFIG's "out" directory as result.json.

Kinds of measurement (CONFIG's "kind"):
  census  the daemon under strace -f for "ticks" ticks: every system call,
          resident memory after 3 ticks and after the last, and a second
          daemon with the heap probe preloaded for heap allocations per tick.
  cpu     the daemon and the owner's shell loop side by side, "runs" times
          for "ticks" ticks each: own and children's CPU time per tick; and
          the CPU time of one exec of busybox sh and of its sleep.
"""
import ctypes
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time

RT = "/tmp/rt"
PR_SET_CHILD_SUBREAPER = 36

# Device nodes of the sandbox's /dev and the host node bound onto each. The
# LED ioctls on the stand-in /dev/gpio fail with ENOTTY after the same one
# system call a real device takes. Both serial ports are the machine's
# first UART, whose counters the daemon only reads.
DEVICES = [
    ("null", "null"),
    ("zero", "zero"),
    ("urandom", "urandom"),
    ("gpio", "null"),
    ("ttyS0", "ttyS0"),
    ("ttyS1", "ttyS0"),
]
STANDIN_TOOLS = ["hostapd_cli", "wpa_cli", "ifconfig", "netstat"]
BUSYBOX_APPLETS = ["grep", "sleep", "usleep", "cat"]
INTERFACES = ["wlan0", "wlan02", "wlan1"]


def run(*args):
    subprocess.run(list(args), check=True, stdin=subprocess.DEVNULL)


def setup(cfg):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    run("mount", "--make-rprivate", "/")
    run("mount", "-t", "tmpfs", "-o", "mode=1777", "sandbox-tmp", "/tmp")
    for d in ["bin", "usrbin", "libexec/ipsec", "state", "hostdev"]:
        os.makedirs(f"{RT}/{d}")

    run("mount", "--bind", "/dev", f"{RT}/hostdev")
    run("mount", "-t", "tmpfs", "-o", "mode=755", "sandbox-dev", "/dev")
    for name, source in DEVICES:
        host = f"{RT}/hostdev/{source}"
        if not os.path.exists(host):
            continue
        open(f"/dev/{name}", "w").close()
        run("mount", "--bind", host, f"/dev/{name}")
    run("umount", f"{RT}/hostdev")
    os.symlink("/proc/self/fd", "/dev/fd")
    for n, name in enumerate(["stdin", "stdout", "stderr"]):
        os.symlink(f"/proc/self/fd/{n}", f"/dev/{name}")

    run("mount", "-t", "tmpfs", "sandbox-opt", "/opt")
    os.makedirs("/opt/norvask/etc")
    with open("/opt/norvask/etc/settings", "w") as f:
        f.write("MOD_NORVASK_MODE=%d\nMOD_NORVASK_MODE2=%d\n" % tuple(cfg["modes"]))

    standin = cfg["standin"]
    for tool in STANDIN_TOOLS:
        os.symlink(standin, f"{RT}/bin/{tool}")
    for applet in BUSYBOX_APPLETS:
        os.symlink("/usr/bin/busybox", f"{RT}/bin/{applet}")
    os.symlink(standin, f"{RT}/usrbin/io")
    os.symlink("/usr/bin/busybox", f"{RT}/usrbin/sh")
    os.symlink(standin, f"{RT}/libexec/ipsec/stroke")
    run("mount", "-t", "overlay", "sandbox-usrbin", "-o", f"lowerdir={RT}/usrbin:/usr/bin", "/usr/bin")
    run("mount", "-t", "overlay", "sandbox-libexec", "-o",
        f"lowerdir={RT}/libexec:/usr/libexec", "/usr/libexec")
    for call, text in cfg["answers"].items():
        if text is not None:
            with open(f"{RT}/state/{call}", "w") as f:
                f.write(text)

    run("ip", "link", "set", "lo", "up")
    for iface in INTERFACES:
        # Left down, so that no traffic moves their counters.
        run("ip", "link", "add", iface, "type", "veth", "peer", "name", "p" + iface)

    syslogd = subprocess.Popen(["/usr/bin/busybox", "syslogd", "-n", "-O", f"{RT}/syslog.txt"],
                               stdin=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists("/dev/log"):
            break
        time.sleep(0.02)
    return syslogd


def environment(log=None, extra=None):
    env = {"PATH": f"{RT}/bin", "LANG": "C", "NORVASK_STANDIN_STATE": f"{RT}/state"}
    if log:
        env["NORVASK_STANDIN_LOG"] = log
    env.update(extra or {})
    return env


def start(argv, env, stderr_path):
    with open(stderr_path, "w") as err:
        return subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)


def reap(popen, timeout=60):
    """Waits for a child started here; returns (status, rusage) or kills it."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        pid, status, usage = os.wait4(popen.pid, os.WNOHANG)
        if pid == popen.pid:
            popen.returncode = status
            return status, usage
        time.sleep(0.05)
    popen.kill()
    pid, status, usage = os.wait4(popen.pid, 0)
    popen.returncode = status
    return status, usage


def proc_status(pid):
    """Resident memory in KiB; the proportional set counts shared pages (the C
    library's) in part only."""
    fields = {}
    for name, keys in (("status", ("VmRSS", "RssAnon", "RssFile", "RssShmem", "VmHWM", "VmSize")),
                       ("smaps_rollup", ("Pss", "Pss_Anon", "Pss_File", "Private_Dirty"))):
        with open(f"/proc/{pid}/{name}") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in keys:
                    fields[key] = int(value.split()[0])
    return fields


def own_cpu_ns(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def count_lines(path, wanted=None):
    try:
        with open(path, errors="replace") as f:
            if wanted is None:
                return sum(1 for _ in f)
            return sum(1 for line in f if line.rstrip("\n") == wanted)
    except FileNotFoundError:
        return 0


class SleepCounter:
    """Counts the daemon's one-second sleeps in a growing strace log."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.pending = ""
        self.pid = None
        self.sleeps = 0

    def poll(self):
        try:
            with open(self.path, errors="replace") as f:
                f.seek(self.offset)
                data = f.read()
                self.offset = f.tell()
        except FileNotFoundError:
            return
        lines = (self.pending + data).split("\n")
        self.pending = lines.pop()
        for line in lines:
            # strace pads short process ids with extra blanks.
            parts = line.split(None, 1)
            if len(parts) != 2 or not parts[0].isdigit():
                continue
            pid, rest = parts
            if self.pid is None and rest.startswith("execve("):
                self.pid = int(pid)
            if self.pid is not None and int(pid) == self.pid and rest.startswith(
                    "clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=1, tv_nsec=0}"):
                self.sleeps += 1


def census(cfg):
    out = cfg["out"]
    ticks = cfg["ticks"]
    heap_ticks = cfg["heap_ticks"]
    trace = f"{out}/strace.txt"
    heap_log = f"{RT}/heap.txt"
    # A trace left from an earlier run would be counted before strace truncates it.
    if os.path.exists(trace):
        os.unlink(trace)
    traced = start([shutil.which("strace"), "-f", "-qq", "-o", trace, "--", cfg["daemon"]],
                   environment(f"{RT}/census-calls.log"), f"{RT}/census-stderr.txt")
    heap = start([cfg["daemon"]],
                 environment(None, {"LD_PRELOAD": cfg["heap_probe"], "NORVASK_HEAP_LOG": heap_log}),
                 f"{RT}/heap-stderr.txt")
    counter = SleepCounter(trace)
    rss = {}
    heap_done = False
    deadline = time.time() + ticks * 3 + 60
    while time.time() < deadline:
        counter.poll()
        if counter.pid and counter.sleeps >= 3 and "3" not in rss:
            rss["3"] = proc_status(counter.pid)
        if counter.sleeps >= ticks:
            rss[str(ticks)] = proc_status(counter.pid)
            break
        if not heap_done and count_lines(heap_log) >= heap_ticks:
            heap.send_signal(signal.SIGTERM)
            heap_done = True
        time.sleep(0.1)
    if counter.pid:
        os.kill(counter.pid, signal.SIGTERM)
    if not heap_done:
        heap.send_signal(signal.SIGTERM)
    status, _ = reap(traced)
    heap_status, _ = reap(heap)
    with open(heap_log) as f:
        heap_ticks = [[int(v) for v in line.split()] for line in f if line.strip()]
    return {
        "daemon_pid": counter.pid,
        "ticks_traced": counter.sleeps,
        "exit_status": status,
        "rss_kib": rss,
        "heap_counts": [t[0] for t in heap_ticks],
        "own_cpu_ns": [t[1] for t in heap_ticks],
        "heap_exit_status": heap_status,
    }


class Tracked:
    """A daemon or a shell loop whose ticks are counted from its calls."""

    def __init__(self, name, argv, marker, ticks):
        self.name = name
        self.log = f"{RT}/{name}-calls.log"
        open(self.log, "w").close()
        self.marker = marker
        self.ticks = ticks
        self.popen = start(argv, environment(self.log), f"{RT}/{name}-stderr.txt")
        self.seen = 0
        self.changed_at = time.time()
        self.window = []  # (ticks, own ns) at the window's two ends
        self.stopped = None

    def poll(self):
        seen = count_lines(self.log, self.marker)
        now = time.time()
        if seen != self.seen:
            self.seen = seen
            self.changed_at = now
            return
        # Sampled well after the tick's commands, while it sleeps.
        if now - self.changed_at < 0.3 or self.stopped:
            return
        if not self.window and seen >= 2:
            self.window.append((seen, own_cpu_ns(self.popen.pid)))
        elif len(self.window) == 1 and seen >= self.ticks:
            own = own_cpu_ns(self.popen.pid)
            self.window.append((seen, own))
            self.popen.send_signal(signal.SIGTERM)
            self.stopped = own

    def result(self):
        status, usage = reap(self.popen)
        total_ns = round((usage.ru_utime + usage.ru_stime) * 1e9)
        ticks = count_lines(self.log, self.marker)
        (t0, own0), (t1, own1) = self.window
        return {
            "exit_status": status,
            "ticks": ticks,
            "window_ticks": t1 - t0,
            "own_window_ns": own1 - own0,
            "own_total_ns": self.stopped,
            "total_ns": total_ns,
            "own_per_tick_ns": (own1 - own0) / (t1 - t0),
            "children_per_tick_ns": (total_ns - self.stopped) / ticks,
        }


def exec_costs(samples=40):
    """CPU time of one run of busybox sh doing nothing, and of its sleep applet
    doing nothing: what an exec of each costs, for comparing the two sides."""
    costs = {}
    for name, argv in (("sh", ["/bin/sh", "-c", ":"]), ("sleep", ["sleep", "0"])):
        values = []
        for _ in range(samples):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            subprocess.run(argv, env=environment(), check=True, stdin=subprocess.DEVNULL,
                           executable=shutil.which(argv[0], path=f"{RT}/bin:/bin"))
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            values.append(round((after.ru_utime + after.ru_stime - before.ru_utime
                                 - before.ru_stime) * 1e9))
        costs[name] = sorted(values)[len(values) // 2]
    return costs


def cpu(cfg):
    costs = exec_costs()
    runs = []
    for _ in range(cfg["runs"]):
        daemon = Tracked("daemon", [cfg["daemon"]], cfg["marker"], cfg["ticks"])
        loop = Tracked("loop", ["/usr/bin/busybox", "sh", cfg["loop"], str(cfg["modes"][0]),
                                f"{RT}/led1"], cfg["marker"], cfg["ticks"])
        deadline = time.time() + cfg["ticks"] * 4 + 60
        while time.time() < deadline and not (daemon.stopped and loop.stopped):
            daemon.poll()
            loop.poll()
            time.sleep(0.05)
        for tracked in (daemon, loop):
            if not tracked.stopped:
                tracked.popen.send_signal(signal.SIGTERM)
        runs.append({"daemon": daemon.result(), "loop": loop.result()})
    return {"runs": runs, "exec_ns": costs}


def reap_strays():
    """Stops and reaps whatever is still running below us, by its process id."""
    deadline = time.time() + 5
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            if time.time() > deadline:
                for entry in os.listdir("/proc"):
                    if entry.isdigit() and _parent(int(entry)) == os.getpid():
                        os.kill(int(entry), signal.SIGKILL)
            time.sleep(0.05)


def _parent(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rpartition(")")[2].split()[1])
    except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
        return None


def main():
    with open(sys.argv[1]) as f:
        cfg = json.load(f)
    os.makedirs(cfg["out"], exist_ok=True)
    syslogd = setup(cfg)
    try:
        result = census(cfg) if cfg["kind"] == "census" else cpu(cfg)
    finally:
        syslogd.terminate()
        reap(syslogd, 10)
        reap_strays()
    for name in ("syslog.txt", "census-stderr.txt", "heap-stderr.txt", "daemon-stderr.txt",
                 "loop-stderr.txt"):
        try:
            with open(f"{RT}/{name}", errors="replace") as f:
                result[name] = f.read()[-4000:]
        except FileNotFoundError:
            pass
    with open(f"{cfg['out']}/result.json", "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
