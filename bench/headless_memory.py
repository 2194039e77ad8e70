#!/usr/bin/env python3
"""Memory of the station without a window beside the station with its window, in one run, on the
same simulator.

Both are started at once, each with a data folder and configuration of its own ("COM1 = sim",
a rig-control port of its own, the default settings): `kanalo --simulator` on Qt's offscreen
platform (its window made and shown, nothing drawn on a screen) and `kanalo --headless
--simulator`, which runs kanalo-headless in its place. Once each answers rig control with a
channel (start-up done, the simulated box polled), both are left alone for a while (10 s;
KANALO_BENCH_SECONDS overrides it), then each one's resident set (VmRSS), proportional set
(Pss, from smaps_rollup) and the Qt libraries it maps are read from /proc. Prints the two and
the ratio headless / windowed (target: at most 0.6 of the resident set).

  bench/headless_memory.py [build/app/kanalo]
"""
import os
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start(binary, args, env_extra):
    home = tempfile.mkdtemp(prefix="kanalo-memory-")
    os.makedirs(os.path.join(home, ".config", "kanalo"))
    port = free_port()
    with open(os.path.join(home, ".config", "kanalo", "kanalo.conf"), "w") as f:
        f.write("COM1 = sim\nrigctl.port = %d\n" % port)
    env = {k: v for k, v in os.environ.items() if k in ("PATH", "XDG_RUNTIME_DIR")}
    env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), **env_extra)
    p = subprocess.Popen([binary] + args, env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    return p, port


def await_channel(port, patience=60):
    end = time.time() + patience
    while time.time() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                s.sendall(b"f\n")
                if s.recv(64).strip().isdigit():
                    return True
        except OSError:
            pass
        time.sleep(0.2)
    return False


def memory(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                out["rss"] = int(line.split()[1])
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("Pss:"):
                out["pss"] = int(line.split()[1])
    with open("/proc/%d/maps" % pid) as f:
        libs = {l.split("/")[-1].split(".so")[0] for l in f if "libQt6" in l}
    out["qt"] = sorted(libs)
    return out


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "app", "kanalo")
    seconds = float(os.environ.get("KANALO_BENCH_SECONDS", "10"))
    window, wport = start(binary, ["--simulator"], {"QT_QPA_PLATFORM": "offscreen"})
    headless, hport = start(binary, ["--headless", "--simulator"], {})
    try:
        if not (await_channel(wport) and await_channel(hport)):
            print("a station did not answer rig control")
            return 1
        time.sleep(seconds)
        w, h = memory(window.pid), memory(headless.pid)
        for name, m in (("windowed", w), ("headless", h)):
            print("%-8s VmRSS %6d kB  Pss %6d kB  Qt: %s"
                  % (name, m["rss"], m["pss"], " ".join(m["qt"])))
        print("headless / windowed: VmRSS %.2f, Pss %.2f" % (h["rss"] / w["rss"],
                                                             h["pss"] / w["pss"]))
    finally:
        for p in (window, headless):
            p.terminate()
            p.wait(30)
    return 0


if __name__ == "__main__":
    sys.exit(main())
