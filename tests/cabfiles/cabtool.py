"""Running nolt-cab from the tool tests, natively or under an emulator (Wine)."""
import os
import subprocess

SANITIZER_MARKS = (b"Sanitizer", b"runtime error:")


class Tool:
    def __init__(self, tool, runner=None, timeout=120):
        self.tool = tool
        self.runner = list(runner or [])  # the emulator command, one argument per item
        self.timeout = timeout

    def warm_up(self):
        """The first program of a fresh Wine prefix or server may take long to start;
        that is no hang of ours."""
        if self.runner:
            try:
                subprocess.run(self.runner + [self.tool], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=600)
            except subprocess.TimeoutExpired:
                pass

    @property
    def windows(self):
        return bool(self.runner)

    def path(self, p):
        """A path as the program takes it: Linux paths are drive Z: under Wine."""
        p = os.path.abspath(p)
        return "Z:" + p.replace("/", "\\") if self.windows else p

    def run(self, *args, cwd=None):
        """Runs the tool; returns (status, stdout, stderr). A hang, a crash or a
        sanitizer report fails the test at once."""
        cmd = self.runner + [self.tool] + list(args)
        try:
            p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=self.timeout, cwd=cwd)
        except subprocess.TimeoutExpired:
            raise AssertionError("hang: %s" % " ".join(cmd))
        if p.returncode < 0 or p.returncode > 2:
            raise AssertionError("crash (status %d): %s\n%s" % (p.returncode, " ".join(cmd), p.stderr.decode(errors="replace")))
        if any(m in p.stderr for m in SANITIZER_MARKS):
            raise AssertionError("sanitizer report: %s\n%s" % (" ".join(cmd), p.stderr.decode(errors="replace")))
        return p.returncode, p.stdout.replace(b"\r\n", b"\n"), p.stderr

    def listing(self, cab):
        """The entries nolt-cab lists: [(size, date text, name bytes)], or None on failure."""
        status, out, _ = self.run("list", self.path(cab))
        if status != 0:
            return None
        rows = []
        for line in out.split(b"\n"):
            if line:
                size, date, name = line.split(b"\t", 2)
                rows.append((int(size), date.decode(), name))
        return rows

    def extract(self, cab, target, cwd=None):
        return self.run("extract", self.path(cab), self.path(target), cwd=cwd)[0]


def dos_text(date, time):
    """'YYYY-MM-DD HH:MM:SS' of a DOS date and time."""
    return "%04d-%02d-%02d %02d:%02d:%02d" % (1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11,
                                              (time >> 5) & 63, (time & 31) * 2)


def local_name(stored):
    """Where an entry lands below the target: backslashes separate on both targets."""
    return stored.replace(b"\\", b"/")


def files_below(root):
    """Every regular file below root, as relative byte paths."""
    out = set()
    for d, _, names in os.walk(os.fsencode(root)):
        for n in names:
            out.add(os.path.relpath(os.path.join(d, n), os.fsencode(root)))
    return out
