#!/usr/bin/env python3
"""Drives ui_probe through the X display as a user would, with xdotool.

Usage: drive_ui.py SCENARIO [EMULATOR...] PROBE
Scenarios:
  login-ok   click into the user name field, type it, Tab, type the password, Enter:
             the prompt returns true with exactly what was typed
  login-esc  type into both fields, then Esc: false, the caller's values unchanged
  cancel     click Cancel during an endless transfer: OnCopyCancel fires with the
             component as Sender, Cancelled is set, the dialog is hidden, Execute returns
Exit status 0 when the scenario holds, 77 when there is no display, 1 otherwise.
"""
import os
import queue
import subprocess
import sys
import threading
import time

TIMEOUT = 60


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def xdo(*args, check=True):
    r = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30)
    if check and r.returncode != 0:
        fail("xdotool %s: %s" % (" ".join(args), r.stderr.strip()))
    return r


class Probe:
    def __init__(self, command):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=sys.stderr, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.strip())
        self.lines.put(None)

    def expect(self, prefix):
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            try:
                line = self.lines.get(timeout=1)
            except queue.Empty:
                continue
            if line is None:
                fail("the probe ended before printing %r" % prefix)
            print("probe:", line)
            if line.startswith("skip"):
                sys.exit(77)
            if line.startswith("error"):
                fail(line)
            if line.startswith(prefix):
                return line
        fail("no %r from the probe in time" % prefix)

    def finish(self):
        try:
            self.proc.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            fail("the probe did not end")
        if self.proc.returncode != 0:
            fail("the probe exited with %d" % self.proc.returncode)


def point(line):
    _, x, y = line.split()
    return x, y


def hexed(text):
    return text.encode("latin-1").hex() or "-"


def login(command, press):
    caption = "Connect to probe.example"
    probe = Probe(command + ["login", caption])
    x, y = point(probe.expect("at "))
    time.sleep(0.5)
    xdo("mousemove", x, y, "click", "1")
    time.sleep(0.3)
    user, password = "anna.b", "s3cr t*pw"
    xdo("type", "--delay", "40", user)
    xdo("key", "Tab")
    xdo("type", "--delay", "40", password)
    time.sleep(0.3)
    xdo("key", press)
    result = probe.expect("result=")
    probe.finish()
    if press == "Return":
        want = "result=1 user=%s password=%s" % (hexed(user), hexed(password))
    else:
        want = "result=0 user=%s password=%s" % (hexed("old-user"), hexed("old-password"))
    if result != want:
        fail("got %r, want %r" % (result, want))


def cancel(command):
    probe = Probe(command + ["cancel"])
    x, y = point(probe.expect("at "))
    time.sleep(0.5)
    xdo("mousemove", x, y, "click", "1")
    probe.expect("noticed")
    # The dialog is no longer on screen while the run is still going.
    visible = xdo("search", "--onlyvisible", "--name", "^CancelProbe", check=False)
    if visible.stdout.strip():
        fail("the dialog is still visible after Cancel")
    probe.proc.stdin.write("go\n")
    probe.proc.stdin.flush()
    result = probe.expect("fired=")
    probe.finish()
    if result != "fired=1 sender=1 cancelled=1 hidden=1":
        fail("got %r" % result)


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    if not os.environ.get("DISPLAY"):
        print("skipped: no X display (run under xvfb-run)")
        return 77
    scenario, command = sys.argv[1], sys.argv[2:]
    if scenario == "login-ok":
        login(command, "Return")
    elif scenario == "login-esc":
        login(command, "Escape")
    elif scenario == "cancel":
        cancel(command)
    else:
        print(__doc__)
        return 2
    print("PASS", scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
