#!/usr/bin/env python3
"""The built programs against servers that stall: each stalled transfer ends with an
error within the programs' own limits, the run goes on with the next item, and the
program exits.

Usage:
    stall_test.py --updater PROG --mkpatch PROG --base-url URL [--webcopy PROG]
                  [--emulator "CMD ARGS"]

The programs run with the limits they ship with: 30 s without a byte of an answer,
or less than 1 KiB/s over 30 s. Three stalls are served, one per item:
  - hang:    the server accepts the request and never answers;
  - half:    it sends half of the body, then nothing more, holding the connection;
  - trickle: it sends the body one byte a second.

The updater fetches a release whose first three packages stall and whose fourth is
good; nolt-webcopy (when given) gets the same three stalled files and a good one in
one run. For each program the test times every item from its request to the next
one (the server's log, watched as it grows) and checks that each stalled item ended
within the limit plus a margin, that the good item arrived whole, and that the
program ended by itself. The updater keeps what arrived of the half-sent package
for the next run to continue.
"""

import argparse
import json
import os
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "support", "nolt_http_server.py")
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nolt_staging import identity, staged_name  # noqa: E402

LIMIT = 30       # the programs' limit in seconds, for a stall and for a crawl
MARGIN = 15      # a loaded machine, Wine, the rate rule's sampling
RUN_TIMEOUT = 4 * (LIMIT + MARGIN) + 120
STALLS = [("hang", {"hang": "1"}), ("half", None), ("trickle", {"trickle": "1"})]


class Server:
    """The HTTP test server with its request log, whose lines are timestamped as they
    appear."""

    def __init__(self, work, name, root, port, rules):
        self.log = os.path.join(work, name + "-log.jsonl")
        port_file = os.path.join(work, name + "-port.txt")
        deadline = time.monotonic() + 300
        while True:
            self.proc = subprocess.Popen([sys.executable, SERVER, "--root", root, "--log", self.log, "--rules", rules,
                                          "--port", str(port), "--port-file", port_file, "--lease"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while self.proc.poll() is None and not os.path.exists(port_file):
                time.sleep(0.05)
            if self.proc.poll() is None:
                break
            if time.monotonic() > deadline:
                raise SystemExit("stall_test: no server on port %d" % port)
            time.sleep(1)  # another test may hold the fixed port for a while
        with open(port_file) as f:
            self.port = int(f.read())
        self.lease = socket.create_connection(("127.0.0.1", self.port))
        self.lease.sendall(b"GET /_lease HTTP/1.1\r\nHost: lease\r\n\r\n")
        self.seen = []  # (seconds since the watch began, path)
        self.stop_watch = threading.Event()

    def watch(self):
        self.seen = []
        self.stop_watch.clear()
        start = time.monotonic()
        offset = os.path.getsize(self.log) if os.path.exists(self.log) else 0

        def run():
            nonlocal offset
            while not self.stop_watch.is_set():
                if os.path.exists(self.log):
                    with open(self.log) as f:
                        f.seek(offset)
                        for line in f:
                            if line.endswith("\n"):
                                self.seen.append((time.monotonic() - start, json.loads(line)["path"]))
                                offset += len(line.encode())
                time.sleep(0.1)

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return lambda: (self.stop_watch.set(), thread.join())

    def stop(self):
        self.lease.close()
        self.proc.wait(timeout=30)


def run_program(argv, cwd, env):
    t = time.monotonic()
    try:
        p = subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT)
        return p.returncode, time.monotonic() - t, p.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired as e:
        return None, time.monotonic() - t, (e.stdout or b"").decode(errors="replace")


def judge(what, seen, end, paths, problems):
    """Each stalled item ends within the limit plus the margin: the time from its
    request to the next request, or to the program's end."""
    seen = sorted(seen)
    for (name, _), path in zip(STALLS, paths):
        at = [i for i, (_, p) in enumerate(seen) if p == path]
        if not at:
            problems.append("%s: the %s item was never requested" % (what, name))
            continue
        i = at[0]
        took = (seen[i + 1][0] if i + 1 < len(seen) else end) - seen[i][0]
        print("%-9s %-8s ended after %5.1f s (limit %d s)" % (what, name, took, LIMIT), flush=True)
        if took > LIMIT + MARGIN:
            problems.append("%s: the %s item took %.1f s, more than %d + %d s" % (what, name, took, LIMIT, MARGIN))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--updater", required=True)
    ap.add_argument("--mkpatch", required=True)
    ap.add_argument("--base-url", required=True)
    ap.add_argument("--webcopy")
    ap.add_argument("--emulator", default="")
    args = ap.parse_args()
    emulator = shlex.split(args.emulator)
    env = dict(os.environ)
    if not emulator:
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    url = urllib.parse.urlsplit(args.base_url)
    work = tempfile.mkdtemp(prefix="nolt-stall-")
    problems = []
    servers = []
    try:
        # The release: three files whose packages stall, and a good one.
        release = os.path.join(work, "release")
        os.makedirs(release)
        names = [name + ".dat" for name, _ in STALLS] + ["good.dat"]
        for i, name in enumerate(names):
            with open(os.path.join(release, name), "wb") as f:
                f.write(os.urandom(200000 + i))
        root = os.path.join(work, "www")
        out = os.path.join(root, *[p for p in url.path.split("/") if p])
        r = subprocess.run(emulator + [args.mkpatch, release, out], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           env=env, timeout=300)
        if r.returncode != 0:
            raise SystemExit("stall_test: nolt-mkpatch failed:\n" + r.stdout.decode(errors="replace"))
        half = os.path.getsize(os.path.join(out, "half.dat.cab")) // 2
        rules = {}
        for name, options in STALLS:
            rules[url.path + name + ".dat.cab"] = options or {"stall": str(half)}
            rules["/" + name + ".dat"] = options or {"stall": "100000"}
        for name in names:
            shutil.copyfile(os.path.join(release, name), os.path.join(root, name))
        rules_file = os.path.join(work, "rules.json")
        with open(rules_file, "w") as f:
            json.dump(rules, f)

        base = Server(work, "base", root, url.port or 80, rules_file)
        servers.append(base)
        install = os.path.join(work, "install")
        os.makedirs(install)
        updater = os.path.join(install, os.path.basename(args.updater))
        shutil.copy2(args.updater, updater)
        end_watch = base.watch()
        status, took, output = run_program(emulator + [updater], install, env)
        end_watch()
        print("updater   ended after %.1f s with status %s" % (took, status), flush=True)
        if status is None:
            problems.append("the updater did not end within %d s" % RUN_TIMEOUT)
        judge("updater", base.seen, took, [url.path + n + ".cab" for n in names], problems)
        with open(os.path.join(release, "good.dat"), "rb") as f:
            good = f.read()
        installed = os.path.join(install, "good.dat")
        if not os.path.exists(installed) or open(installed, "rb").read() != good:
            problems.append("updater: the good package after the stalls was not installed")
        for name, _ in STALLS:
            if os.path.exists(os.path.join(install, name + ".dat")):
                problems.append("updater: %s.dat was installed from a stalled package" % name)
        with open(os.path.join(out, "nolt-patch-updater.txt"), "rb") as f:
            staged = staged_name("half.dat", identity("half.dat", f.read()))
        kept = os.path.join(install, ".nolt-packages", staged + ".partial")
        if not os.path.exists(kept) or os.path.getsize(kept) != half:
            problems.append("updater: the half-sent package's %d bytes were not kept for the next run" % half)

        if args.webcopy:
            target = os.path.join(work, "got")
            os.makedirs(target)
            words = ["get"] + ["http://127.0.0.1:%d/%s" % (base.port, n) for n in names] + [target]
            end_watch = base.watch()
            status, took, output = run_program(emulator + [args.webcopy] + words, work, env)
            end_watch()
            print("webcopy   ended after %.1f s with status %s" % (took, status), flush=True)
            if status is None:
                problems.append("nolt-webcopy did not end within %d s" % RUN_TIMEOUT)
            elif status == 0:
                problems.append("nolt-webcopy reported success for stalled transfers")
            judge("webcopy", base.seen, took, ["/" + n for n in names], problems)
            got = os.path.join(target, "good.dat")
            if not os.path.exists(got) or open(got, "rb").read() != good:
                problems.append("nolt-webcopy: the good file after the stalls did not arrive")
            if status is not None and "12002" not in output and "timed out" not in output.lower():
                problems.append("nolt-webcopy said nothing of the timeouts:\n" + output)
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)
    for p in problems:
        print("FAULT: " + p, flush=True)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
