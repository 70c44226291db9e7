#!/usr/bin/env python3
"""nolt-webcopy against the HTTP and FTP test servers: get and put of the same file
round trip byte for byte in one run, FTP items of one account share one logon, the exit statuses (success, a 404 download, a refused
connection, wrong arguments), the error lines, the help, and the progress line
(only on a terminal). Natively the program runs without a display.

Usage: nolt_webcopy_test.py --tool NOLT_WEBCOPY --server nolt_http_server.py
                            [--runner wine-run --runner 64]
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cabfiles"))
from cabtool import Tool  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import nolt_smb_server  # noqa: E402

ARGS = None
WORDS = ("get", "put", "post", "ftp-get", "ftp-put", "copy", "--show", "--passive", "--newer-only", "--proxy")


def free_port():
    """A loopback port on which nothing listens."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Server:
    def __init__(self, root):
        self.root = root
        port_file = os.path.join(root, "..", "port")
        self.proc = subprocess.Popen([sys.executable, ARGS.server, "--root", root, "--port-file", port_file],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if time.monotonic() > deadline:
                raise RuntimeError("the HTTP test server did not start")
            time.sleep(0.02)
        with open(port_file) as f:
            self.port = int(f.read())

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        try:
            urllib.request.urlopen(self.url("/_quit"), timeout=10).read()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class FtpServer:
    """tests/support/nolt_ftp_server.py beside the HTTP server, under /usr/bin/python3
    (which can import pyftpdlib)."""

    USER, PASSWORD = "nolt", "s3cret"

    def __init__(self, tmp):
        self.root = os.path.join(tmp, "ftproot")
        self.log = os.path.join(tmp, "ftp.jsonl")
        os.makedirs(self.root)
        port_file = os.path.join(tmp, "ftpport")
        script = os.path.join(os.path.dirname(ARGS.server), "nolt_ftp_server.py")
        self.proc = subprocess.Popen(["/usr/bin/python3", script, "--root", self.root, "--user", self.USER,
                                      "--password", self.PASSWORD, "--log", self.log, "--port-file", port_file],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if time.monotonic() > deadline:
                raise RuntimeError("the FTP test server did not start")
            time.sleep(0.02)
        with open(port_file) as f:
            self.port = int(f.read().split()[0])

    def url(self, path):
        return "ftp://%s:%s@127.0.0.1:%d%s" % (self.USER, self.PASSWORD, self.port, path)

    def commands(self, name):
        import json
        with open(self.log) as f:
            return [r for r in map(json.loads, f) if r.get("cmd") == name]

    def stop(self):
        # The server ends when its root is gone.
        shutil.rmtree(self.root, ignore_errors=True)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class NoltWebCopyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="nolt-webcopy-")
        cls.www = os.path.join(cls.tmp, "www")
        os.makedirs(cls.www)
        cls.server = Server(cls.www)
        cls.ftp = FtpServer(cls.tmp)
        cls.tool = Tool(ARGS.tool, ARGS.runner)

    @classmethod
    def tearDownClass(cls):
        cls.ftp.stop()
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_tool(self, *args):
        # Natively without a display: the program never needs one.
        env_keep = {k: os.environ.pop(k) for k in ("DISPLAY", "WAYLAND_DISPLAY") if k in os.environ and not ARGS.runner}
        try:
            status, out, err = self.tool.run(*args)
        finally:
            os.environ.update(env_keep)
        return status, out, err.replace(b"\r\n", b"\n").decode(errors="replace")

    def local(self, *parts):
        return os.path.join(self.tmp, *parts)

    def test_put_then_get_round_trips_byte_for_byte_in_one_run(self):
        data = bytes(range(256)) * 4000 + b"\0\r\n\x1a" + os.urandom(100003)
        src = self.local("source.bin")
        with open(src, "wb") as f:
            f.write(data)
        out = self.local("fetched")
        status, _, err = self.run_tool("put", self.server.url("/round/trip.bin"), self.tool.path(src),
                                       "get", self.server.url("/round/trip.bin"), self.tool.path(out))
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")
        with open(os.path.join(self.www, "round", "trip.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        with open(os.path.join(out, "trip.bin"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_ftp_items_of_one_account_share_one_logon(self):
        files = {"a.bin": os.urandom(300001), "b.bin": b"\0\r\n" * 1000, "c.bin": b""}
        os.makedirs(os.path.join(self.ftp.root, "pub"))
        for name, data in files.items():
            with open(os.path.join(self.ftp.root, "pub", name), "wb") as f:
                f.write(data)
        out = self.local("ftp-fetched")
        args = ["--passive"]
        for name in files:
            args += ["ftp-get", self.ftp.url("/pub/" + name), self.tool.path(out)]
        args += ["ftp-put", self.tool.path(self.local("ftp-fetched", "a.bin")), self.ftp.url("/up/a.bin"),
                 "ftp-put", self.tool.path(self.local("ftp-fetched", "b.bin")), self.ftp.url("/up/b2.bin")]
        status, _, err = self.run_tool(*args)
        self.assertEqual(status, 0, err)
        for name, data in files.items():
            with open(os.path.join(out, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
        for local, remote in (("a.bin", "a.bin"), ("b.bin", "b2.bin")):
            with open(os.path.join(self.ftp.root, "up", remote), "rb") as f:
                self.assertEqual(f.read(), files[local], remote)
        self.assertEqual(len(self.ftp.commands("USER")), 1)
        self.assertEqual(len(self.ftp.commands("PASS")), 1)

    def test_exit_statuses_and_error_lines(self):
        empty = self.local("empty.bin")
        open(empty, "wb").close()
        dead = "http://127.0.0.1:%d" % free_port()
        cases = [
            # (arguments, status, a line that standard error must hold)
            (["post", self.server.url("/in/empty.bin"), self.tool.path(empty)], 0, None),
            (["get", self.server.url("/missing.bin"), self.tool.path(self.local("o"))], 1,
             "nolt-webcopy: 404: Returned http error code 404"),
            (["get", dead + "/a.bin", self.tool.path(self.local("o"))], 1,
             "nolt-webcopy: %s/a.bin: cannot be opened" % dead),
            (["put", dead + "/a.bin", self.tool.path(empty)], 1, "nolt-webcopy: 12029: "),
            # The second item runs although the first failed; one failure makes the status 1.
            (["get", self.server.url("/missing.bin"), self.tool.path(self.local("o")),
              "put", self.server.url("/in/after.bin"), self.tool.path(empty)], 1, "nolt-webcopy: 404: "),
            ([], 2, "usage: nolt-webcopy"),
            (["get", self.server.url("/a")], 2, "usage: nolt-webcopy"),
            (["get", "ftp://host/a", "dir"], 2, "usage: nolt-webcopy"),
        ]
        for args, status, line in cases:
            with self.subTest(args=args):
                got, _, err = self.run_tool(*args)
                self.assertEqual(got, status, err)
                if line:
                    self.assertIn(line, err)
                # No progress line when standard error is no terminal.
                self.assertNotIn("\r", err)
        self.assertTrue(os.path.exists(os.path.join(self.www, "in", "after.bin")))

    def test_help_names_every_word_with_an_example(self):
        status, out, _ = self.run_tool("--help")
        self.assertEqual(status, 0)
        text = out.decode()
        examples = [l for l in text.splitlines() if l.strip().startswith("nolt-webcopy ")]
        for word in WORDS:
            self.assertTrue(any((" %s " % word) in l for l in examples), word)

    @unittest.skipIf(sys.platform != "linux", "a terminal of the system")
    def test_a_terminal_gets_one_progress_line_rewritten_in_place(self):
        if ARGS.runner:
            self.skipTest("Wine's console is no terminal of the system")
        import pty
        src = self.local("progress.bin")
        with open(src, "wb") as f:
            f.write(os.urandom(3 * 1024 * 1024))
        master, slave = pty.openpty()
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        p = subprocess.Popen([ARGS.tool, "put", self.server.url("/in/progress.bin"), src],
                             stdout=subprocess.DEVNULL, stderr=slave, env=env)
        os.close(slave)
        chunks = []
        while True:
            try:
                piece = os.read(master, 4096)
            except OSError:
                break
            if not piece:
                break
            chunks.append(piece)
        os.close(master)
        self.assertEqual(p.wait(timeout=120), 0)
        text = b"".join(chunks).decode(errors="replace")
        self.assertIn("\r[1/1] progress.bin", text)
        self.assertIn("3.1 MB of 3.1 MB (100%)", text)
        self.assertEqual(text.count("\n"), 1)  # the line ends once, when the item is done

    def test_copy_from_a_local_path_and_from_a_share(self):
        data = bytes(range(256)) * 300 + os.urandom(50001)
        src = self.local("copy-source.bin")
        with open(src, "wb") as f:
            f.write(data)
        out = self.local("copied")
        status, _, err = self.run_tool("copy", self.tool.path(src), self.tool.path(out))
        self.assertEqual((status, err), (0, ""))
        with open(os.path.join(out, "copy-source.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        # Shares: Samba's smbd, for the Linux program run as root (Wine has no share client).
        if ARGS.runner or not nolt_smb_server.have_root():
            self.skipTest("no share server for this program here")
        root = tempfile.mkdtemp(prefix="nolt-share-", dir=self.tmp)
        os.chmod(self.tmp, 0o755)
        os.makedirs(os.path.join(root, "dir"))
        with open(os.path.join(root, "dir", "a.txt"), "wb") as f:
            f.write(data)
        server = nolt_smb_server.SmbServer(root, "nolt", "nolt-smb-test", "s3cret pw")
        try:
            url = "smb://nolt-smb-test:%s@127.0.0.1:{}/nolt/dir/a.txt".format(server.port)
            status, _, err = self.run_tool("copy", url % "wrong", out)
            self.assertEqual(status, 1)
            self.assertIn("cannot connect to the share", err)
            self.assertFalse(os.path.exists(os.path.join(out, "a.txt")))
            status, _, err = self.run_tool("copy", url % "s3cret%20pw", out)
            self.assertEqual((status, err), (0, ""))
            with open(os.path.join(out, "a.txt"), "rb") as f:
                self.assertEqual(f.read(), data)
        finally:
            server.stop()


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--tool", required=True)
    p.add_argument("--server", required=True)
    p.add_argument("--runner", action="append", help="the emulator command, one argument per use")
    ARGS, rest = p.parse_known_args()
    Tool(ARGS.tool, ARGS.runner).warm_up()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
