#!/usr/bin/python3
"""FTP test server of the transfer tests (pyftpdlib from Debian's python3-pyftpdlib;
run it with /usr/bin/python3, which can import it).

Serves the files of one directory on a free loopback port, to one account with a
password and to anonymous logons, logs every command it receives, and can be told
to misbehave per file, so that the tests state both the answer and what the server
must have received.

Start:
    nolt_ftp_server.py --root DIR --user NAME --password SECRET [--log FILE]
                       [--rules FILE] [--port-file FILE] [--lease] [--port N]

It listens on 127.0.0.1 (port 0 picks a free port) and prints "PORT LEASEPORT" on
stdout as one line; with --port-file it also writes that line to the file (written
to a side name, then renamed, so a reader never sees half of it). It stops when
  - with --lease: the connection to LEASEPORT closes (the test that started the
    server holds it open; when the test ends or dies, the kernel closes it), or no
    lease arrives within 30 seconds of the start,
  - or the --root directory has been removed,
and it removes the port file as its last act.

Rules: a JSON object in the --rules file, read again whenever it changes, with the
options of a file under its path as a client names it from the root
({"/pub/a.zip": {"drop": "1000"}}) and the options of the whole server under "*".
  per file:
    hide=1          LIST, NLST, MLSD, MLST, SIZE and MDTM do not show the file;
                    RETR still serves it
    size=N          listings and SIZE report N bytes
    mtime=YYYYMMDDHHMMSS  listings and MDTM report this time (UTC)
    drop=N          RETR: send N bytes, then close the data connection;
                    STOR: take N bytes, then reset the data connection.
                    Either way the reply is "426 ..." unless reply= says otherwise
    reply=NNN       the final reply of RETR or STOR, whatever came through the data
                    connection: 226 claims a dropped transfer complete, 426, 451 or
                    550 refuse a whole one after the fact
    refuse=NNN      RETR and STOR are answered NNN at once; no data moves
    stall=N         RETR: send N bytes, then nothing more; STOR: take N bytes,
                    then read nothing more. The data connection stays open
    sink=1          STOR keeps nothing (the log still counts the bytes)
  for the server ("*"):
    refuse_logon=1  every logon is refused with 530
    endless_logon=1 the logon is answered with "230-" lines that never end
    delay=SECONDS   every command is answered this late
    delay_CMD=SECONDS  the command CMD (CWD, RETR, ...) is answered this late

Log. With --log, one JSON object per line:
    {"session": 1, "event": "connect"}
    {"session": 1, "cmd": "USER", "arg": "nolt"}       every command, as received
    {"session": 1, "event": "transfer", "cmd": "RETR", "path": "/pub/a.zip",
     "bytes": 4096, "complete": true}                  every data transfer's end
    {"session": 1, "event": "disconnect"}
"""

import argparse
import calendar
import errno
import json
import os
import socket
import struct
import sys
import threading
import time

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

PERMS = "elradfmwMT"
REPLY_TEXTS = {"226": "Transfer complete.", "426": "Connection closed; transfer aborted.",
               "451": "Requested action aborted: local error in processing.",
               "550": "Requested action not taken.", "552": "Exceeded storage allocation."}


def reply_line(code):
    return "%s %s" % (code, REPLY_TEXTS.get(code, "Transfer ended."))


class Config:
    root = "."
    log = None
    rules = None
    rules_stamp = None
    rules_cache = {}
    sessions = 0


def all_rules():
    if not Config.rules:
        return {}
    try:
        stamp = os.stat(Config.rules).st_mtime_ns
        if stamp != Config.rules_stamp:
            with open(Config.rules, "r", encoding="utf-8") as f:
                Config.rules_cache = json.load(f)
            Config.rules_stamp = stamp
    except (OSError, ValueError):
        pass
    return Config.rules_cache


def rules_for(ftp_path):
    return dict(all_rules().get(ftp_path, {}))


def server_rules():
    return dict(all_rules().get("*", {}))


def write_log(record):
    if not Config.log:
        return
    with open(Config.log, "a", encoding="utf-8") as f:
        f.write(json.dumps(record) + "\n")


class SinkFile:
    """A file opened for writing that keeps nothing."""

    def __init__(self, name):
        self.name = name
        self.closed = False

    def write(self, data):
        return len(data)

    def close(self):
        self.closed = True


class RuledFS(AbstractedFS):
    """The served directory, as the rules make it look."""

    def _rules(self, path):
        return rules_for(self.fs2ftp(path))

    def _shown(self, path, st):
        r = self._rules(path)
        if r.get("hide") == "1":
            raise FileNotFoundError(errno.ENOENT, "No such file or directory")
        if "size" not in r and "mtime" not in r:
            return st
        size = int(r["size"]) if "size" in r else st.st_size
        mtime = calendar.timegm(time.strptime(r["mtime"], "%Y%m%d%H%M%S")) if "mtime" in r else st.st_mtime
        return os.stat_result((st.st_mode, st.st_ino, st.st_dev, st.st_nlink, st.st_uid, st.st_gid, size,
                               st.st_atime, mtime, st.st_ctime))

    def listdir(self, path):
        return [n for n in super().listdir(path) if self._rules(os.path.join(path, n)).get("hide") != "1"]

    def stat(self, path):
        return self._shown(path, super().stat(path))

    def lstat(self, path):
        return self._shown(path, super().lstat(path))

    def isfile(self, path):
        return super().isfile(path) and self._rules(path).get("hide") != "1"

    def getsize(self, path):
        return self.stat(path).st_size

    def getmtime(self, path):
        return self.stat(path).st_mtime

    def open(self, filename, mode):
        if "w" in mode and self._rules(filename).get("sink") == "1":
            return SinkFile(filename)
        return super().open(filename, mode)


class LimitedProducer:
    """Sends the first `limit` bytes of another producer, then drops or stalls."""

    def __init__(self, inner, limit, dtp, mode, reply):
        self.inner, self.limit, self.dtp, self.mode, self.reply = inner, limit, dtp, mode, reply
        self.sent = 0

    def more(self):
        if self.sent >= self.limit:
            if self.mode == "stall":
                self.dtp.stall()
                return b"\0"  # never sent: the channel has left the loop
            self.dtp.forced_reply = self.reply
            return b""
        data = self.inner.more()
        data = data[:self.limit - self.sent]
        self.sent += len(data)
        return data


class RuledDTP(DTPHandler):
    ac_in_buffer_size = 262144
    ac_out_buffer_size = 262144

    def __init__(self, sock, cmd_channel):
        self.forced_reply = None
        self.final_reply = None
        self.stalled = False
        self.limit = None
        self.mode = None
        self.reply = None
        self.path = ""
        super().__init__(sock, cmd_channel)

    def take_rules(self):
        path, r = self.cmd_channel.transfer_rules
        self.cmd_channel.transfer_rules = ("", {})
        self.path = path
        for mode in ("drop", "stall"):
            if mode in r:
                self.limit, self.mode = int(r[mode]), mode
        self.reply = reply_line(r.get("reply", "426"))
        # A final reply of the rules' own, for a transfer that is not cut short too.
        self.final_reply = reply_line(r["reply"]) if "reply" in r else None

    def stall(self):
        self.stalled = True
        self.del_channel()

    def use_sendfile(self):
        return self.limit is None and super().use_sendfile()

    def push_with_producer(self, producer):
        self.take_rules()
        if self.limit is not None:
            producer = LimitedProducer(producer, self.limit, self, self.mode, self.reply)
        super().push_with_producer(producer)

    def enable_receiving(self, type, cmd):
        self.take_rules()
        super().enable_receiving(type, cmd)

    def send(self, data):
        return 0 if self.stalled else super().send(data)

    def handle_read(self):
        if self.limit is None or self.stalled:
            return super().handle_read()
        left = self.limit - self.tot_bytes_received
        if left > 0:
            chunk = self.recv(min(self.ac_in_buffer_size, left))
            if not chunk:
                self.transfer_finished = True
                return
            self.tot_bytes_received += len(chunk)
            self.file_obj.write(chunk)
            if self.tot_bytes_received < self.limit:
                return
        if self.mode == "stall":
            self.stall()
            return
        # A reset: the client's next writes fail at once.
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.forced_reply = self.reply
        self.handle_close()

    handle_read_event = handle_read

    def handle_close(self):
        if self.forced_reply and not self._closed:
            self.transfer_finished = self.forced_reply.startswith("226")
            self._resp = (self.forced_reply, lambda *a: None)
            self.close()
            return
        super().handle_close()

    def close(self):
        if not self._closed and self.final_reply and self._resp:
            self._resp = (self.final_reply, lambda *a: None)
        if not self._closed and self.cmd is not None:
            write_log({"session": self.cmd_channel.session, "event": "transfer", "cmd": self.cmd,
                       "path": self.path, "bytes": self.get_transmitted_bytes(),
                       "complete": bool(self.transfer_finished)})
        super().close()


class RuledAuthorizer(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        if server_rules().get("refuse_logon") == "1":
            raise AuthenticationFailed("Logon refused.")
        super().validate_authentication(username, password, handler)


class Handler(FTPHandler):
    dtp_handler = RuledDTP
    abstracted_fs = RuledFS
    auth_failed_timeout = 0
    banner = "NOLT test FTP server ready."

    def on_connect(self):
        Config.sessions += 1
        self.session = Config.sessions
        self.transfer_rules = ("", {})
        write_log({"session": self.session, "event": "connect"})

    def on_disconnect(self):
        if getattr(self, "flood", None) is not None:
            self.flood.cancel()
        write_log({"session": self.session, "event": "disconnect"})

    def ftp_PASS(self, line):
        if server_rules().get("endless_logon") != "1":
            return super().ftp_PASS(line)
        # A reply that never ends: a client that waits for its last line waits for ever.
        self.push("230-Welcome.\r\n")
        self.flood = self.ioloop.call_every(0.05, lambda: self.push("230-Still welcome.\r\n"),
                                            _errback=self.handle_error)

    def refused(self, ftp_path):
        code = rules_for(ftp_path).get("refuse")
        if code:
            self.respond(reply_line(code))
        return bool(code)

    def pre_process_command(self, line, cmd, arg):
        write_log({"session": self.session, "cmd": cmd, "arg": arg})
        r = server_rules()
        delay = float(r.get("delay_" + cmd, r.get("delay", "0")))
        if delay > 0:
            self.ioloop.call_later(delay, FTPHandler.pre_process_command, self, line, cmd, arg,
                                   _errback=self.handle_error)
            return
        super().pre_process_command(line, cmd, arg)

    def ftp_RETR(self, file):
        ftp_path = self.fs.fs2ftp(file)
        if self.refused(ftp_path):
            return
        self.transfer_rules = (ftp_path, rules_for(ftp_path))
        return super().ftp_RETR(file)

    def ftp_STOR(self, file, mode="w"):
        ftp_path = self.fs.fs2ftp(file)
        if self.refused(ftp_path):
            return
        self.transfer_rules = (ftp_path, rules_for(ftp_path))
        return super().ftp_STOR(file, mode)


def hold_lease(listener, lost):
    """Waits for the lease connection and sets `lost` when it closes."""
    listener.settimeout(30)
    try:
        conn, _ = listener.accept()
    except OSError:
        lost.set()
        return
    with conn:
        try:
            while conn.recv(4096):
                pass
        except OSError:
            pass
    lost.set()


def main():
    parser = argparse.ArgumentParser(description="FTP test server of the transfer tests")
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--log")
    parser.add_argument("--rules")
    parser.add_argument("--port-file")
    parser.add_argument("--lease", action="store_true")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    Config.root = os.path.abspath(args.root)
    Config.log = args.log
    Config.rules = args.rules

    authorizer = RuledAuthorizer()
    authorizer.add_user(args.user, args.password, Config.root, perm=PERMS)
    authorizer.add_anonymous(Config.root, perm=PERMS)
    Handler.authorizer = authorizer

    import logging
    logging.basicConfig(level=logging.CRITICAL)
    server = FTPServer(("127.0.0.1", args.port), Handler)
    port = server.address[1]

    lease_port = 0
    lost = threading.Event()
    if args.lease:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        lease_port = listener.getsockname()[1]
        threading.Thread(target=hold_lease, args=(listener, lost), daemon=True).start()

    line = "%d %d\n" % (port, lease_port)
    if args.port_file:
        side = args.port_file + ".new"
        with open(side, "w") as f:
            f.write(line)
        os.replace(side, args.port_file)
    sys.stdout.write(line)
    sys.stdout.flush()

    def check():
        if lost.is_set() or not os.path.isdir(args.root):
            server.close_all()

    server.ioloop.call_every(0.2, check)
    try:
        server.serve_forever(handle_exit=False)
    finally:
        if args.port_file:
            try:
                os.remove(args.port_file)
            except OSError:
                pass


if __name__ == "__main__":
    main()
