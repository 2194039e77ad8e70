#!/usr/bin/env python3
"""What publishing costs the station, measured side by side in one run (docs/benchmarks.md).

    KANALO_BINARY=build/app/kanalo python3 bench/publish_bench.py [ROUNDS]

Prints one line per figure, each as min/median/max over ROUNDS (3) rounds:
- the headless station's CPU (% of one core over 20 s, start-up excluded) without Icecast and
  while streaming to a local icecast2: the difference is what the stream costs;
- while streaming, its CPU and the bytes it writes with 0 and with 500 listeners on the server
  (a bounded loop of readers on loopback): the station's share must not grow with them;
- the time from rig control's answer to `T 1` until a subscriber of the local mosquitto has the
  retained `state/tx` ON (the station keys at its next 100 ms tick, so up to 100 ms of it are
  the tick's).
Loopback only; every wait bounded. Uses the publish tests' servers and stations.
"""
import os
import selectors
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "publish"))
import icecast_test as ice  # noqa: E402
import mqtt_test as mq  # noqa: E402

WINDOW = 20.0
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def written(pid):
    with open("/proc/%d/io" % pid) as f:
        return int(next(line for line in f if line.startswith("wchar:")).split()[1])


def measure(pid, seconds=WINDOW):
    """(% of a core, bytes written per second) over `seconds`."""
    c0, w0, t0 = cpu_seconds(pid), written(pid), time.monotonic()
    time.sleep(seconds)
    dt = time.monotonic() - t0
    return 100.0 * (cpu_seconds(pid) - c0) / dt, (written(pid) - w0) / dt


def fmt(values, unit):
    return "%.2f / %.2f / %.2f %s" % (min(values), statistics.median(values), max(values), unit)


class Listeners:
    """`count` listeners of the stream, read in one thread until stopped."""

    def __init__(self, port, count):
        self.socks, self.stop, self.bytes = [], False, 0
        self.sel = selectors.DefaultSelector()
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), 10)
            s.sendall(b"GET /kanalo.ogg HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
            s.setblocking(False)
            self.sel.register(s, selectors.EVENT_READ)
            self.socks.append(s)
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.stop:
            for key, _ in self.sel.select(0.2):
                try:
                    self.bytes += len(key.fileobj.recv(65536))
                except OSError:
                    pass

    def close(self):
        self.stop = True
        self.thread.join(10)
        for s in self.socks:
            s.close()


def streaming_rounds(rounds):
    plain, streaming, none_cpu, none_w, many_cpu, many_w, heard = [], [], [], [], [], [], []
    for _ in range(rounds):
        home = tempfile.mkdtemp(prefix="kanalo-bench-")
        os.chmod(home, 0o755)
        try:
            alone = ice.Station(os.path.join(home, "alone"), None)
            time.sleep(8)  # start-up done
            plain.append(measure(alone.proc.pid)[0])
            alone.end()
            server = ice.Server(home, clients=600)
            station = ice.Station(os.path.join(home, "source"), server)
            stream = ice.wait_for(server.mounted, 30)
            if not stream:
                raise RuntimeError("no stream: " + station.stderr())
            stream.close()
            time.sleep(3)
            cpu, w = measure(station.proc.pid)
            streaming.append(cpu)
            none_cpu.append(cpu)
            none_w.append(w)
            crowd = Listeners(server.port, 500)
            time.sleep(3)
            cpu, w = measure(station.proc.pid)
            crowd.close()
            many_cpu.append(cpu)
            many_w.append(w)
            heard.append(crowd.bytes / 500 / (WINDOW + 3))
            station.end()
            server.kill()
        finally:
            shutil.rmtree(home, ignore_errors=True)
    print("station CPU without Icecast:      " + fmt(plain, "% of a core"))
    print("station CPU streaming to Icecast: " + fmt(streaming, "% of a core"))
    print("  difference (median):            %.2f %% of a core"
          % (statistics.median(streaming) - statistics.median(plain)))
    print("streaming, 0 listeners:   CPU " + fmt(none_cpu, "%") + ", writes " +
          fmt([w / 1000 for w in none_w], "kB/s"))
    print("streaming, 500 listeners: CPU " + fmt(many_cpu, "%") + ", writes " +
          fmt([w / 1000 for w in many_w], "kB/s"))
    print("  each listener received " + fmt([h / 1000 for h in heard], "kB/s"))


def mqtt_rounds(rounds):
    home = tempfile.mkdtemp(prefix="kanalo-bench-mqtt-")
    broker = mq.Broker(home)
    station = mq.Station(home, broker, False)
    sub = subprocess.Popen([mq.SUB, "-h", "127.0.0.1", "-p", str(broker.port), "-t",
                            "kanalo/state/tx", "-v"], stdout=subprocess.PIPE, text=True,
                           bufsize=1)
    lines = []
    reader = threading.Thread(target=lambda: [lines.append((time.monotonic(), line.strip()))
                                              for line in sub.stdout], daemon=True)
    reader.start()
    try:
        if not mq.wait_for(lambda: any(l[1] == "kanalo/state/tx OFF" for l in lines), 30):
            raise RuntimeError("no MQTT state: " + station.stderr())
        latencies = []
        for _ in range(rounds * 5):
            for want in ("ON", "OFF"):
                n = len(lines)
                if station.rig("T %d" % (want == "ON")) != "RPRT 0\n":
                    raise RuntimeError("rig control refused")
                t0 = time.monotonic()
                got = mq.wait_for(lambda: next((t for t, l in lines[n:]
                                                if l == "kanalo/state/tx " + want), None), 10)
                if got is None:
                    raise RuntimeError("no state/tx " + want)
                if want == "ON":
                    latencies.append(1000 * (got - t0))
                time.sleep(0.5)
        print("rig control's RPRT 0 to T 1 -> MQTT state/tx ON: " + fmt(latencies, "ms")
              + " (%d keyings)" % len(latencies))
    finally:
        sub.terminate()
        station.end()
        broker.stop()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    if not (os.environ.get("KANALO_BINARY") and ice.ICECAST and mq.MOSQUITTO):
        sys.exit("needs KANALO_BINARY, icecast2 and mosquitto")
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    mqtt_rounds(n)
    streaming_rounds(n)
