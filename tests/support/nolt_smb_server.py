#!/usr/bin/env python3
"""Samba's smbd on loopback for the share tests: one share, one user with a
password, a port of its own and a configuration of its own in a temporary
directory. It needs root (smbd does, and the share's user is a system account).

As a program, for the C++ tests (tests/support/SmbServer.cpp):

    nolt_smb_server.py --root DIR --share NAME --user USER --password PW --info FILE

serves DIR as \\\\127.0.0.1\\NAME, writes "PORT PGID" to FILE once smbd accepts
connections, and stops smbd (its whole process group) when standard input ends.
Exit status 77 without root, 1 when smbd does not come up.

As a module, for the Python tests: SmbServer(root, share, user, password) with
.port, .pgid and .stop().
"""
import argparse
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SMBD = "/usr/sbin/smbd"
SKIP = 77


def have_root():
    return os.geteuid() == 0


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def ensure_user(user):
    """The share's user must be a system account; it gets no home and no login."""
    try:
        pwd.getpwnam(user)
    except KeyError:
        subprocess.run(["useradd", "-M", "-s", "/usr/sbin/nologin", user], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


CONF = """[global]
  server role = standalone server
  smb ports = {port}
  interfaces = 127.0.0.1
  bind interfaces only = yes
  disable netbios = yes
  map to guest = Never
  passdb backend = tdbsam:{etc}/private/passdb.tdb
  private dir = {etc}/private
  lock directory = {etc}/lock
  state directory = {etc}/state
  cache directory = {etc}/cache
  pid directory = {etc}/pid
  ncalrpc dir = {etc}/ncalrpc
  binddns dir = {etc}/bind-dns
  log file = {etc}/log.smbd
  log level = 1
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  usershare path =

[{share}]
  path = {root}
  read only = no
  valid users = {user}
  force user = root
"""


class SmbServer:
    def __init__(self, root, share, user, password):
        if not have_root():
            raise PermissionError("smbd needs root")
        self.root = os.path.abspath(root)
        self.etc = tempfile.mkdtemp(prefix="nolt-smbd-")
        for d in ("private", "lock", "state", "cache", "pid", "ncalrpc", "bind-dns"):
            os.makedirs(os.path.join(self.etc, d))
        self.port = free_port()
        self.conf = os.path.join(self.etc, "smb.conf")
        with open(self.conf, "w") as f:
            f.write(CONF.format(port=self.port, etc=self.etc, share=share, root=self.root, user=user))
        ensure_user(user)
        subprocess.run(["smbpasswd", "-c", self.conf, "-s", "-a", user], input="%s\n%s\n" % (password, password),
                       text=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A process group of its own: smbd serves each client in a child, and stopping
        # the group stops them all.
        self.proc = subprocess.Popen([SMBD, "-s", self.conf, "--foreground", "--no-process-group"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.etc, "smbd.out"), "w"), start_new_session=True)
        self.pgid = self.proc.pid
        deadline = time.monotonic() + 60
        while True:
            if self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("smbd ended at start: " + self.log())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("smbd did not come up: " + self.log())
                time.sleep(0.05)

    def log(self):
        text = ""
        for name in ("smbd.out", "log.smbd"):
            try:
                with open(os.path.join(self.etc, name)) as f:
                    text += f.read()[-2000:]
            except OSError:
                pass
        return text

    def stop(self):
        if self.proc is not None:
            try:
                os.killpg(self.pgid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
            self.proc = None
        shutil.rmtree(self.etc, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--share", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--info", required=True)
    a = p.parse_args()
    if not have_root():
        print("smbd needs root", file=sys.stderr)
        return SKIP
    try:
        server = SmbServer(a.root, a.share, a.user, a.password)
    except (RuntimeError, subprocess.CalledProcessError, OSError) as e:
        print(e, file=sys.stderr)
        return 1
    try:
        with open(a.info + ".part", "w") as f:
            f.write("%d %d\n" % (server.port, server.pgid))
        os.rename(a.info + ".part", a.info)
        # The caller's end of standard input is the lease: it closes when the caller
        # is done or gone.
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
