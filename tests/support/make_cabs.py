#!/usr/bin/env python3
"""Writes the cabinets of the cabinet tests into a directory.

Usage: make_cabs.py OUTDIR

The cabinets are written by a small writer of our own (stored and MSZIP data,
several folders, cabinet sets whose blocks are split across cabinets the way
cabinet makers split them), by gcab when it is installed, and by damaging good
cabinets on purpose. Everything is deterministic. Beside them:

  manifest.tsv   one line per entry, in cabinet order:
                 cabinet, index, name (hex of the stored bytes), size,
                 DOS date, DOS time (hex), expected content file (or "-")
  expected/      the content every entry must extract to
"""
import os
import shutil
import struct
import subprocess
import sys
import zlib

BLOCK = 32768


def dos_date(y, mo, d):
    return ((y - 1980) << 9) | (mo << 5) | d


def dos_time(h, mi, s):
    return (h << 11) | (mi << 5) | (s // 2)


def checksum(data, seed=0):
    """The cabinet block checksum: 32-bit words XORed, the tail bytes high first."""
    c = seed
    n = len(data) // 4 * 4
    for (w,) in struct.iter_unpack("<I", data[:n]):
        c ^= w
    tail = data[n:]
    ul = 0
    for b in tail:
        ul = (ul << 8) | b
    return c ^ ul


def data_block(payload, uncompressed):
    """A CFDATA record: checksum over the payload, then over cbData and cbUncomp."""
    sizes = struct.pack("<HH", len(payload), uncompressed)
    return struct.pack("<I", checksum(sizes, checksum(payload))) + sizes + payload


def mszip_blocks(data):
    """MSZIP: each block of up to 32 KB is 'CK' and a deflate stream that may
    refer back to the previous block."""
    out = []
    previous = b""
    for i in range(0, len(data), BLOCK):
        chunk = data[i:i + BLOCK]
        z = zlib.compressobj(9, zlib.DEFLATED, -15, 9, zlib.Z_DEFAULT_STRATEGY, **({"zdict": previous} if previous else {}))
        out.append((b"CK" + z.compress(chunk) + z.flush(zlib.Z_FINISH), len(chunk)))
        previous = chunk
    return out


def stored_blocks(data):
    return [(data[i:i + BLOCK], len(data[i:i + BLOCK])) for i in range(0, len(data), BLOCK)]


class Entry:
    def __init__(self, name, content, date, time, attribs=0x20):
        self.name = name if isinstance(name, bytes) else name.encode("latin-1")
        self.content = content
        self.date = date
        self.time = time
        self.attribs = attribs


def cabinet(folders, set_id=0, index=0, prev=None, next_=None, file_marks=None):
    """Builds one cabinet file.

    folders: list of (comp_type, blocks, entries) where blocks are (payload,
    cbUncomp) pairs already cut for this cabinet and entries are
    (Entry, offset_in_folder, folder_index_field).
    """
    flags = (1 if prev else 0) | (2 if next_ else 0)
    header_len = 36
    strings = b""
    if prev:
        strings += prev.encode() + b"\0" + b"disk\0"
    if next_:
        strings += next_.encode() + b"\0" + b"disk\0"
    folder_recs_len = 8 * len(folders)
    files = b""
    n_files = 0
    for _, _, entries in folders:
        for e, off, findex in entries:
            files += struct.pack("<IIHHHH", len(e.content), off, findex, e.date, e.time, e.attribs) + e.name + b"\0"
            n_files += 1
    files_off = header_len + len(strings) + folder_recs_len
    data_off = files_off + len(files)
    folder_recs = b""
    data = b""
    for comp, blocks, _ in folders:
        folder_recs += struct.pack("<IHH", data_off + len(data), len(blocks), comp)
        for payload, unc in blocks:
            data += data_block(payload, unc)
    total = data_off + len(data)
    head = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, total, 0, files_off, 0, 3, 1, len(folders), n_files, flags,
                                 set_id, index)
    return head + strings + folder_recs + files + data


def single(entries, comp, folders_split=None):
    """A cabinet of one or more folders holding the entries in order."""
    groups = folders_split or [entries]
    folders = []
    for findex, group in enumerate(groups):
        stream = b"".join(e.content for e in group)
        blocks = stored_blocks(stream) if comp == 0 else mszip_blocks(stream)
        recs, off = [], 0
        for e in group:
            recs.append((e, off, findex))
            off += len(e.content)
        folders.append((comp, blocks, recs))
    return cabinet(folders)


def pseudo_random(n, seed):
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 6364136223846793005 + 1442695040888963407) & 0xFFFFFFFFFFFFFFFF
        out += struct.pack("<Q", x)
    return bytes(out[:n])


def text(n, seed):
    words = [b"cabinet", b"folder", b"entry", b"block", b"update", b"patch", b"nolt", b"data", b"\n"]
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[x % len(words)] + b" "
    return bytes(out[:n])


class Writer:
    def __init__(self, outdir):
        self.outdir = outdir
        self.manifest = []

    def write(self, name, data, entries=None, listed=True):
        with open(os.path.join(self.outdir, name), "wb") as f:
            f.write(data)
        if entries is None:
            return
        for i, e in enumerate(entries):
            content = "-"
            if e.content is not None:
                content = "expected/%s/%d" % (name, i)
                path = os.path.join(self.outdir, content)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(e.content)
            self.manifest.append("\t".join([name, str(i), e.name.hex(), str(len(e.content)), "%04x" % e.date,
                                            "%04x" % e.time, content]))

    def finish(self):
        with open(os.path.join(self.outdir, "manifest.tsv"), "w") as f:
            f.write("".join(line + "\n" for line in self.manifest))


def main_entries():
    return [
        Entry("readme.txt", b"Read me first.\r\n", dos_date(2019, 7, 14), dos_time(10, 20, 30)),
        Entry("sub\\deeper\\file.txt", text(50000, 1), dos_date(2001, 2, 3), dos_time(4, 5, 6)),
        Entry("sub\\data.bin", pseudo_random(100000, 7), dos_date(2010, 12, 31), dos_time(23, 59, 58)),
        Entry("empty.dat", b"", dos_date(1980, 1, 1), dos_time(0, 0, 0)),
        Entry("fwd/slash.txt", b"forward slash\n", dos_date(2024, 2, 29), dos_time(12, 0, 0)),
        Entry("mixed\\a/b\\c.txt", text(3000, 3), dos_date(2099, 12, 31), dos_time(23, 59, 58)),
    ]


def write_set(w):
    """Three cabinets of one set: big.bin runs from set1 through set2 into set3,
    with blocks split at each cabinet boundary; last.txt begins in set3. set1
    names its successor "Set2.cab": cabinets are named on Windows, where case
    does not matter."""
    d, t = dos_date(2020, 5, 6), dos_time(7, 8, 10)
    first = Entry("first.txt", text(1000, 11), d, t)
    big = Entry("big\\big.bin", pseudo_random(100000, 13), d, t)
    last = Entry("last.txt", text(5000, 17), d, t)
    stream = first.content + big.content
    b = stored_blocks(stream)  # 4 blocks: 3 full, one of 2696 bytes
    # (payload, cbUncomp): the head of a split block has cbUncomp 0.
    cab1 = [b[0], (b[1][0][:10000], 0)]
    cab2 = [(b[1][0][10000:], BLOCK), (b[2][0][:5000], 0)]
    cab3 = [(b[2][0][5000:], BLOCK), b[3]]
    w.write("set1.cab", cabinet([(0, cab1, [(first, 0, 0), (big, 1000, 0xFFFE)])], 4242, 0, next_="Set2.cab"),
            [first, big])
    w.write("set2.cab", cabinet([(0, cab2, [(big, 1000, 0xFFFF)])], 4242, 1, prev="set1.cab", next_="set3.cab"), [])
    w.write("set3.cab", cabinet([(0, cab3, [(big, 1000, 0xFFFD)]), (0, stored_blocks(last.content), [(last, 0, 1)])],
                                4242, 2, prev="set2.cab"), [last])


def write_gcab(w, work):
    """The same kind of tree packed by gcab, stored and MSZIP."""
    gcab = shutil.which("gcab")
    if not gcab:
        return
    src = os.path.join(work, "gcab-src")
    files = [("a.txt", b"gcab made this\n"), ("sub/deeper/r.bin", pseudo_random(70000, 21)),
             ("sub/text.txt", text(120000, 23))]
    for i, (rel, content) in enumerate(files):
        p = os.path.join(src, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(content)
        os.utime(p, (1500000000 + i * 1000, 1500000000 + i * 1000))
    for name, args in (("gcab-stored.cab", ["-c"]), ("gcab-mszip.cab", ["-c", "-z"])):
        out = os.path.join(w.outdir, name)
        subprocess.run([gcab] + args + [out] + [rel for rel, _ in files], cwd=src, check=True,
                       stdout=subprocess.DEVNULL)
        # The dates gcab chose (from the files' times) are read back from its records.
        raw = open(out, "rb").read()
        files_off, = struct.unpack_from("<I", raw, 16)
        n_files, = struct.unpack_from("<H", raw, 28)
        entries, off = [], files_off
        for i in range(n_files):
            size, _, _, date, time, attribs = struct.unpack_from("<IIHHHH", raw, off)
            end = raw.index(b"\0", off + 16)
            stored = raw[off + 16:end]
            rel = stored.decode().replace("\\", "/")
            content = dict(files)[rel]
            assert size == len(content)
            entries.append(Entry(stored, content, date, time, attribs))
            off = end + 1
        with open(out, "rb") as f:
            data = f.read()
        w.write(name, data, entries)


def main():
    outdir = sys.argv[1]
    if os.path.isdir(outdir):
        shutil.rmtree(outdir)
    os.makedirs(outdir)
    w = Writer(outdir)

    entries = main_entries()
    stored = single(entries, 0)
    w.write("stored.cab", stored, entries)
    mszip = single(entries, 1, [entries[:3], entries[3:]])
    w.write("mszip.cab", mszip, entries)

    write_set(w)

    # Programs and scripts: on Linux these become executable.
    d, t = dos_date(2022, 1, 2), dos_time(3, 4, 6)
    prog = [Entry("bin\\tool.sh", b"#!/bin/sh\necho tool\n", d, t),
            Entry("bin\\prog", b"\x7fELF\x02\x01\x01" + bytes(57), d, t),
            Entry("bin\\notes.txt", b"#not a script\n", d, t)]
    w.write("programs.cab", single(prog, 0), prog)

    # An entry whose DOS date is no calendar date (month 13).
    bad = [Entry("baddate.txt", b"odd date\n", (40 << 9) | (13 << 5) | 1, dos_time(1, 2, 4))]
    w.write("baddate.cab", single(bad, 0), bad)

    # Names that must not be written (climbing out, control bytes, streams), around
    # two that must.
    d, t = dos_date(2021, 6, 7), dos_time(8, 9, 10)
    names = ["ok.txt", "../evil1.txt", "/evil2.txt", "C:\\evil3.txt", "sub\\..\\..\\evil4.txt",
             "\\\\server\\share\\evil5.txt", ".. \\evil6.txt", "sub\\ok2.txt", "sub\\",
             "ctrl\x01.txt", "stream.txt:s", "del\x7f.txt"]
    trav = [Entry(n, ("content of %s\n" % n).encode(), d, t) for n in names]
    w.write("traversal.cab", single(trav, 0), trav)

    # Damaged cabinets.
    w.write("badsig.cab", b"MSCG" + stored[4:])
    # The checksum of the first block that holds sub\data.bin (the third).
    first_block, = struct.unpack_from("<I", stored, 36)
    pos = first_block
    for _ in range(2):
        cb, = struct.unpack_from("<H", stored, pos + 4)
        pos += 8 + cb
    damaged = bytearray(stored)
    damaged[pos] ^= 0x55
    w.write("badsum.cab", bytes(damaged))
    # Cut inside the data of sub\data.bin: the entries before it are whole.
    w.write("truncated.cab", mszip[:len(mszip) * 3 // 5])
    w.write("notcab.bin", b"This is not a cabinet, just text.\n" * 10)

    write_gcab(w, os.path.join(outdir, "work"))
    shutil.rmtree(os.path.join(outdir, "work"), ignore_errors=True)
    w.finish()


if __name__ == "__main__":
    main()
