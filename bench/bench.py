#!/usr/bin/env python3
"""Builds a Release kestrig and measures it against the one-liners a user
would otherwise run. Prints each figure beside its target; exits 1 if any
target is missed. Everything it makes goes into one temporary folder, which
it removes.

Usage: python3 bench/bench.py [--size MiB] [--pairs N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NUMBERS = ["50", "60", "5", "30", "3", "40", "45", "4", "20", "2", "100", "10"]
AWK_VARS = ["eva=50", "eva_master=60", "eva_diff=5", "ru=30", "ru_diff=3", "pre=40",
            "pre_master=45", "pre_diff=4", "rd=20", "rd_diff=2"]


def run(argv, stdout_path, cwd):
    """Runs one whole process and returns its wall time in seconds."""
    # Write back what earlier runs left dirty, so that it is not timed here.
    os.sync()
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.run(argv, stdout=out, stderr=subprocess.DEVNULL, cwd=cwd)
        elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit("bench: %s exited with %d" % (argv[0], proc.returncode))
    return elapsed


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=256, help="input size in MiB")
    parser.add_argument("--pairs", type=int, default=7, help="timed pairs per figure")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kestrig_bench.")
    try:
        build = os.path.join(work, "build")
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKESTRIG_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)
        kestrig = os.path.join(build, "kestrig")

        inputs = {}
        for kind in ("mixed", "rare"):
            inputs[kind] = os.path.join(work, kind + ".txt")
            subprocess.run([sys.executable, os.path.join(HERE, "gen_input.py"), kind,
                            str(args.size << 20), inputs[kind]], check=True)
        small = os.path.join(work, "small.txt")
        with open(small, "w") as f:
            f.write("header\nRULES a\nPIPE:1\nTIM,1,2\nPIPE:2\nend\n")
        out_file = os.path.join(work, "out.txt")
        null = os.devnull

        def tool(kind, dest=null):
            return lambda: run([kestrig] + NUMBERS + [inputs[kind]], dest, work)

        def cat(kind):
            return lambda: run(["cat", inputs[kind]], null, work)

        awk_argv = ["mawk"] + [x for v in AWK_VARS for x in ("-v", v)]
        awk_argv += ["-f", os.path.join(HERE, "rewrite.awk"), inputs["mixed"]]

        # The awk rendition must agree with kestrig byte for byte, or the
        # comparison means nothing.
        run([kestrig] + NUMBERS + [inputs["mixed"]], out_file, work)
        run(awk_argv, out_file + ".awk", work)
        if not filecmp(out_file, out_file + ".awk"):
            sys.exit("bench: the awk rendition's output differs from kestrig's")
        os.remove(out_file + ".awk")

        loop = 'i=0; while [ $i -lt 300 ]; do "$@" >/dev/null; i=$((i+1)); done'

        def launches(argv):
            return lambda: run(["sh", "-c", loop, "sh"] + argv, null, work)

        rows = []
        rows.append(("mixed -> /dev/null, vs cat > /dev/null",
                     ratio(tool("mixed"), cat("mixed"), args.pairs), "<=", 4.0))
        rows.append(("rare -> /dev/null, vs cat > /dev/null",
                     ratio(tool("rare"), cat("rare"), args.pairs), "<=", 2.0))
        rows.append(("mixed -> file, vs dd bs=128K",
                     ratio(tool("mixed", out_file),
                           lambda: run(["dd", "if=" + inputs["mixed"], "of=" + out_file,
                                        "bs=128K"], null, work), args.pairs), "<=", 1.6))
        rows.append(("mixed: mawk rewrite, vs kestrig",
                     ratio(lambda: run(awk_argv, null, work), tool("mixed"), args.pairs),
                     ">=", 10.0))
        rows.append(("start-up, 300 launches, vs /usr/bin/true",
                     ratio(launches([kestrig] + NUMBERS + [small]), launches(["/usr/bin/true"]),
                           args.pairs), "<=", 3.0))
        rss = peak_rss_kib([kestrig] + NUMBERS + [inputs["mixed"]], work)
        rows.append(("peak resident memory, mixed (MiB)", (rss / 1024.0, None, None), "<=", 4.0))

        print("kestrig benchmark: %d MiB inputs, %d pairs, median of ratios" % (args.size,
                                                                               args.pairs))
        print("%-42s %9s %8s %8s  %s" % ("figure", "measured", "target", "", "median times"))
        failed = False
        for name, (value, time_a, time_b), op, target in rows:
            ok = value <= target if op == "<=" else value >= target
            failed |= not ok
            unit = "" if "MiB" in name else "x"
            times = "" if time_a is None else "%.3f s / %.3f s" % (time_a, time_b)
            print("%-42s %8.2f%s %2s %5.1f%s %-6s  %s" % (name, value, unit, op, target, unit,
                                                        "ok" if ok else "MISSED", times))
        return 1 if failed else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def filecmp(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def peak_rss_kib(argv, cwd):
    """Peak resident set size of one run, as /usr/bin/time -f %M reports it."""
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, cwd=cwd, check=True, text=True)
    return int(proc.stderr.strip().splitlines()[-1])


if __name__ == "__main__":
    sys.exit(main())
