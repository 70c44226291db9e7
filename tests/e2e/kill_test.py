#!/usr/bin/env python3
"""The updater killed at many moments of an update: never a half-written installed file.

Makes a release with nolt-mkpatch (one large file of mixed random and repetitive
data, whose unpacking takes a while, and several small ones, one in a
subdirectory, one new, one unchanged), serves it with the HTTP test server on the
port of the download base URL, and then, for every kill run:

  1. resets an installation directory to the old version (the updater, the old
     files, an old manifest);
  2. starts the updater there and sends it SIGKILL at one chosen moment: a time
     after the start, a point of the large package's download, a number of bytes
     of the large file's unpacking, or a delay after that file was complete
     (around its rename, the package's deletion and the small packages after it);
  3. checks what the kill left: every installed file is byte for byte its old or
     its new version (a new file may be absent); in the updater's staging folder a
     package is the complete package and a kept beginning is a beginning of it;
     everything else is a temporary file of the updater's own naming;
  4. runs the updater again to its end and checks that it completes the update:
     every file new, and nothing else left: no temporary file, no package, no
     staging folder.

Moments are found by watching the installation directory: a package grows as a
kept beginning in the staging folder and appears there under its staged name when
its download ends, and the large file's entry grows in a temporary file beside it
while it is unpacked. After every kill the test records where it landed and what
the temporary files hold, and prints a summary.

Then two runs on resuming, with the large package served slowly: a kill half way
through its download, after which the next run asks for the rest only (a Range
request, seen in the server's log, answered 206 with the rest of the bytes); and
the same kill followed by a new release on the server, after which the next run
drops the old beginning, asks for the whole new package without a Range (200) and
installs the new version.

With --sign KEY the release is signed with that key (for an updater built with its
public key); the signature file and the record of accepted releases then count among
the installed files, each old or new like any other.

Usage:
    kill_test.py --updater PROG --mkpatch PROG --server nolt_http_server.py
                 --base-url URL [--emulator "CMD ARGS"] [--runs N] [--big-mb N]
                 [--sign KEY] [--work DIR] [--keep]

With --emulator (a Windows build under Wine) the programs are started through it;
the Wine process that runs the updater is the one killed.
"""

import argparse
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
from collections import Counter

MANIFEST = "nolt-patch-updater.txt"
SIGNATURE = "nolt-patch-updater.sig"
RECORD = "nolt-patch-updater.serial"
BIG = "big.dat"
STAGING = ".nolt-packages"

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nolt_staging import identity, staged_name  # noqa: E402


def die(text):
    print("kill_test: " + text, file=sys.stderr, flush=True)
    sys.exit(1)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            h.update(block)
    return h.hexdigest()


def mixed_data(seed, size):
    """Blocks of random bytes and of repeated text, so the package is neither
    stored nor tiny and unpacking does real decompression work."""
    r = random.Random(seed)
    text = b"".join(b"line %06d of build %d: nothing to see here, move along\n" % (i, seed) for i in range(1400))
    out = bytearray()
    while len(out) < size:
        if r.random() < 0.45:
            out += r.randbytes(65536)
        else:
            start = r.randrange(0, len(text) - 65536)
            out += text[start:start + 65536]
    return bytes(out[:size])


# ---- the release and the old installation ----------------------------------

class Release:
    """Old and new bytes of every file, and the packages as served."""

    def __init__(self, big_mb):
        big = mixed_data(2, big_mb << 20)
        self.new = {
            "a.dll": b"a, version 2\n" * 300,
            BIG: big,
            "c.dll": b"c, version 2\n" * 40,
            "new.dll": b"a file the old version did not have\n",
            "same.dll": b"unchanged between the versions\n" * 20,
            "sub/d.dll": b"d in a subdirectory, version 2\n" * 100,
            "z.dll": b"z, version 2\n" * 500,
        }
        self.old = {
            "a.dll": b"a, version 1\n" * 10,
            BIG: mixed_data(1, (big_mb << 20) // 4),
            "c.dll": b"c, version 1\n",
            "same.dll": self.new["same.dll"],
            "sub/d.dll": b"d in a subdirectory, version 1\n",
            "z.dll": b"z, version 1\n" * 7,
            MANIFEST: b"a.dll:0\r\nbig.dat:0\r\n",
        }
        self.new_digest = {n: digest(b) for n, b in self.new.items()}
        self.old_digest = {n: digest(b) for n, b in self.old.items()}
        self.packages = {}  # "name.cab" (with '/') -> digest of the served package
        self.package_bytes = {}  # the same, for the prefix tests of partial downloads

    def write(self, root, files):
        for name, data in files.items():
            path = os.path.join(root, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)


# ---- the HTTP test server on the base URL's port ------------------------------

class Server:
    def __init__(self, script, root, port, log_dir):
        self.log = os.path.join(log_dir, "server-log.jsonl")
        self.answers = os.path.join(log_dir, "server-answers.jsonl")
        self.rules = os.path.join(log_dir, "server-rules.json")
        self.set_rules({})
        self.proc = None
        self.lease = None
        self.waited = False
        port_file = os.path.join(log_dir, "port.txt")
        stderr = open(os.path.join(log_dir, "server-stderr.txt"), "ab")
        # Another test may hold the fixed port for a while: wait for it.
        deadline = time.monotonic() + 300
        while True:
            if os.path.exists(port_file):
                os.remove(port_file)
            self.proc = subprocess.Popen(
                [sys.executable, script, "--root", root, "--port", str(port), "--port-file", port_file,
                 "--lease", "--log", self.log, "--answer-log", self.answers, "--rules", self.rules],
                stdout=subprocess.DEVNULL, stderr=stderr)
            while self.proc.poll() is None and not os.path.exists(port_file):
                time.sleep(0.05)
            if self.proc.poll() is None:
                break
            if time.monotonic() > deadline:
                die("the HTTP test server could not listen on port %d" % port)
            if not self.waited:
                print("port %d is busy; waiting for it" % port, flush=True)
                self.waited = True
            time.sleep(1)
        self.lease = socket.create_connection(("127.0.0.1", port))
        self.lease.sendall(b"GET /_lease HTTP/1.1\r\nHost: lease\r\n\r\n")

    def set_rules(self, rules):
        with open(self.rules + ".new", "w") as f:
            json.dump(rules, f)
        os.replace(self.rules + ".new", self.rules)

    def last(self, path, answers=False):
        """The last request (or answer) the server logged for a path."""
        found = None
        try:
            with open(self.answers if answers else self.log) as f:
                for line in f:
                    record = json.loads(line)
                    if record.get("path") == path:
                        found = record
        except FileNotFoundError:
            pass
        return found

    def stop(self):
        if self.lease:
            self.lease.close()  # the server ends when its lease closes
        if self.proc:
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# ---- the test ---------------------------------------------------------------

class KillTest:
    def __init__(self, args):
        self.args = args
        self.emulator = shlex.split(args.emulator) if args.emulator else []
        self.windows = bool(self.emulator) or args.updater.lower().endswith(".exe")
        self.exe_name = os.path.basename(args.updater)
        # The updater's own temporary files: a download and an entry being unpacked.
        self.temp_pattern = re.compile(r"^\.nolt-[A-Za-z0-9]{6}\.tmp$")
        self.env = dict(os.environ)
        if not self.windows:
            # Headless: no window system for the native program.
            self.env.pop("DISPLAY", None)
            self.env.pop("WAYLAND_DISPLAY", None)
        self.failures = []
        self.records = []

    # -- set-up

    def prepare(self, work):
        self.work = work
        self.release = Release(self.args.big_mb)
        rel_dir = os.path.join(work, "release")
        self.release.write(rel_dir, self.release.new)
        url = urllib.parse.urlsplit(self.args.base_url)
        self.port = url.port or 80
        serve_root = os.path.join(work, "serve")
        out_dir = os.path.join(serve_root, *[p for p in url.path.split("/") if p])
        os.makedirs(out_dir)
        r = subprocess.run(self.emulator + [self.args.mkpatch] + self.signing(100) + [rel_dir, out_dir],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env, timeout=600)
        if r.returncode != 0:
            die("nolt-mkpatch failed:\n" + r.stdout.decode(errors="replace"))
        for dirpath, _, names in os.walk(out_dir):
            for n in names:
                rel = os.path.relpath(os.path.join(dirpath, n), out_dir).replace(os.sep, "/")
                with open(os.path.join(dirpath, n), "rb") as f:
                    data = f.read()
                if rel in (MANIFEST, SIGNATURE):
                    self.release.new[rel] = data
                    self.release.new_digest[rel] = digest(data)
                else:
                    self.release.packages[rel] = digest(data)
                    self.release.package_bytes[rel] = data
        if self.args.sign:
            self.release.new[RECORD] = b"100\n"
            self.release.new_digest[RECORD] = digest(b"100\n")
        if MANIFEST not in self.release.new or BIG + ".cab" not in self.release.packages:
            die("nolt-mkpatch made no manifest or no package of " + BIG)
        self.big_size = len(self.release.new[BIG])
        self.cab_size = len(self.release.package_bytes[BIG + ".cab"])
        self.big_path = url.path + BIG + ".cab"
        self.serve_dir = out_dir
        self.inst = os.path.join(work, "install")
        self.staging = os.path.join(self.inst, STAGING)
        self.name_staged()
        self.updater = os.path.join(self.inst, self.exe_name)
        self.updater_digest = file_digest(self.args.updater)
        self.server = Server(self.args.server, serve_root, self.port, work)

    def signing(self, serial):
        """The options of nolt-mkpatch that sign a release with this serial, if any."""
        return ["--sign", self.args.sign, "--serial", str(serial)] if self.args.sign else []

    def staged_of(self, package):
        """The staged name of a package ("sub/d.dll.cab") of the current release."""
        entry = package[:-4].replace("/", "\\")
        return staged_name(entry, identity(entry, self.release.new[MANIFEST], self.release.new.get(SIGNATURE)))

    def name_staged(self):
        self.big_staged = self.staged_of(BIG + ".cab")
        self.staged = {self.staged_of(rel): rel for rel in self.release.packages}

    def reset(self):
        if os.path.isdir(self.inst):
            shutil.rmtree(self.inst)
        os.makedirs(self.inst)
        shutil.copy2(self.args.updater, self.updater)
        self.release.write(self.inst, self.release.old)

    def start(self, log):
        return subprocess.Popen(self.emulator + [self.updater], cwd=self.inst, env=self.env,
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    # -- watching the installation

    def scan_top(self):
        """Names and sizes in the installation directory (not recursive)."""
        found = {}
        try:
            with os.scandir(self.inst) as it:
                for e in it:
                    try:
                        st = e.stat(follow_symlinks=False)
                        found[e.name] = (st.st_size, (st.st_ino, st.st_mtime_ns))
                    except FileNotFoundError:
                        pass
        except FileNotFoundError:
            pass
        return found

    def scan_staging(self):
        """Names and sizes in the staging folder."""
        found = {}
        try:
            with os.scandir(self.staging) as it:
                for e in it:
                    try:
                        found[e.name] = e.stat(follow_symlinks=False).st_size
                    except FileNotFoundError:
                        pass
        except FileNotFoundError:
            pass
        return found

    def run_to_kill(self, kind, value, log):
        """Runs the updater and kills it at the moment described by (kind, value).
        Returns (killed, seconds after start, exit status)."""
        st = os.stat(os.path.join(self.inst, BIG))
        big_id = (st.st_ino, st.st_mtime_ns)
        t0 = time.monotonic()
        proc = self.start(log)
        complete_at = None
        seen_package = False
        deadline = t0 + 300
        while True:
            if proc.poll() is not None:
                return False, time.monotonic() - t0, proc.returncode
            now = time.monotonic()
            if now > deadline:
                proc.kill()
                proc.wait()
                die("the updater neither ended nor reached the kill moment in 300 s")
            fire = False
            if kind == "at":
                fire = now - t0 >= value
            else:
                top = self.scan_top()
                stage = self.scan_staging()
                temps = [size for name, (size, _) in top.items() if self.temp_pattern.match(name)]
                touched = BIG in top and top[BIG][1] != big_id
                # The bytes of the large entry written so far: in a temporary file,
                # or (written in place) in the file itself.
                largest = max(temps + [top[BIG][0] if touched else 0])
                package_here = self.big_staged in stage
                seen_package = seen_package or package_here
                # The large file is in place: its package deleted, or its new
                # version there in full.
                done = (seen_package and not package_here) or (touched and top[BIG][0] >= self.big_size)
                # A moment that a slow look missed is taken at the next look.
                if kind == "download":
                    partial = stage.get(self.big_staged + ".partial", 0)
                    fire = seen_package or done or partial >= value * self.cab_size
                elif kind == "unpack":
                    fire = done or (package_here and largest >= value * self.big_size)
                elif kind == "after":
                    if complete_at is None and ((package_here and largest >= self.big_size) or done):
                        complete_at = now
                    fire = complete_at is not None and now - complete_at >= value
            if fire:
                os.kill(proc.pid, signal.SIGKILL)
                rc = proc.wait()
                self.check_gone()
                return rc == -signal.SIGKILL, now - t0, rc
            if kind == "at" or (kind == "after" and complete_at is not None):
                continue  # a busy wait keeps short delays short
            time.sleep(0.0002)

    def check_gone(self):
        """The killed process was the program itself: nothing of it runs on."""
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    args = f.read().split(b"\0")
            except OSError:
                continue
            if any(a.endswith(self.exe_name.encode()) and self.inst.encode() in a for a in args):
                die("the updater still runs after SIGKILL (process %s)" % pid)

    # -- judging the state

    def walk(self):
        """Every file below the installation: relative name with '/' -> path."""
        files = {}
        for dirpath, dirs, names in os.walk(self.inst):
            for n in names:
                path = os.path.join(dirpath, n)
                files[os.path.relpath(path, self.inst).replace(os.sep, "/")] = path
        return files

    def classify_temp(self, path):
        """What a temporary file (or a kept beginning) holds: a prefix of a new file
        or of a package."""
        with open(path, "rb") as f:
            data = f.read()
        if not data:
            return "empty"
        for name, full in self.release.new.items():
            if full.startswith(data):
                return ("entry %s complete" if len(data) == len(full) else "entry %s partial") % name
        for name, full in self.release.package_bytes.items():
            if full.startswith(data):
                return ("package %s complete" if len(data) == len(full) else "package %s partial") % name
        return "unknown content"

    def check_after_kill(self, run):
        """Installed files old or new; packages complete; the rest temporary files."""
        problems = []
        files = self.walk()
        state = {}
        for name in set(self.release.old) | set(self.release.new):
            path = files.pop(name, None)
            if path is None:
                state[name] = "absent"
                if name in self.release.old:
                    problems.append("%s was removed" % name)
                continue
            d = file_digest(path)
            if d == self.release.new_digest.get(name):
                state[name] = "new"
            elif d == self.release.old_digest.get(name):
                state[name] = "old"
            else:
                state[name] = "BROKEN"
                problems.append("%s is neither its old nor its new version (%d bytes)" % (name, os.path.getsize(path)))
        exe = files.pop(self.exe_name, None)
        if exe is None or file_digest(exe) != self.updater_digest:
            problems.append("the updater itself was changed")
        packages, temps = {}, {}
        for name, path in files.items():
            base = os.path.basename(name)
            if name.startswith(STAGING + "/") and base in self.staged:
                package = self.staged[base]
                packages[package] = file_digest(path) == self.release.packages[package]
                if not packages[package]:
                    problems.append("staged package %s is present but not the complete package" % package)
            elif name.startswith(STAGING + "/") and base.endswith(".partial") and base[:-8] in self.staged:
                temps[name] = self.classify_temp(path)
                package = self.staged[base[:-8]]
                if not temps[name].startswith("package %s" % package) and temps[name] != "empty":
                    problems.append("kept beginning %s is no beginning of its package" % name)
            elif name.startswith(STAGING + "/") and base.endswith(".resume") and base[:-7] in self.staged:
                with open(path, "rb") as f:
                    if not f.read().startswith(b"nolt-resume 1\n"):
                        problems.append("record %s is not one of the updater's" % name)
            elif self.temp_pattern.match(base):
                temps[name] = self.classify_temp(path)
                if temps[name] == "unknown content":
                    problems.append("temporary file %s holds unknown content" % name)
            else:
                problems.append("unexpected file %s" % name)
        return state, packages, temps, problems

    def landing(self, state, packages, temps):
        """Where in the run the kill landed, from what it left."""
        big_package = BIG + ".cab" in packages
        if big_package and state[BIG] != "new":
            return "unpacking " + BIG
        if big_package and state[BIG] == "new":
            return "after the rename of " + BIG + ", before its package was deleted"
        if any(t.startswith("package %s.cab" % BIG) for t in temps.values()):
            return "downloading " + BIG + ".cab"
        if state[BIG] == "old":
            return "before the large package arrived"
        # The packages that follow the large one, in the manifest's order.
        listed = [line.split(b":")[0].decode().replace("\\", "/")
                  for line in self.release.new[MANIFEST].splitlines() if line.strip()]
        later = [n for n in listed[listed.index(BIG) + 1:]
                 if self.release.old_digest.get(n) != self.release.new_digest[n]]
        done = sum(1 for n in later if state[n] == "new")
        return "after the large package, %d of the %d later files new" % (done, len(later))

    def complete_run(self, log):
        """A normal run from the state the kill left must finish the update and
        leave nothing else behind."""
        problems = []
        proc = self.start(log)
        try:
            rc = proc.wait(timeout=300)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return ["the following run did not end within 300 s"]
        if rc != 0:
            problems.append("the following run ended with exit code %d" % rc)
        files = self.walk()
        for name in self.release.new:
            path = files.pop(name, None)
            if path is None or file_digest(path) != self.release.new_digest[name]:
                problems.append("after the following run %s is not its new version" % name)
        files.pop(self.exe_name, None)
        for name in files:
            problems.append("the following run left %s behind" % name)
        if os.path.isdir(self.staging):
            problems.append("the following run left the staging folder behind")
        return problems

    # -- the runs

    def calibrate(self, log):
        """One full run, watched: when the large package arrives, how long its
        unpacking takes and how long the run goes on after it."""
        self.reset()
        st = os.stat(os.path.join(self.inst, BIG))
        big_id = (st.st_ino, st.st_mtime_ns)
        t0 = time.monotonic()
        proc = self.start(log)
        arrived = complete = None
        while proc.poll() is None:
            top = self.scan_top()
            now = time.monotonic() - t0
            package_here = self.big_staged in self.scan_staging()
            if arrived is None and package_here:
                arrived = now
            if complete is None and ((BIG in top and top[BIG][1] != big_id and top[BIG][0] >= self.big_size) or
                                     (arrived is not None and not package_here)):
                complete = now
            time.sleep(0.0005)
        end = time.monotonic() - t0
        if proc.returncode != 0:
            die("the watched full run ended with exit code %d" % proc.returncode)
        problems = self.complete_run(log)  # nothing to do: checks the result
        if problems:
            die("the watched full run did not install the release: " + "; ".join(problems))
        if arrived is None or complete is None:
            die("the watched full run showed no package of %s (run too fast to watch?)" % BIG)
        return arrived, complete, end

    def schedule(self, runs, arrived, complete, end):
        """Kill moments spread over the run, most of them over the unpacking."""
        n_at = max(2, runs // 16)
        n_download = max(2, runs // 10)
        n_after = max(3, runs // 5)
        n_unpack = max(4, runs - n_at - n_download - n_after)
        plan = [("at", arrived * (i + 0.5) / n_at) for i in range(n_at)]
        plan += [("download", (i + 1) / (n_download + 1)) for i in range(n_download)]
        # Evenly over the bytes of the large entry, the last one at its very end.
        plan += [("unpack", (i + 0.5) / (n_unpack - 1)) for i in range(n_unpack - 1)] + [("unpack", 0.995)]
        tail = max(end - complete, 0.01)
        # From "at once" to the end of the run, densest around the rename.
        plan += [("after", tail * (2.0 ** (i - n_after + 1))) if i else ("after", 0.0) for i in range(n_after)]
        return plan

    def main(self):
        work = self.args.work or tempfile.mkdtemp(prefix="nolt-kill-")
        os.makedirs(work, exist_ok=True)
        log_path = os.path.join(work, "updater-output.txt")
        started = time.monotonic()
        try:
            self.prepare(work)
            with open(log_path, "ab") as log:
                arrived, complete, end = self.calibrate(log)
                print("watched run: package of %s complete after %.3f s, file replaced after %.3f s, end after %.3f s"
                      % (BIG, arrived, complete, end), flush=True)
                plan = self.schedule(self.args.runs, arrived, complete, end)
                for i, (kind, value) in enumerate(plan, 1):
                    self.one_run(i, kind, value, log)
                self.resume_runs(log)
        finally:
            if getattr(self, "server", None):
                self.server.stop()
            if not self.args.keep:
                shutil.rmtree(work, ignore_errors=True)
        self.summary(time.monotonic() - started)
        return 1 if self.failures else 0

    def one_run(self, i, kind, value, log):
        self.reset()
        killed, at, rc = self.run_to_kill(kind, value, log)
        state, packages, temps, problems = self.check_after_kill(i)
        if not killed and rc != 0:
            problems.append("the run ended by itself with exit code %d" % rc)
        where = self.landing(state, packages, temps) if killed else "not killed: the run had ended"
        # The following run removes what the kill left and adds nothing.
        problems += self.complete_run(log)
        stale = [p for p in packages if os.path.exists(os.path.join(self.staging, self.staged_of(p)))]
        trigger = "%s %.4f" % (kind, value)
        line = "run %2d  %-16s kill at %.3f s  %-60s  left: %s" % (
            i, trigger, at, where, ", ".join(sorted(temps.values()) + ["complete " + p for p in packages]) or "nothing")
        print(line, flush=True)
        for p in problems:
            print("    FAULT: " + p, flush=True)
            self.failures.append("run %d (%s): %s" % (i, trigger, p))
        self.records.append({"killed": killed, "where": where, "temps": list(temps.values()),
                             "packages": list(packages), "stale": stale})

    # -- resuming

    def resume_runs(self, log):
        """Kills half way through the large package's download, served slowly so that
        the moment is easy to meet: the next run asks for the rest only; and, with a
        new release on the server before the next run, it asks for the whole new
        package from its first byte."""
        for changed in (False, True):
            self.server.set_rules({self.big_path: {"slow": "0.002"}})
            try:
                self.one_resume(changed, log)
            finally:
                self.server.set_rules({})

    def one_resume(self, changed, log):
        what = "resume after a new release" if changed else "resume"
        self.reset()
        killed, at, _ = self.run_to_kill("download", 0.5, log)
        partial = os.path.join(self.staging, self.big_staged + ".partial")
        kept = os.path.getsize(partial) if os.path.exists(partial) else 0
        problems = [] if killed and kept > 0 else ["the kill left no kept beginning of " + BIG]
        problems += self.check_after_kill(0)[3]
        whole = self.publish_new_release() if changed else self.cab_size
        self.server.set_rules({})
        problems += self.complete_run(log)
        request = self.server.last(self.big_path) or {"headers": []}
        answer = self.server.last(self.big_path, answers=True) or {}
        headers = {k.lower(): v for k, v in request["headers"]}
        if changed:
            # The manifest names another file now: the beginning of the old package is
            # dropped, whatever validator the server would answer If-Range with.
            if headers.get("range") or headers.get("if-range"):
                problems.append("the next request asked for %r of a package of another release"
                                % headers.get("range"))
        elif headers.get("range") != "bytes=%d-" % kept:
            problems.append("the next request asked for %r, not for the rest from %d" % (headers.get("range"), kept))
        elif not headers.get("if-range"):
            problems.append("the next request carried no If-Range")
        status, sent = (200, whole) if changed else (206, whole - kept)
        if (answer.get("status"), answer.get("sent")) != (status, sent):
            problems.append("the server answered %s with %s bytes, not %d with %d" %
                            (answer.get("status"), answer.get("sent"), status, sent))
        print("%-27s kill at %.3f s with %d of %d bytes kept: next request %s, answered %s with %s bytes"
              % (what, at, kept, self.cab_size, headers.get("range"), answer.get("status"), answer.get("sent")),
              flush=True)
        for p in problems:
            print("    FAULT: " + p, flush=True)
            self.failures.append("%s: %s" % (what, p))

    def publish_new_release(self):
        """Serves a new version of the large file (manifest and package), dated after
        the first answer; returns the new package's size."""
        big = mixed_data(3, self.args.big_mb << 20)
        rel = os.path.join(self.work, "release-3")
        out = os.path.join(self.work, "out-3")
        shutil.rmtree(rel, ignore_errors=True)
        shutil.rmtree(out, ignore_errors=True)
        self.release.write(rel, {n: b for n, b in self.release.new.items() if n not in (MANIFEST, SIGNATURE, RECORD)})
        self.release.write(rel, {BIG: big})
        r = subprocess.run(self.emulator + [self.args.mkpatch] + self.signing(200) + [rel, out],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env, timeout=600)
        if r.returncode != 0:
            die("nolt-mkpatch failed:\n" + r.stdout.decode(errors="replace"))
        if self.args.sign:
            self.release.new[RECORD] = b"200\n"
            self.release.new_digest[RECORD] = digest(b"200\n")
        # A signed release signs every package as this run of nolt-mkpatch made it.
        names = [MANIFEST, BIG + ".cab"]
        if self.args.sign:
            names = [SIGNATURE] + [os.path.relpath(os.path.join(d, n), out).replace(os.sep, "/")
                                   for d, _, found in os.walk(out) for n in found if n != SIGNATURE]
        for name in names:
            target = os.path.join(self.serve_dir, name)
            shutil.copyfile(os.path.join(out, name), target + ".new")
            os.replace(target + ".new", target)
            later = time.time() + 10
            os.utime(target, (later, later))
            with open(target, "rb") as f:
                data = f.read()
            if name in (MANIFEST, SIGNATURE):
                self.release.new[name] = data
                self.release.new_digest[name] = digest(data)
            else:
                self.release.packages[name] = digest(data)
                self.release.package_bytes[name] = data
        self.release.new[BIG] = big
        self.release.new_digest[BIG] = digest(big)
        self.name_staged()
        return len(self.release.package_bytes[BIG + ".cab"])

    def summary(self, seconds):
        kills = [r for r in self.records if r["killed"]]
        unpacking = [r for r in kills if r["where"].startswith("unpacking")]
        half = [r for r in kills if any(t.startswith("entry ") and t.endswith(" partial") for t in r["temps"])]
        whole = [r for r in kills if any(t.startswith("entry ") and t.endswith(" complete") for t in r["temps"])]
        left = [r for r in kills if r["temps"]]
        print("\n%d runs, %d killed, in %.0f s" % (len(self.records), len(kills), seconds))
        for where, n in Counter(r["where"] for r in self.records).most_common():
            print("  %3d  %s" % (n, where))
        print("kills during the unpacking of %s: %d" % (BIG, len(unpacking)))
        print("kills that left an entry half-extracted in a temporary file: %d" % len(half))
        print("kills that left an entry fully extracted but not yet moved into place: %d" % len(whole))
        print("kills that left a temporary file or a kept beginning behind: %d (the following run removed them)"
              % len(left))
        stale = [r for r in kills if r["stale"]]
        print("kills that left a complete package that the following run did not remove: %d" % len(stale))
        if stale:
            self.failures.append("%d following runs left a package behind" % len(stale))
        if len(kills) < self.args.min_kills:
            self.failures.append("only %d of the runs were killed, fewer than %d" % (len(kills), self.args.min_kills))
        if self.failures:
            print("\nFAILED:\n  " + "\n  ".join(self.failures), flush=True)
            print("(--work DIR --keep keeps the release, the installation and the programs' output)", flush=True)
        else:
            print("every installed file was its old or its new version after every kill, "
                  "and every following run completed the update", flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--updater", required=True)
    p.add_argument("--mkpatch", required=True)
    p.add_argument("--server", required=True)
    p.add_argument("--base-url", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--runs", type=int, default=0, help="kill runs (default 60, 12 with --emulator)")
    p.add_argument("--min-kills", type=int, default=-1, help="fewest runs that must have been killed")
    p.add_argument("--big-mb", type=int, default=96)
    p.add_argument("--sign", default="", help="sign the releases with this key")
    p.add_argument("--work")
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()
    if not args.runs:
        args.runs = 12 if args.emulator else 60
    if args.min_kills < 0:
        args.min_kills = min(50, args.runs * 5 // 6)
    return KillTest(args).main()


if __name__ == "__main__":
    sys.exit(main())
