#!/usr/bin/env python3
"""nolt-webcopy against the HTTP and FTP test servers: get and put of the same file
round trip byte for byte in one run, FTP items of one account share one logon, the exit statuses (success, a 404 download, a refused
connection, wrong arguments), the error lines, the help, and the progress line
(only on a terminal); the servers made to lie (one table each: the status, the
target file and what the server received), and a full disk. Natively the program
runs without a display.

Usage: nolt_webcopy_test.py --tool NOLT_WEBCOPY --server nolt_http_server.py
                            [--runner wine-run --runner 64]
"""
import argparse
import json
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
WORDS = ("get", "put", "post", "ftp-get", "ftp-put", "copy", "--show", "--passive", "--newer-only", "--proxy",
         "--timeout")


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
        self.rules = os.path.join(root, "..", "http-rules.json")
        self.log = os.path.join(root, "..", "http.jsonl")
        self.set_rules({})
        self.proc = subprocess.Popen([sys.executable, ARGS.server, "--root", root, "--port-file", port_file,
                                      "--rules", self.rules, "--log", self.log],
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

    def set_rules(self, rules):
        """The options of each path (the server's documentation); the log starts anew."""
        with open(self.rules + ".new", "w") as f:
            json.dump(rules, f)
        os.replace(self.rules + ".new", self.rules)
        open(self.log, "w").close()

    def requests(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f]

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
        self.rules = os.path.join(tmp, "ftp-rules.json")
        os.makedirs(self.root)
        self.set_rules({})
        port_file = os.path.join(tmp, "ftpport")
        script = os.path.join(os.path.dirname(ARGS.server), "nolt_ftp_server.py")
        self.proc = subprocess.Popen(["/usr/bin/python3", script, "--root", self.root, "--user", self.USER,
                                      "--password", self.PASSWORD, "--log", self.log, "--rules", self.rules,
                                      "--port-file", port_file],
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
        with open(self.log) as f:
            return [r for r in map(json.loads, f) if r.get("cmd") == name]

    def set_rules(self, rules):
        """The options of each file and of the server (the server's documentation); the
        log starts anew. The server reads the file again when it changes."""
        with open(self.rules + ".new", "w") as f:
            json.dump(rules, f)
        os.replace(self.rules + ".new", self.rules)
        open(self.log, "w").close()

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
        self.ftp.set_rules({})
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

    # The limit of the lying cases: a stalled transfer fails after it, a logon or an
    # upload's start after twice it.
    LIMIT = ["--timeout", "2"]

    def run_lying_case(self, files, args, status, line):
        """Writes the files as they are before the case, runs the tool with the short
        limit, and checks its status and its one line of standard error."""
        for path, data in files.items():
            with open(path, "wb") as f:
                f.write(data)
        got, _, err = self.run_tool(*(self.LIMIT + args))
        self.assertEqual(got, status, err)
        self.assertIn(line, err)
        self.assertNotIn("\n\n", err)

    def test_lying_http_server(self):
        """Each case: the server's rules, the item, the status, a line of standard error,
        and then the target file and what the server received."""
        src = self.local("lie-up.bin")
        with open(src, "wb") as f:
            f.write(os.urandom(20000))
        out = self.local("lie-http")
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(self.www, "lie.bin"), "wb") as f:
            f.write(os.urandom(300000))
        silent = SilentListener()
        self.addCleanup(silent.close)
        base = self.server.url("")
        crlf = "\r\nX-Evil: 1"
        up = self.tool.path(src)
        cases = [
            # (name, rules, arguments, status, stderr holds, a download's target afterwards, requests check)
            ("a PUT redirected with 307 is not sent again",
             {"/r/a.bin": {"redirect": "/r/b.bin", "redirect_status": "307"}}, ["put", base + "/r/a.bin", up], 1,
             "307: The server redirected the upload (http status 307) to /r/b.bin", None,
             lambda r: [x["target"] for x in r] == ["/r/a.bin"]),
            ("a redirect loop ends with its first answer",
             {"/r/a.bin": {"redirect": "/r/a.bin", "redirect_status": "307"}}, ["put", base + "/r/a.bin", up], 1,
             "307: The server redirected", None, lambda r: len(r) == 1),
            ("a POST redirected with 308 elsewhere",
             {"/r/a.bin": {"redirect": "http://127.0.0.1:1/x", "redirect_status": "308"}},
             ["post", base + "/r/a.bin", up], 1, "to http://127.0.0.1:1/x; it was not sent again", None,
             lambda r: len(r) == 1),
            ("an upload URL without a path goes to /", {"/": {"status": "201"}}, ["put", base, up], 0, "", None,
             lambda r: [(x["method"], x["target"]) for x in r] == [("PUT", "/")]),
            ("a line break in an upload's path is refused before anything is sent", {},
             ["put", base + "/a" + crlf, up], 1, "12005: ", None, lambda r: r == []),
            ("a line break in a download's URL is refused before anything is sent", {},
             ["get", base + "/lie.bin" + crlf, self.tool.path(out)], 1, "12005: ", b"previous", lambda r: r == []),
            ("an answer that is no HTTP leaves the previous file", {"/lie.bin": {"garbage": "SSH-2.0-x\r\n"}},
             ["get", base + "/lie.bin", self.tool.path(out)], 1, "12152: ", b"previous", lambda r: len(r) == 1),
            ("a body dropped in the middle leaves the previous file", {"/lie.bin": {"drop": "100000"}},
             ["get", base + "/lie.bin", self.tool.path(out)], 1, "12030: ", b"previous", lambda r: len(r) == 1),
            # The request's thread is let go while the body still comes.
            ("a target that cannot be created", {},
             ["get", base + "/lie.bin", self.tool.path(src)], 1, "3: Cannot create file", b"previous",
             lambda r: len(r) == 1),
            ("an HTTPS upload to a server that never answers the handshake", {},
             ["put", "https://127.0.0.1:%d/x" % silent.port, up], 1, "12002: ", None, lambda r: r == []),
        ]
        for name, rules, args, status, line, target, received in cases:
            with self.subTest(name):
                self.server.set_rules(rules)
                target_file = os.path.join(out, "lie.bin")
                self.run_lying_case({target_file: b"previous"}, args, status, line)
                if args[0] == "get":
                    with open(target_file, "rb") as f:
                        self.assertEqual(f.read(), target)
                    self.assertEqual([n for n in os.listdir(out) if n != "lie.bin"], [])
                self.assertTrue(received(self.server.requests()), self.server.requests())
        self.assertFalse(os.path.exists(os.path.join(self.www, "r", "b.bin")))

    def test_lying_ftp_server(self):
        """Each case: the server's rules, the item, the status, a line of standard error,
        and then the local or remote file and the commands the server received."""
        pub = os.path.join(self.ftp.root, "pub")
        os.makedirs(pub, exist_ok=True)
        data = os.urandom(100000)
        with open(os.path.join(pub, "lie.bin"), "wb") as f:
            f.write(data)
        src = self.local("lie-ftp-up.bin")
        with open(src, "wb") as f:
            f.write(os.urandom(300000))
        fifo = self.local("lie-fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        out = self.local("lie-ftp")
        os.makedirs(out, exist_ok=True)
        url = self.ftp.url("/pub/lie.bin")
        up_url = self.ftp.url("/pub/up.bin")
        get = ["--passive", "ftp-get", url, self.tool.path(out)]
        put = ["--passive", "ftp-put", self.tool.path(src), up_url]
        sent = lambda cmd: len([r for r in self.ftp.commands(cmd) if "event" not in r])  # noqa: E731
        cases = [
            # (name, rules, arguments, status, stderr holds, file afterwards, commands check)
            ("more data than SIZE announced", {"/pub/lie.bin": {"size": "1000"}}, get, 1, "12152: ", b"previous",
             None),
            ("less data than SIZE announced", {"/pub/lie.bin": {"size": "200000"}}, get, 1, "12030: ", b"previous",
             None),
            # Compared in its low 32 bits, this size would pass for the file's.
            ("a SIZE of 4 GiB more than the data", {"/pub/lie.bin": {"size": str(2 ** 32 + len(data))}}, get, 1,
             "12030: ", b"previous", None),
            ("no size, aborted by 426 after half the data", {"/pub/lie.bin": {"hide": "1", "drop": "50000"}}, get,
             1, "12030: ", b"previous", None),
            ("no size, aborted by 451 after half the data",
             {"/pub/lie.bin": {"hide": "1", "drop": "50000", "reply": "451"}}, get, 1,
             "12003: The server answered: 451", b"previous", None),
            ("no size, all the data and then 550", {"/pub/lie.bin": {"hide": "1", "reply": "550"}}, get, 1,
             "12003: The server answered: 550", b"previous", None),
            ("a data connection that stays open and silent", {"/pub/lie.bin": {"stall": "0"}}, get, 1, "12002: ",
             b"previous", None),
            ("a logon reply that never ends", {"*": {"endless_logon": "1"}}, get, 1, "6: Cannot connect to FTP server",
             b"previous", None),
            ("a line break in the user name", {},
             ["ftp-get", url.replace("ftp://nolt:", "ftp://nolt%0D%0ADELE%20pub%2Flie.bin:"), self.tool.path(out)],
             1, "12013: ", b"previous", lambda: sent("USER") == 0 and sent("DELE") == 0),
            ("a line break in the password", {},
             ["ftp-put", self.tool.path(src), up_url.replace(":s3cret@", ":s3cret%0d%0aDELE%20pub%2Fup.bin@")], 1,
             "12014: ", b"kept", lambda: sent("USER") == 0 and sent("DELE") == 0),
            ("the whole file, then 451", {"/pub/up.bin": {"reply": "451"}}, put, 1,
             "12003: The server answered: 451", None, lambda: sent("STOR") == 1),
            ("the whole file, then 550", {"/pub/up.bin": {"reply": "550"}}, put, 1,
             "12003: The server answered: 550", None, lambda: sent("STOR") == 1),
            ("the whole file, then 426", {"/pub/up.bin": {"reply": "426"}}, put, 1, "12030: ", None,
             lambda: sent("STOR") == 1),
            ("STOR refused", {"/pub/up.bin": {"refuse": "550"}}, put, 1, "the server did not take the file: 550",
             b"kept", None),
            ("the server keeps less than was sent", {"/pub/up.bin": {"size": "5"}}, put, 1,
             "12152: The server keeps 5 bytes of the 300000 that were sent", None, None),
            ("a server that stops reading", {"/pub/up.bin": {"stall": "0"}}, put, 1, "12002: ", None, None),
            ("a missing source sends nothing", {},
             ["--passive", "ftp-put", self.tool.path(self.local("lie-missing.bin")), up_url], 1,
             "1: Cannot open target file", b"kept", lambda: sent("USER") == 0 and sent("STOR") == 0),
            ("a FIFO as the source sends nothing", {}, ["--passive", "ftp-put", self.tool.path(fifo), up_url], 1,
             "1: Cannot open target file", b"kept", lambda: sent("STOR") == 0),
            ("a directory as the source sends nothing", {}, ["--passive", "ftp-put", self.tool.path(out), up_url],
             1, "1: Cannot open target file", b"kept", lambda: sent("STOR") == 0),
        ]
        for name, rules, args, status, line, left, commands in cases:
            with self.subTest(name):
                self.ftp.set_rules(rules)
                local = os.path.join(out, "lie.bin")
                self.run_lying_case({local: b"previous", os.path.join(pub, "up.bin"): b"kept"}, args, status, line)
                uploading = "ftp-put" in args
                with open(os.path.join(pub, "up.bin") if uploading else local, "rb") as f:
                    if left is not None:
                        self.assertEqual(f.read(), left)
                self.assertEqual([n for n in os.listdir(out) if n != "lie.bin"], [])
                if commands:
                    self.assertTrue(commands(), self.ftp.commands("STOR"))
        self.ftp.set_rules({})

    @unittest.skipIf(not hasattr(os, "geteuid") or os.geteuid() != 0, "a small file system needs root to mount")
    def test_full_disk_fails_one_item_and_the_rest_still_run(self):
        disk = tempfile.mkdtemp(prefix="full-", dir=self.tmp)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk]).returncode != 0:
            self.skipTest("no tmpfs can be mounted here")
        self.addCleanup(subprocess.run, ["umount", disk])
        with open(os.path.join(self.www, "full.bin"), "wb") as f:
            f.write(os.urandom(300000))
        with open(os.path.join(self.www, "small.bin"), "wb") as f:
            f.write(b"small")
        with open(os.path.join(self.ftp.root, "full.bin"), "wb") as f:
            f.write(os.urandom(300000))
        self.server.set_rules({})
        self.ftp.set_rules({})
        after = self.local("after-full")
        status, _, err = self.run_tool(
            "get", self.server.url("/full.bin"), self.tool.path(disk),
            "ftp-get", self.ftp.url("/full.bin"), self.tool.path(disk),
            "get", self.server.url("/small.bin"), self.tool.path(after))
        self.assertEqual(status, 1, err)
        lines = [l for l in err.splitlines() if l]
        # Each full item once, named with its error; the last item ran.
        self.assertEqual(len(lines), 2, err)
        self.assertIn("get %s %s: not transferred: 112: " % (self.server.url("/full.bin"), self.tool.path(disk)),
                      lines[0])
        self.assertIn("ftp-get ", lines[1])
        self.assertIn(": not transferred: 112: ", lines[1])
        with open(os.path.join(after, "small.bin"), "rb") as f:
            self.assertEqual(f.read(), b"small")
        # Nothing half written stays on the full disk.
        self.assertEqual(os.listdir(disk), [])

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


class SilentListener:
    """A loopback port that takes connections and never says a word: a TLS handshake
    there never completes."""

    def __init__(self):
        import threading
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)

    def close(self):
        self.sock.close()
        for c in self.held:
            c.close()


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
