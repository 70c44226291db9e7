#!/usr/bin/env python3
"""The updater's demo, run by scripts/demo once the programs are built.

Makes a demo release with nolt-mkpatch, an installation of the previous version
(one file current, one changed, two missing, a stale noltpatch.exe), serves the
release at the default base URL (http://127.0.0.1:8642/downloads/), runs the
updater in the installation (with its window where a display exists), prints what
changed and exits 0 when the installation matches the release.

Usage: demo.py BINDIR [--wine LOADER...] [--screenshot FILE]
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SERVER = os.path.join(ROOT, "tests", "support", "nolt_http_server.py")
PORT = 8642


def digest(path):
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def files_below(top):
    out = []
    for dirpath, _, names in os.walk(top):
        for n in names:
            out.append(os.path.relpath(os.path.join(dirpath, n), top))
    return sorted(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bindir")
    ap.add_argument("--exe-suffix", default="")
    ap.add_argument("--wine", nargs="*", default=[], help="loader command for Windows programs")
    ap.add_argument("--screenshot", help="take a screenshot of the package dialog into this PNG")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "demo"))
    args = ap.parse_args()

    def prog(name):
        return os.path.join(args.bindir, name + args.exe_suffix)

    def run(cmd, **kw):
        return subprocess.run(args.wine + cmd, **kw)

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    release, www, install = (os.path.join(work, d) for d in ("release", "www", "install"))
    downloads = os.path.join(www, "downloads")
    os.makedirs(downloads)

    # The new version.
    pomr = open(prog("pomr-demo"), "rb").read()
    big = (b"POMR library, version 2.\n" * 40000) + os.urandom(1 << 20)
    new = {
        "pomr.exe": pomr,
        "pomr.dll": big,
        "lang/de.dll": b"Deutsch, version 2\n" * 1000,
        "help/readme.txt": b"POMR 2.0\r\nWhat is new: everything.\r\n",
    }
    for name, data in new.items():
        write(os.path.join(release, name), data)
    print("== making the release with nolt-mkpatch")
    r = run([prog("nolt-mkpatch"), release, downloads])
    if r.returncode != 0:
        sys.exit("nolt-mkpatch failed")

    # The installed, older version: help/readme.txt current, pomr.dll changed,
    # lang/de.dll and pomr.exe missing, a stale patch program.
    write(os.path.join(install, "help/readme.txt"), new["help/readme.txt"])
    write(os.path.join(install, "pomr.dll"), b"POMR library, version 1.\n" * 30000)
    write(os.path.join(install, "noltpatch.exe"), b"stale patch program")
    shutil.copy(prog("nolt-patch-setup"), install)
    before = {n: digest(os.path.join(install, n)) for n in files_below(install)}

    # The release at the default base URL.
    rules = os.path.join(work, "rules.json")
    with open(rules, "w") as f:
        # For the screenshot the packages come slowly, so the dialog can be seen.
        f.write('{"/downloads/pomr.dll.cab": {"slow": "0.08"}}' if args.screenshot else "{}")
    port_file = os.path.join(work, "port")
    server = subprocess.Popen([sys.executable, SERVER, "--root", www, "--port", str(PORT), "--port-file", port_file,
                               "--log", os.path.join(work, "requests.jsonl"), "--rules", rules],
                              stdout=subprocess.DEVNULL)
    try:
        for _ in range(300):
            if os.path.exists(port_file) or server.poll() is not None:
                break
            time.sleep(0.05)
        if not os.path.exists(port_file):
            sys.exit("the demo server did not start (is port %d in use?)" % PORT)
        print("== serving the release at http://127.0.0.1:%d/downloads/" % PORT)

        shown = "with its window" if os.environ.get("DISPLAY") else "headless (no display)"
        print("== running the updater in %s, %s" % (install, shown))
        updater = subprocess.Popen(args.wine + [os.path.join(install, os.path.basename(prog("nolt-patch-setup")))],
                                   cwd=install)
        if args.screenshot:
            take_screenshot(args.screenshot, updater)
        try:
            code = updater.wait(timeout=300)
        except subprocess.TimeoutExpired:
            updater.kill()
            sys.exit("the updater did not finish")
        print("== the updater exited with status %d" % code)
        requested = []
        with open(os.path.join(work, "requests.jsonl")) as f:
            import json
            requested = [json.loads(line)["path"] for line in f if line.strip()]
        print("requests:", ", ".join(requested))
    finally:
        try:
            urllib.request.urlopen("http://127.0.0.1:%d/_quit" % PORT, timeout=5).read()
        except Exception:
            pass
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()

    # pomr.exe is started and not waited for: give it a moment to leave its note.
    note = os.path.join(install, "pomr-started.txt")
    for _ in range(100):
        if os.path.exists(note):
            break
        time.sleep(0.05)

    print("== what changed in the installation")
    ok = code == 0
    after = {n: digest(os.path.join(install, n)) for n in files_below(install)}
    for name in sorted(set(before) | set(after)):
        b, a = before.get(name), after.get(name)
        if b == a:
            state = "unchanged"
        elif b is None:
            state = "installed"
        elif a is None:
            state = "removed"
        else:
            state = "updated"
        print("  %-24s %s" % (name, state))
    for name, data in new.items():
        if after.get(name) != hashlib.sha256(data).hexdigest():
            print("MISMATCH: %s is not the release's version" % name)
            ok = False
    if "noltpatch.exe" in after:
        print("MISMATCH: the stale noltpatch.exe is still there")
        ok = False
    if any(n.endswith(".cab") for n in after):
        print("MISMATCH: a package was left behind")
        ok = False
    if os.path.exists(note):
        print("pomr.exe was started: " + open(note).read().strip())
    else:
        print("MISMATCH: pomr.exe did not start")
        ok = False
    print("== the installation %s the release" % ("matches" if ok else "DOES NOT match"))
    return 0 if ok else 1


def take_screenshot(path, updater):
    """Waits for the package dialog, then photographs the screen."""
    deadline = time.time() + 60
    while time.time() < deadline and updater.poll() is None:
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "Downloade"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if r.stdout.strip():
            time.sleep(2.5)  # let the bar and the lines move
            geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", r.stdout.split()[0]],
                                 stdout=subprocess.PIPE, text=True).stdout
            # The screen around the dialog: the whole screen, cut to the dialog with a margin.
            subprocess.run(["import", "-window", "root", path], check=False)
            g = dict(line.split("=", 1) for line in geo.split() if "=" in line)
            if all(k in g for k in ("X", "Y", "WIDTH", "HEIGHT")):
                x, y = max(0, int(g["X"]) - 40), max(0, int(g["Y"]) - 70)
                crop = "%dx%d+%d+%d" % (int(g["WIDTH"]) + 80, int(g["HEIGHT"]) + 110, x, y)
                subprocess.run(["convert", path, "-crop", crop, "+repage", path], check=False)
            print("== screenshot of the package dialog: %s" % path)
            return
        time.sleep(0.1)
    print("note: the package dialog did not appear for the screenshot")


if __name__ == "__main__":
    sys.exit(main())
