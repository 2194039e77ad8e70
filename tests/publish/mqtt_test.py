#!/usr/bin/env python3
"""The real station, headless on its simulator, publishing to Debian's mosquitto on a loopback
port of its own: retained state and Home Assistant discovery as a new subscriber sees them, an
event from keying over rig control, the broker killed and started again, the last will, and
commands obeyed only with mqtt.control = on (never keying). Skips (77) with the reason where
mosquitto or its clients are not installed."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

KANALO = os.environ.get("KANALO_BINARY", "")
MOSQUITTO = shutil.which("mosquitto") or ("/usr/sbin/mosquitto"
                                          if os.path.exists("/usr/sbin/mosquitto") else None)
SUB, PUB = shutil.which("mosquitto_sub"), shutil.which("mosquitto_pub")
PATIENCE = 30.0  # start-up on a loaded two-core machine


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, timeout=PATIENCE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = cond()
        if value:
            return value
        time.sleep(0.1)
    return cond()


class Broker:
    """mosquitto with a private configuration: loopback only, nothing kept; anonymous, or
    (secure) TLS with a certificate of its own and one user with a password."""

    USER, PASSWORD = "station", "geheim-42"

    def __init__(self, home, secure=False):
        self.port = free_port()
        self.conf = os.path.join(home, "mosquitto.conf")
        self.client_args = []
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\npersistence false\n" % self.port)
            if not secure:
                f.write("allow_anonymous true\n")
            else:
                self.cert = os.path.join(home, "broker.crt")
                key = os.path.join(home, "broker.key")
                subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                "-keyout", key, "-out", self.cert, "-days", "2",
                                "-subj", "/CN=127.0.0.1", "-addext",
                                "subjectAltName=IP:127.0.0.1"], check=True,
                               capture_output=True)
                passwords = os.path.join(home, "passwords")
                subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, self.USER,
                                self.PASSWORD], check=True, capture_output=True)
                f.write("allow_anonymous false\npassword_file %s\ncertfile %s\nkeyfile %s\n"
                        % (passwords, self.cert, key))
                # mosquitto started as root reads these after it became the user mosquitto.
                os.chmod(home, 0o755)
                for p in (passwords, key, self.cert):
                    os.chmod(p, 0o644)
                self.client_args = ["--cafile", self.cert, "-u", self.USER, "-P", self.PASSWORD]
        self.log = os.path.join(home, "mosquitto.log")
        self.proc = None
        self.start()

    def start(self):
        with open(self.log, "a") as log:
            self.proc = subprocess.Popen([MOSQUITTO, "-c", self.conf],
                                         stdout=subprocess.DEVNULL, stderr=log)
        if not wait_for(self.listening, 10):
            with open(self.log) as log:
                raise RuntimeError("mosquitto does not listen: " + log.read())

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 1).close()
            return True
        except OSError:
            return False

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.kill()

    def retained(self, pattern="kanalo/#", seconds=2):
        """Every retained message under `pattern`, as a new subscriber gets them."""
        out = subprocess.run([SUB, "-h", "127.0.0.1", "-p", str(self.port), "-t", pattern, "-v",
                              "--retained-only", "-W", str(seconds)] + self.client_args,
                             capture_output=True, text=True).stdout
        found = {}
        for line in out.splitlines():
            topic, _, payload = line.partition(" ")
            found[topic] = payload
        return found

    def publish(self, topic, payload):
        subprocess.run([PUB, "-h", "127.0.0.1", "-p", str(self.port), "-t", topic, "-m", payload]
                       + self.client_args, check=True, timeout=10)


class Listener:
    """A subscriber that stays: every message under kanalo/#, in order."""

    def __init__(self, broker, home):
        self.path = os.path.join(home, "sub-%d.txt" % time.monotonic_ns())
        with open(self.path, "w") as out:
            self.proc = subprocess.Popen([SUB, "-h", "127.0.0.1", "-p", str(broker.port), "-v",
                                          "-t", "kanalo/#"] + broker.client_args, stdout=out)
        time.sleep(0.5)  # subscribed before anything is done (nothing here depends on it)

    def lines(self):
        with open(self.path) as f:
            return f.read().splitlines()

    def event(self, leaf, where=lambda e: True):
        for line in self.lines():
            topic, _, payload = line.partition(" ")
            if topic == "kanalo/event/" + leaf:
                e = json.loads(payload)
                if where(e):
                    return e
        return None

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Station:
    def __init__(self, home, broker, control, extra=""):
        conf = os.path.join(home, ".config", "kanalo")
        os.makedirs(conf, exist_ok=True)
        self.rig_port = free_port()
        self.rig_sock = None
        with open(os.path.join(conf, "kanalo.conf"), "w") as f:
            f.write("mqtt.broker = 127.0.0.1:%d\nrigctl.port = %d\nmqtt.control = %s\n"
                    % (broker.port, self.rig_port, "on" if control else "off") + extra)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
        env.pop("DISPLAY", None)
        self.err = os.path.join(home, "stderr.txt")
        with open(self.err, "w") as err:
            self.proc = subprocess.Popen([KANALO, "--headless", "--simulator"], env=env,
                                         stdout=subprocess.DEVNULL, stderr=err)

    def rig(self, command):
        """One line over a rig-control connection that stays open (a client's hold ends when
        its connection does)."""
        if self.rig_sock is None:
            self.rig_sock = socket.create_connection(("127.0.0.1", self.rig_port), 10)
        self.rig_sock.sendall(command.encode() + b"\n")
        return self.rig_sock.recv(4096).decode()

    def stderr(self):
        with open(self.err) as f:
            return f.read()

    def end(self):
        if self.rig_sock:
            self.rig_sock.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            return self.proc.wait(30)
        return self.proc.returncode


class MqttCase(unittest.TestCase):
    control = False

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kanalo-mqtt-")
        self.broker = Broker(self.home)
        self.station = Station(self.home, self.broker, self.control)
        self.listener = Listener(self.broker, self.home)

    def tearDown(self):
        if self.listener:
            self.listener.stop()
        code = self.station.end()
        self.broker.stop()
        shutil.rmtree(self.home, ignore_errors=True)
        self.assertEqual(code, 0, "the station ended with %s on SIGTERM" % code)

    def state(self, expect, timeout=PATIENCE):
        """Waits until the retained state holds `expect`; the last state seen."""
        seen = {}

        def holds():
            seen.clear()
            seen.update(self.broker.retained())
            return all(seen.get("kanalo/" + k) == v for k, v in expect.items())

        ok = wait_for(holds, timeout)
        self.assertTrue(ok, "retained state %s, wanted %s; station said: %s"
                        % (seen, expect, self.station.stderr()))
        return seen

    def command(self, leaf, payload):
        self.broker.publish("kanalo/command/" + leaf, payload)


class Publishing(MqttCase):
    def test_state_events_reconnect_and_will(self):
        linked = {"availability": "online", "state/link": "ON", "state/channel": "9",
                  "state/frequency": "27.065", "state/tx": "OFF", "state/selcall": "OFF",
                  "state/mailbox": "OFF"}
        seen = self.state(linked)
        self.assertRegex(seen.get("kanalo/state/s", ""), r"^\d+$")
        self.assertEqual(seen.get("kanalo/state/squelch") in ("ON", "OFF"), True)
        # Home Assistant finds one device with its sensors, each on its state topic.
        ha = self.broker.retained("homeassistant/#")
        configs = {t: json.loads(p) for t, p in ha.items() if t.endswith("/config")}
        self.assertIn("homeassistant/sensor/kanalo_kanalo/channel/config", configs)
        self.assertIn("homeassistant/binary_sensor/kanalo_kanalo/tx/config", configs)
        self.assertEqual({json.dumps(c["device"], sort_keys=True) for c in configs.values()},
                         {json.dumps(configs["homeassistant/sensor/kanalo_kanalo/channel/config"]
                                     ["device"], sort_keys=True)})
        for c in configs.values():
            self.assertIn("kanalo/" + "state/", c["state_topic"])
            self.assertEqual(c["availability_topic"], "kanalo/availability")

        # Keying over rig control: the state says so while keyed, an event when it ends.
        self.assertEqual(self.station.rig("T 1"), "RPRT 0\n")
        self.state({"state/tx": "ON", "state/tx_by": "Netzwerk"}, 10)
        self.assertEqual(self.station.rig("T 0"), "RPRT 0\n")
        ended = wait_for(lambda: self.listener.event("transmission"), 10)
        self.assertTrue(ended, "no transmission event: %s" % self.listener.lines())
        self.assertEqual(ended["source"], "Netzwerk")
        self.assertGreater(float(ended["seconds"]), 0.0)
        self.state({"state/tx": "OFF", "state/tx_by": "-"}, 10)

        # Commands are off by default: refused with a reason, the channel stays.
        self.command("channel", "19")
        refused = wait_for(lambda: self.listener.event("error", lambda e: "command" in e), 10)
        self.assertTrue(refused, "no refusal: %s" % self.listener.lines())
        self.assertIn("mqtt.control", refused["text"])
        self.state({"state/channel": "9"}, 5)

        # The broker dies and comes back without anything kept: the station reconnects within
        # ten seconds and says all of its state again.
        self.broker.kill()
        self.broker.start()
        t0 = time.monotonic()
        self.state(linked, 10)
        self.assertLess(time.monotonic() - t0, 10.5)

        # The station dies without a word: the broker says "offline" for it.
        self.station.proc.send_signal(signal.SIGKILL)
        self.station.proc.wait(10)
        self.state({"availability": "offline"}, 10)
        self.station.proc.returncode = 0  # killed on purpose


class LateBroker(MqttCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kanalo-mqtt-")
        self.broker = Broker(self.home)
        self.broker.kill()
        self.station = Station(self.home, self.broker, False)
        self.listener = None

    def test_broker_that_comes_after_the_station(self):
        # The station runs (its rig control answers) while nobody takes its messages.
        self.assertTrue(wait_for(lambda: self.station.stderr().count("MQTT an")))
        self.assertTrue(wait_for(self.rig_answers), self.station.stderr())
        self.broker.start()
        self.listener = Listener(self.broker, self.home)
        self.state({"availability": "online", "state/link": "ON", "state/channel": "9"}, 15)

    def rig_answers(self):
        try:
            return self.station.rig("f").strip().isdigit()
        except OSError:
            self.station.rig_sock = None
            return False


class Secured(MqttCase):
    """TLS and a password: the station checks the broker's certificate against mqtt.cafile, logs
    in as mqtt.user, and a refusal is said once however often the back-off meets it again."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kanalo-mqtt-")
        self.broker = Broker(self.home, secure=True)
        self.listener = None

    def start(self, password):
        self.station = Station(self.home, self.broker, False,
                               "mqtt.tls = on\nmqtt.cafile = %s\nmqtt.user = %s\n"
                               "mqtt.password = %s\n" % (self.broker.cert, Broker.USER, password))

    def test_tls_with_a_password(self):
        self.start(Broker.PASSWORD)
        self.listener = Listener(self.broker, self.home)
        self.state({"availability": "online", "state/link": "ON", "state/channel": "9"})
        # The password was written into a file others could read (this test's umask): the
        # station made it its owner's alone.
        conf = os.path.join(self.home, ".config", "kanalo", "kanalo.conf")
        self.assertEqual(os.stat(conf).st_mode & 0o077, 0)

    def test_a_wrong_password_is_said_once_and_the_station_runs_on(self):
        self.start("falsch")
        refused = "der Broker lehnt ab"
        self.assertTrue(wait_for(lambda: refused in self.station.stderr()), self.station.stderr())
        # Tries go on with the back-off (1, 2, 4 s ...): ten seconds hold several of them.
        time.sleep(10)
        self.assertEqual(self.station.stderr().count(refused), 1, self.station.stderr())
        self.assertEqual(self.broker.retained(), {})
        self.assertIsNone(self.station.proc.poll(), "the station ended")


class Control(MqttCase):
    control = True

    def test_commands_obeyed_never_keying(self):
        self.state({"state/link": "ON", "state/channel": "9"})
        self.command("channel", "19")
        self.state({"state/channel": "19", "state/frequency": "27.185"}, 15)
        self.command("channel", "up")
        self.state({"state/channel": "20"}, 15)
        self.command("selcall", "ON")
        self.state({"state/selcall": "ON"}, 10)
        self.command("selcall", "OFF")
        self.command("mailbox", "ON")
        self.state({"state/selcall": "OFF", "state/mailbox": "ON"}, 10)
        # No topic keys the transmitter, whatever it is called.
        for leaf, payload in (("ptt", "ON"), ("tx", "ON"), ("channel", "81")):
            self.command(leaf, payload)
            err = wait_for(lambda: self.listener.event(
                "error", lambda e: e.get("command") == leaf), 10)
            self.assertTrue(err, "%s %s not refused: %s" % (leaf, payload, self.listener.lines()))
        self.state({"state/tx": "OFF", "state/channel": "20"}, 5)


if __name__ == "__main__":
    if not KANALO:
        print("SKIP: KANALO_BINARY not set")
        sys.exit(77)
    if not (MOSQUITTO and SUB and PUB):
        print("SKIP: mosquitto or mosquitto-clients not installed")
        sys.exit(77)
    unittest.main(verbosity=2)
