#!/usr/bin/env python3
"""Extraction speed of nolt-cab against cabextract, side by side in one run.

Builds the optimised tool (preset native-release), packs about 200 MB of
compressible and incompressible data into one MSZIP cabinet with gcab (kept in
the build directory for later runs), then extracts it alternately with both
programs into fresh directories and reports the median times and the ratio
cabextract time / nolt-cab time (1.0 = as fast, above 1 = faster).

Usage: bench/cab/run.py [--runs N] [--megabytes M]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build", "native-release")


def build_tool():
    subprocess.run(["cmake", "--preset", "native-release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "native-release", "--target", "nolt-cab", "-j2"], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(BUILD, "bin", "nolt-cab")


def make_cabinet(megabytes):
    """Half text-like data (compresses about 4:1), half random bytes, in eight files."""
    work = os.path.join(BUILD, "bench-cab")
    cab = os.path.join(work, "bench-%dmb.cab" % megabytes)
    if os.path.exists(cab):
        return cab
    src = os.path.join(work, "src")
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(os.path.join(src, "data"))
    rng = random.Random(1)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(2000)]
    per_file = megabytes * 1024 * 1024 // 8
    names = []
    for i in range(8):
        name = "data/part%d.%s" % (i, "txt" if i % 2 == 0 else "bin")
        with open(os.path.join(src, name), "wb") as f:
            left = per_file
            while left > 0:
                if i % 2 == 0:
                    chunk = b" ".join(rng.choice(words) for _ in range(20000)) + b"\n"
                else:
                    chunk = os.urandom(1 << 20)
                chunk = chunk[:left]
                f.write(chunk)
                left -= len(chunk)
        names.append(name)
    subprocess.run(["gcab", "-c", "-z", cab] + names, cwd=src, check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(src)
    return cab


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def tree(root):
    out = {}
    for d, _, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            out[os.path.relpath(p, root)] = os.path.getsize(p)
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--megabytes", type=int, default=200)
    args = p.parse_args()
    for prog in ("gcab", "cabextract"):
        if not shutil.which(prog):
            sys.exit("%s is needed" % prog)
    tool = build_tool()
    cab = make_cabinet(args.megabytes)
    size = os.path.getsize(cab)
    work = tempfile.mkdtemp(prefix="nolt-bench-cab-", dir=os.path.dirname(cab))
    ours, theirs = [], []
    try:
        for run in range(args.runs):
            for name, times in (("nolt", ours), ("cabextract", theirs)):
                out = os.path.join(work, name)
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                if name == "nolt":
                    times.append(timed([tool, "extract", cab, out]))
                else:
                    times.append(timed(["cabextract", "-q", "-d", out, cab]))
            if run == 0:
                a, b = os.path.join(work, "nolt"), os.path.join(work, "cabextract")
                same = tree(a) == tree(b) and all(
                    subprocess.run(["cmp", "-s", os.path.join(a, f), os.path.join(b, f)]).returncode == 0 for f in tree(a))
                if not same:
                    sys.exit("the two programs wrote different files")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    extracted = args.megabytes
    t_ours, t_theirs = statistics.median(ours), statistics.median(theirs)
    print("cabinet: %s (%.1f MB, MSZIP, %d MB extracted)" % (cab, size / 1e6, extracted))
    print("nolt-cab   median %.3f s  (%.0f MB/s)  runs: %s" % (t_ours, extracted / t_ours, " ".join("%.3f" % t for t in ours)))
    print("cabextract median %.3f s  (%.0f MB/s)  runs: %s" % (t_theirs, extracted / t_theirs,
                                                             " ".join("%.3f" % t for t in theirs)))
    print("speed ratio nolt-cab / cabextract: %.2f" % (t_theirs / t_ours))


if __name__ == "__main__":
    main()
