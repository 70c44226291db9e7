#!/usr/bin/env python3
"""The layering of the tree, read from the sources: who may call whom.

Each room may include headers of the rooms listed for it and of none above. Above
platform/ no file includes a system header (only the C and C++ standard library and
the compiler's CPU intrinsics) and none asks which system it is built for: a
difference between the targets is a seam operation.

Below platform/, each target's implementations are grouped in the same seam
families (internet/, cabinet/, ...), and no file lies outside them.

Usage: layout_test.py SOURCE_DIR
"""

import os
import re
import sys

# Who may call whom: each room and the rooms below it that it may include.
MAY_INCLUDE = {
    "base": set(),
    "platform": {"base"},
    "core": {"base", "platform"},
    "crc": {"base", "platform", "core"},
    "install": {"base", "platform", "core"},
    "release": {"base", "platform", "core", "install"},
    "runner": {"base", "platform", "core"},
    "cabfiles": {"base", "platform", "core", "install"},
    "webcopy": {"base", "platform", "core", "install"},
    "app": {"base", "platform", "core", "crc", "install", "release", "runner", "cabfiles", "webcopy", "resources"},
    "tools": {"base", "platform", "core", "crc", "install", "release", "runner", "cabfiles", "webcopy"},
    "devtools": {"base", "platform", "core", "webcopy"},
}

STANDARD = set("""
algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes climits clocale
cmath compare concepts condition_variable csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cwchar
cwctype deque exception filesystem format fstream functional future initializer_list iomanip ios iosfwd
iostream istream iterator limits list locale map memory mutex new numeric optional ostream queue random ranges
ratio regex set shared_mutex source_location span sstream stack stdexcept stop_token streambuf string
string_view system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set utility
variant vector version
""".split())
# The compiler's CPU intrinsics (the checksum's vector code), the same on both targets.
INTRINSICS = {"cpuid.h", "emmintrin.h", "wmmintrin.h", "immintrin.h", "smmintrin.h", "tmmintrin.h"}
# Asking which system the code is built for.
SYSTEM_TEST = re.compile(r"\b(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW32__|__MINGW64__)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def check(root):
    faults = []
    for room, allowed in MAY_INCLUDE.items():
        top = os.path.join(root, room)
        for folder, _, names in os.walk(top):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, root)
                with open(path, encoding="utf-8", errors="replace") as f:
                    lines = f.read().split("\n")
                for number, line in enumerate(lines, 1):
                    where = "%s:%d" % (rel, number)
                    m = INCLUDE.match(line)
                    if m:
                        kind, header = m.groups()
                        if kind == '"':
                            other = header.split("/")[0] if "/" in header else room
                            if other != room and other not in allowed:
                                faults.append("%s: %s may not include %s" % (where, room, header))
                        elif room != "platform" and header not in STANDARD and header not in INTRINSICS:
                            faults.append("%s: a system header above the seams: <%s>" % (where, header))
                    if room != "platform" and SYSTEM_TEST.search(line.split("//")[0]):
                        faults.append("%s: asks which system it is built for: %s" % (where, line.strip()))
    return faults


def families(root):
    """The seam families of the two targets: the same folders on both sides, so that
    the counterpart of a file is found by its path."""
    def folders(target):
        top = os.path.join(root, "platform", target)
        return {d for d in os.listdir(top) if os.path.isdir(os.path.join(top, d)) and d != "static"}
    posix, win32 = folders("posix"), folders("win32")
    faults = ["platform/%s/%s/ has no counterpart" % (t, d) for t, d in
              [("posix", d) for d in sorted(posix - win32)] + [("win32", d) for d in sorted(win32 - posix)]]
    for target in ("posix", "win32"):
        top = os.path.join(root, "platform", target)
        faults += ["platform/%s/%s: outside the seam families" % (target, n) for n in sorted(os.listdir(top))
                   if os.path.isfile(os.path.join(top, n))]
    return faults


def main():
    root = sys.argv[1]
    missing = [room for room in MAY_INCLUDE if not os.path.isdir(os.path.join(root, room))]
    faults = ["no room %s/" % room for room in missing] + check(root) + families(root)
    for fault in faults:
        print("FAULT:", fault)
    print("%d faults" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
