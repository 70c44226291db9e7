#!/usr/bin/env python3
"""HTTP upload benchmark: a file PUT to a loopback sink by `curl -T` and by our
engine (`nolt-webcopy put`, native-release build), alternating, several rounds.

The sink (a process of its own) reads each body in 4 MiB pieces and throws it away,
so it costs little more than the kernel's copy and is not the bottleneck. Every run
is checked: the sink must have received exactly the file's size. Printed per run:
wall time, throughput, CPU time (user + system) and peak resident memory of the
uploading process; then the medians, the throughput ratio ours/curl, and our peak
memory for each file size, which should not grow with the size.

Usage: python3 bench/upload/run.py [--rounds N] [--sizes-mb 64,1024] [--keep-build]
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PIECE = 4 << 20


def sink_main(port_file):
    """Accepts HTTP requests; reads and drops each body; answers 201."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    with open(port_file + ".new", "w") as f:
        f.write(str(server.getsockname()[1]))
    os.replace(port_file + ".new", port_file)
    log = open(port_file + ".log", "a", buffering=1)

    def serve(conn):
        buf = bytearray(PIECE)
        view = memoryview(buf)
        pending = b""
        with conn:
            while True:
                while b"\r\n\r\n" not in pending:
                    data = conn.recv(65536)
                    if not data:
                        return
                    pending += data
                head, _, pending = pending.partition(b"\r\n\r\n")
                headers = {}
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    headers[name.strip().lower()] = value.strip()
                length = int(headers.get(b"content-length", b"0"))
                if headers.get(b"expect", b"").lower() == b"100-continue":
                    conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
                got = min(len(pending), length)
                pending = pending[got:]
                while got < length:
                    n = conn.recv_into(view, min(PIECE, length - got))
                    if not n:
                        break
                    got += n
                log.write("%d\n" % got)
                conn.sendall(b"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n")
                if got < length:
                    return

    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def run(cmd, work):
    """Wall seconds, CPU seconds and peak resident KiB of one command. GNU time
    measures the last two: a child forked from this Python process would count the
    Python's pages as its own peak."""
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
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--sizes-mb", default="64,1024")
    ap.add_argument("--keep-build", action="store_true", help="use the built program as it is")
    args = ap.parse_args()

    if not args.keep_build:
        subprocess.run(["cmake", "--preset", "native-release"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "native-release", "--target", "nolt-webcopy", "-j2"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    ours = os.path.join(ROOT, "build", "native-release", "bin", "nolt-webcopy")

    work = tempfile.mkdtemp(prefix="nolt-upload-bench.")
    port_file = os.path.join(work, "port")
    sink = subprocess.Popen([sys.executable, __file__, "--sink", port_file])
    try:
        for _ in range(100):
            if os.path.exists(port_file):
                break
            time.sleep(0.1)
        url = "http://127.0.0.1:%s/in/big.bin" % open(port_file).read()
        received = port_file + ".log"

        def check(size):
            with open(received) as f:
                last = f.read().split()[-1]
            if int(last) != size:
                raise SystemExit("the sink received %s bytes, not %d" % (last, size))

        for size_mb in [int(s) for s in args.sizes_mb.split(",")]:
            path = os.path.join(work, "big.bin")
            size = size_mb << 20
            with open(path, "wb") as f:
                for _ in range(size_mb):
                    f.write(os.urandom(1 << 20))
            results = {"curl": [], "ours": []}
            commands = {"curl": ["curl", "-sS", "-T", path, url], "ours": [ours, "put", url, path]}
            for i in range(args.rounds):
                order = ("curl", "ours") if i % 2 == 0 else ("ours", "curl")
                line = []
                for who in order:
                    wall, cpu, rss = run(commands[who], work)
                    check(size)
                    results[who].append((wall, cpu, rss))
                    line.append("%s %.3f s (%.0f MB/s, cpu %.2f s, peak %.1f MiB)" %
                                (who, wall, size / wall / 1e6, cpu, rss / 1024))
                print("%d MiB round %d: %s" % (size_mb, i + 1, ", ".join(line)), flush=True)
            med = {who: (statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs),
                         max(r[2] for r in rs)) for who, rs in results.items()}
            print("%d MiB median: curl %.3f s (cpu %.2f s), ours %.3f s (cpu %.2f s); throughput ratio "
                  "ours/curl = %.2f; peak resident: ours %.1f MiB, curl %.1f MiB" %
                  (size_mb, med["curl"][0], med["curl"][1], med["ours"][0], med["ours"][1],
                   med["curl"][0] / med["ours"][0], med["ours"][2] / 1024, med["curl"][2] / 1024))
            os.remove(path)
        print("(load average: %s)" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        sink.kill()
        sink.wait()
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--sink":
        sink_main(sys.argv[2])
    else:
        main()
