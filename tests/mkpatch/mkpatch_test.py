#!/usr/bin/env python3
"""End-to-end test of the packaging command nolt-mkpatch.

Usage: mkpatch_test.py --kind native|windows -- COMMAND...
COMMAND runs the program (for the Windows build: the Wine runner and the .exe).
Each cabinet is read three ways: its raw header fields, cabextract's listing and
cabextract's extraction. Checksums are computed here with zlib, independently
of the program's own CRC code.
"""
import argparse
import filecmp
import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

KIND = "native"
COMMAND = []
MANIFEST = "nolt-patch-updater.txt"
MAX_FILE = 0x7FFF8000
JUNE_2021 = 1623760497  # 2021-06-15 12:34:57 UTC, an odd second
# A zone without daylight saving and with a half-hour offset, so local time,
# UTC and a rounding to whole hours all differ.
TZ = "NOLT-5:30"


def host_path(path):
    """A path as the program under test spells it (Wine sees / as drive Z:)."""
    if KIND == "windows":
        return "Z:" + path.replace("/", "\\")
    return path


def run(*args):
    env = dict(os.environ, TZ=TZ)
    return subprocess.run(COMMAND + [host_path(a) if a.startswith("/") else a for a in args],
                          capture_output=True, env=env, timeout=300)


def crc_text(path):
    crc = 0
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            crc = zlib.crc32(block, crc)
    return "0" if crc == 0 else "%06X" % crc


def dos_date_time(mtime):
    t = time.localtime(int(mtime))
    if t.tm_year < 1980:
        return (1 << 5) | 1, 0
    return ((t.tm_year - 1980) << 9 | t.tm_mon << 5 | t.tm_mday,
            t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec // 2)


def parse_cab(path):
    """The header fields of a cabinet of one folder and one entry."""
    with open(path, "rb") as f:
        head = f.read(1024)
    sig, cb_cabinet, coff_files, minor, major, folders, files, flags = struct.unpack_from(
        "<4s4xI4xI4xBBHHH", head, 0)
    _, data_blocks, compression = struct.unpack_from("<IHH", head, 36)
    size, folder_offset, folder, date, tm, attribs = struct.unpack_from("<IIHHHH", head, coff_files)
    name = head[coff_files + 16:head.index(b"\0", coff_files + 16)]
    return dict(sig=sig, version=(major, minor), cb_cabinet=cb_cabinet, folders=folders, files=files,
                flags=flags, data_blocks=data_blocks, compression=compression & 0x0F, size=size,
                folder_offset=folder_offset, folder=folder, date=date, time=tm, attribs=attribs, name=name)


def cabextract_list(path):
    """(size, name) of every entry cabextract lists."""
    out = subprocess.run(["cabextract", "-l", path], capture_output=True, check=True, text=True,
                         errors="replace").stdout
    entries, body = [], False
    for line in out.splitlines():
        if line.startswith("-----"):
            body = True
        elif body and " | " in line:
            size, _, name = line.split(" | ", 2)
            entries.append((int(size), name))
    return entries


def files_below(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)


def write(path, data, mtime=JUNE_2021):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


class Packaging(unittest.TestCase):
    """One release with the awkward cases, packed once and examined from all sides."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="nolt-mkpatch-")
        cls.release = os.path.join(cls.tmp, "release")
        cls.out = os.path.join(cls.tmp, "www", "downloads")
        rng = random.Random(7)
        # 50 MB in 64 KiB stretches of random bytes and of text: many cabinet
        # blocks, some stored and some compressed.
        text = b"".join(b"line %d of the large release file\n" % i for i in range(2000))[:65536]
        large = b"".join(rng.randbytes(65536) if i % 3 == 0 else text for i in range(800))
        cls.files = {
            "a.txt": b"alpha\n",
            "B.txt": b"upper case sorts first\n",
            "empty.dat": b"",
            "sub.txt": b"sorts before the sub directory\n",
            "sub/with space.dll": b"a name with a space\n",
            "sub/deeper/nested/lib.bin": rng.randbytes(200000),
            "big/large.bin": large,
            "old/epoch.txt": b"stamped 1970\n",
        }
        for name, data in cls.files.items():
            write(os.path.join(cls.release, name), data, 1 if name == "old/epoch.txt" else JUNE_2021)
        cls.result = run(cls.release, cls.out)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    @staticmethod
    def manifest_name(name):
        return name.replace("/", "\\").encode()

    def test_exit_status_and_one_line_per_file(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr.decode(errors="replace"))
        lines = self.result.stdout.decode().splitlines()
        self.assertEqual(len(lines), len(self.files), lines)
        for name in self.files:
            line = self.manifest_name(name).decode() + ":" + crc_text(os.path.join(self.release, name))
            self.assertTrue(any(l.startswith(line + " ") for l in lines), (line, lines))

    def test_output_layout(self):
        expected = sorted([MANIFEST] + [n + ".cab" for n in self.files])
        self.assertEqual(files_below(self.out), expected, "one package per file, no temporary files")

    def test_manifest_exact_bytes(self):
        with open(os.path.join(self.out, MANIFEST), "rb") as f:
            manifest = f.read()
        expected = b"".join(self.manifest_name(n) + b":" + crc_text(os.path.join(self.release, n)).encode() + b"\r\n"
                            for n in sorted(self.files, key=self.manifest_name))
        self.assertEqual(manifest, expected)
        self.assertIn(b"empty.dat:0\r\n", manifest)
        self.assertTrue(manifest.startswith(b"B.txt:"), "sorted by bytes")
        self.assertLess(manifest.index(b"sub.txt:"), manifest.index(b"sub\\deeper"), "'.' sorts before '\\'")

    def test_cabinet_headers(self):
        for name, data in self.files.items():
            with self.subTest(name=name):
                cab = os.path.join(self.out, name + ".cab")
                h = parse_cab(cab)
                self.assertEqual(h["sig"], b"MSCF")
                self.assertEqual(h["version"], (1, 3))
                self.assertEqual(h["cb_cabinet"], os.path.getsize(cab))
                self.assertEqual((h["folders"], h["files"], h["flags"]), (1, 1, 0))
                self.assertEqual(h["compression"], 1, "MSZIP")
                self.assertEqual(h["name"], self.manifest_name(name))
                self.assertEqual((h["size"], h["folder"], h["folder_offset"]), (len(data), 0, 0))
                self.assertEqual(h["data_blocks"], (len(data) + 32767) // 32768)
                self.assertEqual(h["attribs"], 0x20, "archive only")
                mtime = os.stat(os.path.join(self.release, name)).st_mtime
                self.assertEqual((h["date"], h["time"]), dos_date_time(mtime))

    def test_cabextract_lists_and_extracts_byte_for_byte(self):
        for name, data in self.files.items():
            with self.subTest(name=name):
                cab = os.path.join(self.out, name + ".cab")
                self.assertEqual(cabextract_list(cab), [(len(data), name)])
                dest = tempfile.mkdtemp(dir=self.tmp)
                subprocess.run(["cabextract", "-q", "-d", dest, cab], check=True)
                self.assertEqual(files_below(dest), [name], "the entry lands with its directory part")
                self.assertTrue(filecmp.cmp(os.path.join(dest, name), os.path.join(self.release, name),
                                            shallow=False))
                if name != "old/epoch.txt":
                    # cabextract dates the file from the entry's local time.
                    self.assertEqual(int(os.stat(os.path.join(dest, name)).st_mtime), JUNE_2021 - 1)
                shutil.rmtree(dest)


class Runs(unittest.TestCase):
    """Runs on small releases: repeated runs, refusals and failures."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nolt-mkpatch-")
        self.release = os.path.join(self.tmp, "rel")
        self.out = os.path.join(self.tmp, "out")
        write(os.path.join(self.release, "a.txt"), b"first\n")
        write(os.path.join(self.release, "sub", "b.txt"), b"bee\n")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def assertFails(self, result, status=1, mentions=()):
        err = result.stderr.decode(errors="replace")
        self.assertEqual(result.returncode, status, err)
        self.assertTrue(err.strip(), "an error message")
        for text in mentions:
            self.assertIn(text, err)

    def test_second_run_replaces_packages_and_manifest(self):
        self.assertEqual(run(self.release, self.out).returncode, 0)
        write(os.path.join(self.release, "a.txt"), b"second version\n")
        os.remove(os.path.join(self.release, "sub", "b.txt"))
        result = run(self.release, self.out + "/")
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(self.out, MANIFEST), "rb") as f:
            self.assertEqual(f.read(), b"a.txt:" + crc_text(os.path.join(self.release, "a.txt")).encode() + b"\r\n")
        got = subprocess.run(["cabextract", "-q", "-p", os.path.join(self.out, "a.txt.cab")],
                             capture_output=True, check=True).stdout
        self.assertEqual(got, b"second version\n")

    def test_usage(self):
        for args in ([], [self.release], [self.release, self.out, "extra"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertFails(result, status=2, mentions=("usage",))
                self.assertEqual(result.stdout, b"")
        self.assertFalse(os.path.exists(self.out))

    def test_refused_directories(self):
        nested = os.path.join(self.release, "x", "y")
        a_file = os.path.join(self.release, "a.txt")
        os.makedirs(os.path.join(self.tmp, "outer"))
        inner_release = os.path.join(self.tmp, "outer", "rel")
        shutil.copytree(self.release, inner_release)
        cases = [
            ("missing release", os.path.join(self.tmp, "missing"), self.out),
            ("release is a file", a_file, self.out),
            ("output is the release", self.release, self.release),
            ("output inside the release", self.release, nested),
            ("output inside the release by ..", self.release, os.path.join(self.release, "sub", "..", "o")),
            ("release inside the output", inner_release, os.path.join(self.tmp, "outer")),
            ("output is a file", self.release, a_file),
        ]
        before = files_below(self.tmp)
        for what, release, out in cases:
            with self.subTest(what):
                self.assertFails(run(release, out))
        self.assertEqual(files_below(self.tmp), before, "nothing was written")
        self.assertFalse(os.path.exists(os.path.join(self.release, "x")))

    def test_too_large_file_is_refused_before_packing(self):
        with open(os.path.join(self.release, "huge.bin"), "wb") as f:
            f.truncate(MAX_FILE + 1)  # sparse: costs no disk
        self.assertFails(run(self.release, self.out), mentions=("huge.bin", str(MAX_FILE)))
        self.assertFalse(os.path.exists(os.path.join(self.out, MANIFEST)))

    def test_failure_midway_writes_no_manifest_and_no_temporary(self):
        # A directory where a package must go: the packing of a.txt fails.
        os.makedirs(os.path.join(self.out, "a.txt.cab"))
        self.assertFails(run(self.release, self.out), mentions=("a.txt",))
        self.assertEqual(files_below(self.out), [], "no manifest, no temporary file")

    def test_names_the_manifest_cannot_carry(self):
        if KIND == "windows":
            self.skipTest("these names cannot exist on Windows")
        bad = ["colon:name.txt", "back\\slash.txt", "new\nline.txt", " leading.txt", "trailing.txt "]
        for name in bad:
            write(os.path.join(self.release, name), b"x")
        os.symlink(os.path.join(self.release, "sub"), os.path.join(self.release, "link-to-dir"))
        result = run(self.release, self.out)
        self.assertFails(result, mentions=["colon:name.txt", "back\\slash.txt", "link-to-dir", "leading.txt",
                                           "trailing.txt "])
        self.assertFalse(os.path.exists(self.out), "refused before anything was written")

    def test_names_the_updater_keeps_for_itself(self):
        # Its bookkeeping, in any letter case, and a 0x7F that the updater refuses:
        # a release made here is always one the updater takes.
        kept = ["nolt-patch-updater.serial", "NOLT-Patch-Updater.sig", ".nolt-packages/a.dll.cab",
                "sub/.nolt-Ab12Cd.tmp"]
        if KIND != "windows":
            kept.append("del\x7f.txt")
        for name in kept:
            write(os.path.join(self.release, name), b"x")
        result = run(self.release, self.out)
        self.assertFails(result, mentions=["nolt-patch-updater.serial", "NOLT-Patch-Updater.sig",
                                           ".nolt-packages\\a.dll.cab", "sub\\.nolt-Ab12Cd.tmp",
                                           "keeps for its own records"])
        self.assertFalse(os.path.exists(self.out), "refused before anything was written")

    def test_linked_file_and_utf8_name(self):
        if KIND == "windows":
            self.skipTest("links and UTF-8 names are Linux matters")
        os.symlink(os.path.join(self.release, "a.txt"), os.path.join(self.release, "link.txt"))
        write(os.path.join(self.release, "ünïcode.txt"), b"utf-8\n")
        self.assertEqual(run(self.release, self.out).returncode, 0)
        got = subprocess.run(["cabextract", "-q", "-p", os.path.join(self.out, "link.txt.cab")],
                             capture_output=True, check=True).stdout
        self.assertEqual(got, b"first\n", "a link is packed as the file it names")
        h = parse_cab(os.path.join(self.out, "ünïcode.txt.cab"))
        self.assertEqual(h["name"], "ünïcode.txt".encode())
        self.assertEqual(h["attribs"], 0xA0, "archive, and the name flagged as UTF-8")
        self.assertEqual(cabextract_list(os.path.join(self.out, "ünïcode.txt.cab")), [(6, "ünïcode.txt")])


class Signing(unittest.TestCase):
    """keygen and --sign. That the signature verifies is shown by the updater's tests."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nolt-mkpatch-sign-")
        self.release = os.path.join(self.tmp, "rel")
        self.out = os.path.join(self.tmp, "out")
        self.key = os.path.join(self.tmp, "vendor.key")
        write(os.path.join(self.release, "a.txt"), b"first\n")
        write(os.path.join(self.release, "sub", "b b.txt"), b"bee\n")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def test_keygen_writes_a_private_key_and_never_replaces_one(self):
        result = run("keygen", self.key)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.key) as f:
            secret = f.read()
        with open(self.key + ".pub") as f:
            public = f.read()
        for text in (secret, public):
            self.assertRegex(text, r"^[0-9a-f]{64}\n$")
        self.assertNotEqual(secret, public)
        if KIND == "native":
            self.assertEqual(os.stat(self.key).st_mode & 0o777, 0o600)
        again = run("keygen", self.key)
        self.assertEqual(again.returncode, 1)
        with open(self.key) as f:
            self.assertEqual(f.read(), secret, "an existing key is kept")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["rel", "vendor.key", "vendor.key.pub"], "no temporary left")

    def test_sign_states_manifest_and_packages_and_refuses_bad_options(self):
        self.assertEqual(run("keygen", self.key).returncode, 0)
        before = int(time.time())
        result = run("--sign", self.key, "--serial", "42", "--expires", "2", self.release, self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(self.out, "nolt-patch-updater.sig"), "rb") as f:
            lines = f.read().decode().split("\n")

        def stated(name):
            with open(os.path.join(self.out, name), "rb") as f:
                data = f.read()
            return "%d %s" % (len(data), hashlib.sha256(data).hexdigest())

        self.assertEqual(lines[0:2], ["NOLT release signature 1", "serial 42"])
        expires = int(lines[2].split(" ")[1])
        self.assertTrue(before + 2 * 86400 <= expires <= int(time.time()) + 2 * 86400)
        self.assertEqual(lines[3:6], ["manifest " + stated(MANIFEST), "package " + stated("a.txt.cab") + " a.txt.cab",
                                      "package " + stated("sub/b b.txt.cab") + " sub\\b b.txt.cab"])
        self.assertRegex(lines[6], r"^signature [0-9a-f]{128}$")
        self.assertEqual(lines[7:], [""])

        # A default serial is the time; an unsigned run writes no signature file.
        other = os.path.join(self.tmp, "out2")
        self.assertEqual(run("--sign", self.key, self.release, other).returncode, 0)
        with open(os.path.join(other, "nolt-patch-updater.sig")) as f:
            self.assertGreaterEqual(int(f.read().split("\n")[1].split(" ")[1]), before)
        shutil.rmtree(other)
        self.assertEqual(run(self.release, other).returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(other, "nolt-patch-updater.sig")))

        # Wrong options are usage errors; a file that is no key fails before anything is written.
        for args in (["--serial", "1", self.release, other], ["--sign", self.key, "--serial", "-1", self.release, other],
                     ["--sign", self.key, "--expires", "x", self.release, other], ["--sign"], ["keygen"]):
            with self.subTest(args=args):
                self.assertEqual(run(*args).returncode, 2)
        fresh = os.path.join(self.tmp, "out3")
        bad = run("--sign", self.key + ".pub.missing", self.release, fresh)
        self.assertEqual(bad.returncode, 1)
        write(os.path.join(self.tmp, "junk.key"), b"not a key\n")
        bad = run("--sign", os.path.join(self.tmp, "junk.key"), self.release, fresh)
        self.assertEqual(bad.returncode, 1)
        self.assertIn(b"not a secret key", bad.stderr)
        self.assertFalse(os.path.exists(fresh), "refused before anything was written")


def main():
    global KIND, COMMAND
    parser = argparse.ArgumentParser()
    parser.add_argument("--kind", choices=["native", "windows"], default="native")
    parser.add_argument("command", nargs="+")
    args, rest = parser.parse_known_args()
    KIND, COMMAND = args.kind, args.command + rest
    os.environ["TZ"] = TZ
    time.tzset()
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
