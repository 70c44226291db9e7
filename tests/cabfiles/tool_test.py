#!/usr/bin/env python3
"""nolt-cab over the cabinets that make_cabs.py wrote: the listing format, the
extraction, the exit statuses, and (natively, when cabextract is installed) the
same files as cabextract writes.

Usage: tool_test.py --tool NOLT_CAB --data DIR [--runner wine-run --runner 64]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cabtool import Tool, dos_text, files_below, local_name  # noqa: E402

ARGS = None


def manifest(cab):
    rows = []
    with open(os.path.join(ARGS.data, "manifest.tsv")) as f:
        for line in f:
            c, _, name, size, date, time, content = line.rstrip("\n").split("\t")
            if c == cab:
                with open(os.path.join(ARGS.data, content), "rb") as f:
                    data = f.read()
                rows.append((bytes.fromhex(name), int(size), int(date, 16), int(time, 16), data))
    return rows


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.tool = Tool(ARGS.tool, ARGS.runner)
        self.tmp = tempfile.mkdtemp(prefix="nolt-cab-tool-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def cab(self, name):
        return os.path.join(ARGS.data, name)

    def test_list_prints_size_date_and_stored_name(self):
        for cab in ("stored.cab", "mszip.cab", "set1.cab", "gcab-mszip.cab"):
            if not os.path.exists(self.cab(cab)):
                continue
            expected = [(size, dos_text(d, t), name) for name, size, d, t, _ in manifest(cab)]
            self.assertEqual(self.tool.listing(self.cab(cab)), expected, cab)

    def test_extract_writes_every_entry_and_replaces_existing_files(self):
        target = os.path.join(self.tmp, "out")
        os.makedirs(os.path.join(target, "sub"))
        with open(os.path.join(target, "sub", "data.bin"), "wb") as f:
            f.write(b"old")
        self.assertEqual(self.tool.extract(self.cab("mszip.cab"), target), 0)
        rows = manifest("mszip.cab")
        self.assertEqual(files_below(target), {local_name(r[0]) for r in rows})
        for name, _, _, _, data in rows:
            with open(os.path.join(os.fsencode(target), local_name(name)), "rb") as f:
                self.assertEqual(f.read(), data, name)

    def test_failures_give_a_nonzero_status_and_a_message(self):
        target = os.path.join(self.tmp, "out")
        os.makedirs(target)
        for cab in ("badsig.cab", "notcab.bin", "truncated.cab", "badsum.cab", "no-such.cab"):
            status, _, err = self.tool.run("extract", self.tool.path(self.cab(cab)), self.tool.path(target))
            self.assertEqual(status, 1, cab)
            self.assertIn(b"nolt-cab:", err, cab)
        for cab in ("badsig.cab", "notcab.bin", "no-such.cab"):
            self.assertEqual(self.tool.run("list", self.tool.path(self.cab(cab)))[0], 1, cab)
        self.assertEqual(self.tool.run()[0], 2)
        self.assertEqual(self.tool.run("extract", "only-one-argument")[0], 2)

    def test_names_leaving_the_target_are_not_written(self):
        root = os.path.join(self.tmp, "root")
        target = os.path.join(root, "a", "target")
        os.makedirs(target)
        self.assertEqual(self.tool.extract(self.cab("traversal.cab"), target), 1)
        self.assertEqual(files_below(root), {b"a/target/ok.txt", b"a/target/sub/ok2.txt"})

    def test_same_files_as_cabextract(self):
        cabextract = shutil.which("cabextract")
        if self.tool.windows or not cabextract:
            self.skipTest("needs cabextract and the native tool")
        for cab in ("stored.cab", "mszip.cab", "programs.cab", "gcab-stored.cab", "gcab-mszip.cab"):
            if not os.path.exists(self.cab(cab)):
                continue
            ours, theirs = os.path.join(self.tmp, cab + ".ours"), os.path.join(self.tmp, cab + ".theirs")
            os.makedirs(ours)
            self.assertEqual(self.tool.extract(self.cab(cab), ours), 0, cab)
            subprocess.run([cabextract, "-q", "-d", theirs, self.cab(cab)], check=True)
            # cabextract keeps a "/" inside a stored name as a character; both
            # targets here read it as a separator, as Windows does.
            common = {local_name(r[0]) for r in manifest(cab) if b"/" not in r[0]}
            self.assertTrue(common, cab)
            self.assertTrue(common <= files_below(ours) and common <= files_below(theirs), cab)
            for rel in common:
                with open(os.path.join(os.fsencode(ours), rel), "rb") as a, \
                        open(os.path.join(os.fsencode(theirs), rel), "rb") as b:
                    self.assertEqual(a.read(), b.read(), (cab, rel))


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--tool", required=True)
    p.add_argument("--data", required=True)
    p.add_argument("--runner", action="append", help="the emulator command, one argument per use")
    ARGS, rest = p.parse_known_args()
    Tool(ARGS.tool, ARGS.runner).warm_up()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
