#!/usr/bin/env python3
"""The built updater, cancelled by a click on its dialog's Cancel button.

Usage:
    cancel_test.py UPDATER MKPATCH POMR BASE_URL [EMULATOR...]

UPDATER, MKPATCH and POMR are the built nolt-patch-setup, nolt-mkpatch and
pomr-demo; BASE_URL is the download base URL compiled into the updater; the
EMULATOR words (for the Windows build: the Wine runner) are put before every
program that is run.

A release of a.dll, b.dll, c.dll and pomr.exe is packed with nolt-mkpatch and
served by the HTTP test server on the base URL's port. The installation holds an
old a.dll and b.dll, no c.dll, a current pomr.exe (the demo program, which leaves
pomr-started.txt beside itself) and a stale noltpatch.exe, so three packages are
fetched in this order: a.dll.cab, b.dll.cab, c.dll.cab. The server sends
b.dll.cab slowly. Once its request has arrived and the German progress dialog is
on screen, the driver clicks the dialog's Cancel button through the X server,
as a user would, and then checks that
  - the updater ends by itself with status 1: the installation does not match
    the manifest, as b.dll and c.dll were not updated;
  - a.dll is the new version and its package is gone;
  - b.dll is still the old one, c.dll is still missing, and c.dll.cab was never
    requested;
  - nothing else is left in the installation: no package, no temporary file;
  - noltpatch.exe is deleted and pomr.exe has been started.

Exit status 0 when all of this holds, 77 when there is no X display or no
xdotool, 1 otherwise.
"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "support", "nolt_http_server.py")

# Generous limits for a loaded machine; when things go right every wait ends early.
START_TIMEOUT = 180      # updater start until the dialog shows the second package
EXIT_TIMEOUT = 120       # click until the updater has ended
CLICK_RETRY = 20       # a click that leaves the dialog on screen this long is repeated
MAX_CLICKS = 3
NOTE_TIMEOUT = 60        # updater's end until pomr.exe has left its note

# The progress dialog of the package run: caption while a package is fetched, and
# its Cancel button (client area position and size, with the time line shown).
DIALOG_TITLE = "Downloade ..."
CANCEL_LEFT, CANCEL_TOP, CANCEL_WIDTH, CANCEL_HEIGHT = 215, 160, 75, 25
DIALOG_OUTER_WIDTH = 300

# b.dll does not compress, so its package is as large as the file: 256 pieces of
# 16384 bytes at 0.2 seconds each take about 50 seconds to send, far longer than
# the driver needs to click.
SLOW_SIZE = 4 * 1024 * 1024
SLOW_PIECE_SECONDS = "0.2"


class Failure(Exception):
    pass


def say(*args):
    print(*args, flush=True)


def xdo(*args, check=True):
    r = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=60)
    if check and r.returncode != 0:
        raise Failure("xdotool %s: %s" % (" ".join(args), r.stderr.strip()))
    return r


class Target:
    """How the programs of the build under test are run and how they see paths."""

    def __init__(self, emulator):
        self.emulator = emulator

    def run_args(self, program, *args):
        return [*self.emulator, program, *args]

    def path(self, p):
        # The Windows programs run under Wine see the Linux file system as drive Z:.
        p = os.path.abspath(p)
        return "Z:" + p.replace("/", "\\") if self.emulator else p


class Server:
    """The HTTP test server on the fixed port of the base URL, with its request log."""

    def __init__(self, work, root, port, rules):
        self.log = os.path.join(work, "requests.jsonl")
        self.port_file = os.path.join(work, "port.txt")
        self.port = port
        self.proc = None
        # Another program may still hold the port for a moment (a server of an earlier
        # test winding down): try again for a while before giving up.
        deadline = time.monotonic() + 180
        while True:
            proc = subprocess.Popen([sys.executable, SERVER, "--root", root, "--log", self.log, "--rules", rules,
                                     "--port", str(port), "--port-file", self.port_file],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            while proc.poll() is None and not os.path.exists(self.port_file):
                time.sleep(0.05)
            if proc.poll() is None:
                self.proc = proc
                return
            err = proc.stderr.read().decode(errors="replace").strip().splitlines()
            if time.monotonic() > deadline:
                raise Failure("the HTTP test server could not listen on port %d: %s" % (port, err[-1:] or "?"))
            time.sleep(1)

    def requests(self):
        """(method, path) of every request logged so far."""
        found = []
        try:
            with open(self.log, encoding="utf-8") as f:
                for line in f:
                    if line.endswith("\n"):  # a line still being written is read next time
                        r = json.loads(line)
                        found.append((r["method"], urllib.parse.unquote(r["path"])))
        except FileNotFoundError:
            pass
        return found

    def stop(self):
        if not self.proc:
            return
        try:
            urllib.request.urlopen("http://127.0.0.1:%d/_quit" % self.port, timeout=10).read()
            self.proc.wait(timeout=10)
        except Exception:  # noqa: BLE001 - whatever went wrong, the server must go
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()


def pack_release(target, mkpatch, release, out):
    r = subprocess.run(target.run_args(mkpatch, target.path(release), target.path(out)),
                       capture_output=True, text=True, timeout=600)
    if r.returncode != 0:
        raise Failure("nolt-mkpatch failed (%d): %s %s" % (r.returncode, r.stdout, r.stderr))


def visible_dialogs():
    r = xdo("search", "--onlyvisible", "--name", "^%s$" % DIALOG_TITLE.replace(".", "\\."), check=False)
    return r.stdout.split()


def visible_window_names():
    """The titles of the windows on screen, to tell what keeps a program open."""
    names = []
    for window in xdo("search", "--onlyvisible", "--name", ".", check=False).stdout.split():
        names.append(xdo("getwindowname", window, check=False).stdout.strip())
    return names


def cancel_button_centre(window):
    """Screen position of the Cancel button's centre in the dialog window."""
    geometry = {}
    for line in xdo("getwindowgeometry", "--shell", window).stdout.splitlines():
        key, _, value = line.partition("=")
        geometry[key] = int(value) if value.lstrip("-").isdigit() else value
    x, y, width, height = geometry["X"], geometry["Y"], geometry["WIDTH"], geometry["HEIGHT"]
    # The X window is the dialog's client area on both targets: FLTK's window and
    # Wine's alike, the frame being left to a window manager (none under Xvfb).
    if width >= DIALOG_OUTER_WIDTH:
        raise Failure("dialog window %s is %dx%d: not its client area" % (window, width, height))
    say("dialog window %s at %d,%d size %dx%d" % (window, x, y, width, height))
    return x + CANCEL_LEFT + CANCEL_WIDTH // 2, y + CANCEL_TOP + CANCEL_HEIGHT // 2


def wait_for(what, timeout, condition, updater=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        if updater is not None and updater.poll() is not None:
            raise Failure("the updater ended (status %d) before %s" % (updater.returncode, what))
        time.sleep(0.1)
    raise Failure("no %s within %d seconds" % (what, timeout))


def check(condition, message, problems):
    if not condition:
        problems.append(message)
        say("FAIL:", message)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(work, updater_built, mkpatch, pomr_built, base_url, target):
    parts = urllib.parse.urlsplit(base_url)
    port = parts.port or 80
    base_path = parts.path  # "/downloads/"

    # The new version.
    release = os.path.join(work, "release")
    os.makedirs(release)
    new = {
        "a.dll": b"a.dll, version 2\r\n" * 100,
        "b.dll": random.Random(6).randbytes(SLOW_SIZE),
        "c.dll": b"c.dll, version 2\r\n" * 100,
        "pomr.exe": read(pomr_built),
    }
    for name, data in new.items():
        with open(os.path.join(release, name), "wb") as f:
            f.write(data)
    root = os.path.join(work, "www")
    downloads = os.path.join(root, base_path.strip("/"))
    os.makedirs(downloads)
    t = time.monotonic()
    pack_release(target, mkpatch, release, downloads)
    say("release packed in %.1f s" % (time.monotonic() - t))
    names = [line.split(":")[0] for line in read(os.path.join(downloads, "nolt-patch-updater.txt")).decode()
             .splitlines() if line.strip()]
    if names != ["a.dll", "b.dll", "c.dll", "pomr.exe"]:
        raise Failure("unexpected manifest: %r" % names)

    # The installation: old a.dll and b.dll, no c.dll, the current pomr.exe.
    install = os.path.join(work, "install")
    os.makedirs(install)
    updater = os.path.join(install, os.path.basename(updater_built))
    shutil.copy2(updater_built, updater)
    shutil.copy2(pomr_built, os.path.join(install, "pomr.exe"))
    old = {"a.dll": b"a.dll, version 1\r\n", "b.dll": b"b.dll, version 1\r\n", "noltpatch.exe": b"stale patch"}
    for name, data in old.items():
        with open(os.path.join(install, name), "wb") as f:
            f.write(data)

    rules = os.path.join(work, "rules.json")
    with open(rules, "w", encoding="utf-8") as f:
        json.dump({base_path + "b.dll.cab": {"slow": SLOW_PIECE_SECONDS}}, f)

    t = time.monotonic()
    server = Server(work, root, port, rules)
    say("server listening on port %d after %.1f s" % (port, time.monotonic() - t))
    output = open(os.path.join(work, "updater.out"), "wb")
    proc = None
    problems = []
    try:
        started = time.monotonic()
        proc = subprocess.Popen(target.run_args(updater), cwd=install, stdout=output, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        slow_request = ("GET", base_path + "b.dll.cab")
        wait_for("request for b.dll.cab", START_TIMEOUT, lambda: slow_request in server.requests(), proc)
        wait_for("visible dialog %r" % DIALOG_TITLE, START_TIMEOUT, visible_dialogs, proc)
        say("b.dll.cab requested and dialog up after %.1f s" % (time.monotonic() - started))

        # Click Cancel; a click that reached the window before it took input is
        # repeated, as long as the dialog is still on screen and the run still going.
        clicks = 0
        deadline = time.monotonic() + EXIT_TIMEOUT
        while proc.poll() is None and time.monotonic() < deadline:
            dialogs = visible_dialogs()
            if dialogs and clicks < MAX_CLICKS:
                x, y = cancel_button_centre(dialogs[0])
                xdo("mousemove", "--sync", str(x), str(y))
                xdo("click", "1")
                clicks += 1
                say("clicked Cancel at %d,%d (click %d)" % (x, y, clicks))
                clicked = time.monotonic()
                while proc.poll() is None and visible_dialogs() and time.monotonic() < clicked + CLICK_RETRY:
                    time.sleep(0.1)
                if not visible_dialogs():
                    say("dialog gone %.1f s after the click" % (time.monotonic() - clicked))
            else:
                time.sleep(0.1)
        if proc.poll() is None:
            raise Failure("the updater did not end within %d seconds of the click; windows on screen: %r; "
                          "requests: %r" % (EXIT_TIMEOUT, visible_window_names(), server.requests()))
        say("updater ended with status %d, %.1f s after the start, after %d click(s)"
            % (proc.returncode, time.monotonic() - started, clicks))
        check(clicks == 1, "the first click on Cancel was not taken (%d clicks)" % clicks, problems)
        check(proc.returncode == 1, "exit status %d, want 1 (the update was cancelled)" % proc.returncode, problems)

        got = [(m, p) for m, p in server.requests()]
        want = [("GET", base_path + n) for n in ("nolt-patch-updater.txt", "a.dll.cab", "b.dll.cab")]
        check(got == want, "requests %r, want %r" % (got, want), problems)

        check(read(os.path.join(install, "a.dll")) == new["a.dll"], "a.dll is not the new version", problems)
        check(read(os.path.join(install, "b.dll")) == old["b.dll"], "b.dll is not the old version", problems)
        check(not os.path.exists(os.path.join(install, "c.dll")), "c.dll was installed", problems)
        check(not os.path.exists(os.path.join(install, "noltpatch.exe")), "noltpatch.exe is still there", problems)
        check(read(os.path.join(install, "pomr.exe")) == new["pomr.exe"], "pomr.exe changed", problems)

        note = os.path.join(install, "pomr-started.txt")
        try:
            wait_for("pomr-started.txt", NOTE_TIMEOUT, lambda: os.path.exists(note))
        except Failure as e:
            check(False, "pomr.exe was not started: %s" % e, problems)
        # Every package and every temporary file is gone. The cancelled download may
        # be kept in the staging folder, as its beginning and record only, for the next
        # run to continue.
        expected = {os.path.basename(updater), "nolt-patch-updater.txt", "a.dll", "b.dll", "pomr.exe",
                    "pomr-started.txt"}
        left = sorted(set(os.listdir(install)) - expected)
        staging = os.path.join(install, ".nolt-packages")
        if ".nolt-packages" in left:
            kept = sorted(os.listdir(staging))
            check(all(n.startswith("b.dll-") and n.endswith((".cab.partial", ".cab.resume")) for n in kept),
                  "the staging folder holds more than the kept beginning of b.dll: %r" % kept, problems)
            left.remove(".nolt-packages")
        check(not left, "left behind in the installation: %r" % left, problems)
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        output.close()
        server.stop()
        if problems:
            with open(os.path.join(work, "updater.out"), "rb") as f:
                text = f.read().decode(errors="replace").strip()
            if text:
                say("updater output:\n" + text)
    if problems:
        raise Failure("%d check(s) failed" % len(problems))


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    if not os.environ.get("DISPLAY"):
        say("skipped: no X display (run under xvfb-run)")
        return 77
    if not shutil.which("xdotool"):
        say("skipped: xdotool is not installed")
        return 77
    updater, mkpatch, pomr, base_url = sys.argv[1:5]
    target = Target(sys.argv[5:])
    work = tempfile.mkdtemp(prefix="nolt-cancel-")
    try:
        run(work, updater, mkpatch, pomr, base_url, target)
    except Failure as e:
        say("FAIL:", e)
        return 1
    finally:
        # pomr.exe may still be finishing its note; the directory goes once it can.
        for _ in range(50):
            shutil.rmtree(work, ignore_errors=True)
            if not os.path.exists(work):
                break
            time.sleep(0.2)
    say("PASS cancel during the second of three packages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
