#!/usr/bin/env python3
"""The Linux release programs as they travel: alone, onto a system that has only
the C library and libcurl.

    self_contained_test.py needed OBJDUMP ALLOWED GLIBC PROGRAM[=EXTRA,...]...
        Every program needs (objdump -p, NEEDED) only the ALLOWED libraries (a list
        separated by commas) and its own EXTRA ones, and no symbol of a C library
        newer than GLIBC (such as 2.35).

    self_contained_test.py update ALLOWED UPDATER MKPATCH SERVER BASE_URL
        A real update by UPDATER, copied alone into an installation, from a release
        packed by MKPATCH and served by the HTTP test SERVER on the base URL's port.
        It runs in a mount namespace in which every library of the loader's cache is
        an empty file except the ALLOWED ones and what they need (so libX11, FLTK,
        libstdc++ cannot be loaded), once headless and, when an X display is there,
        once with its window. The loader's record (LD_DEBUG=files) shows that no
        other library was even asked for, so the windows draw with the linked X
        libraries and never mix in the system's.

Exit status 0 when all holds, 77 (skipped) for "update" where no mount namespace
can be made (it needs root).
"""
import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request


def fail(text):
    print("FAIL: " + text, flush=True)
    return 1


def version(text):
    return tuple(int(x) for x in text.split("."))


def check_needed(objdump, allowed, glibc, programs):
    status = 0
    for entry in programs:
        path, _, extra = entry.partition("=")
        ok = set(allowed) | set(filter(None, extra.split(",")))
        out = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
        needed = re.findall(r"^\s*NEEDED\s+(\S+)", out, re.M)
        newest = max(re.findall(r"\sGLIBC_([0-9.]+)$", out, re.M), key=version, default="0")
        print("%s: %s; glibc %s" % (os.path.basename(path), " ".join(needed), newest))
        other = [n for n in needed if n not in ok]
        if other:
            status = fail("%s needs %s" % (path, " ".join(other)))
        if version(newest) > version(glibc):
            status = fail("%s needs glibc %s, newer than %s" % (path, newest, glibc))
    return status


# ---- the update on a system without X, FLTK or libstdc++ ----------------------

RELEASE = {"a.dll": b"a, version 2\n" * 500, "same.dll": b"unchanged\n" * 30, "sub/new.dll": b"new file\n" * 90}
OLD = {"a.dll": b"a, version 1\n", "same.dll": RELEASE["same.dll"]}


def closure(sonames, cache):
    """The files of these libraries and of everything they need, as the loader finds them."""
    files, names = set(), set(sonames)
    for name in sonames:
        path = next((p for n, p in cache if n == name), None)
        if path is None:
            continue
        for line in subprocess.run(["ldd", path], capture_output=True, text=True).stdout.splitlines():
            m = re.match(r"\s*(\S+)(?: => (\S+))?", line)
            if m:
                names.add(os.path.basename(m.group(1)))
                files.add(os.path.realpath(m.group(2) or m.group(1)))
        files.add(os.path.realpath(path))
    return names, files


def loader_cache():
    """(soname, path) of every library the loader knows, but the C library's NSS modules."""
    out = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    return [(n, p) for n, p in re.findall(r"^\s*(\S+) \(.*\) => (\S+)$", out, re.M) if not n.startswith("libnss_")]


def write_tree(root, files):
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def read_tree(root):
    found = {}
    for d, _, fs in os.walk(root):
        for f in fs:
            with open(os.path.join(d, f), "rb") as h:
                found[os.path.relpath(os.path.join(d, f), root).replace(os.sep, "/")] = h.read()
    return found


def start_server(script, root, port, work):
    port_file = os.path.join(work, "port")
    deadline = time.monotonic() + 300  # another test may hold the base URL's port a while
    while True:
        proc = subprocess.Popen([sys.executable, script, "--root", root, "--port", str(port), "--port-file", port_file],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while proc.poll() is None and not os.path.exists(port_file):
            time.sleep(0.05)
        if proc.poll() is None:
            return proc
        if time.monotonic() > deadline:
            sys.exit(fail("the HTTP test server could not listen on port %d" % port))
        time.sleep(1)


LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS, MS_BIND, MS_REC, MS_PRIVATE = 0x20000, 0x1000, 0x4000, 0x40000


def hide(files, empty):
    """In the calling process (a child before its exec): a mount namespace of its own
    in which every one of the files is an empty one."""
    if LIBC.unshare(CLONE_NEWNS) != 0 or LIBC.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        raise OSError(ctypes.get_errno(), "unshare")
    for f in files:
        if LIBC.mount(empty.encode(), f.encode(), None, MS_BIND, None) != 0:
            raise OSError(ctypes.get_errno(), "mount over " + f)
    if any("/libX11.so" in f and os.stat(f).st_size for f in files):
        raise OSError("libX11 is still there")


def run_update(updater, work, hidden, kept_names, display):
    what = "with a window" if display else "headless"
    exe = os.path.basename(updater)
    install = tempfile.mkdtemp(dir=work, prefix="install-")
    write_tree(install, OLD)
    shutil.copy(updater, os.path.join(install, exe))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    if display:
        env["DISPLAY"] = display
    record = os.path.join(work, "ld-" + what.replace(" ", "-"))
    env["LD_DEBUG"], env["LD_DEBUG_OUTPUT"] = "files", record
    empty = os.path.join(work, "empty")
    open(empty, "wb").close()
    r = subprocess.run([os.path.join(install, exe)], cwd=install, env=env, capture_output=True, timeout=300,
                       preexec_fn=lambda: hide(hidden, empty))
    if r.returncode != 0:
        return fail("the update %s exited %d: %s" % (what, r.returncode, r.stderr.decode(errors="replace")[-2000:]))
    status = 0
    loaded = set()
    for name in os.listdir(work):
        if name.startswith(os.path.basename(record) + "."):
            with open(os.path.join(work, name), errors="replace") as f:
                loaded |= {os.path.basename(m) for m in re.findall(r"file=(\S+) \[", f.read())}
    if not loaded:
        status = fail("the loader left no record (LD_DEBUG=files)")
    strange = sorted(n for n in loaded - kept_names if not n.startswith("libnss_"))
    if strange:
        status = fail("the updater %s asked the loader for %s" % (what, " ".join(strange)))
    got = read_tree(install)
    got.pop(exe, None)
    got.pop("nolt-patch-updater.txt", None)
    if got != RELEASE:
        status = fail("the installation %s is %s, not the release" % (what, sorted(got)))
    print("update %s: exit 0, loaded %s" % (what, " ".join(sorted(loaded))))
    return status


def check_update(allowed, updater, mkpatch, server, base_url):
    try:
        subprocess.run(["true"], check=True, preexec_fn=lambda: hide([], "/dev/null"))
    except (OSError, subprocess.SubprocessError):
        print("skipped: a mount namespace needs root")
        return 77
    cache = loader_cache()
    kept_names, kept_files = closure(allowed, cache)
    hidden = sorted({os.path.realpath(p) for _, p in cache} - kept_files)
    print("hidden: %d library files, among them %s" % (len(hidden), " ".join(sorted({
        os.path.basename(p) for p in hidden if re.search(r"/lib(X11|fltk|stdc\+\+|mspack|fontconfig)\.", p)}))))
    url = urllib.parse.urlsplit(base_url)
    work = tempfile.mkdtemp(prefix="nolt-self-contained-")
    proc = None
    try:
        release = os.path.join(work, "release")
        write_tree(release, RELEASE)
        www = os.path.join(work, "www", *[p for p in url.path.split("/") if p])
        subprocess.run([mkpatch, release, www], check=True, stdout=subprocess.DEVNULL)
        proc = start_server(server, os.path.join(work, "www"), url.port or 80, work)
        status = run_update(updater, work, hidden, kept_names, None)
        display = os.environ.get("DISPLAY")
        if display and subprocess.run(["xdpyinfo"], capture_output=True).returncode == 0:
            status |= run_update(updater, work, hidden, kept_names, display)
        else:
            print("no X display: the run with a window is left out")
        return status
    finally:
        if proc:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/_quit" % (url.port or 80), timeout=5).read()
            except OSError:
                pass
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    if len(argv) >= 5 and argv[1] == "needed":
        return check_needed(argv[2], argv[3].split(","), argv[4], argv[5:])
    if len(argv) == 7 and argv[1] == "update":
        return check_update(argv[2].split(","), *argv[3:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
