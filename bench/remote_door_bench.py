#!/usr/bin/env python3
"""The browser front's door under the loads that once shut it, measured (docs/benchmarks.md).

    KANALO_REMOTE_FAKE=build/remote/kanalo-remote-fake [KANALO_BINARY=build/app/kanalo] \\
        python3 bench/remote_door_bench.py

Prints one line per figure: the login page's answer after 80 idle connections closed; logins
from another address during 150 trickling connections from one; a page's command round trip
and PTT's let-go during 120 wrong logins from 40 addresses at the station's scrypt cost; and,
with KANALO_BINARY, rig control's answer during the same flood on the real headless station.
Loopback only; every loop bounded. Uses the process-level test's helpers.
"""
import os
import socket
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "remote"))
import door_test as d  # noqa: E402


def idle_then_login():
    fake = d.Fake()
    try:
        idle = [socket.create_connection(("127.0.0.1", fake.port), 5) for _ in range(80)]
        time.sleep(3)
        for s in idle:
            s.close()
        t0 = time.monotonic()
        status = d.request(fake.port, "GET /login HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")[0]
        print("after 80 idle connections closed: login page %d in %.0f ms"
              % (status, 1000 * (time.monotonic() - t0)))
    finally:
        fake.stop()


def trickle_then_logins():
    fake = d.Fake()
    stop = threading.Event()

    def trickle():
        while not stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", fake.port), 5) as s:
                    with d.tls().wrap_socket(s) as t:
                        t.sendall(b"GET / HTTP/1.1\r\n")
                        while not stop.wait(1.0):
                            t.sendall(b"X-Slow: 1\r\n")
            except OSError:
                stop.wait(0.05)
    threads = [threading.Thread(target=trickle, daemon=True) for _ in range(150)]
    try:
        for t in threads:
            t.start()
        time.sleep(2)
        times, ok = [], 0
        for _ in range(20):
            t0 = time.monotonic()
            ok += d.login(fake.port, d.PASSWORD, "127.0.0.4")[0] == 303
            times.append(1000 * (time.monotonic() - t0))
        print("during 150 trickling connections: %d of 20 logins from another address, "
              "median %.0f ms, worst %.0f ms" % (ok, statistics.median(times), max(times)))
    finally:
        stop.set()
        for t in threads:
            t.join(15)
        fake.stop()


def flood_page():
    fake = d.Fake("--cost", "17")
    try:
        status, cookie = d.login(fake.port, d.PASSWORD, "127.0.0.2")
        page = d.RawPage(fake.port, cookie, "127.0.0.2")
        stop, last = threading.Event(), []
        m = fake.mark()
        holder = threading.Thread(target=lambda: last.append(d.hold_ptt(page, stop)))
        holder.start()
        fake.wait_line("KEYED 1", m)
        results, trips = [], []
        flood = d.wrong_logins(fake.port, ["127.0.1.%d" % i for i in range(1, 41)], 3, results)
        while any(t.is_alive() for t in flood) and len(trips) < 400:
            trips.append(1000 * page.round_trip())
            time.sleep(0.05)
        m = fake.mark()
        stop.set()
        holder.join(10)
        t, _ = fake.wait_line("KEYED 0", m)
        for th in flood:
            th.join(180)
        print("during 120 wrong logins from 40 addresses (scrypt N=2^17): page round trip "
              "median %.1f ms, worst %.1f ms over %d; PTT let go %.0f ms after the last "
              "heartbeat; answers %s" % (statistics.median(trips), max(trips), len(trips),
                                         1000 * (t - last[0]),
                                         {s: results.count(s) for s in sorted(set(results))}))
    finally:
        fake.stop()


def flood_rig():
    if not d.KANALO:
        return
    h = d.Headless
    h.setUpClass()
    try:
        results, times = [], []
        flood = d.wrong_logins(h.port, ["127.0.3.%d" % i for i in range(1, 41)], 3, results)
        while any(t.is_alive() for t in flood) and len(times) < 400:
            times.append(1000 * h.rig(h, "f")[1])
            time.sleep(0.05)
        for t in flood:
            t.join(180)
        print("real station, same flood: rig control answer median %.1f ms, worst %.1f ms over %d"
              % (statistics.median(times), max(times), len(times)))
    finally:
        h.tearDownClass()


if __name__ == "__main__":
    if not d.FAKE:
        sys.exit("set KANALO_REMOTE_FAKE")
    idle_then_login()
    trickle_then_logins()
    flood_page()
    flood_rig()
