#include "publish/Mqtt.h"

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Host.h"
#include "rtl/Messages.h"
#include "station/Station.h"
#include "timers/MMHTimer.h"

namespace publish {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kQueue = 512;  // messages waiting for the network thread
constexpr int kWindow = 64;     // messages handed to libmosquitto and not yet written
constexpr size_t kInbox = 32;   // commands waiting for the main thread
constexpr int kKeepAlive = 30;  // seconds
constexpr uint32_t kDrain = rtl::WM_APP + 1;
constexpr uint32_t kConnected = rtl::WM_APP + 2;
constexpr uint32_t kCommand = rtl::WM_APP + 3;

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string OnOff(bool b) {
  return b ? "ON" : "OFF";
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(s.begin());
  return s;
}

std::string Seconds(Clock::duration d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", std::chrono::duration<double>(d).count());
  return buf;
}

std::string UtcNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

int SUnits(int sValue) {
  return std::max(0, 9 + static_cast<int>(std::floor((sValue - 54) / 6.0)));
}

MqttConfig MqttConfig::FromHost(const platform::HostConfig& host) {
  MqttConfig c;
  const std::string broker = host.Get("mqtt.broker");
  const size_t colon = broker.rfind(':');
  if (colon != std::string::npos && colon > 0) {
    c.host = broker.substr(0, colon);
    if (c.host.size() > 2 && c.host.front() == '[' && c.host.back() == ']')
      c.host = c.host.substr(1, c.host.size() - 2);
    c.port = std::atoi(broker.c_str() + colon + 1);
    if (c.port < 1 || c.port > 65535) c.host.clear();
  }
  c.topic = host.GetValid("mqtt.topic", "kanalo");
  c.user = host.Get("mqtt.user");
  c.password = host.Get("mqtt.password");
  c.tls = host.GetBool("mqtt.tls", false);
  c.cafile = host.Get("mqtt.cafile");
  c.control = host.GetBool("mqtt.control", false);
  return c;
}

struct MqttFront::Impl {
  struct Msg {
    std::string topic, payload;
    bool retain = false;
    int qos = 0;
  };

  MqttConfig cfg;
  remote::IRemoteStation& state;
  station::TStation& st;
  station::TStationAlive alive;
  std::function<std::string(int)> setChannel;
  int subscription = 0;
  mosquitto* mosq = nullptr;
  bool loopRunning = false;
  std::unique_ptr<rtl::TMessageWindow> window;
  std::atomic<rtl::HWND> handle{0};
  std::unique_ptr<timers::TMMHiTimer> timer;

  // Network thread -> main thread.
  std::atomic<bool> connected{false}, drainWanted{false};
  std::atomic<int> inflight{0};
  // The broker's last refusal as said on standard error: a refusal that the back-off meets again
  // (a wrong password) is said once, not at every try. Network thread only.
  int refusalSaid = 0;
  std::mutex inboxMu;
  std::deque<std::pair<std::string, std::string>> inbox;

  // Main thread only.
  std::deque<Msg> queue;
  std::map<std::string, std::string> sent;  // state topic -> the value last handed out
  uint64_t dropped = 0;
  std::atomic<uint64_t> droppedShared{0};
  int sShown = -1;
  Clock::time_point sAt{};
  std::optional<int> sPending;
  std::optional<Clock::time_point> txSince, recSince;
  std::string txSource;

  Impl(MqttConfig c, remote::IRemoteStation& s, station::TStation& station,
       std::function<std::string(int)> tune)
      : cfg(std::move(c)),
        state(s),
        st(station),
        alive(station.Alive()),
        setChannel(std::move(tune)) {}

  std::string T(const std::string& leaf) const { return cfg.topic + "/" + leaf; }

  void Enqueue(Msg m) {
    if (queue.size() >= kQueue) {
      if (dropped++ == 0)
        std::fprintf(stderr,
                     "Kanalo: MQTT: der Broker nimmt nicht schnell genug ab, Nachrichten werden "
                     "verworfen (einmal gesagt)\n");
      droppedShared = dropped;
      return;
    }
    queue.push_back(std::move(m));
    Drain();
  }

  // Hands queued messages to libmosquitto, which only queues them for its own thread.
  void Drain() {
    if (!mosq) return;
    while (!queue.empty() && connected && inflight < kWindow) {
      Msg& m = queue.front();
      const int rc =
          mosquitto_publish(mosq, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                            m.payload.data(), m.qos, m.retain);
      if (rc == MOSQ_ERR_NO_CONN) break;  // gone meanwhile: kept for the next connection
      if (rc == MOSQ_ERR_SUCCESS) ++inflight;
      queue.pop_front();
    }
    drainWanted = !queue.empty();
  }

  void SetState(const std::string& leaf, const std::string& value) {
    std::string& last = sent[T("state/" + leaf)];
    if (last == value && !last.empty()) return;
    last = value;
    // Out of touch, state waits in `sent`: all of it goes out again on the next connection.
    if (connected) Enqueue({T("state/" + leaf), value, true, 0});
  }

  void Event(const std::string& leaf, const std::string& json) {
    Enqueue({T("event/" + leaf), json, false, 1});
  }

  void OnState() {
    const remote::RemoteState s = state.State();
    SetState("link", OnOff(s.linked));
    SetState("channel", std::to_string(s.channel));
    SetState("frequency", Trim(s.frequency));
    SetState("squelch", OnOff(s.squelchOpen));
    SetState("tx", OnOff(s.tx));
    // "-" for nobody: an empty retained message would delete the topic instead.
    SetState("tx_by", s.tx && !s.txBy.empty() ? s.txBy : "-");
    SetState("selcall", OnOff(s.callArmed));
    SetState("mailbox", OnOff(s.mailboxArmed));
    // The S value moves all the time: a whole unit, at most once a second.
    const int su = SUnits(s.sValue);
    if (su != sShown)
      sPending = su;
    else
      sPending.reset();
    FlushS();
  }

  void FlushS() {
    if (!sPending) return;
    const auto now = Clock::now();
    if (sShown >= 0 && now - sAt < std::chrono::seconds(1)) return;
    sShown = *sPending;
    sAt = now;
    sPending.reset();
    SetState("s", std::to_string(sShown));
  }

  void OnEvent(const station::TStationEvent& ev) {
    using K = station::TEventKind;
    switch (ev.Kind) {
      case K::Keyed:
        txSince = Clock::now();
        txSource = station::TxSourceText(ev.Source);
        break;
      case K::Released:
        if (txSince)
          Event("transmission", "{\"source\":" + Json(txSource) +
                                    ",\"seconds\":" + Seconds(Clock::now() - *txSince) + "}");
        txSince.reset();
        break;
      case K::Call:
        Event("call", "{\"digits\":" + Json(ev.Text) + ",\"kind\":" +
                          Json(ev.Value == 2   ? "mailbox"
                               : ev.Value == 1 ? "own"
                                               : "other") +
                          ",\"time\":" + Json(UtcNow()) + "}");
        break;
      case K::RecordingStarted:
        recSince = Clock::now();
        break;
      case K::RecordingEnded:
        Event("recording", "{\"file\":" + Json(ev.Text) + ",\"seconds\":" +
                               (recSince ? Seconds(Clock::now() - *recSince) : "0") +
                               ",\"whole\":" + (ev.Value == 0 ? "true" : "false") + "}");
        recSince.reset();
        break;
      case K::Message:
        Event("error", "{\"text\":" + Json(ev.Text) + "}");
        break;
      case K::LinkLost:
        if (!ev.Text.empty()) Event("error", "{\"text\":" + Json(ev.Text) + "}");
        break;
      default:
        break;
    }
  }

  // A new connection: who we are, what we show, all of the state again (retained).
  void OnConnected() {
    Enqueue({T("availability"), "online", true, 1});
    Discovery();
    for (const auto& [topic, value] : sent) Enqueue({topic, value, true, 0});
  }

  void Discovery() {
    std::string node;
    for (char c : cfg.topic) node += (c == '/' ? '_' : c);
    const std::string device = "{\"identifiers\":[" + Json("kanalo_" + node) +
                               "],\"name\":\"Kanalo\",\"manufacturer\":\"Kanalo\","
                               "\"model\":\"KVR-100\"}";
    struct Entity {
      const char* component;
      const char* leaf;
      const char* name;
      const char* extra;
    };
    static const Entity kEntities[] = {
        {"binary_sensor", "link", "Verbindung", ",\"device_class\":\"connectivity\""},
        {"sensor", "channel", "Kanal", ""},
        {"sensor", "frequency", "Frequenz", ",\"unit_of_measurement\":\"MHz\""},
        {"binary_sensor", "squelch", "Squelch offen", ""},
        {"sensor", "s", "S-Wert", ",\"state_class\":\"measurement\""},
        {"binary_sensor", "tx", "Senden", ""},
        {"sensor", "tx_by", "Sender von", ""},
        {"binary_sensor", "selcall", "Selektivruf", ""},
        {"binary_sensor", "mailbox", "Mailbox", ""},
    };
    for (const Entity& e : kEntities) {
      const std::string id = "kanalo_" + node + "_" + e.leaf;
      std::string cfgJson = "{\"name\":" + Json(e.name) + ",\"unique_id\":" + Json(id) +
                            ",\"state_topic\":" + Json(T(std::string("state/") + e.leaf)) +
                            ",\"availability_topic\":" + Json(T("availability")) +
                            ",\"device\":" + device + e.extra;
      if (std::string(e.component) == "binary_sensor")
        cfgJson += ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\"";
      cfgJson += "}";
      Enqueue({std::string("homeassistant/") + e.component + "/kanalo_" + node + "/" + e.leaf +
                   "/config",
               cfgJson, true, 1});
    }
  }

  void RunCommands() {
    std::deque<std::pair<std::string, std::string>> todo;
    {
      std::lock_guard lock(inboxMu);
      todo.swap(inbox);
    }
    for (auto& [leaf, payload] : todo) {
      const std::string why = Command(leaf, Trim(payload));
      if (!why.empty())
        Event("error", "{\"text\":" + Json(why) + ",\"command\":" + Json(leaf) + "}");
    }
  }

  std::string Command(const std::string& leaf, const std::string& payload) {
    if (!cfg.control) return "Befehle über MQTT sind aus (mqtt.control = on in kanalo.conf)";
    if (!alive) return "Die Station wird beendet.";
    const bool on = payload == "ON" || payload == "on" || payload == "1";
    const bool off = payload == "OFF" || payload == "off" || payload == "0";
    if (leaf == "channel") {
      if (payload == "up") return state.Up();
      if (payload == "down") return state.Down();
      char* end = nullptr;
      const long ch = std::strtol(payload.c_str(), &end, 10);
      if (payload.empty() || *end || ch < 1 || ch > 80) return "Kein Kanal: " + payload;
      return setChannel ? setChannel(static_cast<int>(ch)) : std::string("Kein Kanalwechsel");
    }
    if (leaf == "scan") return state.Scan();
    if (leaf == "selcall" && (on || off)) return state.ArmCall(on);
    if (leaf == "mailbox" && (on || off)) return state.ArmMailbox(on);
    return "Unbekannter Befehl: " + leaf + " " + payload;
  }

  // Network thread.
  static void OnConnect(mosquitto* m, void* self, int rc) {
    auto* d = static_cast<Impl*>(self);
    if (rc != 0) {
      if (d->refusalSaid != rc)
        std::fprintf(stderr, "Kanalo: MQTT: der Broker lehnt ab: %s\n",
                     mosquitto_connack_string(rc));
      d->refusalSaid = rc;
      return;
    }
    if (d->refusalSaid != 0) std::fprintf(stderr, "Kanalo: MQTT: der Broker nimmt wieder an\n");
    d->refusalSaid = 0;
    d->inflight = 0;  // what was handed out before the break is gone with the old connection
    d->connected = true;
    const std::string commands = d->T("command/+");
    mosquitto_subscribe(m, nullptr, commands.c_str(), 1);
    rtl::PostMessage(d->handle, kConnected);
  }
  static void OnDisconnect(mosquitto*, void* self, int) {
    static_cast<Impl*>(self)->connected = false;
  }
  static void OnPublish(mosquitto*, void* self, int) {
    auto* d = static_cast<Impl*>(self);
    if (d->inflight > 0) --d->inflight;
    if (d->drainWanted.exchange(false)) rtl::PostMessage(d->handle, kDrain);
  }
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* msg) {
    auto* d = static_cast<Impl*>(self);
    const std::string prefix = d->T("command/");
    const std::string topic = msg->topic ? msg->topic : "";
    if (topic.rfind(prefix, 0) != 0) return;
    {
      std::lock_guard lock(d->inboxMu);
      if (d->inbox.size() >= kInbox) return;  // a flood of commands: the excess is not obeyed
      d->inbox.emplace_back(topic.substr(prefix.size()),
                            std::string(static_cast<const char*>(msg->payload),
                                        static_cast<size_t>(std::max(0, msg->payloadlen))));
    }
    rtl::PostMessage(d->handle, kCommand);
  }
};

MqttFront::MqttFront(MqttConfig config, remote::IRemoteStation& state, station::TStation& station,
                     std::function<std::string(int)> setChannel)
    : d_(std::make_unique<Impl>(std::move(config), state, station, std::move(setChannel))) {}

MqttFront::~MqttFront() {
  if (d_->timer) d_->timer->SetEnabled(false);
  d_->state.SetChangedHook(nullptr);
  if (d_->alive && d_->subscription) d_->st.Events.Unsubscribe(d_->subscription);
  if (d_->mosq) {
    // An orderly end says "offline" itself; the last will covers every other end.
    const std::string avail = d_->T("availability");
    if (d_->connected) mosquitto_publish(d_->mosq, nullptr, avail.c_str(), 7, "offline", 1, true);
    mosquitto_disconnect(d_->mosq);
    if (d_->loopRunning) mosquitto_loop_stop(d_->mosq, false);
    mosquitto_destroy(d_->mosq);
  }
  d_->window.reset();
}

uint64_t MqttFront::Dropped() const {
  return d_->droppedShared;
}

bool MqttFront::Start(std::string* why) {
  static std::once_flag libInit;
  std::call_once(libInit, [] { mosquitto_lib_init(); });
  Impl& d = *d_;
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    return false;
  };
  d.window = std::make_unique<rtl::TMessageWindow>([&d](rtl::TMessage& m) {
    if (m.Msg == kConnected) d.OnConnected();
    if (m.Msg == kDrain) d.Drain();
    if (m.Msg == kCommand) d.RunCommands();
  });
  d.handle = d.window->Handle();
  d.mosq = mosquitto_new(nullptr, true, &d);
  if (!d.mosq) return fail("kein MQTT-Client (Speicher)");
  mosquitto_connect_callback_set(d.mosq, &Impl::OnConnect);
  mosquitto_disconnect_callback_set(d.mosq, &Impl::OnDisconnect);
  mosquitto_publish_callback_set(d.mosq, &Impl::OnPublish);
  mosquitto_message_callback_set(d.mosq, &Impl::OnMessage);
  // A broker that went away is tried again after 1 s, then 2, 4, and every 5 s.
  mosquitto_reconnect_delay_set(d.mosq, 1, 5, true);
  const std::string avail = d.T("availability");
  if (mosquitto_will_set(d.mosq, avail.c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
    return fail("mqtt.topic taugt nicht als Thema");
  if (!d.cfg.user.empty() &&
      mosquitto_username_pw_set(d.mosq, d.cfg.user.c_str(),
                                d.cfg.password.empty() ? nullptr : d.cfg.password.c_str()) !=
          MOSQ_ERR_SUCCESS)
    return fail("mqtt.user wird nicht angenommen");
  if (d.cfg.tls) {
    const char* cafile = d.cfg.cafile.empty() ? nullptr : d.cfg.cafile.c_str();
    const char* capath = cafile ? nullptr : "/etc/ssl/certs";
    if (const int rc = mosquitto_tls_set(d.mosq, cafile, capath, nullptr, nullptr, nullptr);
        rc != MOSQ_ERR_SUCCESS)
      return fail(std::string("TLS: ") + mosquitto_strerror(rc) +
                  (cafile ? std::string(" (mqtt.cafile ") + cafile + ")" : std::string()));
  }
  // The state as it is now, before anything is connected: the first connection sends it.
  d.OnState();
  d.subscription = d.st.Events.Subscribe([&d](const station::TStationEvent& ev) { d.OnEvent(ev); });
  d.state.SetChangedHook([&d] { d.OnState(); });
  d.timer = std::make_unique<timers::TMMHiTimer>(nullptr);
  d.timer->SetInterval(250);
  d.timer->SetOnTimer([&d](rtl::TObject*) {
    d.FlushS();
    d.Drain();
  });
  d.timer->SetEnabled(true);
  // The thread first, then the connection: with the thread running, libmosquitto hands the
  // connection to it, and a broker that is not there yet is tried again there with the growing
  // pause (begun before the thread, a refused first attempt would never be tried again).
  if (const int rc = mosquitto_loop_start(d.mosq); rc != MOSQ_ERR_SUCCESS)
    return fail(std::string("kein Netzwerk-Thread: ") + mosquitto_strerror(rc));
  d.loopRunning = true;
  if (mosquitto_connect_async(d.mosq, d.cfg.host.c_str(), d.cfg.port, kKeepAlive) == MOSQ_ERR_INVAL)
    return fail("mqtt.broker taugt nicht");
  return true;
}

std::unique_ptr<MqttFront> StartMqtt(remote::IRemoteStation& state, station::TStation& station,
                                     std::function<std::string(int)> setChannel) {
  MqttConfig cfg = MqttConfig::FromHost(platform::HostConfig::Instance());
  if (cfg.host.empty()) return nullptr;
  auto front = std::make_unique<MqttFront>(cfg, state, station, std::move(setChannel));
  std::string why;
  if (!front->Start(&why)) {
    std::fprintf(stderr, "Kanalo: MQTT startet nicht: %s\n", why.c_str());
    return nullptr;
  }
  std::fprintf(stderr, "Kanalo: MQTT an %s:%d, Thema %s%s\n", cfg.host.c_str(), cfg.port,
               cfg.topic.c_str(), cfg.control ? ", Befehle an" : "");
  return front;
}

}  // namespace publish
