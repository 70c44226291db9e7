"""The HTTP test server (nolt_http_server.py) on a fixed port, as the scripts that run
the programs themselves use it: its request log, answer log and rules file in a
directory of the caller's, and a lease that ends it when the script ends."""

import json
import os
import socket
import subprocess
import sys
import time


class Server:
    def __init__(self, script, root, port, log_dir):
        self.log = os.path.join(log_dir, "server-log.jsonl")
        self.answers = os.path.join(log_dir, "server-answers.jsonl")
        self.rules = os.path.join(log_dir, "server-rules.json")
        self.set_rules({})
        self.proc = None
        self.lease = None
        self.waited = False
        port_file = os.path.join(log_dir, "port.txt")
        stderr = open(os.path.join(log_dir, "server-stderr.txt"), "ab")
        # Another test may hold the fixed port for a while: wait for it.
        deadline = time.monotonic() + 300
        while True:
            if os.path.exists(port_file):
                os.remove(port_file)
            self.proc = subprocess.Popen(
                [sys.executable, script, "--root", root, "--port", str(port), "--port-file", port_file,
                 "--lease", "--log", self.log, "--answer-log", self.answers, "--rules", self.rules],
                stdout=subprocess.DEVNULL, stderr=stderr)
            while self.proc.poll() is None and not os.path.exists(port_file):
                time.sleep(0.05)
            if self.proc.poll() is None:
                break
            if time.monotonic() > deadline:
                raise SystemExit("the HTTP test server could not listen on port %d" % port)
            if not self.waited:
                print("port %d is busy; waiting for it" % port, flush=True)
                self.waited = True
            time.sleep(1)
        self.lease = socket.create_connection(("127.0.0.1", port))
        self.lease.sendall(b"GET /_lease HTTP/1.1\r\nHost: lease\r\n\r\n")

    def set_rules(self, rules):
        with open(self.rules + ".new", "w") as f:
            json.dump(rules, f)
        os.replace(self.rules + ".new", self.rules)

    def last(self, path, answers=False):
        """The last request (or answer) the server logged for a path."""
        found = None
        try:
            with open(self.answers if answers else self.log) as f:
                for line in f:
                    record = json.loads(line)
                    if record.get("path") == path:
                        found = record
        except FileNotFoundError:
            pass
        return found

    def stop(self):
        if self.lease:
            self.lease.close()  # the server ends when its lease closes
        if self.proc:
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def requests(self):
        """Every request logged so far, oldest first."""
        try:
            with open(self.log) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []
