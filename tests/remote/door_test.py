#!/usr/bin/env python3
"""The browser front's door at process level: raw sockets on loopback (127.0.0.0/8) against the
server on the fake station (kanalo-remote-fake) and against the real station, headless.

What an attacker who reaches the port tries, at the loads that broke the door before: idle and
trickling connections, a flood of wrong logins from many addresses; and what must end: sessions
(logout, a new password, the lifetime, the idle limit) with their pages and PTT. Every loop is
bounded; every wait is for a condition. Standard library only. Skips (exit 77) without binaries.
"""
import base64
import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from remote_support import FAKE, FakeProcess, free_port, wait_for

KANALO = os.environ.get("KANALO_BINARY", "")
PASSWORD = "Fernfunk-27"


def tls(max_12=False, ciphers=None):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if max_12:
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    if ciphers:
        ctx.set_ciphers(ciphers)
    return ctx


def request(port, text, source="127.0.0.1", timeout=10):
    """One raw request over TLS: (status, head, body, seconds until the server closed or None)."""
    with socket.create_connection(("127.0.0.1", port), timeout, (source, 0)) as s:
        with tls().wrap_socket(s) as t:
            t0 = time.monotonic()
            t.sendall(text.encode())
            data, closed = b"", None
            while True:
                try:
                    chunk = t.recv(65536)
                except (socket.timeout, ssl.SSLError, OSError):
                    break
                if not chunk:
                    closed = time.monotonic() - t0
                    break
                data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            head = head.decode(errors="replace")
            status = int(head.split()[1]) if head.startswith("HTTP/1.1") else 0
            return status, head, body, closed


def login(port, password, source="127.0.0.1", timeout=15):
    c = http.client.HTTPSConnection("127.0.0.1", port, context=tls(), timeout=timeout,
                                    source_address=(source, 0))
    try:
        c.request("POST", "/login", "password=" + password,
                  {"Content-Type": "application/x-www-form-urlencoded"})
        r = c.getresponse()
        r.read()
        cookie = (r.getheader("Set-Cookie") or "").split(";")[0].split("=", 1)
        return r.status, cookie[1] if len(cookie) == 2 else ""
    finally:
        c.close()


class RawPage:
    """A page over a hand-made WebSocket: text messages with their arrival time."""

    def __init__(self, port, cookie, source="127.0.0.1"):
        s = socket.create_connection(("127.0.0.1", port), 10, (source, 0))
        self.t = tls().wrap_socket(s)
        key = base64.b64encode(os.urandom(16)).decode()
        self.t.sendall(("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                        "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                        "Sec-WebSocket-Version: 13\r\nOrigin: https://127.0.0.1:%d\r\n"
                        "Cookie: kanalo=%s\r\n\r\n" % (port, key, port, cookie)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            b = self.t.recv(1)
            if not b:
                break
            head += b
        self.status = int(head.split()[1]) if head.startswith(b"HTTP/1.1") else 0
        self.messages, self.closed, self.lock = [], None, threading.Lock()
        self.send_lock = threading.Lock()
        self.t.settimeout(None)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _exact(self, n):
        out = b""
        while len(out) < n:
            b = self.t.recv(n - len(out))
            if not b:
                raise EOFError
            out += b
        return out

    def _read(self):
        try:
            while True:
                b0, b1 = self._exact(2)
                n = b1 & 0x7F
                if n == 126:
                    n = struct.unpack(">H", self._exact(2))[0]
                elif n == 127:
                    n = struct.unpack(">Q", self._exact(8))[0]
                payload = self._exact(n)
                op = b0 & 0x0F
                if op == 8:
                    break
                if op == 1:
                    with self.lock:
                        self.messages.append((time.monotonic(), json.loads(payload)))
        except (EOFError, OSError, ValueError, ssl.SSLError):
            pass
        self.closed = time.monotonic()

    def send(self, obj):
        data = json.dumps(obj).encode()
        mask = os.urandom(4)
        n = len(data)
        head = bytes([0x81, 0x80 | n]) if n < 126 else bytes([0x81, 0xFE]) + struct.pack(">H", n)
        with self.send_lock:
            self.t.sendall(head + mask + bytes(c ^ mask[i % 4] for i, c in enumerate(data)))

    def since(self):
        with self.lock:
            return len(self.messages)

    def find(self, pred, since=0):
        with self.lock:
            for t, m in self.messages[since:]:
                if pred(m):
                    return t, m
        return None

    def round_trip(self):
        """Seconds from asking for the log to its answer (the server's main thread at work)."""
        n = self.since()
        t0 = time.monotonic()
        self.send({"c": "log"})
        t, _ = wait_for(lambda: self.find(lambda m: m["t"] == "log", n), 10, "a log answer")
        return t - t0

    def close(self):
        # The reader leaves first: a descriptor closed under a blocked read is taken by the next
        # socket, and the old reader would eat that socket's bytes.
        try:
            self.t.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.reader.join(10)
        self.t.close()


class Fake(FakeProcess):
    """The fake station process; its stdout lines are events with their arrival time."""

    def __init__(self, *args):
        self.dir = tempfile.mkdtemp(prefix="kanalo-door-")
        super().__init__(["--dir", self.dir, "--password", PASSWORD] + list(args))

    def sessions(self):
        m = self.mark()
        self.send("sessions")
        return list(map(int, self.wait_line("SESSIONS", m)[1].split()[1:]))

    def stop(self):
        self.quit(10)
        shutil.rmtree(self.dir, ignore_errors=True)


def hold_ptt(page, stop):
    """Presses PTT and sends heartbeats every 100 ms until `stop` is set; the last one's time."""
    page.send({"c": "ptt", "v": True})
    last = time.monotonic()
    while not stop.is_set():
        page.send({"c": "hb"})
        last = time.monotonic()
        stop.wait(0.1)
    return last


def wrong_logins(port, addresses, per_address, results):
    """Each address tries `per_address` wrong passwords, all addresses at once."""
    def one(addr):
        for _ in range(per_address):
            try:
                results.append(login(port, "falsch-%d" % len(results), addr, 30)[0])
            except OSError as e:
                print("login from %s: %r" % (addr, e), file=sys.stderr)
                results.append(0)
    threads = [threading.Thread(target=one, args=(a,)) for a in addresses]
    for t in threads:
        t.start()
    return threads


@unittest.skipUnless(FAKE, "KANALO_REMOTE_FAKE not set")
class Door(unittest.TestCase):
    def setUp(self):
        self.fake = Fake()
        self.port = self.fake.port

    def tearDown(self):
        self.fake.stop()

    def operator_page(self, source="127.0.0.2"):
        status, cookie = login(self.port, PASSWORD, source)
        self.assertEqual(status, 303)
        page = RawPage(self.port, cookie, source)
        self.assertEqual(page.status, 101)
        wait_for(lambda: page.find(lambda m: m["t"] == "state"), what="the first state")
        return page, cookie

    def test_idle_connections_neither_jam_the_door_nor_push_out_a_page(self):
        page, _ = self.operator_page()
        idle = [socket.create_connection(("127.0.0.1", self.port), 5) for _ in range(80)]
        # While they sit there, a user from elsewhere still gets in, the page stays.
        self.assertEqual(login(self.port, PASSWORD, "127.0.0.3")[0], 303)
        # One address holds at most 8 of them (the page and the login's connection besides).
        self.assertLessEqual(self.fake.sessions()[2], 8 + 2)
        time.sleep(3)  # as the attack did: held three seconds, then closed
        for s in idle:
            s.close()
        t0 = time.monotonic()
        status, _, body, _ = request(self.port, "GET /login HTTP/1.1\r\nHost: x\r\n"
                                     "Connection: close\r\n\r\n")
        self.assertEqual(status, 200)
        self.assertLess(time.monotonic() - t0, 1.0)
        self.assertIsNone(page.closed)
        self.assertLess(page.round_trip(), 1.0)
        # From 80 addresses, one each: past the 64 in all the oldest without a session go.
        spread = [socket.create_connection(("127.0.0.1", self.port), 5, ("127.0.4.%d" % i, 0))
                  for i in range(1, 81)]
        self.assertEqual(login(self.port, PASSWORD, "127.0.0.3")[0], 303)
        self.assertGreater(self.fake.sessions()[3], 0, "some were pushed out")
        for s in spread:
            s.close()
        self.assertIsNone(page.closed, "a page with a session is never pushed out")
        self.assertLess(page.round_trip(), 1.0)

    def test_slow_connections_from_one_address_lock_nobody_else_out(self):
        page, _ = self.operator_page()
        stop = threading.Event()

        def trickle():
            # A header line a second, reconnecting whenever the server closes (bounded by stop).
            while not stop.is_set():
                try:
                    with socket.create_connection(("127.0.0.1", self.port), 5) as s:
                        with tls().wrap_socket(s) as t:
                            t.sendall(b"GET / HTTP/1.1\r\n")
                            while not stop.wait(1.0):
                                t.sendall(b"X-Slow: 1\r\n")
                except (OSError, ssl.SSLError):
                    stop.wait(0.05)
        threads = [threading.Thread(target=trickle, daemon=True) for _ in range(150)]
        for t in threads:
            t.start()
        try:
            time.sleep(2)
            got = [login(self.port, PASSWORD, "127.0.0.4")[0] for _ in range(13)]
        finally:
            stop.set()
            for t in threads:
                t.join(15)
        self.assertEqual(got, [303] * 13)
        self.assertIsNone(page.closed, "a page with a session is never pushed out")

    def test_a_login_flood_neither_stalls_the_station_nor_holds_ptt(self):
        self.fake.stop()
        self.fake = Fake("--cost", "17")  # the station's own scrypt cost
        self.port = self.fake.port
        page, _ = self.operator_page()
        stop, last = threading.Event(), []
        m = self.fake.mark()
        holder = threading.Thread(target=lambda: last.append(hold_ptt(page, stop)))
        holder.start()
        self.fake.wait_line("KEYED 1", m)
        results = []
        flood = wrong_logins(self.port, ["127.0.1.%d" % i for i in range(1, 41)], 3, results)
        worst = 0.0
        while any(t.is_alive() for t in flood) and len(results) < 60:
            worst = max(worst, page.round_trip())
            time.sleep(0.1)
        # A loaded machine may be slow; a station that hashes on its main thread takes seconds.
        self.assertLess(worst, 0.5)
        m = self.fake.mark()
        stop.set()
        holder.join(10)
        t, _ = self.fake.wait_line("KEYED 0", m)
        self.assertLess(t - last[0], 1.0)
        for t in flood:
            t.join(120)
        self.assertEqual(len(results), 120)
        self.assertNotIn(303, results)
        self.assertTrue(set(results) <= {401, 429, 503}, results)

    def test_logout_and_a_new_password_end_sessions_pages_and_ptt(self):
        for how in ("logout", "password"):
            with self.subTest(how=how):
                page, cookie = self.operator_page()
                stop = threading.Event()
                m = self.fake.mark()
                holder = threading.Thread(target=hold_ptt, args=(page, stop))
                holder.start()
                try:
                    self.fake.wait_line("KEYED 1", m)
                    m = self.fake.mark()
                    if how == "logout":
                        status, head, _, _ = request(
                            self.port, "POST /logout HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                            "Origin: https://127.0.0.1:%d\r\nCookie: kanalo=%s\r\n"
                            "Content-Length: 0\r\nConnection: close\r\n\r\n"
                            % (self.port, self.port, cookie), "127.0.0.2")
                        self.assertEqual(status, 303)
                    else:
                        self.fake.send("password Neues-Passwort-1")
                    self.fake.wait_line("KEYED 0", m, 5)
                    wait_for(lambda: page.closed, 5, "the page closed")
                finally:
                    stop.set()
                    holder.join(10)
                status, _, _, _ = request(self.port, "GET /app.js HTTP/1.1\r\nHost: x\r\n"
                                          "Cookie: kanalo=%s\r\nConnection: close\r\n\r\n" % cookie)
                self.assertEqual(status, 401)
        self.assertEqual(login(self.port, PASSWORD, "127.0.0.5")[0], 401)
        self.assertEqual(login(self.port, "Neues-Passwort-1", "127.0.0.6")[0], 303)

    def test_answers_close_when_asked_head_is_get_without_body_errors_are_german(self):
        status, cookie = login(self.port, PASSWORD)
        get = lambda path, extra="", method="GET": request(
            self.port, "%s %s HTTP/1.1\r\nHost: x\r\n%sConnection: close\r\n\r\n"
            % (method, path, extra), timeout=5)
        # 303, 401 and 429 close at once when asked (the client would otherwise wait).
        self.assertLess(get("/")[3], 2.0)
        self.assertEqual(get("/app.js")[0], 401)
        self.assertLess(get("/app.js")[3], 2.0)
        for i in range(4):
            login(self.port, "falsch", "127.0.2.1")
        status, _, _, closed = request(
            self.port, "POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 16\r\n"
            "Connection: close\r\n\r\npassword=falsch!", "127.0.2.1", 5)
        self.assertEqual(status, 429)
        self.assertLess(closed, 2.0)
        session = "Cookie: kanalo=%s\r\n" % cookie
        g, h = get("/app.js", session), get("/app.js", session, "HEAD")
        self.assertEqual((g[0], h[0]), (200, 200))
        self.assertEqual(h[2], b"")
        self.assertIn("Content-Length: %d" % len(g[2]), h[1])
        for path, method, code, text in (("/nichts", "GET", 404, "Nicht gefunden"),
                                         ("/", "PUT", 405, "Methode nicht erlaubt")):
            status, _, body, _ = get(path, session, method)
            self.assertEqual(status, code)
            self.assertEqual(body.decode().strip(), text)

    def test_tls_12_without_cbc(self):
        def handshake(ctx):
            with socket.create_connection(("127.0.0.1", self.port), 5) as s:
                try:
                    with ctx.wrap_socket(s) as t:
                        return t.cipher()[0]
                except (ssl.SSLError, OSError):
                    return None
        self.assertIsNone(handshake(tls(True, "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384")))
        self.assertIn("GCM", handshake(tls(True, "ECDHE-ECDSA-AES128-GCM-SHA256")))


@unittest.skipUnless(FAKE, "KANALO_REMOTE_FAKE not set")
class SessionTime(unittest.TestCase):
    def test_idle_operator_only_listens_and_the_lifetime_closes_every_page(self):
        fake = Fake("--idle-ms", "2000", "--lifetime-ms", "6000")
        try:
            status, cookie = login(fake.port, PASSWORD)
            page = RawPage(fake.port, cookie)
            stop, m = threading.Event(), fake.mark()
            holder = threading.Thread(target=hold_ptt, args=(page, stop))
            holder.start()
            try:
                fake.wait_line("KEYED 1", m)
                # Heartbeats are no actions: two seconds on, PTT lets go, the page only listens.
                fake.wait_line("KEYED 0", m, 6)
                wait_for(lambda: page.find(lambda x: x.get("role") == "listener"), 5, "listener")
                self.assertIsNone(page.closed)
            finally:
                stop.set()
                holder.join(10)
            n = page.since()
            page.send({"c": "up"})
            wait_for(lambda: page.find(lambda x: x["t"] == "error", n), 5, "refused")
            wait_for(lambda: page.closed, 10, "the lifetime's end")
            self.assertEqual(fake.sessions()[:2], [0, 0])
        finally:
            fake.stop()


@unittest.skipUnless(KANALO, "KANALO_BINARY not set")
class Headless(unittest.TestCase):
    """The real station headless, without --simulator: COM1 names the simulated box in
    kanalo.conf and no settings file is saved, as on a fresh install."""

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="kanalo-headless-")
        conf = os.path.join(cls.home, ".config", "kanalo")
        os.makedirs(conf)
        cls.port, cls.rig_port = free_port(), free_port()
        cls.boxlog = os.path.join(cls.home, "box.log")
        with open(os.path.join(conf, "kanalo.conf"), "w") as f:
            f.write("COM1 = sim\nremote.listen = 127.0.0.1:%d\nrigctl.port = %d\nsim.log = %s\n"
                    % (cls.port, cls.rig_port, cls.boxlog))
        cls.env = dict(os.environ, HOME=cls.home, XDG_CONFIG_HOME=os.path.join(cls.home, ".config"))
        cls.env.pop("DISPLAY", None)
        subprocess.run([KANALO, "--remote-password"], input="%s\n%s\n" % (PASSWORD, PASSWORD),
                       text=True, env=cls.env, check=True, capture_output=True)
        cls.mode = os.stat(os.path.join(conf, "kanalo.conf")).st_mode & 0o777
        cls.proc = subprocess.Popen([KANALO, "--headless"], env=cls.env, stdout=subprocess.PIPE,
                                    stderr=open(os.path.join(cls.home, "stderr.txt"), "w"),
                                    text=True)
        end = time.monotonic() + 30
        while time.monotonic() < end:
            line = cls.proc.stdout.readline()
            if not line or "certificate SHA-256" in line:
                break

    @classmethod
    def tearDownClass(cls):
        cls.proc.send_signal(signal.SIGTERM)
        code = cls.proc.wait(30)
        shutil.rmtree(cls.home, ignore_errors=True)
        assert code == 0, "the headless station ended with %d on SIGTERM" % code

    def rig(self, command, timeout=10):
        with socket.create_connection(("127.0.0.1", self.rig_port), timeout) as s:
            t0 = time.monotonic()
            s.sendall(command.encode() + b"\n")
            data = s.recv(4096)
            return data.decode(), time.monotonic() - t0

    def test_1_it_connects_and_the_page_connects_and_disconnects_the_box(self):
        self.assertEqual(self.mode, 0o600, "kanalo.conf holds the password hash")
        status, cookie = login(self.port, PASSWORD)
        self.assertEqual(status, 303)
        # The station's log names the front once per line.
        log = lambda: "".join(open(os.path.join(self.home, "Kanalo", f), encoding="utf-8").read()
                              for f in os.listdir(os.path.join(self.home, "Kanalo"))
                              if f.startswith("Protokoll") and f.endswith(".csv"))
        wait_for(lambda: "angemeldet von" in log(), 10, "the login in Protokoll.csv")
        self.assertNotIn("Fernbedienung: Fernbedienung:", log())
        page = RawPage(self.port, cookie)
        state = lambda pred: page.find(lambda m: m["t"] == "state" and pred(m), 0)
        wait_for(lambda: state(lambda m: m["linked"] and m["link"] == "COM1"), 15, "linked")
        n = page.since()
        page.send({"c": "disconnect"})
        wait_for(lambda: page.find(lambda m: m["t"] == "state" and not m["linked"], n), 15,
                 "disconnected")
        # Pressed again while the port still closes, as an operator would.
        for _ in range(30):
            n = page.since()
            page.send({"c": "connect", "v": "COM1"})
            if wait_for(lambda: page.find(lambda m: m["t"] == "error" or m.get("linked"), n), 15,
                        "an answer")[1]["t"] != "error":
                break
            time.sleep(0.2)
        wait_for(lambda: page.find(lambda m: m["t"] == "state" and m["linked"], n), 15, "linked")
        page.close()

    def test_2_a_login_flood_leaves_rig_control_answering(self):
        results = []
        flood = wrong_logins(self.port, ["127.0.3.%d" % i for i in range(1, 41)], 3, results)
        worst = 0.0
        while any(t.is_alive() for t in flood) and len(results) < 60:
            worst = max(worst, self.rig("f")[1])
            time.sleep(0.05)
        for t in flood:
            t.join(180)
        self.assertLess(worst, 0.5)
        self.assertEqual(len(results), 120)
        self.assertNotIn(303, results)

    def test_3_a_new_password_while_it_runs_ends_every_session(self):
        status, cookie = login(self.port, PASSWORD, "127.0.0.7")
        self.assertEqual(status, 303)
        page = RawPage(self.port, cookie, "127.0.0.7")
        wait_for(lambda: page.find(lambda m: m["t"] == "state"), 10, "the page")
        subprocess.run([KANALO, "--remote-password"], input="Neues-Passwort-2\n" * 2, text=True,
                       env=self.env, check=True, capture_output=True)
        wait_for(lambda: page.closed, 15, "the page closed")
        self.assertEqual(login(self.port, PASSWORD, "127.0.0.8")[0], 401)
        self.assertEqual(login(self.port, "Neues-Passwort-2", "127.0.0.9")[0], 303)


if __name__ == "__main__":
    if not FAKE and not KANALO:
        print("SKIP: neither KANALO_REMOTE_FAKE nor KANALO_BINARY set")
        sys.exit(77)
    unittest.main(verbosity=2)
