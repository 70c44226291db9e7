#!/usr/bin/env python3
"""Local file copy benchmark: one file copied into a fresh folder by `cp` and by our
engine (`nolt-webcopy copy`, native-release build), alternating, several rounds, on
the same file system. Each copy ends with the target on disk (sync of the file
system after each run, counted in the time), is checked for its size, and removed.
Printed per run: wall time and throughput; then the medians and the ratio ours/cp.

Usage: python3 bench/copy/run.py [--rounds N] [--size-mb 1024] [--dir DIR] [--tool PATH]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def timed(cmd, target, size):
    start = time.monotonic()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    fd = os.open(target, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
    elapsed = time.monotonic() - start
    if os.path.getsize(target) != size:
        sys.exit("%s: wrong size" % cmd[0])
    os.remove(target)
    return elapsed


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--size-mb", type=int, default=1024)
    p.add_argument("--dir", default=None, help="where the files go (default: the system's temporary folder)")
    p.add_argument("--tool", default=os.path.join(ROOT, "build", "native-release", "bin", "nolt-webcopy"))
    a = p.parse_args()
    if not os.path.exists(a.tool):
        subprocess.run(["cmake", "--preset", "native-release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "native-release", "--target", "nolt-webcopy"], cwd=ROOT,
                       check=True, stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix="nolt-copy-bench-", dir=a.dir)
    size = a.size_mb << 20
    source = os.path.join(work, "source.bin")
    with open(source, "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(a.size_mb):
            f.write(block)
    out = os.path.join(work, "out")
    os.makedirs(out)
    target = os.path.join(out, "source.bin")
    runs = {"cp": [], "ours": []}
    cmds = {"cp": ["cp", source, target], "ours": [a.tool, "copy", source, out]}
    try:
        # One warm-up copy each, so the source is in the page cache for both.
        for name in ("cp", "ours"):
            timed(cmds[name], target, size)
        for r in range(a.rounds):
            for name in ("cp", "ours") if r % 2 == 0 else ("ours", "cp"):
                t = timed(cmds[name], target, size)
                runs[name].append(t)
                print("round %d %-4s %6.2f s %7.1f MB/s" % (r + 1, name, t, size / t / 1e6), flush=True)
    finally:
        for name in (source, target):
            if os.path.exists(name):
                os.remove(name)
        os.rmdir(out)
        os.rmdir(work)
    cp, ours = statistics.median(runs["cp"]), statistics.median(runs["ours"])
    print("median cp   %6.2f s %7.1f MB/s" % (cp, size / cp / 1e6))
    print("median ours %6.2f s %7.1f MB/s" % (ours, size / ours / 1e6))
    print("throughput ours/cp: %.2f" % (cp / ours))


if __name__ == "__main__":
    main()
