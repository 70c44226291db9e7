#!/usr/bin/env python3
"""Times an update run with nothing to do against reading the same files with cat.

An installation of FILES files totalling TOTAL bytes is made in a temporary
directory, with a manifest that matches every file. The manifest is served on
loopback at the port of the updater's base URL, so each run fetches it,
checksums every file and finds nothing to fetch. With the page cache warm, the
ratio (updater time / cat time) says how close the check is to reading.

Several updaters (two builds, say) are timed in the same run, in turns, over the
same installation; their base URLs must name the same port.

With --key, the release is also signed with that secret key (a file of
nolt-mkpatch keygen), by openssl: an updater built with its public key (the
tests' nolt-patch-setup-signed with tests/e2e/keys/test-release.key) then fetches
and checks the signature file on every run, and one without a key ignores it.

With --changed N and --mkpatch, the release is packed by nolt-mkpatch and the
first N files are made different before every run, so that each run fetches and
installs N packages; cat then reads the N packages and the N new files.

With --eatmydata, each round also runs every updater under eatmydata, which makes
every flush a no-op: the median ratio of the paired rounds says what durability
costs. One more run under strace counts the flushing calls (fsync, fdatasync,
sync_file_range, syncfs).

Usage: update_bench.py UPDATER [UPDATER...] [--port N] [--files N] [--total BYTES] [--runs N]
                       [--changed N --mkpatch NOLT_MKPATCH] [--key KEYFILE] [--eatmydata]
  --port: the port of the base URL compiled into the updaters; by default read
          from the CMakeCache.txt of the build beside the updater's bin/.
"""
import argparse
import hashlib
import http.server
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib


def checksum_text(data: bytes) -> str:
    crc = zlib.crc32(data) & 0xFFFFFFFF
    return "0" if crc == 0 else "%06X" % crc


def sign_release(key_file, manifest: bytes, packages, out_path):
    """Writes the signature file of a release: the manifest and the packages (name,
    bytes) stated by SHA-256 and size, signed with Ed25519 by openssl."""
    now = int(time.time())
    body = "NOLT release signature 1\nserial %d\nexpires %d\n" % (now, now + 86400)
    body += "manifest %d %s\n" % (len(manifest), hashlib.sha256(manifest).hexdigest())
    for name, size, digest in packages:
        body += "package %d %s %s\n" % (size, digest, name)
    with open(key_file) as f:
        seed = bytes.fromhex(f.read().strip())
    # The PKCS#8 form of an Ed25519 seed: a fixed prefix and the 32 bytes.
    der = bytes.fromhex("302e020100300506032b657004220420") + seed
    with tempfile.TemporaryDirectory() as tmp:
        key_der, body_file = os.path.join(tmp, "key.der"), os.path.join(tmp, "body")
        with open(key_der, "wb") as f:
            f.write(der)
        with open(body_file, "wb") as f:
            f.write(hashlib.sha256(body.encode()).digest())  # what the key signs
        sig = subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-keyform", "DER", "-inkey", key_der,
                              "-in", body_file], check=True, capture_output=True).stdout
    with open(out_path, "w", newline="") as f:
        f.write(body + "signature %s\n" % sig.hex())


def base_url_port(updaters) -> int:
    """The port of NOLT_DOWNLOAD_BASE_URL in the build of each updater (bin/../CMakeCache.txt)."""
    ports = set()
    for u in updaters:
        cache = os.path.join(os.path.dirname(os.path.abspath(u)), os.pardir, "CMakeCache.txt")
        try:
            with open(cache) as f:
                m = re.search(r"^NOLT_DOWNLOAD_BASE_URL:\w+=http://[^/:]+:(\d+)/", f.read(), re.M)
        except OSError:
            m = None
        if not m:
            sys.exit("no base URL port in %s: give --port" % cache)
        ports.add(int(m.group(1)))
    if len(ports) != 1:
        sys.exit("the updaters' base URLs name different ports: %s" % sorted(ports))
    return ports.pop()


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("updaters", nargs="+", metavar="updater")
    ap.add_argument("--port", type=int)
    ap.add_argument("--files", type=int, default=10000)
    ap.add_argument("--total", type=int, default=1 << 30)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--changed", type=int, default=0)
    ap.add_argument("--mkpatch")
    ap.add_argument("--key")
    ap.add_argument("--eatmydata", action="store_true")
    args = ap.parse_args()
    if args.eatmydata and not shutil.which("eatmydata"):
        sys.exit("--eatmydata needs eatmydata (scripts/deps installs it)")
    if args.changed and not args.mkpatch:
        sys.exit("--changed needs --mkpatch")
    if args.changed and args.key:
        sys.exit("--key signs a release with nothing to do; it does not go with --changed")
    port = args.port or base_url_port(args.updaters)

    root = tempfile.mkdtemp(prefix="nolt-update-bench-")
    try:
        install = os.path.join(root, "install")
        www = os.path.join(root, "www", "downloads")
        os.makedirs(www)
        size = args.total // args.files
        lines = []
        names = []
        signed_packages = []
        block = os.urandom(1 << 20)
        for i in range(args.files):
            name = "d%02d\\f%05d.bin" % (i % 50, i)
            path = os.path.join(install, *name.split("\\"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            # Different contents per file, cheaply: a rotating slice of one random block.
            off = (i * 7919) % (len(block) - 1)
            data = (block[off:] + block[:off])[:size] if size <= len(block) else (block * (size // len(block) + 1))[:size]
            with open(path, "wb") as f:
                f.write(data)
            lines.append("%s:%s\r\n" % (name, checksum_text(data)))
            names.append(path)
            if args.key:
                # Stands for the package's statement: the same length of line.
                signed_packages.append((name + ".cab", len(data), hashlib.sha256(data).hexdigest()))
        if args.changed:
            subprocess.run([args.mkpatch, install, www], check=True, stdout=subprocess.DEVNULL)
            with open(os.path.join(www, "nolt-patch-updater.txt"), "rb") as f:
                lines = [f.read().decode()]
        else:
            with open(os.path.join(www, "nolt-patch-updater.txt"), "w", newline="") as f:
                f.writelines(lines)
        signature_size = 0
        if args.key:
            sig_path = os.path.join(www, "nolt-patch-updater.sig")
            sign_release(args.key, "".join(lines).encode(), signed_packages, sig_path)
            signature_size = os.path.getsize(sig_path)
        changed = names[:args.changed]
        packages = [os.path.join(www, os.path.relpath(n, install) + ".cab") for n in changed]

        def make_old():
            for n in changed:
                with open(n, "wb") as f:
                    f.write(b"old")
        updaters = []
        for i, u in enumerate(args.updaters):
            updaters.append(os.path.join(install, os.path.basename(u) + (".%d" % i if i else "")))
            shutil.copy(u, updaters[-1])

        class Counter(http.server.SimpleHTTPRequestHandler):
            requests = 0

            def __init__(self, *a, **k):
                super().__init__(*a, directory=os.path.join(root, "www"), **k)

            def do_GET(self):
                # The signature file is fetched by a keyed updater only.
                if not self.path.endswith("/nolt-patch-updater.sig"):
                    Counter.requests += 1
                super().do_GET()

            def log_message(self, *a):
                pass

        handler = Counter
        server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()

        import urllib.request
        served = urllib.request.urlopen("http://127.0.0.1:%d/downloads/nolt-patch-updater.txt" % port).read()
        if served != "".join(lines).encode():
            sys.exit("port %d is served by another program: stop it first" % port)

        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)

        def run_updater(updater, prefix=()):
            make_old()
            t = time.perf_counter()
            r = subprocess.run([*prefix, updater], cwd=install, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
            dt = time.perf_counter() - t
            if r.returncode != 0:
                sys.exit("updater failed: %s" % r.stderr.decode())
            return dt

        def run_cat():
            t = time.perf_counter()
            # xargs batches the paths; cat reads every file once, as the check does.
            p = subprocess.run(["xargs", "-0", "cat"], input=b"\0".join(n.encode() for n in names + packages),
                               stdout=subprocess.DEVNULL)
            dt = time.perf_counter() - t
            if p.returncode != 0:
                sys.exit("cat failed")
            return dt

        run_cat()
        for updater in updaters:
            run_updater(updater)  # warm the page cache and check that nothing is fetched
        requests_before = Counter.requests
        if any(f.endswith(".cab") or f.startswith(".nolt") for _, _, fs in os.walk(install) for f in fs):
            sys.exit("the updater left a package or a temporary file behind")
        u, c = [[] for _ in updaters], []
        nosync = [[] for _ in updaters]
        for _ in range(args.runs):
            for i, updater in enumerate(updaters):
                u[i].append(run_updater(updater))
                if args.eatmydata:
                    nosync[i].append(run_updater(updater, ("eatmydata",)))
            c.append(run_cat())
        flushes = []
        if args.eatmydata:
            for updater in updaters:
                with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
                    run_updater(updater, ("strace", "-f", "-c", "-o", out.name,
                                          "-e", "trace=fsync,fdatasync,sync_file_range,syncfs"))
                    calls = {m.group(2): int(m.group(1)) for m in
                             re.finditer(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$",
                                         out.read(), re.M)}
                    calls.pop("total", None)
                    flushes.append(calls)
        server.shutdown()
        updater_runs = args.runs * len(updaters) * (2 if args.eatmydata else 1) + (len(updaters) if args.eatmydata else 0)
        expected = updater_runs * (1 + args.changed)
        if Counter.requests - requests_before != expected:
            sys.exit("expected one manifest request per run, got %d for %d runs"
                     % (Counter.requests - requests_before, expected))
        mc = statistics.median(c)
        print("files %d, total %.1f MiB, runs %d, port %d" % (args.files, size * args.files / 2**20, args.runs, port))
        if args.key:
            print("signature file: %d bytes" % signature_size)
        for i, (name, times) in enumerate(zip(args.updaters, u)):
            mu = statistics.median(times)
            print("updater %s (%s): median %.3f s  (min %.3f)  ratio to cat %.2f"
                  % (name, "%d packages" % args.changed if args.changed else "nothing to do", mu, min(times), mu / mc))
            if args.eatmydata:
                ratios = [d / n for d, n in zip(times, nosync[i])]
                print("  under eatmydata (no flush): median %.3f s; durable / no flush, median of %d paired rounds: "
                      "%.2f" % (statistics.median(nosync[i]), len(ratios), statistics.median(ratios)))
                print("  flushing calls of one run: %s (total %d)"
                      % (", ".join("%s %d" % kv for kv in sorted(flushes[i].items())) or "none",
                         sum(flushes[i].values())))
        print("cat of the same files: median %.3f s  (min %.3f)" % (mc, min(c)))
        return 0
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
