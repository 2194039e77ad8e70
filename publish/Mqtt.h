// The station on MQTT, for home automation: its state as retained topics, what happens as
// events, Home Assistant discovery so that it appears as one device, and (only with
// mqtt.control = on) a few commands back. Never the transmitter: nothing here keys.
//
// Topics under the prefix T (mqtt.topic, "kanalo" by default):
//   T/availability        "online" / "offline" (retained; "offline" is the broker's last will)
//   T/state/link          "ON" / "OFF"            T/state/channel    "9"
//   T/state/frequency     "27.065"                T/state/squelch    "ON" (open) / "OFF"
//   T/state/s             S units (9 = S9; every 6 dB above S9 one more)
//   T/state/tx            "ON" / "OFF"            T/state/tx_by      "-", "Netzwerk", ...
//   T/state/selcall       "ON" / "OFF" (armed)    T/state/mailbox    "ON" / "OFF" (armed)
//   T/event/call          {"digits":"2345","kind":"own","time":"2026-...Z"}
//   T/event/recording     {"file":"...","seconds":12.3,"whole":true}
//   T/event/transmission  {"source":"Netzwerk","seconds":1.2}
//   T/event/error         {"text":"..."}
//   T/command/channel     "up", "down" or a channel number
//   T/command/scan        anything: the scanner's button
//   T/command/selcall, T/command/mailbox   "ON" / "OFF"
//
// Threads: the network I/O runs on libmosquitto's own thread. Everything the station hands in
// (state, events) goes into a bounded queue on the main thread and is handed to libmosquitto
// there, a window at a time, which only queues it for that thread: a broker that is slow or
// gone never delays the caller; what does not fit is dropped, counted and said once. Commands
// come back from the network thread as posted messages and run on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "remote/Station.h"

namespace platform {
class HostConfig;
}
namespace station {
class TStation;
}

namespace publish {

struct MqttConfig {
  std::string host;  // empty: MQTT is off
  int port = 1883;
  std::string topic = "kanalo";
  std::string user, password;
  bool tls = false;
  std::string cafile;  // TLS: the authorities to trust; empty: the system's
  bool control = false;
  static MqttConfig FromHost(const platform::HostConfig& host);
};

// S units from the meter's scale (0..100, 1 dB a step, S9 at 54): 6 dB a unit, S0 at the floor.
int SUnits(int sValue);

class MqttFront {
 public:
  // `setChannel` tunes to a channel (as rig control does); an error text, empty on success.
  // `state` is the station as the browser front reads it (its own instance: the front sets its
  // change hook); the station's events come from `station`.
  MqttFront(MqttConfig config, remote::IRemoteStation& state, station::TStation& station,
            std::function<std::string(int)> setChannel);
  ~MqttFront();
  // Starts the network thread and the first connection attempt; false with `why` when the
  // library refuses the configuration (a missing CA file, ...). A broker that is not there yet
  // is no failure: the thread tries again with a growing pause.
  bool Start(std::string* why);
  uint64_t Dropped() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Starts the front when kanalo.conf names mqtt.broker; says on standard error why it does not
// start. Returns nullptr when MQTT is off or could not start.
std::unique_ptr<MqttFront> StartMqtt(remote::IRemoteStation& state, station::TStation& station,
                                     std::function<std::string(int)> setChannel);

}  // namespace publish
