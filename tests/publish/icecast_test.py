#!/usr/bin/env python3
"""The real station, headless on its simulator, streaming its receiver to Debian's icecast2 on
a loopback port of its own: a listener's copy of the stream, decoded with opusdec, holds the
DTMF call the simulated band plays every 30 seconds, and the stream carries the channel as its
title. Skips (77) with the reason where icecast2, opusdec or the DTMF tool are missing."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

KANALO = os.environ.get("KANALO_BINARY", "")
DTMF = os.environ.get("KANALO_DTMF", "")
ICECAST = shutil.which("icecast2") or shutil.which("icecast")
OPUSDEC = shutil.which("opusdec")
PASSWORD = "kanalo-source-pw"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = cond()
        if value:
            return value
        time.sleep(0.2)
    return cond()


class Server:
    """icecast2 with a private configuration on a loopback port of its own."""

    def __init__(self, home, clients=10):
        self.port = free_port()
        logs = os.path.join(home, "icecast-log")
        os.makedirs(logs)
        os.chmod(logs, 0o777)
        # icecast2 will not run as root: it then changes to nobody, as configured here.
        owner = ""
        if os.getuid() == 0:
            owner = ("<security><chroot>0</chroot><changeowner><user>nobody</user>"
                     "<group>nogroup</group></changeowner></security>")
        self.conf = os.path.join(home, "icecast.xml")
        with open(self.conf, "w") as f:
            f.write("""<icecast>
  <limits><sources>2</sources><clients>%d</clients></limits>
  <authentication>
    <source-password>%s</source-password>
    <admin-user>admin</admin-user><admin-password>%s-admin</admin-password>
  </authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>%d</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <paths><basedir>/usr/share/icecast2</basedir><logdir>%s</logdir>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot>
  </paths>
  <logging><errorlog>error.log</errorlog><loglevel>2</loglevel></logging>
  %s
</icecast>
""" % (clients, PASSWORD, PASSWORD, self.port, logs, owner))
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([ICECAST, "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_for(self.listening, 15):
            raise RuntimeError("icecast2 does not listen")

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 1).close()
            return True
        except OSError:
            return False

    def mounted(self):
        """A listener's open stream, None while the station is not its source."""
        try:
            return urllib.request.urlopen("http://127.0.0.1:%d/kanalo.ogg" % self.port,
                                          timeout=15)
        except OSError:
            return None


class Station:
    """The headless station on its simulator, the source of `server`'s /kanalo.ogg (none: no
    Icecast at all, for a comparison)."""

    def __init__(self, home, server):
        cfg = os.path.join(home, ".config", "kanalo")
        os.makedirs(cfg, exist_ok=True)
        self.rig_port = free_port()
        with open(os.path.join(cfg, "kanalo.conf"), "w") as f:
            if server:
                f.write("icecast.url = http://source:%s@127.0.0.1:%d/kanalo.ogg\n"
                        "icecast.name = Kanalo Test\n" % (PASSWORD, server.port))
            f.write("rigctl.port = %d\n" % self.rig_port)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
        env.pop("DISPLAY", None)
        self.err = os.path.join(home, "stderr.txt")
        with open(self.err, "w") as err:
            self.proc = subprocess.Popen([KANALO, "--headless", "--simulator"], env=env,
                                         stdout=subprocess.DEVNULL, stderr=err)

    def stderr(self):
        with open(self.err) as f:
            return f.read()

    def end(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            return self.proc.wait(30)
        return self.proc.returncode


class Icecast(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kanalo-icecast-")
        os.chmod(self.home, 0o755)
        self.server = Server(self.home)
        self.station = Station(self.home, self.server)
        self.rig_port = self.station.rig_port
        self.mounted = self.server.mounted

    def tearDown(self):
        code = self.station.end()
        self.server.kill()
        said = self.stderr()[-4000:]
        shutil.rmtree(self.home, ignore_errors=True)
        self.assertEqual(code, 0, "the station ended with %s on SIGTERM; it said:\n%s" % (code, said))

    def stderr(self):
        return self.station.stderr()

    def test_a_listener_hears_the_call_on_the_band(self):
        stream = wait_for(self.mounted, 30)
        self.assertTrue(stream, "no stream; station said: %s" % self.stderr())
        # The simulated band's caller comes every 30 seconds: 40 seconds hold one call.
        ogg = os.path.join(self.home, "heard.ogg")
        end = time.monotonic() + 40
        with open(ogg, "wb") as out:
            while time.monotonic() < end:
                chunk = stream.read(4096)
                if not chunk:
                    break
                out.write(chunk)
        stream.close()
        with open(ogg, "rb") as f:
            data = f.read()
        self.assertIn(b"OpusHead", data)
        self.assertIn(b"TITLE=Kanal 9", data)
        wav = os.path.join(self.home, "heard.wav")
        subprocess.run([OPUSDEC, "--quiet", "--rate", "44100", ogg, wav], check=True,
                       timeout=60)
        out = subprocess.run([DTMF, wav], capture_output=True, text=True, timeout=60)
        self.assertIn("2345", out.stdout.replace(" ", "").replace("\n", ""),
                      "kanalo-dtmf heard: %s %s" % (out.stdout, out.stderr))

    def test_a_new_title_at_a_channel_change_and_back_after_a_restart(self):
        stream = wait_for(self.mounted, 30)
        self.assertTrue(stream, "no stream; station said: %s" % self.stderr())
        heard = bytearray()

        def read_until(marker, seconds):
            end = time.monotonic() + seconds
            while marker not in heard and time.monotonic() < end:
                chunk = stream.read(1024)
                if not chunk:
                    break
                heard.extend(chunk)
            return marker in heard

        self.assertTrue(read_until(b"TITLE=Kanal 9", 20))
        # Channel 19 over rig control: the stream goes on under the new title (a new logical
        # stream, as Ogg carries titles) without the listener reconnecting.
        with socket.create_connection(("127.0.0.1", self.rig_port), 10) as rig:
            rig.sendall(b"F 27185000\n")
            self.assertEqual(rig.recv(100), b"RPRT 0\n")
        self.assertTrue(read_until(b"TITLE=Kanal 19", 30), "no new title; station said: %s"
                        % self.stderr())
        stream.close()
        # The server dies and comes back: the station is its source again within its back-off
        # (8 s at most), and says so.
        self.server.kill()
        self.server.start()
        t0 = time.monotonic()
        again = wait_for(self.mounted, 30)
        self.assertTrue(again, "not back; station said: %s" % self.stderr())
        again.close()
        self.assertLess(time.monotonic() - t0, 20)
        said = self.stderr()
        for line, times in (("Icecast sendet nach", 1), ("verloren", 1),
                            ("Icecast sendet wieder nach", 1)):
            self.assertEqual(said.count(line), times, said)


if __name__ == "__main__":
    missing = [n for n, v in (("KANALO_BINARY", KANALO), ("KANALO_DTMF", DTMF),
                              ("icecast2", ICECAST), ("opusdec", OPUSDEC)) if not v]
    if missing:
        print("SKIP: not available: " + ", ".join(missing))
        sys.exit(77)
    unittest.main(verbosity=2)
