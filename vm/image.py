"""Builds the emulated router's boot files from Debian's arm64 packages.

    python3 vm/image.py [--out DIR] [--refresh]

Leaves DIR/vmlinuz.gz (the kernel), DIR/initrd.gz (the whole system as a
gzip'd cpio archive) and DIR/router.dtb (the machine's device tree with the
router's LEDs) beside the package cache. Packages are fetched with a
private apt configuration under DIR/apt, so the host's package manager gets
no new architecture and nothing is installed on the host.
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import stat
import subprocess
import sys
import time

from router import MACHINE

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SUITES = ["bookworm", "bookworm-updates", "bookworm-security"]
DEFAULT_MIRRORS = {
    "bookworm": "http://deb.debian.org/debian",
    "bookworm-security": "http://deb.debian.org/debian-security",
}
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
# The package lists are fetched again when older than this.
LISTS_MAX_AGE = 24 * 3600

# What the router runs; their dependencies follow, except those below.
PACKAGES = [
    "linux-image-arm64",
    # Not busybox-static: its shell runs its own applets before any program
    # on PATH, so net-tools, iproute2 and kmod would never run.
    "busybox",
    "kmod",
    "iproute2",
    "net-tools",
    "iw",
    "hostapd",
    "wpasupplicant",
    "openvpn",
    "strongswan-charon",
    "strongswan-swanctl",
    "libstrongswan-standard-plugins",
]
# Dependencies for a package manager, an init system or a distribution's
# scripts, none of which the router has.
SKIPPED = {
    "adduser", "debconf", "debconf-2.0", "cdebconf", "init-system-helpers",
    "sysvinit-utils", "linux-base", "initramfs-tools", "linux-initramfs-tool",
    "dracut", "tiny-initramfs", "libcap2-bin", "perl-base", "lsb-base",
    "dpkg", "coreutils", "libpam-runtime",
}


def host_mirrors():
    """The mirror for each suite that the host's own apt sources name (the
    one this machine reaches), else Debian's own."""
    mirrors = dict(DEFAULT_MIRRORS)
    found = {}
    folder = "/etc/apt/sources.list.d"
    paths = ["/etc/apt/sources.list"] + sorted(
        os.path.join(folder, n) for n in (os.listdir(folder) if os.path.isdir(folder) else []))
    for path in paths:
        try:
            text = open(path).read()
        except OSError:
            continue
        if path.endswith(".sources"):
            for block in re.split(r"\n\s*\n", text):
                fields = dict(re.findall(r"^(URIs|Suites):\s*(.*)$", block, re.M))
                for suite in fields.get("Suites", "").split():
                    found.setdefault(suite, fields.get("URIs", "").split()[:1])
        elif path.endswith(".list"):
            for m in re.finditer(r"^deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+(\S+)", text, re.M):
                found.setdefault(m.group(2), [m.group(1)])
    for suite in mirrors:
        if found.get(suite):
            mirrors[suite] = found[suite][0]
    mirrors["bookworm"] = os.environ.get("NORVASK_VM_MIRROR", mirrors["bookworm"])
    mirrors["bookworm-security"] = os.environ.get("NORVASK_VM_SECURITY_MIRROR",
                                                  mirrors["bookworm-security"])
    return mirrors


def log(text):
    print(f"build-image: {text}", file=sys.stderr, flush=True)


def run(*command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def output(*command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True, **kwargs).stdout


# ---- packages ----

class Apt:
    """apt-get and apt-cache on a configuration of their own, for arm64."""

    def __init__(self, base):
        self.base = base
        self.debs = os.path.join(base, "debs")
        for sub in ("state/lists/partial", "cache/archives/partial", "etc/apt.conf.d",
                    "etc/preferences.d", "etc/sources.list.d", "debs"):
            os.makedirs(os.path.join(base, sub), exist_ok=True)
        status = os.path.join(base, "state/status")
        if not os.path.exists(status):
            open(status, "w").close()
        mirrors = host_mirrors()
        with open(os.path.join(base, "etc/sources.list"), "w") as f:
            for suite in SUITES:
                mirror = mirrors[suite if suite in mirrors else "bookworm"]
                f.write(f"deb [signed-by={KEYRING}] {mirror} {suite} main\n")
        self.config = os.path.join(base, "apt.conf")
        # Dir::Etc and its parts keep the host's own apt settings out.
        with open(self.config, "w") as f:
            f.write(f'Dir::State "{base}/state";\n'
                    f'Dir::State::status "{base}/state/status";\n'
                    f'Dir::Cache "{base}/cache";\n'
                    f'Dir::Etc "{base}/etc";\n'
                    f'Dir::Etc::Parts "{base}/etc/apt.conf.d";\n'
                    'APT::Architecture "arm64";\n'
                    'APT::Architectures { "arm64"; };\n'
                    'Acquire::Languages "none";\n'
                    # Downloads land in our own folder, which _apt may not enter.
                    'APT::Sandbox::User "root";\n')
        self.env = dict(os.environ, APT_CONFIG=self.config)

    def lists_age(self):
        lists = os.path.join(self.base, "state/lists")
        stamps = [os.path.getmtime(os.path.join(lists, n)) for n in os.listdir(lists)
                  if n.endswith("_Packages")]
        return time.time() - min(stamps) if stamps else float("inf")

    def update(self):
        run("apt-get", "update", "-q", env=self.env, stdout=subprocess.DEVNULL)

    def closure(self, roots):
        """The packages `roots` need, less SKIPPED; an alternative or a
        virtual package is met by its first provider not skipped."""
        text = output("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests",
                      "--no-enhances", "--no-conflicts", "--no-breaks", "--no-replaces",
                      *roots, env=self.env)
        graph = {}
        current = None
        groups = []  # each a list of alternatives; a provider line extends the last one
        pending = []
        for line in text.splitlines():
            if not line.startswith(" "):
                current = line.strip("<>")
                groups = graph.setdefault(current, [])
                pending = []
                continue
            m = re.match(r"^ (\|| )(Pre)?Depends: (.*)$", line)
            if m:
                pending.append(m.group(3))
                if m.group(1) != "|":
                    groups.append(pending)
                    pending = []
            elif line.startswith("    ") and groups:
                groups[-1].append(line.strip())
        wanted, queue = [], list(roots)
        while queue:
            name = queue.pop(0)
            if name in wanted or name in SKIPPED:
                continue
            wanted.append(name)
            for alternatives in graph.get(name, []):
                names = [a.strip("<>") for a in alternatives if not a.startswith("<")]
                names += [a for a in alternatives if a.startswith("<")]
                usable = [n for n in names if not n.startswith("<") and n not in SKIPPED]
                if any(n in wanted for n in usable):
                    continue
                if usable:
                    queue.append(usable[0])
                elif not any(a.strip("<>") in SKIPPED for a in alternatives):
                    raise SystemExit(f"build-image: nothing provides {alternatives} for {name}")
        return wanted

    def fetch(self, names):
        """The .deb of each package's candidate version, downloaded once."""
        text = output("apt-cache", "show", "--no-all-versions", *names, env=self.env)
        files = {}
        for record in text.split("\n\n"):
            fields = dict(re.findall(r"^(Package|Version|Architecture): (.*)$", record, re.M))
            if "Package" in fields:
                # As apt-get download names it: the epoch's colon quoted.
                version = fields["Version"]
                quoted = version.replace(":", "%3a")
                name = f"{fields['Package']}_{quoted}_{fields['Architecture']}.deb"
                files[fields["Package"]] = (version, name)
        missing = [f"{n}={v}" for n, (v, f) in files.items()
                   if not os.path.exists(os.path.join(self.debs, f))]
        if missing:
            log(f"downloading {len(missing)} packages")
            run("apt-get", "download", "-q", *missing, env=self.env, cwd=self.debs,
                stdout=subprocess.DEVNULL)
        return {n: os.path.join(self.debs, f) for n, (_, f) in files.items()}


def extract(debs, into):
    """Unpacks `debs` into a fresh `into`, unless it holds them already."""
    stamp = os.path.join(into, ".debs")
    wanted = "\n".join(sorted(os.path.basename(d) for d in debs)) + "\n"
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        return
    shutil.rmtree(into, ignore_errors=True)
    os.makedirs(into)
    for deb in debs:
        run("dpkg-deb", "-x", deb, into)
    with open(stamp, "w") as f:
        f.write(wanted)


# ---- the router's file system ----

# Files and folders taken from the packages, as they are.
FILES = [
    # The C library loads it itself, to cancel threads and unwind.
    "lib/aarch64-linux-gnu/libgcc_s.so.1",
    "bin/busybox",
    "bin/kmod", "sbin/modprobe", "sbin/insmod", "sbin/rmmod", "sbin/lsmod", "sbin/depmod",
    "bin/ip", "sbin/ip", "etc/iproute2",
    "bin/netstat",
    "sbin/iw",
    "usr/sbin/hostapd", "usr/sbin/hostapd_cli",
    "sbin/wpa_supplicant", "sbin/wpa_cli",
    "usr/sbin/openvpn",
    "usr/lib/ipsec/charon", "usr/lib/ipsec/stroke", "usr/sbin/swanctl",
    "usr/lib/ipsec/plugins", "etc/strongswan.conf", "etc/strongswan.d", "etc/swanctl",
]
# Where the router keeps the IPsec tools, as links to Debian's.
LINKS = {
    "usr/libexec/ipsec/stroke": "/usr/lib/ipsec/stroke",
    "usr/libexec/ipsec/swanctl": "/usr/sbin/swanctl",
}
# Kernel modules the router loads, with what they need. The kernel has the
# UARTs, the console, AES, SHA-256, HMAC and CBC built in.
MODULES = [
    "virtio_pci", "virtio_console", "virtio_rng", "9pnet_virtio", "9p", "virtio_net",
    "tun", "veth", "mac80211_hwsim",
    "xfrm_user", "esp4", "ipcomp", "xfrm4_tunnel", "authenc", "echainiv", "seqiv",
    "gcm", "ccm", "ctr", "cmac", "sha512_generic", "sha3_generic", "drbg",
    "jitterentropy_rng",
    "leds_gpio", "ledtrig_timer", "ledtrig_netdev",
]
LIB_DIRS = ["lib/aarch64-linux-gnu", "usr/lib/aarch64-linux-gnu"]


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def take(stage, root, rel):
    """Copies stage/rel to root/rel, links as links with their targets."""
    source = os.path.join(stage, rel)
    target = os.path.join(root, rel)
    if os.path.lexists(target):
        return
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if os.path.islink(source):
        link = os.readlink(source)
        os.symlink(link, target)
        absolute = link if link.startswith("/") else os.path.join("/", os.path.dirname(rel), link)
        take(stage, root, os.path.normpath(absolute).lstrip("/"))
    elif os.path.isdir(source):
        os.makedirs(target, exist_ok=True)
        for name in sorted(os.listdir(source)):
            take(stage, root, os.path.join(rel, name))
    elif os.path.exists(source):
        shutil.copy2(source, target)
    else:
        raise SystemExit(f"build-image: the packages hold no {rel}")


def elf_needs(path):
    """The libraries an ELF file names, and where it asks to find them."""
    text = output("readelf", "-dlW", path)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", text)
    needed += re.findall(r"\[Requesting program interpreter: (.*)\]", text)
    paths = []
    for found in re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library (?:runpath|rpath): \[(.*)\]", text):
        paths += found.split(":")
    return needed, paths


def take_libraries(stage, root):
    """Adds every library the ELF files in root need, until none is missing."""
    done = set()
    while True:
        missing = []
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                if path in done or not stat.S_ISREG(os.lstat(path).st_mode) or not is_elf(path):
                    continue
                done.add(path)
                needed, paths = elf_needs(path)
                for lib in needed:
                    dirs = [p.lstrip("/") for p in paths] + LIB_DIRS
                    if lib.startswith("/"):
                        lib, dirs = os.path.basename(lib), [os.path.dirname(lib).lstrip("/")]
                    if any(os.path.lexists(os.path.join(root, d, lib)) for d in dirs):
                        continue
                    where = [d for d in dirs if os.path.lexists(os.path.join(stage, d, lib))]
                    if not where:
                        raise SystemExit(f"build-image: no {lib} for {os.path.relpath(path, root)}")
                    missing.append(os.path.join(where[0], lib))
        if not missing:
            return
        for rel in missing:
            take(stage, root, rel)


def module_closure(kernel_dir, version, names):
    """The module files `names` need (paths below lib/modules/VERSION)."""
    modules = os.path.join(kernel_dir, "lib/modules", version)
    dep_file = os.path.join(modules, "modules.dep")
    if not os.path.exists(dep_file):
        run("depmod", "-b", kernel_dir, version)
    deps = {}
    with open(dep_file) as f:
        for line in f:
            module, _, rest = line.partition(":")
            deps[module] = rest.split()
    by_name = {os.path.basename(m).split(".ko")[0].replace("-", "_"): m for m in deps}
    wanted, queue = set(), []
    for name in names:
        if name.replace("-", "_") not in by_name:
            raise SystemExit(f"build-image: the kernel has no module {name}")
        queue.append(by_name[name.replace("-", "_")])
    while queue:
        module = queue.pop()
        if module not in wanted:
            wanted.add(module)
            queue += deps[module]
    return sorted(wanted)


def take_kernel(kernel_dir, root):
    """Puts the needed modules into root; returns the kernel's version."""
    versions = os.listdir(os.path.join(kernel_dir, "lib/modules"))
    if len(versions) != 1:
        raise SystemExit(f"build-image: expected one kernel, found {versions}")
    version = versions[0]
    for module in module_closure(kernel_dir, version, MODULES):
        take(kernel_dir, root, os.path.join("lib/modules", version, module))
    for name in ("modules.order", "modules.builtin", "modules.builtin.modinfo"):
        take(kernel_dir, root, os.path.join("lib/modules", version, name))
    run("depmod", "-b", root, version)
    return version


# Mount points and empty folders the router expects.
FOLDERS = ["dev", "proc", "sys", "run", "tmp", "root", "mnt", "var/log", "opt"]


def build_root(stage, kernel_dir, root, guest_files, programs):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for rel in FOLDERS:
        os.makedirs(os.path.join(root, rel))
    # The kernel opens it for init before any file system is mounted.
    os.mknod(os.path.join(root, "dev/console"), 0o600 | stat.S_IFCHR, os.makedev(5, 1))
    for rel in FILES:
        take(stage, root, rel)
    for rel, link in LINKS.items():
        os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
        os.symlink(link, os.path.join(root, rel))
    # The rest of busybox's links are made at boot, where they do not stand
    # in for a real tool (net-tools' netstat, iproute2's ip, kmod).
    for rel in ("bin/sh", "sbin/init", "init"):
        os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
        os.symlink("/bin/busybox", os.path.join(root, rel))
    shutil.copytree(guest_files, root, symlinks=True, dirs_exist_ok=True)
    for rel, path in programs.items():
        os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
        shutil.copy2(path, os.path.join(root, rel))
    take_libraries(stage, root)
    return take_kernel(kernel_dir, root)


def pack(root, archive):
    """A gzip'd newc cpio of root, every file owned by root. (-9 saves 40 kB
    of 13 MB, in twice the time.)"""
    names = sorted(os.path.relpath(os.path.join(d, n), root)
                   for d, dirs, files in os.walk(root) for n in dirs + files)
    listing = "".join(f"{n}\n" for n in ["."] + names)
    partial = archive + ".part"
    with open(partial, "wb") as out:
        cpio = subprocess.Popen(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=root,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        gzip = subprocess.Popen(["gzip", "-6n"], stdin=cpio.stdout, stdout=out)
        cpio.stdout.close()
        cpio.communicate(listing.encode())
        if gzip.wait() != 0 or cpio.returncode != 0:
            raise SystemExit("build-image: packing failed")
    os.replace(partial, archive)


# The router's LEDs: each a gpio-leds device of its own on a line of the
# machine's PL061 GPIO controller (the machine's power key holds line 3),
# so that one LED's driver can be unbound alone. By their names under
# /sys/class/leds.
LEDS = [("leds-one", "norvask:green:one", 4), ("leds-two", "norvask:red:two", 5)]


# Added to the machine's device tree source; a seed frozen into the file
# would be every boot's.
DEVICE_TREE_ADDITIONS = """
/ {{
    chosen {{
        /delete-property/ rng-seed;
        /delete-property/ kaslr-seed;
    }};
{leds}}};
"""
LED_NODE = """    {device} {{
        compatible = "gpio-leds";
        led {{
            label = "{name}";
            gpios = <&{{{pl061}}} {line} 0>;
            default-state = "off";
        }};
    }};
"""


def led_nodes(pl061):
    """The device tree source that adds the LEDs, on the controller at the
    path `pl061`."""
    leds = "".join(LED_NODE.format(device=device, name=name, pl061=pl061, line=line)
                   for device, name, line in LEDS)
    return DEVICE_TREE_ADDITIONS.format(leds=leds)


def build_device_tree(out):
    """DIR/router.dtb: the device tree qemu makes for the router's machine,
    with the LEDs added."""
    dumped = os.path.join(out, "virt.dtb")
    run("qemu-system-aarch64", *MACHINE, "-machine", f"dumpdtb={dumped}", "-nodefaults",
        "-no-user-config", "-display", "none", stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    source = output("dtc", "-q", "-I", "dtb", "-O", "dts", dumped)
    os.remove(dumped)
    found = re.search(r"^\t(pl061@[0-9a-f]+) \{[^{}]*compatible = \"arm,pl061", source, re.M)
    if not found:
        raise SystemExit("build-image: the machine has no PL061 GPIO controller")
    with open(os.path.join(out, "router.dts"), "w") as f:
        f.write(source + led_nodes("/" + found.group(1)))
    run("dtc", "-q", "-I", "dts", "-O", "dtb", "-o", os.path.join(out, "router.dtb"),
        os.path.join(out, "router.dts"))


def build_programs(build_dir):
    """Cross-builds the board's own programs; their paths by name."""
    run("cmake", "-S", os.path.join(HERE, "guest"), "-B", build_dir, "-G", "Ninja",
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DCMAKE_TOOLCHAIN_FILE={os.path.join(ROOT, 'cmake/aarch64-linux-gnu.cmake')}",
        stdout=subprocess.DEVNULL)
    run("cmake", "--build", build_dir, stdout=subprocess.DEVNULL)
    return {name: os.path.join(build_dir, name)
            for name in ("norvask-board", "holdsock", "standin")}


def compress_kernel(kernel_dir, version, target):
    source = os.path.join(kernel_dir, "boot", f"vmlinuz-{version}")
    stamp = target + ".version"
    if os.path.exists(target) and os.path.exists(stamp) and open(stamp).read() == version:
        return
    # qemu unpacks a gzip'd Image itself.
    with open(target + ".part", "wb") as out:
        run("gzip", "-6nc", source, stdout=out)
    os.replace(target + ".part", target)
    with open(stamp, "w") as f:
        f.write(version)


def fetch_and_extract(out, refresh):
    """The kernel's and the other packages' folders, their .deb files
    fetched (the lists too when old or `refresh`) and unpacked; and when
    that was done."""
    apt = Apt(os.path.join(out, "apt"))
    age = apt.lists_age()
    if refresh or age > LISTS_MAX_AGE:
        log("fetching the package lists")
        try:
            apt.update()
        except subprocess.CalledProcessError:
            if age == float("inf"):
                raise
            log("cannot fetch the package lists; going on with the ones at hand")
    names = apt.closure(PACKAGES)
    debs = apt.fetch(names)
    kernel = os.path.join(out, "kernel")
    stage = os.path.join(out, "stage")
    extract([d for n, d in debs.items() if n.startswith("linux-image-")], kernel)
    extract([d for n, d in debs.items() if not n.startswith("linux-image-")], stage)
    return kernel, stage, time.monotonic()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default=os.path.join(ROOT, "build-vm"),
                        help="build folder (default: build-vm/)")
    parser.add_argument("--refresh", action="store_true",
                        help="fetch the package lists again even when they are recent")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    started = time.monotonic()

    # The board's programs build beside the packages' download and unpacking.
    with concurrent.futures.ThreadPoolExecutor(1) as beside:
        building = beside.submit(build_programs, os.path.join(out, "guest"))
        kernel, stage, debs_done = fetch_and_extract(out, args.refresh)
        built = building.result()
    programs = {
        "usr/sbin/norvask-board": built["norvask-board"],
        "usr/sbin/holdsock": built["holdsock"],
        # The two services are known by their program names only.
        "usr/sbin/tessik_clientd": built["holdsock"],
        "usr/sbin/drennic": built["holdsock"],
        "usr/bin/io": built["standin"],
    }
    root = os.path.join(out, "root")
    version = build_root(stage, kernel, root, os.path.join(HERE, "guest/root"), programs)
    pack(root, os.path.join(out, "initrd.gz"))
    compress_kernel(kernel, version, os.path.join(out, "vmlinuz.gz"))
    build_device_tree(out)
    sizes = {n: os.path.getsize(os.path.join(out, n)) / 1e6 for n in ("initrd.gz", "vmlinuz.gz")}
    log(f"kernel {version}: vmlinuz.gz {sizes['vmlinuz.gz']:.1f} MB, "
        f"initrd.gz {sizes['initrd.gz']:.1f} MB, in {time.monotonic() - started:.1f} s "
        f"(packages {debs_done - started:.1f} s, the board's programs beside them)")


if __name__ == "__main__":
    main()
