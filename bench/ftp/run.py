#!/usr/bin/env python3
"""FTP download and upload benchmark: one file fetched and sent over loopback by
`curl` and by our engine (`nolt-webcopy --passive ftp-get` / `ftp-put`,
native-release build), alternating, several rounds, against the FTP test server
(tests/support/nolt_ftp_server.py under /usr/bin/python3).

The server sends a download with sendfile and throws an upload away (its "sink"
rule), so that the disk of the server side is not measured. Every run is checked:
the download must arrive whole, the server must have received the whole upload.
Printed per run: wall time, throughput, CPU time (user + system) and peak resident
memory of the transferring process; then the medians, the throughput ratio
ours/curl and our peak memory.

Usage: python3 bench/ftp/run.py [--rounds N] [--size-mb 1024] [--keep-build]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
USER, PASSWORD = "bench", "bench"


def run(cmd, work):
    """Wall seconds, CPU seconds and peak resident KiB of one command (GNU time)."""
    stats = os.path.join(work, "time.txt")
    start = time.monotonic()
    p = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats] + cmd,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.monotonic() - start
    if p.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(cmd), p.stderr.decode(errors="replace")))
    user, system, rss = open(stats).read().split()[-3:]
    return wall, float(user) + float(system), int(rss)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--keep-build", action="store_true", help="use the built program as it is")
    args = ap.parse_args()

    if not args.keep_build:
        subprocess.run(["cmake", "--preset", "native-release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "native-release", "--target", "nolt-webcopy", "-j2"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    ours = os.path.join(ROOT, "build", "native-release", "bin", "nolt-webcopy")

    work = tempfile.mkdtemp(prefix="nolt-ftp-bench.")
    root = os.path.join(work, "root")
    os.makedirs(os.path.join(root, "in"))
    log = os.path.join(work, "log.jsonl")
    rules = os.path.join(work, "rules.json")
    with open(rules, "w") as f:
        json.dump({"/in/big.bin": {"sink": "1"}}, f)
    port_file = os.path.join(work, "port")
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "tests", "support", "nolt_ftp_server.py"),
                               "--root", root, "--user", USER, "--password", PASSWORD, "--log", log,
                               "--rules", rules, "--port-file", port_file],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(300):
            if os.path.exists(port_file):
                break
            time.sleep(0.1)
        port = int(open(port_file).read().split()[0])
        base = "ftp://%s:%s@127.0.0.1:%d" % (USER, PASSWORD, port)
        size = args.size_mb << 20
        source = os.path.join(root, "big.bin")
        with open(source, "wb") as f:
            for _ in range(args.size_mb):
                f.write(os.urandom(1 << 20))
        out = os.path.join(work, "out")
        os.makedirs(out)
        fetched = os.path.join(out, "big.bin")

        def check_download():
            if os.path.getsize(fetched) != size:
                raise SystemExit("the download arrived with %d bytes, not %d" % (os.path.getsize(fetched), size))
            os.remove(fetched)

        def check_upload():
            with open(log) as f:
                ends = [r for r in map(json.loads, f) if r.get("event") == "transfer" and r.get("cmd") == "STOR"]
            if not ends or ends[-1]["bytes"] != size or not ends[-1]["complete"]:
                raise SystemExit("the server received %s, not %d bytes" % (ends[-1:] or "nothing", size))

        kinds = {
            "download": ({"curl": ["curl", "-sS", "-o", fetched, base + "/big.bin"],
                          "ours": [ours, "--passive", "ftp-get", base + "/big.bin", out]}, check_download),
            "upload": ({"curl": ["curl", "-sS", "-T", source, base + "/in/big.bin"],
                        "ours": [ours, "--passive", "ftp-put", source, base + "/in/big.bin"]}, check_upload),
        }
        for kind, (commands, check) in kinds.items():
            results = {"curl": [], "ours": []}
            for i in range(args.rounds):
                order = ("curl", "ours") if i % 2 == 0 else ("ours", "curl")
                line = []
                for who in order:
                    wall, cpu, rss = run(commands[who], work)
                    check()
                    results[who].append((wall, cpu, rss))
                    line.append("%s %.3f s (%.0f MB/s, cpu %.2f s, peak %.1f MiB)" %
                                (who, wall, size / wall / 1e6, cpu, rss / 1024))
                print("%s %d MiB round %d: %s" % (kind, args.size_mb, i + 1, ", ".join(line)), flush=True)
            med = {who: (statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs),
                         max(r[2] for r in rs)) for who, rs in results.items()}
            print("%s %d MiB median: curl %.3f s (cpu %.2f s), ours %.3f s (cpu %.2f s); throughput ratio "
                  "ours/curl = %.2f; peak resident: ours %.1f MiB, curl %.1f MiB" %
                  (kind, args.size_mb, med["curl"][0], med["curl"][1], med["ours"][0], med["ours"][1],
                   med["curl"][0] / med["ours"][0], med["ours"][2] / 1024, med["curl"][2] / 1024), flush=True)
        print("(load average: %s)" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        # The server ends when its root is gone.
        shutil.rmtree(root, ignore_errors=True)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
