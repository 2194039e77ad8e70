"""What the browser-front tests share: free ports, waiting for a condition, and the fake station
process, whose stdout lines are events with their arrival time."""

import os
import socket
import subprocess
import threading
import time

FAKE = os.environ.get("KANALO_REMOTE_FAKE", "")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = cond()
        if v:
            return v
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class FakeProcess:
    """The fake station (remote/FakeStationMain.cpp) started with `args`; its first line names
    the port, its second the certificate's fingerprint."""

    def __init__(self, args):
        self.proc = subprocess.Popen([FAKE] + list(args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines, self.lock = [], threading.Lock()
        self.port = int(self.proc.stdout.readline().split()[1])
        self.fingerprint = self.proc.stdout.readline().split()[1]
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.lines.append((time.monotonic(), line.strip()))

    def send(self, cmd):
        self.proc.stdin.write(cmd + "\n")
        self.proc.stdin.flush()

    def mark(self):
        with self.lock:
            return len(self.lines)

    def wait_line(self, prefix, since, timeout=10.0):
        def find():
            with self.lock:
                for t, l in self.lines[since:]:
                    if l.startswith(prefix):
                        return t, l
            return None
        return wait_for(find, timeout, prefix)

    def quit(self, patience):
        try:
            self.send("quit")
            self.proc.wait(patience)
        except Exception:
            self.proc.kill()
