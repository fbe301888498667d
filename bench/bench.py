#!/usr/bin/env python3
"""Builds a Release kestrig, and a static one, and measures them against the
one-liners a user would otherwise run: on large inputs, and on the small
files the tool mostly meets, where start-up is most of the time. Prints each
figure beside its target; exits 1 if any target is missed. Everything it
makes goes into temporary folders, which it removes.

Then its table of tricks: each trick the filter keeps, switched off in a
build of its own, against the shipped build, in processor time on small and
large inputs and, where valgrind is installed, in instructions on 4 MiB.

Usage: python3 bench/bench.py [--size MiB] [--pairs N] [--small-pairs N] [--tricks-only]
"""
import argparse
import ctypes
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NUMBERS = ["50", "60", "5", "30", "3", "40", "45", "4", "20", "2", "100", "10"]
# Another timing.cfg of the same size, so that a run that alternates the two
# compares the whole file before it replaces it: the dearest way.
OTHER_NUMBERS = NUMBERS[:10] + ["101", "10"]
# Each trick, and the build options that switch it off.
TRICKS = [
    ("vector scanners (portable scan instead)", ["-DKESTRIG_SIMD=OFF"]),
    ("AVX2 scanner (SSE2 instead)", ["-DCMAKE_CXX_FLAGS=-DKESTRIG_SCANNER_LEVELS=2"]),
    ("references to input (all copied)",
     ["-DCMAKE_CXX_FLAGS=-DKESTRIG_REFERENCE_SIZE=0xffffffffffffffff"]),
    ("256 KiB read block (64 KiB instead)", ["-DCMAKE_CXX_FLAGS=-DKESTRIG_READ_BLOCK=65536"]),
    ("256 KiB read block (1 MiB instead)", ["-DCMAKE_CXX_FLAGS=-DKESTRIG_READ_BLOCK=1048576"]),
]
AWK_VARS = ["eva=50", "eva_master=60", "eva_diff=5", "ru=30", "ru_diff=3", "pre=40",
            "pre_master=45", "pre_diff=4", "rd=20", "rd_diff=2"]


def spawn(argv, stdout_fd):
    """Runs one whole process in the current folder, standard output on
    `stdout_fd`, and returns its wall time in seconds."""
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ,
                          file_actions=[(os.POSIX_SPAWN_DUP2, stdout_fd, 1)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit("bench: %s ended with status %d" % (argv[0], status))
    return elapsed


def cpu_time(argv, stdout_fd):
    """Runs one whole process as spawn does and returns the processor time
    it used, user and system, in seconds: on a shared machine this moves
    less than the wall time when other work runs."""
    pid = os.posix_spawnp(argv[0], argv, os.environ,
                          file_actions=[(os.POSIX_SPAWN_DUP2, stdout_fd, 1)])
    _, status, usage = os.wait4(pid, 0)
    if status != 0:
        sys.exit("bench: %s ended with status %d" % (argv[0], status))
    return usage.ru_utime + usage.ru_stime


def ratio(a, b, pairs):
    """Median of pairwise time ratios a/b, run alternately after a warm-up."""
    a()
    b()
    ratios, times_a, times_b = [], [], []
    for _ in range(pairs):
        times_a.append(a())
        times_b.append(b())
        ratios.append(times_a[-1] / times_b[-1])
    return statistics.median(ratios), statistics.median(times_a), statistics.median(times_b)


def instructions(argv):
    """The instructions one run of argv executes, as callgrind counts them:
    the same on every run, whatever else the machine does."""
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def build(work, name, options):
    folder = os.path.join(work, name)
    subprocess.run(["cmake", "-S", ROOT, "-B", folder, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKESTRIG_TESTS=OFF"] + options, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "kestrig"], check=True,
                    stdout=subprocess.DEVNULL)
    return os.path.join(folder, "kestrig")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=256, help="large input size in MiB")
    parser.add_argument("--pairs", type=int, default=7, help="timed pairs per large figure")
    parser.add_argument("--small-pairs", type=int, default=400,
                        help="timed pairs per small-file figure")
    parser.add_argument("--tricks-only", action="store_true",
                        help="only the table of tricks, not the figures")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kestrig_bench.")
    # File output goes to memory, so that the disk's write-back is not timed.
    shm = tempfile.mkdtemp(prefix="kestrig_bench.", dir="/dev/shm") \
        if os.path.isdir("/dev/shm") else work
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        kestrig = build(work, "build", [])
        os.chdir(work)  # timing.cfg is written here

        inputs = {}
        for kind, size in (("mixed", args.size << 20), ("rare", args.size << 20),
                           ("mixed", 64 << 10), ("rare", 64 << 10), ("mixed", 4 << 20),
                           ("rare", 4 << 20)):
            name = "%s-%d" % (kind, size)
            inputs[name] = os.path.join(work, name + ".txt")
            subprocess.run([sys.executable, os.path.join(HERE, "gen_input.py"), kind, str(size),
                            inputs[name]], check=True)
        mixed = inputs["mixed-%d" % (args.size << 20)]
        rare = inputs["rare-%d" % (args.size << 20)]
        mixed_64k = inputs["mixed-%d" % (64 << 10)]
        if args.tricks_only:
            tricks_table(work, kestrig, inputs, args, null)
            return 0
        kestrig_static = build(work, "build-static", ["-DKESTRIG_STATIC=ON"])
        small = os.path.join(work, "small.txt")
        with open(small, "w") as f:
            f.write("header\nRULES a\nPIPE:1\nTIM,1,2\nPIPE:2\nend\n")
        out_file = os.path.join(shm, "out.txt")

        def tool(binary, path, dest=null):
            return lambda: spawn([binary] + NUMBERS + [path], dest)

        def to_fresh_file(argv):
            """Runs argv with standard output on out_file, emptied before the clock."""
            def timed():
                fd = os.open(out_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                try:
                    return spawn(argv, fd)
                finally:
                    os.close(fd)
            return timed

        def awk(path):
            argv = ["mawk"] + [x for v in AWK_VARS for x in ("-v", v)]
            return argv + ["-f", os.path.join(HERE, "rewrite.awk"), path]

        # The awk rendition must agree with kestrig byte for byte, or the
        # comparison means nothing.
        for path in (mixed, mixed_64k):
            to_fresh_file([kestrig] + NUMBERS + [path])()
            os.rename(out_file, out_file + ".kestrig")
            to_fresh_file(awk(path))()
            if not filecmp(out_file, out_file + ".kestrig"):
                sys.exit("bench: the awk rendition's output differs from kestrig's")
            os.remove(out_file + ".kestrig")

        def cat(path):
            return lambda: spawn(["cat", path], null)

        rows = []
        rows.append(("mixed -> /dev/null, vs cat > /dev/null",
                     ratio(tool(kestrig, mixed), cat(mixed), args.pairs), "<=", 4.0))
        rows.append(("rare -> /dev/null, vs cat > /dev/null",
                     ratio(tool(kestrig, rare), cat(rare), args.pairs), "<=", 2.0))
        rows.append(("mixed -> file in /dev/shm, vs dd bs=128K",
                     ratio(to_fresh_file([kestrig] + NUMBERS + [mixed]),
                           to_fresh_file(["dd", "if=" + mixed, "bs=128K", "status=none"]),
                           args.pairs), "<=", 2.3))
        rows.append(("mixed: mawk rewrite, vs kestrig",
                     ratio(lambda: spawn(awk(mixed), null), tool(kestrig, mixed), args.pairs),
                     ">=", 10.0))
        def alternating(binary, path):
            """Runs that alternate two sets of numbers: timing.cfg is replaced every time."""
            turn = [0]

            def run():
                turn[0] ^= 1
                return spawn([binary] + (OTHER_NUMBERS if turn[0] else NUMBERS) + [path], null)
            return run

        true = lambda: spawn(["/usr/bin/true"], null)
        for name, binary, most, least in (("", kestrig, 1.2, 1.15),
                                          ("static ", kestrig_static, 1.0, 1.4)):
            # Repeated runs with the same numbers leave timing.cfg as it is.
            rows.append(("%s6-line file, vs /usr/bin/true" % name,
                         ratio(tool(binary, small), true, args.small_pairs), "<=", most))
            rows.append(("%s  timing.cfg replaced each run" % name,
                         ratio(alternating(binary, small), true, args.small_pairs), None, None))
            rows.append(("%s64 KiB mixed: mawk rewrite, vs kestrig" % name,
                         ratio(lambda: spawn(awk(mixed_64k), null), tool(binary, mixed_64k),
                               args.small_pairs), ">=", least))
        rss = peak_rss_kib([kestrig] + NUMBERS + [mixed], work)
        rows.append(("peak resident memory, mixed (MiB)", (rss / 1024.0, None, None), "<=", 4.0))

        print("kestrig benchmark: %d MiB inputs, %d pairs (%d for small files), median of ratios"
              % (args.size, args.pairs, args.small_pairs))
        print("%-44s %9s %8s %8s  %s" % ("figure", "measured", "target", "", "median times"))
        failed = False
        for name, (value, time_a, time_b), op, target in rows:
            unit = "" if "MiB" in name else "x"
            times = "" if time_a is None else "%.3f ms / %.3f ms" % (time_a * 1e3, time_b * 1e3)
            if op is None:  # shown for comparison, with no target of its own
                print("%-44s %8.2f%s %16s  %s" % (name, value, unit, "", times))
                continue
            ok = value <= target if op == "<=" else value >= target
            failed |= not ok
            print("%-44s %8.2f%s %2s %5.2f%s %-6s  %s" % (name, value, unit, op, target, unit,
                                                        "ok" if ok else "MISSED", times))
        tricks_table(work, kestrig, inputs, args, null)
        return 1 if failed else 0
    finally:
        os.chdir(ROOT)
        shutil.rmtree(work, ignore_errors=True)
        if shm != work:
            shutil.rmtree(shm, ignore_errors=True)


def tricks_table(work, kestrig, inputs, args, null):
    """Prints the table of tricks: for each, the median ratio of the
    processor time of the build without it to the shipped build's, on small
    and large inputs, and the ratio of their instructions on 4 MiB. Above 1
    is what the trick saves."""
    size = args.size << 20
    timed = [("64K mixed", inputs["mixed-%d" % (64 << 10)], args.small_pairs),
             ("64K rare", inputs["rare-%d" % (64 << 10)], args.small_pairs),
             ("%dM mixed" % args.size, inputs["mixed-%d" % size], args.pairs),
             ("%dM rare" % args.size, inputs["rare-%d" % size], args.pairs)]
    counted = []
    if shutil.which("valgrind"):
        counted = [("instr 4M mixed", inputs["mixed-%d" % (4 << 20)]),
                   ("instr 4M rare", inputs["rare-%d" % (4 << 20)])]
    print("\ntricks, each switched off, against the shipped build (median ratios of processor "
          "time; instructions by callgrind)")
    print("%-40s" % "trick switched off" +
          "".join(" %14s" % name for name, _, _ in timed) +
          "".join(" %14s" % name for name, _ in counted))
    for i, (trick, options) in enumerate(TRICKS):
        variant = build(work, "build-trick-%d" % i, options)
        cells = []
        for _, path, pairs in timed:
            cells.append(ratio(lambda: cpu_time([variant] + NUMBERS + [path], null),
                               lambda: cpu_time([kestrig] + NUMBERS + [path], null), pairs)[0])
        for _, path in counted:
            cells.append(instructions([variant] + NUMBERS + [path]) /
                         instructions([kestrig] + NUMBERS + [path]))
        print("%-40s" % trick + "".join(" %13.3fx" % cell for cell in cells))


def filecmp(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def peak_rss_kib(argv, cwd):
    """Peak resident set size of one run in KiB, as /usr/bin/time -f %M
    reports it, without needing that program. A process forked from this
    one would count Python's own memory as its peak, so a shell starts the
    run in the background and exits; this process, made a subreaper, then
    inherits the run and reads its peak from wait4."""
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_child_subreaper = 36
    if libc.prctl(pr_set_child_subreaper, 1, 0, 0, 0) != 0:
        sys.exit("bench: prctl: %s" % os.strerror(ctypes.get_errno()))
    shell = subprocess.run(["sh", "-c", '"$@" > /dev/null & echo $!', "sh"] + argv, cwd=cwd,
                           stdout=subprocess.PIPE, check=True, text=True)
    _, status, usage = os.wait4(int(shell.stdout), 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("bench: %s ended with status %d" % (argv[0], os.waitstatus_to_exitcode(status)))
    return usage.ru_maxrss


if __name__ == "__main__":
    sys.exit(main())
