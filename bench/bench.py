#!/usr/bin/env python3
"""Benchmarks for fwmaint, each against a peer on identical fresh inputs.

Every comparison alternates the order the programs run in, round by round,
each on an identical fresh input, and prints for each program its median
time with the spread (fastest and slowest round), the median of the
per-round ratios to the first program (below 1 is faster than it) with
their spread, the median context switches and CPU time (user + system, all
threads), and the peak resident memory (the kernel's ru_maxrss for the
child). Comparisons:
  remove   rm -rf against each build of `fwmaint delsa` (the default, which
           unlinks on a second thread; one batching through io_uring, and one
           with io_uring's kernel workers bounded to one, where liburing is
           installed; one unlinking file by file),
           std::filesystem::remove_all and shutil.rmtree, on five trees, on
           tmpfs (when one can be mounted) and on disk; plus system calls per
           entry from strace -c -f
  copy     `fwmaint saveprefs` with a 512 MiB local.cf against cp + sync
  startup  `fwmaint nosuchword` against /bin/true
Usage: bench/bench.py [remove|copy|startup ...] [--pairs N] [--trees ...] [--on ...] [--peers]
"""
import argparse
import functools
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

print = functools.partial(print, flush=True)  # progress shows as it comes, also into a file
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
HELPER = os.path.join(BUILD, "fwmaint")
MEASURE = os.path.join(BUILD, "bench-measure")


# The removal's other designs, built beside the default for the comparison.
DESIGNS = ("io_uring", "io_uring_one_worker", "plain")


def build():
    subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "default", "--target", "fwmaint"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    for design in DESIGNS:
        where = os.path.join(ROOT, "build-bench-" + design)
        if subprocess.run(["cmake", "-S", ROOT, "-B", where, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                           "-DBUILD_TESTING=OFF", "-DFW_UNLINKS=" + design], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            subprocess.run(["cmake", "--build", where, "--target", "fwmaint"], check=True, stdout=subprocess.DEVNULL)
        else:
            print(f"no {design} build (for io_uring: liburing-dev)")
    subprocess.run(["gcc", "-O2", "-static", "-o", MEASURE, os.path.join(ROOT, "bench", "measure.c")], check=True)
    peer = os.path.join(BUILD, "bench-remove-all")
    subprocess.run(["g++", "-O2", "-std=c++17", "-o", peer, os.path.join(ROOT, "bench", "remove_all.cpp")], check=True)
    return peer


def run(argv, cwd="/", runs=1, ok=(0,)):
    """Runs argv `runs` times in cwd; returns (mean seconds, peak RSS in KiB,
    mean context switches, mean CPU seconds), or None when it ended with a
    status not in `ok`."""
    out = subprocess.run([MEASURE, cwd, str(runs)] + argv, capture_output=True, text=True, check=True).stdout.split()
    return (float(out[0]), int(out[1]), int(out[3]), float(out[4])) if int(out[2]) in ok else None


def make_tree(path, shape):
    os.mkdir(path)
    if shape == "wide":  # 100,000 files in 100 directories
        for d in range(100):
            sub = os.path.join(path, f"rules{d:02}")
            os.mkdir(sub)
            for f in range(1000):
                open(os.path.join(sub, f"r{f:04}.cf"), "w").close()
    elif shape == "nested":  # 100,000 files two levels down: 100 directories of one of 1,000 files
        for d in range(100):
            sub = os.path.join(path, f"rules{d:02}", "updates")
            os.makedirs(sub)
            for f in range(1000):
                open(os.path.join(sub, f"r{f:04}.cf"), "w").close()
    elif shape == "ruleset":  # a rule set as it ships: a few folders of a few thousand rule files of 1-8 KiB
        sizes = iter(range(7, 7 * 100000, 7))
        for sub, count in (("ruleset", 60), ("ruleset/plugins", 40), ("ruleset/updates/main", 2500),
                           ("ruleset/updates/sought", 2500), ("ruleset/updates/local", 500)):
            os.makedirs(os.path.join(path, sub))
            for f in range(count):
                with open(os.path.join(path, sub, f"{f:04}_rules.cf"), "wb") as out:
                    out.write(b"#" * (1024 + next(sizes) * 613 % 7168))
    elif shape == "flat":  # 100,000 files in one directory
        for f in range(100000):
            open(os.path.join(path, f"r{f:06}.cf"), "w").close()
    elif shape == "deep":  # a chain 400 levels deep, a file on each level
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        for _ in range(400):
            os.close(os.open("file", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
            os.mkdir("twenty-characters-xx", dir_fd=fd)
            nxt = os.open("twenty-characters-xx", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nxt
        os.close(fd)


def fresh_copy(template, work, shape=None):
    # cp cannot copy a chain deeper than PATH_MAX: that one is rebuilt.
    if shape == "deep":
        make_tree(os.path.join(work, "sa"), shape)
    else:
        subprocess.run(["cp", "-a", template, os.path.join(work, "sa")], check=True)
    os.sync()


def report(title, results, names):
    """One line per program; ratios are to names[0], round by round."""
    print(f"\n{title}")
    print(f"  {'program':<36} {'median (fastest-slowest)':>28} {'ratio to ' + names[0]:>24} {'ctx sw':>8} "
          f"{'CPU':>9} {'peak RSS':>9}")
    base = results[names[0]]
    unit, scale = ("us", 1e6) if None not in base and max(r[0] for r in base) < 0.01 else ("ms", 1e3)
    for name in names:
        if None in results[name]:
            print(f"  {name:<36} {'fails: exit status or tree left behind':>40}")
            continue
        times = [r[0] * scale for r in results[name]]
        ratio = ""
        if name != names[0] and None not in base:
            ratios = [p[0] / b[0] for b, p in zip(base, results[name])]
            ratio = f"{statistics.median(ratios):.3f} ({min(ratios):.2f}-{max(ratios):.2f})"
        switches = statistics.median(r[2] for r in results[name])
        cpu = statistics.median(r[3] for r in results[name]) * scale
        rss = max(r[1] for r in results[name])
        print(f"  {name:<36} {statistics.median(times):8.1f} {unit} ({min(times):6.1f}-{max(times):6.1f}) {ratio:>24} "
              f"{switches:8.0f} {cpu:6.1f} {unit} {rss / 1024:5.1f} MiB")


def remove(pairs, peer, trees, places, peers):
    mounts = []
    scratch = tempfile.mkdtemp(prefix="fwmaint-bench-")
    tmpfs = os.path.join(scratch, "tmpfs")
    os.mkdir(tmpfs)
    if "tmpfs" in places and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3g", "fwbench", tmpfs],
                                            stderr=subprocess.DEVNULL).returncode == 0:
        mounts.append(("tmpfs", tmpfs))
    disk = os.path.join(scratch, "disk")
    os.mkdir(disk)
    fstype = subprocess.run(["df", "--output=fstype", disk], capture_output=True, text=True).stdout.split()[-1]
    if "disk" in places:
        mounts.append((f"disk ({fstype})", disk))
    removers = {
        "rm -rf": lambda work: run(["/bin/rm", "-rf", "sa"], cwd=work),
        "fwmaint delsa (thread)": lambda work: run([HELPER, "delsa"], cwd=work),
    }
    for design in DESIGNS:
        helper = os.path.join(ROOT, "build-bench-" + design, "fwmaint")
        if os.path.exists(helper):
            removers[f"fwmaint delsa ({design})"] = lambda work, helper=helper: run([helper, "delsa"], cwd=work)
    if peers:
        removers["std::filesystem::remove_all"] = lambda work: run([peer, os.path.join(work, "sa")])
        removers["shutil.rmtree"] = lambda work: run([sys.executable, "-c", "import shutil,sys; shutil.rmtree(sys.argv[1])",
                                                      os.path.join(work, "sa")])
    names = list(removers)
    try:
        for where, base in mounts:
            for shape in trees:
                template = os.path.join(base, "template")
                make_tree(template, shape)
                results = {name: [] for name in names}
                for i in range(pairs):
                    # Each program runs first, and last, as often as the others.
                    shift = i % len(names)
                    order = names[shift:] + names[:shift]
                    order = order if i // len(names) % 2 == 0 else order[::-1]
                    for name in order:
                        work = os.path.join(base, "work")
                        os.mkdir(work)
                        fresh_copy(template, work, shape)
                        result = removers[name](work)
                        if os.path.lexists(os.path.join(work, "sa")):
                            result = None
                            subprocess.run(["/bin/rm", "-rf", "sa"], cwd=work, check=True)
                        results[name].append(result)
                        os.rmdir(work)
                report(f"remove {shape} tree on {where}, {pairs} rounds (load average {os.getloadavg()[0]:.2f})",
                       results, names)
                if where == "tmpfs" and shutil.which("strace"):
                    syscalls(template, base, shape, removers_argv(names))
                subprocess.run(["/bin/rm", "-rf", template], check=True)
    finally:
        subprocess.run(["umount", tmpfs], stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)


def removers_argv(names):
    """The command lines of rm and of each fwmaint build among `names`."""
    argv = {"rm -rf": ["/bin/rm", "-rf", "sa"], "fwmaint delsa (thread)": [HELPER, "delsa"]}
    for design in DESIGNS:
        argv[f"fwmaint delsa ({design})"] = [os.path.join(ROOT, "build-bench-" + design, "fwmaint"), "delsa"]
    return [(name, argv[name]) for name in names if name in argv]


def syscalls(template, base, shape, programs):
    """System calls per entry from strace -c -f, for rm and each fwmaint build."""
    entries = 801 if shape == "deep" else sum(len(d) + len(f) for _, d, f in os.walk(template)) + 1
    for name, argv in programs:
        work = os.path.join(base, "work")
        os.mkdir(work)
        fresh_copy(template, work, shape)
        out = subprocess.run(["strace", "-c", "-f", "-o", "/dev/stdout"] + argv, cwd=work, capture_output=True,
                             text=True).stdout
        total = [line for line in out.splitlines() if line.strip().endswith("total")]
        calls = int(total[0].split()[3]) if total else 0
        top = [line.split()[-1] + "=" + line.split()[3] for line in out.splitlines()[2:5] if len(line.split()) >= 5]
        print(f"    strace {name:<36} {calls / entries:5.2f} calls per entry ({calls} for {entries}; top: {', '.join(top)})")
        subprocess.run(["/bin/rm", "-rf", work], check=True)


def copy(pairs):
    work = tempfile.mkdtemp(prefix="fwmaint-bench-copy-", dir=os.environ.get("TMPDIR", "/var/tmp"))
    try:
        source = os.path.join(work, "sa", "ruleset", "local.cf")
        os.makedirs(os.path.dirname(source))
        with open(source, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(512):
                f.write(block)
        os.sync()
        results = {"cp + sync": [], "fwmaint saveprefs": []}
        for i in range(pairs):
            for name in (list(results) if i % 2 == 0 else list(results)[::-1]):
                target = os.path.join(work, "t_local.cf")
                if os.path.exists(target):
                    os.unlink(target)
                os.sync()
                if name == "cp + sync":
                    t1 = run(["/bin/cp", source, target], cwd=work)
                    t2 = run(["/bin/sync", target], cwd=work)
                    results[name].append((t1[0] + t2[0], max(t1[1], t2[1]), t1[2] + t2[2], t1[3] + t2[3]) if t1 and t2 else None)
                else:
                    results[name].append(run([HELPER, "saveprefs"], cwd=work))
        fstype = subprocess.run(["df", "--output=fstype", work], capture_output=True, text=True).stdout.split()[-1]
        report(f"copy 512 MiB local.cf on disk ({fstype}), {pairs} rounds", results, list(results))
    finally:
        shutil.rmtree(work)


def startup(pairs):
    runs = 1000
    results = {"/bin/true": [], "fwmaint nosuchword": []}
    for i in range(pairs):
        for name in (list(results) if i % 2 == 0 else list(results)[::-1]):
            argv = [HELPER, "nosuchword"] if name != "/bin/true" else ["/bin/true"]
            results[name].append(run(argv, runs=runs, ok=(0, 1)))
    report(f"start-up, mean of {runs} runs per round, {pairs} rounds", results, list(results))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", nargs="*", default=["remove", "copy", "startup"])
    parser.add_argument("--pairs", type=int, default=7, help="rounds per comparison (default 7)")
    parser.add_argument("--trees", default="wide,nested,ruleset,flat,deep",
                        help="trees to remove (default wide,nested,ruleset,flat,deep)")
    parser.add_argument("--on", default="tmpfs,disk", help="where to remove them (default tmpfs,disk)")
    parser.add_argument("--peers", action=argparse.BooleanOptionalAction, default=True,
                        help="also time std::filesystem::remove_all and shutil.rmtree (default yes)")
    args = parser.parse_args()
    peer = build()
    print(f"machine: {os.cpu_count()} cores, kernel {os.uname().release}, {os.uname().machine}, "
          f"load average {os.getloadavg()[0]:.2f} (other programs' load makes the times noisy: compare the spreads)")
    for what in args.what:
        {"remove": lambda: remove(args.pairs, peer, args.trees.split(","), args.on.split(","), args.peers),
         "copy": lambda: copy(args.pairs),
         "startup": lambda: startup(args.pairs)}[what]()


if __name__ == "__main__":
    main()
