#!/usr/bin/env python3
"""nolt-cab over the external cabinet corpus (cabinets of other projects' test
suites, with what cabextract made of them in EXPECTED.tsv).

- Valid cabinets list as cabextract lists them (stored name, size, date) and
  extract to the same bytes (the md5 sums of EXPECTED.tsv). Entry names that
  would leave the target directory, or that carry a control byte, are not
  written and the status is 1.
- The parts of a cabinet set, extracted one after the other into one directory,
  give the set's files (each part extracts the entries that begin in it and
  follows those that run on into the next parts).
- Malformed cabinets are rejected with status 1: no crash, no hang, no
  sanitizer report, no temporary file left, nothing written outside the target.
- Cabinets that cabextract finds only by scanning a file for embedded cabinets
  are no cabinets to the cabinet library: status 1.

The corpus lies outside the repository: NOLT_CORPUS_DIR, or shared/corpus beside
the source tree or one level further up. Without it the test is skipped (77).

Usage: corpus_test.py --tool NOLT_CAB --source-dir DIR [--runner wine-run --runner 64]
"""
import argparse
import csv
import datetime
import hashlib
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cabtool import Tool, dos_text, files_below, local_name  # noqa: E402

LEFT_OUT = {"cabextract/cabs/large-files-cab.cab"}  # 6 GB to extract
# Sound headers whose data lies beyond the end of the file: the library lists
# them (it reads only the headers for that) and fails when extracting.
LISTABLE_DAMAGED = {"libmspack/hidden-file-bad-folderid.cab", "libmspack/hidden-file-beyond-eof.cab"}
# Under Wine the Windows tool uses Wine's cabinet.dll, which differs from the
# system library of Windows: it accepts many damaged headers and data that
# libmspack rejects (there the test asks only that nothing crashes, hangs or is
# written outside the target), and its Quantum decoder fails on this one.
WINE_DECODER_FAILS = {"cabextract/bugs/cve-2010-2801-qtm-flush.cab"}
SETS = [
    # (members in order, names the set uses for them, the rows that describe the whole set)
    (["cabextract/cabs/split-%d.cab" % i for i in range(1, 6)], None, "cabextract/cabs/split-1.cab"),
    (["libmspack/multi_basic_pt%d.cab" % i for i in range(1, 6)],
     ["cabd_multi_basic_pt%d.cab" % i for i in range(1, 6)], "libmspack/multi_basic_pt1.cab#as-set"),
    (["libarchive/test_read_format_cab_multi.p1.cab", "libarchive/test_read_format_cab_multi.p2.cab"], None,
     "libarchive/test_read_format_cab_multi.p1.cab"),
]


def find_corpus(source_dir):
    candidates = [os.environ.get("NOLT_CORPUS_DIR", "")]
    if source_dir:
        candidates += [os.path.join(source_dir, "..", "shared", "corpus"),
                       os.path.join(source_dir, "..", "..", "shared", "corpus")]
    for c in candidates:
        if c and os.path.isfile(os.path.join(c, "INDEX.tsv")):
            return os.path.abspath(c)
    return None


def read_tsv(path):
    with open(path, newline="", encoding="utf-8", errors="surrogateescape") as f:
        return list(csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE))


def safe(name):
    """Whether the component writes an entry of this stored name."""
    if not name or name[:1] in b"/\\" or name[-1:] in b"/\\" or b":" in name:
        return False
    if any(b < 0x20 or b == 0x7F for b in name):  # control bytes
        return False
    for part in name.replace(b"\\", b"/").split(b"/"):
        if b".." in part and not part.strip(b". "):
            return False
    return True


def representable(name):
    """Whether Windows can name a file so whatever the code page: printable ASCII
    without the characters that Windows file names cannot hold."""
    return all(0x20 <= b < 0x7F and b not in b'<>"|?*' for b in name)


class Expected:
    def __init__(self, row):
        raw = row["raw_name_hex"]
        self.listed = row["name_as_listed"].encode("utf-8", "surrogateescape")
        self.name = bytes.fromhex(raw) if raw != "-" else self.listed
        self.size = int(row["size"])
        if row["dos_date"] != "-":
            self.date = dos_text(int(row["dos_date"], 16), int(row["dos_time"], 16))
            try:
                datetime.datetime.strptime(self.date, "%Y-%m-%d %H:%M:%S")
            except ValueError:
                # No calendar date: the component keeps no date (0, 1899-12-30).
                self.date = "1899-12-30 00:00:00"
        else:
            d, m, y = row["date"].split(".")
            self.date = "%s-%s-%s %s" % (y, m, d, row["time"])
        self.md5 = row["md5"]


class CorpusRun:
    def __init__(self, tool, corpus):
        self.tool = tool
        self.corpus = corpus
        self.failures = []
        self.checked = 0
        self.expected = {}
        for row in read_tsv(os.path.join(corpus, "EXPECTED.tsv")):
            self.expected.setdefault(row["local_path"], []).append(Expected(row))

    def fail(self, what, why):
        self.failures.append("%s: %s" % (what, why))

    def check(self, what, ok, why):
        if not ok:
            self.fail(what, why)
        return ok

    def sandbox(self):
        """A fresh root with an empty target and an empty working directory."""
        root = tempfile.mkdtemp(prefix="nolt-corpus-")
        os.makedirs(os.path.join(root, "target"))
        os.makedirs(os.path.join(root, "cwd"))
        return root

    def contained(self, what, root):
        """Nothing was written beside the target or into the working directory, and no
        temporary file of ours is left in the target."""
        self.check(what, sorted(os.listdir(root)) == ["cwd", "target"], "wrote outside the target: %s" % os.listdir(root))
        self.check(what, not os.listdir(os.path.join(root, "cwd")), "wrote into the working directory")
        for f in files_below(os.path.join(root, "target")):
            base = os.path.basename(f)
            self.check(what, not base.startswith(b".nolt-") and not (base.startswith(b"nlt") and base.endswith(b".tmp")),
                       "temporary file left: %r" % f)

    def windows_skips(self, name):
        # Under Wine names pass through the ANSI code page and a case-insensitive view.
        return self.tool.windows and not representable(name)

    def check_files(self, what, target, entries):
        expected = {}
        for e in entries:
            if safe(e.name):
                expected[local_name(e.name)] = e
        present = files_below(target)
        for path, e in expected.items():
            if self.windows_skips(path):
                continue
            full = os.path.join(os.fsencode(target), path)
            if not self.check(what, path in present, "missing %r" % path):
                continue
            if e.md5 != "-":
                with open(full, "rb") as f:
                    self.check(what, hashlib.md5(f.read()).hexdigest() == e.md5, "wrong bytes in %r" % path)
        if not self.tool.windows:
            extra = present - set(expected)
            self.check(what, not extra, "unexpected files %r" % sorted(extra))

    def valid(self, rel, entries):
        cab = os.path.join(self.corpus, rel)
        listing = self.tool.listing(cab)
        if not self.check(rel, listing is not None, "list failed"):
            return
        self.check(rel, len(listing) == len(entries), "%d entries listed, %d expected" % (len(listing), len(entries)))
        for (size, date, name), e in zip(listing, entries):
            self.check(rel, name in (e.name, e.listed), "name %r, expected %r" % (name, e.name))
            self.check(rel, size == e.size, "%r: size %d, expected %d" % (name, size, e.size))
            self.check(rel, date == e.date, "%r: date %s, expected %s" % (name, date, e.date))
        root = self.sandbox()
        try:
            status = self.tool.extract(cab, os.path.join(root, "target"), cwd=os.path.join(root, "cwd"))
            names = [name for _, _, name in listing]
            if not all(safe(n) for n in names):
                self.check(rel, status == 1, "extract status %d" % status)
            elif self.tool.windows and rel in WINE_DECODER_FAILS:
                return
            elif not self.tool.windows or all(representable(n) for n in names):
                self.check(rel, status == 0, "extract status %d" % status)
            # Entries as we list them (a reader may take names from other records, see hidden-files).
            named = [e if name == e.name else _renamed(e, name) for (_, _, name), e in zip(listing, entries)]
            self.check_files(rel, os.path.join(root, "target"), named)
            self.contained(rel, root)
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def malformed(self, rel, verdict):
        cab = os.path.join(self.corpus, rel)
        if self.tool.windows:
            self.tool.listing(cab)
            root = self.sandbox()
            try:
                self.tool.extract(cab, os.path.join(root, "target"), cwd=os.path.join(root, "cwd"))
                self.contained(rel, root)
            finally:
                shutil.rmtree(root, ignore_errors=True)
            return
        if verdict == "malformed:reject-at-open" and rel not in LISTABLE_DAMAGED or verdict == "valid-search-mode":
            self.check(rel, self.tool.listing(cab) is None, "listed")
        else:
            self.tool.listing(cab)  # may list; must not crash or hang
        root = self.sandbox()
        try:
            status = self.tool.extract(cab, os.path.join(root, "target"), cwd=os.path.join(root, "cwd"))
            self.check(rel, status == 1, "extract status %d" % status)
            self.contained(rel, root)
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def cabinet_set(self, members, names, whole):
        what = "set " + whole
        work = tempfile.mkdtemp(prefix="nolt-corpus-set-")
        root = self.sandbox()
        try:
            paths = []
            for i, m in enumerate(members):
                p = os.path.join(work, names[i] if names else os.path.basename(m))
                shutil.copyfile(os.path.join(self.corpus, m), p)
                paths.append(p)
            listed = []
            for p in paths:
                rows = self.tool.listing(p)
                if self.check(what, rows is not None, "list of %s failed" % os.path.basename(p)):
                    listed += [name for _, _, name in rows]
                status = self.tool.extract(p, os.path.join(root, "target"), cwd=os.path.join(root, "cwd"))
                self.check(what, status == 0, "extract of %s: status %d" % (os.path.basename(p), status))
            entries = self.expected[whole]
            self.check(what, sorted(listed) == sorted(e.name for e in entries), "the parts list %r" % listed)
            self.check_files(what, os.path.join(root, "target"), entries)
            self.contained(what, root)
            self.check(what, sorted(os.listdir(work)) == sorted(os.path.basename(p) for p in paths), "wrote beside the parts")
        finally:
            shutil.rmtree(work, ignore_errors=True)
            shutil.rmtree(root, ignore_errors=True)

    def run(self):
        set_members = {m for members, _, _ in SETS for m in members}
        for row in read_tsv(os.path.join(self.corpus, "INDEX.tsv")):
            rel, verdict = row["local_path"], row["expected"]
            if "#" in rel or rel in LEFT_OUT or rel in set_members:
                continue
            if verdict in ("valid", "valid-quirk"):
                self.guarded(rel, self.valid, rel, self.expected.get(rel, []))
            else:
                self.guarded(rel, self.malformed, rel, verdict)
        for members, names, whole in SETS:
            self.guarded(whole, self.cabinet_set, members, names, whole)
        # The first part alone, under names the set does not use: the next part is
        # missing, which ends the extraction in failure (and not in a loop).
        self.guarded("multi_basic_pt1 alone", self.malformed, "libmspack/multi_basic_pt1.cab", "missing next part")

    def guarded(self, what, fn, *args):
        self.checked += 1
        try:
            fn(*args)
        except AssertionError as e:  # a hang, a crash or a sanitizer report
            self.fail(what, str(e))


def _renamed(e, name):
    r = Expected.__new__(Expected)
    r.__dict__.update(e.__dict__)
    r.name = name
    return r


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tool", required=True)
    p.add_argument("--source-dir")
    p.add_argument("--runner", action="append", help="the emulator command, one argument per use")
    args = p.parse_args()
    corpus = find_corpus(args.source_dir)
    if not corpus:
        print("corpus not found (set NOLT_CORPUS_DIR): skipped")
        return 77
    tool = Tool(args.tool, args.runner, timeout=120)
    tool.warm_up()
    run = CorpusRun(tool, corpus)
    run.run()
    for f in run.failures:
        print("FAIL", f)
    print("%d cabinets and sets checked, %d failures" % (run.checked, len(run.failures)))
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
