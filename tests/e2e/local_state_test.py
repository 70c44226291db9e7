#!/usr/bin/env python3
"""The updater and nolt-webcopy on a user's machine as it happens to be.

Each case starts from an installation of version 1 and a release served by the HTTP
test server on the port of the download base URL, runs the programs themselves, and
states the exit status, what is installed, and what is left:

  - the staging folder as a link to a directory, as a file, and a kept beginning
    (.partial) as a link: nothing in what the link names is touched, status 1;
  - two updaters started at once over a release of many packages: both exit 0, the
    installation is exact, nothing is left (no lock, no staging folder, no temporary
    file); the second says that it waits;
  - the first killed while the second waits: the second takes over and finishes;
  - a release that carries a new version of the updater itself: installed by the
    first run, which exits 0; the second run (the new program) fetches no package and
    leaves no old copy behind;
  - with --new-key-updater: a release signed with the old key carries an updater
    built with the new key; afterwards a release signed with the new key is taken,
    and one signed with the old key only is refused;
  - nolt-webcopy killed while it writes: a second one into the same directory removes
    what the first left, and nothing else; a live one's file is never touched.

Usage:
    local_state_test.py --updater PROG --mkpatch PROG --webcopy PROG --base-url URL
        [--emulator "CMD ARGS"] [--signed-updater PROG --new-key-updater PROG
        --old-key KEY --new-key KEY]

With --emulator (the Windows programs under Wine) they are started through it. Wine
shows a link to a file as the file itself, so the case of a linked .partial, which a
real Windows sees as a reparse point, runs natively only.
"""

import argparse
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nolt_server import Server  # noqa: E402
from nolt_staging import identity, staged_name  # noqa: E402

MANIFEST = "nolt-patch-updater.txt"
STAGING = ".nolt-packages"
TEMP = re.compile(r"^\.nolt-[A-Za-z0-9]{6}\.tmp$")
WAITING = "Waiting for another update to end"


class LocalState:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.emulator = shlex.split(args.emulator) if args.emulator else []
        self.windows = bool(self.emulator)
        self.env = dict(os.environ)
        if not self.windows:
            self.env.pop("DISPLAY", None)
            self.env.pop("WAYLAND_DISPLAY", None)
        url = urllib.parse.urlsplit(args.base_url)
        self.base_path = url.path
        self.serve_root = os.path.join(work, "serve")
        self.serve_dir = os.path.join(self.serve_root, *[p for p in url.path.split("/") if p])
        os.makedirs(self.serve_dir)
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "nolt_http_server.py")
        self.server = Server(script, self.serve_root, url.port or 80, work)
        self.failures = []

    # -- helpers

    def publish(self, files, sign=None, serial=None):
        """Packs files ({name: bytes}) with nolt-mkpatch, signed with a key when given,
        and serves exactly that release."""
        rel = tempfile.mkdtemp(dir=self.work, prefix="release-")
        for name, data in files.items():
            path = os.path.join(rel, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        shutil.rmtree(self.serve_dir)
        options = ["--sign", sign, "--serial", str(serial)] if sign else []
        r = subprocess.run(self.emulator + [self.args.mkpatch] + options + [rel, self.serve_dir],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env, timeout=300)
        if r.returncode != 0:
            raise SystemExit("nolt-mkpatch failed:\n" + r.stdout.decode(errors="replace"))

    def install(self, files, updater=None):
        inst = tempfile.mkdtemp(dir=self.work, prefix="install-")
        for name, data in files.items():
            path = os.path.join(inst, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        shutil.copy2(updater or self.args.updater, inst)
        return inst

    def start(self, program, cwd, *args):
        return subprocess.Popen(self.emulator + [program] + list(args), cwd=cwd, env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def run_updater(self, inst, name=None):
        proc = self.start(os.path.join(inst, name or os.path.basename(self.args.updater)), inst)
        closer = None
        if self.windows:
            # The Windows program always has its window, and shows a refusal in a box:
            # it is answered with Enter, as a user's key would.
            closer = threading.Thread(target=self.answer_boxes, args=(proc,), daemon=True)
            closer.start()
        out, _ = proc.communicate(timeout=300)
        if closer:
            closer.join()
        return proc.returncode, out.decode(errors="replace")

    @staticmethod
    def answer_boxes(proc):
        def xdo(*args):
            return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30).stdout
        while proc.poll() is None:
            for window in xdo("search", "--onlyvisible", "--name", "^NOLT-Patch-Setup$").split():
                geometry = xdo("getwindowgeometry", window)
                size = re.search(r"Geometry: (\d+)x(\d+)", geometry)
                if size and int(size.group(2)) > 60:  # a box, not the small main form
                    xdo("windowactivate", "--sync", window)
                    xdo("key", "--window", window, "Return")
            time.sleep(0.3)

    @staticmethod
    def listing(root):
        """Every file and directory below root, '/'-separated, directories with a '/'."""
        found = set()
        for dirpath, dirs, names in os.walk(root):
            for d in dirs:
                full = os.path.join(dirpath, d)
                found.add(os.path.relpath(full, root).replace(os.sep, "/") + ("" if os.path.islink(full) else "/"))
            for n in names:
                found.add(os.path.relpath(os.path.join(dirpath, n), root).replace(os.sep, "/"))
        return found

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

    def check(self, what, condition, detail=""):
        if not condition:
            self.failures.append("%s: %s" % (what, detail))
            print("    FAULT: %s" % detail, flush=True)

    def case(self, what):
        print("case: " + what, flush=True)
        return what

    def served_manifest(self):
        return self.read(os.path.join(self.serve_dir, MANIFEST))

    # -- links in the updater's own places

    def links(self):
        release = {"a.dll": b"a, version 2", "b.dll": b"b, version 2" * 5000}
        self.publish(release)
        victim = os.path.join(self.work, "victim")
        kinds = ["a link to a directory", "a file"] + ([] if self.windows else ["a kept beginning that is a link"])
        for kind in kinds:
            what = self.case("the staging folder as %s" % kind if "beginning" not in kind else kind)
            shutil.rmtree(victim, ignore_errors=True)
            os.makedirs(victim)
            theirs = {"x.txt": b"theirs", ".nolt-Ab12Cd.tmp": b"theirs too", "notes": b"kept"}
            for name, data in theirs.items():
                with open(os.path.join(victim, name), "wb") as f:
                    f.write(data)
            inst = self.install({"a.dll": b"a, version 1", "b.dll": b"b, version 1"})
            staging = os.path.join(inst, STAGING)
            if kind == "a link to a directory":
                os.symlink(victim, staging)
            elif kind == "a file":
                with open(staging, "wb") as f:
                    f.write(b"a file of the user's")
            else:
                os.makedirs(staging)
                staged = staged_name("b.dll", identity("b.dll", self.served_manifest()))
                os.symlink(os.path.join(victim, "x.txt"), os.path.join(staging, staged + ".partial"))
            status, out = self.run_updater(inst)
            self.check(what, status == 1, "exit status %s, not 1:\n%s" % (status, out))
            now = {n: self.read(os.path.join(victim, n)) for n in os.listdir(victim)}
            self.check(what, now == theirs, "what the link names was changed: %r" % sorted(now))
            if kind == "a file":
                self.check(what, self.read(staging) == b"a file of the user's", "the file was changed")
            if kind != "a kept beginning that is a link":
                self.check(what, self.read(os.path.join(inst, "b.dll")) == b"b, version 1",
                           "a package was installed through the user's place")

    # -- two runs at once

    def many_packages(self):
        release = {"f%02d.dat" % i: (b"file %d, version 2\n" % i) * 3000 for i in range(30)}
        self.publish(release)
        # Slow enough that the second run meets the first.
        self.server.set_rules({self.base_path + "f%02d.dat.cab" % i: {"slow": "0.05"} for i in range(0, 30, 3)})
        return release

    def exact(self, what, inst, release, extra=()):
        want = set(release) | {MANIFEST, os.path.basename(self.args.updater)} | set(extra)
        got = self.listing(inst)
        self.check(what, got == want, "left or missing: %s" % sorted(got ^ want))
        for name, data in release.items():
            path = os.path.join(inst, name)
            self.check(what, os.path.exists(path) and self.read(path) == data, "%s is not its new version" % name)

    def two_at_once(self):
        what = self.case("two updaters started at once")
        release = self.many_packages()
        inst = self.install({})
        first = self.start(os.path.join(inst, os.path.basename(self.args.updater)), inst)
        second = self.start(os.path.join(inst, os.path.basename(self.args.updater)), inst)
        outs = [p.communicate(timeout=300)[0].decode(errors="replace") for p in (first, second)]
        self.check(what, first.returncode == 0 and second.returncode == 0,
                   "exit statuses %s and %s:\n%s" % (first.returncode, second.returncode, "\n".join(outs)))
        if not self.windows:
            self.check(what, sum(WAITING in o for o in outs) == 1, "one of them says that it waits:\n%s" % outs)
        self.exact(what, inst, release)
        self.server.set_rules({})

    def kill_while_waiting(self):
        what = self.case("the first run killed while the second waits")
        release = self.many_packages()
        # The first run is held on a package that stalls, so it still holds the
        # lock however fast the machine is; the stall is lifted before the kill.
        self.server.set_rules({self.base_path + "f%02d.dat.cab" % i: {"stall": "100"} for i in range(30)})
        inst = self.install({})
        exe = os.path.join(inst, os.path.basename(self.args.updater))
        first = self.start(exe, inst)
        deadline = time.monotonic() + 60
        while not os.path.isdir(os.path.join(inst, STAGING)) and time.monotonic() < deadline:
            time.sleep(0.02)
        second = self.start(exe, inst)
        time.sleep(2)  # the second now waits for the lock
        self.check(what, first.poll() is None, "the first run did not hold on the stalled package")
        self.check(what, second.poll() is None, "the second run did not wait")
        self.server.set_rules({})
        first.send_signal(signal.SIGKILL)
        first.wait()
        out = second.communicate(timeout=300)[0].decode(errors="replace")
        self.check(what, second.returncode == 0, "the second run ended with %s:\n%s" % (second.returncode, out))
        self.exact(what, inst, release)
        self.server.set_rules({})

    # -- the updater replacing itself

    def new_updater(self):
        what = self.case("a release that carries a new updater")
        name = os.path.basename(self.args.updater)
        newer = self.read(self.args.updater) + b"\0a newer build of the updater\0"
        release = {name: newer, "a.dll": b"a, version 2"}
        self.publish(release)
        inst = self.install({"a.dll": b"a, version 1"})
        status, out = self.run_updater(inst)
        self.check(what, status == 0, "the first run ended with %s:\n%s" % (status, out))
        self.check(what, self.read(os.path.join(inst, name)) == newer, "the new updater was not installed")
        start = len(self.server.requests())
        status, out = self.run_updater(inst)
        self.check(what, status == 0, "the new program's run ended with %s:\n%s" % (status, out))
        fetched = [r["path"] for r in self.server.requests()[start:]]
        self.check(what, fetched == [self.base_path + MANIFEST], "the second run fetched %s" % fetched)
        self.exact(what, inst, {k: v for k, v in release.items() if k != name})

    def key_rotation(self):
        what = self.case("a release key rotated by a signed release that carries the new updater")
        name = os.path.basename(self.args.signed_updater)
        new_key_build = self.read(self.args.new_key_updater)
        inst = self.install({"a.dll": b"a, version 1"}, updater=self.args.signed_updater)
        self.publish({name: new_key_build, "a.dll": b"a, version 2"}, self.args.old_key, 100)
        status, out = self.run_updater(inst, name)
        self.check(what, status == 0, "the release signed with the old key ended with %s:\n%s" % (status, out))
        self.check(what, self.read(os.path.join(inst, name)) == new_key_build, "the new updater was not installed")
        self.publish({name: new_key_build, "a.dll": b"a, version 3"}, self.args.new_key, 200)
        status, out = self.run_updater(inst, name)
        self.check(what, status == 0, "the release signed with the new key ended with %s:\n%s" % (status, out))
        self.check(what, self.read(os.path.join(inst, "a.dll")) == b"a, version 3", "a.dll is not version 3")
        self.publish({name: new_key_build, "a.dll": b"a, version 4"}, self.args.old_key, 300)
        status, out = self.run_updater(inst, name)
        self.check(what, status == 1, "the release signed with the old key only ended with %s:\n%s" % (status, out))
        self.check(what, self.read(os.path.join(inst, "a.dll")) == b"a, version 3", "the old key's release was taken")

    # -- nolt-webcopy's leftovers

    def webcopy_leftovers(self):
        what = self.case("nolt-webcopy killed while it writes, then another into the same directory")
        with open(os.path.join(self.serve_dir, "big.bin"), "wb") as f:
            f.write(os.urandom(4 << 20))
        with open(os.path.join(self.serve_dir, "small.txt"), "wb") as f:
            f.write(b"small")
        self.server.set_rules({self.base_path + "big.bin": {"slow": "0.02"}})
        target = os.path.join(self.work, "got")
        os.makedirs(target)
        for name in ("keep.txt", ".nolt-Ab12Cd.txt", ".nolt-x.tmp"):
            with open(os.path.join(target, name), "wb") as f:
                f.write(b"the user's")
        url = "http://127.0.0.1:%d%s" % (urllib.parse.urlsplit(self.args.base_url).port, self.base_path)
        host_target = target if not self.windows else "Z:" + target.replace("/", "\\")

        def temps():
            return [n for n in os.listdir(target) if TEMP.match(n)]

        def wait_for_temp(proc, before=()):
            """The temporary files that proc made, once it has made one."""
            deadline = time.monotonic() + 60
            while proc.poll() is None and time.monotonic() < deadline:
                new = [t for t in temps() if t not in before]
                if new:
                    return new
                time.sleep(0.02)
            return []

        first = self.start(self.args.webcopy, self.work, "get", url + "big.bin", host_target)
        left = wait_for_temp(first)
        first.send_signal(signal.SIGKILL)
        first.wait()
        self.check(what, len(left) == 1, "the killed one left %s" % left)
        # A live one is never touched: a slow download runs while another starts.
        live = self.start(self.args.webcopy, self.work, "get", url + "big.bin", host_target)
        live_temps = wait_for_temp(live, left)
        second = self.start(self.args.webcopy, self.work, "get", url + "small.txt", host_target)
        out = second.communicate(timeout=120)[0].decode(errors="replace")
        self.check(what, second.returncode == 0, "the second ended with %s:\n%s" % (second.returncode, out))
        out = live.communicate(timeout=300)[0].decode(errors="replace")
        self.check(what, live.returncode == 0, "the live one ended with %s:\n%s" % (live.returncode, out))
        self.check(what, len(live_temps) == 1, "the live one wrote no temporary file")
        got = sorted(os.listdir(target))
        want = sorted(["keep.txt", ".nolt-Ab12Cd.txt", ".nolt-x.tmp", "big.bin", "small.txt"])
        self.check(what, got == want, "the directory holds %s, not %s" % (got, want))
        self.check(what, self.read(os.path.join(target, "big.bin")) == self.read(os.path.join(self.serve_dir, "big.bin")),
                   "the live download was damaged")
        self.server.set_rules({})

    def main(self):
        self.links()
        self.two_at_once()
        self.kill_while_waiting()
        self.new_updater()
        if self.args.new_key_updater:
            self.key_rotation()
        self.webcopy_leftovers()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--updater", required=True)
    p.add_argument("--mkpatch", required=True)
    p.add_argument("--webcopy", required=True)
    p.add_argument("--base-url", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--signed-updater", default="")
    p.add_argument("--new-key-updater", default="")
    p.add_argument("--old-key", default="")
    p.add_argument("--new-key", default="")
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="nolt-local-")
    test = None
    try:
        test = LocalState(args, work)
        test.main()
    finally:
        if test:
            test.server.stop()
        shutil.rmtree(work, ignore_errors=True)
    if test.failures:
        print("FAILED:\n  " + "\n  ".join(test.failures), flush=True)
        return 1
    print("all cases held", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
