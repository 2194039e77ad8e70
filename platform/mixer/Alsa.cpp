// The ALSA simple-mixer backend.
//
// Each device is an ALSA control device ("hw:N" or a configured name). Its simple-mixer elements
// become lines: the first "Master" (or, without one, "Speaker"/"Headphone") element is
// destination 0, the speakers; every other element the station knows (Line, Mic, CD, Aux, PCM,
// ...) is a source of it. A line offers a volume control (0..65535, steps = the element's raw
// range, so every knob step is one raw step) when the element has a playback volume, and a mute
// control (the playback switch, inverted) when it has a playback switch.
//
// Ids: destination 0 has line id 0, source i has ((i + 1) << 16); the volume control of line n
// is 2n, its mute 2n + 1.
//
// Notification: every open handle has its own mixer connection and a thread that polls its
// descriptors; element callbacks (run on that thread) only post MM_MIXM_CONTROL_CHANGE to the
// handle's window. The thread is stopped through a pipe, never by a flag alone.
#include "platform/mixer/Alsa.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Host.h"
#include "platform/mixer/Mixer.h"
#include "rtl/Thread.h"

namespace platform::mixer {

namespace alsa {

uint32_t ComponentTypeOfElement(const std::string& name, bool& destination) {
  std::string n;
  for (char c : name) n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  struct Map {
    const char* name;
    uint32_t type;
    bool dest;
  };
  static const Map table[] = {
      {"master", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, true},
      {"speaker", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, true},
      {"headphone", MIXERLINE_COMPONENTTYPE_DST_HEADPHONES, true},
      // Desktop codecs name their front speaker output "Front".
      {"front", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, true},
      {"line", MIXERLINE_COMPONENTTYPE_SRC_LINE, false},
      {"line in", MIXERLINE_COMPONENTTYPE_SRC_LINE, false},
      {"mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      // The names HDA codecs give their microphone jacks; the first one found is the station's.
      {"front mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      {"rear mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      {"internal mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      {"headset mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      {"cd", MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, false},
      {"aux", MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY, false},
      {"pcm", MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, false},
      {"wave", MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, false},
      {"synth", MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER, false},
      {"phone", MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE, false},
      {"pc speaker", MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER, false},
      {"beep", MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER, false},
      {"iec958", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, false},
      {"video", MIXERLINE_COMPONENTTYPE_SRC_ANALOG, false},
  };
  for (const Map& m : table)
    if (n == m.name) {
      destination = m.dest;
      return m.type;
    }
  destination = false;
  return kNoLine;
}

namespace {
// The card a PCM or control name points at: "hw:1", "plughw:1,0", "hw:CARD=Device,DEV=0",
// "sysdefault:CARD=PCH" -> "1" or "Device"/"PCH"; "" for names without a card ("default").
std::string CardOfDeviceName(const std::string& dev) {
  const size_t colon = dev.find(':');
  if (colon == std::string::npos) return "";
  std::string args = dev.substr(colon + 1);
  const size_t card = args.find("CARD=");
  if (card != std::string::npos) args = args.substr(card + 5);
  return args.substr(0, args.find(','));
}

bool IsCard(const TCardInfo& c, const std::string& what) {
  return !what.empty() && (what == c.device || what == c.id || what == c.name ||
                           "hw:" + what == c.device || "hw:CARD=" + what == "hw:CARD=" + c.id);
}
}  // namespace

std::vector<std::string> StationCardOrder(const std::vector<TCardInfo>& cards,
                                          const std::string& configured,
                                          const std::vector<std::string>& waveDevices) {
  int chosen = -1;
  std::vector<std::string> out;
  if (!configured.empty()) {
    for (size_t i = 0; i < cards.size() && chosen < 0; ++i)
      if (IsCard(cards[i], configured) || IsCard(cards[i], CardOfDeviceName(configured)))
        chosen = static_cast<int>(i);
    if (chosen < 0) out.push_back(configured);  // a control device of its own ("pulse", ...)
  }
  if (chosen < 0 && out.empty())
    for (const std::string& dev : waveDevices) {
      const std::string card = CardOfDeviceName(dev);
      for (size_t i = 0; i < cards.size() && chosen < 0; ++i)
        if (IsCard(cards[i], card)) chosen = static_cast<int>(i);
    }
  if (chosen < 0 && out.empty())
    for (size_t i = 0; i < cards.size() && chosen < 0; ++i)
      if (cards[i].capture) chosen = static_cast<int>(i);
  if (chosen >= 0) out.push_back(cards[static_cast<size_t>(chosen)].device);
  for (size_t i = 0; i < cards.size(); ++i)
    if (static_cast<int>(i) != chosen) out.push_back(cards[i].device);
  return out;
}

std::vector<TCardInfo> ListCards() {
  std::vector<TCardInfo> cards;
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    TCardInfo c;
    c.device = "hw:" + std::to_string(card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, c.device.c_str(), 0) == 0) {
      snd_ctl_card_info_t* info;
      snd_ctl_card_info_alloca(&info);
      if (snd_ctl_card_info(ctl, info) == 0) {
        c.id = snd_ctl_card_info_get_id(info);
        c.name = snd_ctl_card_info_get_name(info);
      }
      snd_ctl_close(ctl);
    }
    c.capture = HasCaptureControl(c.device);
    cards.push_back(c);
  }
  return cards;
}

bool HasCaptureControl(const std::string& ctl) {
  snd_mixer_t* m = nullptr;
  if (snd_mixer_open(&m, 0) < 0) return false;
  bool found = false;
  if (snd_mixer_attach(m, ctl.c_str()) == 0 && snd_mixer_selem_register(m, nullptr, nullptr) == 0 &&
      snd_mixer_load(m) == 0)
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(m); e && !found; e = snd_mixer_elem_next(e))
      found = snd_mixer_selem_has_capture_volume(e) || snd_mixer_selem_has_capture_switch(e);
  snd_mixer_close(m);
  return found;
}

int32_t RawToVolume(long raw, long min, long max) {
  if (max <= min) return 0;
  raw = std::clamp(raw, min, max);
  return static_cast<int32_t>(
      std::lround(static_cast<double>(raw - min) * 65535.0 / static_cast<double>(max - min)));
}

long VolumeToRaw(int32_t volume, long min, long max) {
  if (max <= min) return min;
  volume = std::clamp(volume, 0, 65535);
  return min + std::lround(static_cast<double>(volume) * static_cast<double>(max - min) / 65535.0);
}

}  // namespace alsa

namespace {

struct Element {
  std::string name;
  unsigned index = 0;
  uint32_t type = 0;
  bool dest = false;
};

// One connection to a control device with its simple-mixer elements loaded.
class Connection {
 public:
  explicit Connection(const std::string& device) {
    if (snd_mixer_open(&m_, 0) < 0) {
      m_ = nullptr;
      return;
    }
    if (snd_mixer_attach(m_, device.c_str()) < 0 ||
        snd_mixer_selem_register(m_, nullptr, nullptr) < 0 || snd_mixer_load(m_) < 0) {
      snd_mixer_close(m_);
      m_ = nullptr;
    }
  }
  ~Connection() {
    if (m_) snd_mixer_close(m_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  bool Ok() const { return m_ != nullptr; }
  snd_mixer_t* Get() const { return m_; }

  snd_mixer_elem_t* Find(const Element& e) const {
    snd_mixer_selem_id_t* sid;
    snd_mixer_selem_id_alloca(&sid);
    snd_mixer_selem_id_set_name(sid, e.name.c_str());
    snd_mixer_selem_id_set_index(sid, e.index);
    return snd_mixer_find_selem(m_, sid);
  }

 private:
  snd_mixer_t* m_ = nullptr;
};

// The lines of a device: [0] the destination, then the sources.
std::vector<Element> Layout(snd_mixer_t* m) {
  std::vector<Element> dests, sources;
  for (snd_mixer_elem_t* e = snd_mixer_first_elem(m); e; e = snd_mixer_elem_next(e)) {
    if (!snd_mixer_selem_is_active(e)) continue;
    if (!snd_mixer_selem_has_playback_volume(e) && !snd_mixer_selem_has_playback_switch(e))
      continue;
    Element el;
    el.name = snd_mixer_selem_get_name(e);
    el.index = snd_mixer_selem_get_index(e);
    el.type = alsa::ComponentTypeOfElement(el.name, el.dest);
    if (el.type == alsa::kNoLine) continue;
    (el.dest ? dests : sources).push_back(el);
  }
  // Master first; the other output elements are left out rather than shown as a second
  // destination, since the station only ever asks for the speakers.
  std::stable_sort(dests.begin(), dests.end(), [](const Element& a, const Element& b) {
    return a.type == MIXERLINE_COMPONENTTYPE_DST_SPEAKERS &&
           b.type != MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
  });
  std::vector<Element> out;
  if (dests.empty()) return out;
  out.push_back(dests.front());
  out.insert(out.end(), sources.begin(), sources.end());
  return out;
}

uint32_t LineIdOfIndex(size_t i) {
  return i == 0 ? 0u : static_cast<uint32_t>(i << 16);
}

int IndexOfLineId(uint32_t id, size_t count) {
  const size_t i = id == 0 ? 0 : (id & 0xFFFF) == 0 ? (id >> 16) : count;
  return i < count ? static_cast<int>(i) : -1;
}

class AlsaMixer : public IMixerBackend {
 public:
  explicit AlsaMixer(std::vector<std::string> devices) : devices_(std::move(devices)) {
    if (devices_.empty()) {
      // Every card, the station's first: the station works with mixer 0.
      const std::vector<alsa::TCardInfo> cards = alsa::ListCards();
      const auto& conf = platform::HostConfig::Instance();
      devices_ = alsa::StationCardOrder(
          cards, conf.Get("mixer.card", ""),
          {conf.Get("audio.input", "default"), conf.Get("audio.output", "default")});
    }
  }
  ~AlsaMixer() override {
    std::vector<TMixerHandle> open;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& [h, w] : watchers_) open.push_back(h);
    }
    for (TMixerHandle h : open) Close(h);
  }

  int NumDevs() override { return static_cast<int>(devices_.size()); }

  int GetDevCaps(int mixerId, TMixerCaps& caps) override {
    Connection* c = nullptr;
    if (int rc = Conn(mixerId, c)) return rc;
    snd_ctl_t* ctl = nullptr;
    caps = TMixerCaps{};
    caps.szPname = devices_[static_cast<size_t>(mixerId)];
    if (snd_ctl_open(&ctl, devices_[static_cast<size_t>(mixerId)].c_str(), 0) == 0) {
      snd_ctl_card_info_t* info;
      snd_ctl_card_info_alloca(&info);
      if (snd_ctl_card_info(ctl, info) == 0) caps.szPname = snd_ctl_card_info_get_name(info);
      snd_ctl_close(ctl);
    }
    if (caps.szPname.size() > 31) caps.szPname.resize(31);
    caps.cDestinations = Layout(c->Get()).empty() ? 0 : 1;
    return MMSYSERR_NOERROR;
  }

  int Open(int mixerId, rtl::HWND notify, TMixerHandle& handle) override;
  int Close(TMixerHandle handle) override;

  int GetID(TMixerHandle handle, int& mixerId) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = watchers_.find(handle);
    if (it == watchers_.end()) return MMSYSERR_INVALHANDLE;
    mixerId = it->second->mixerId;
    return MMSYSERR_NOERROR;
  }

  int GetLineInfo(int mixerId, TLineQuery how, TMixerLine& line) override {
    Connection* c = nullptr;
    if (int rc = Conn(mixerId, c)) return rc;
    const auto lines = Layout(c->Get());
    int found = -1;
    for (size_t i = 0; i < lines.size() && found < 0; ++i) {
      switch (how) {
        case TLineQuery::LineId:
          if (LineIdOfIndex(i) == line.dwLineID) found = static_cast<int>(i);
          break;
        case TLineQuery::ComponentType:
          if (lines[i].type == line.dwComponentType) found = static_cast<int>(i);
          break;
        case TLineQuery::Source:
          if (i > 0 && line.dwDestination == 0 && line.dwSource == i - 1)
            found = static_cast<int>(i);
          break;
        case TLineQuery::TargetType:
          break;  // ALSA elements carry no device targets
      }
    }
    if (found < 0) return MIXERR_INVALLINE;
    line = Describe(c, lines, static_cast<size_t>(found));
    return MMSYSERR_NOERROR;
  }

  int GetControlById(int mixerId, uint32_t controlId, TMixerControl& ctl,
                     uint32_t& lineId) override {
    Connection* c = nullptr;
    if (int rc = Conn(mixerId, c)) return rc;
    const auto lines = Layout(c->Get());
    const size_t li = controlId / 2;
    if (li >= lines.size() || !DescribeControl(c, lines[li], controlId, ctl))
      return MIXERR_INVALCONTROL;
    lineId = LineIdOfIndex(li);
    return MMSYSERR_NOERROR;
  }

  int GetControlByType(int mixerId, uint32_t lineId, uint32_t controlType,
                       TMixerControl& ctl) override {
    Connection* c = nullptr;
    if (int rc = Conn(mixerId, c)) return rc;
    const auto lines = Layout(c->Get());
    const int li = IndexOfLineId(lineId, lines.size());
    if (li < 0) return MIXERR_INVALLINE;
    for (uint32_t id : {static_cast<uint32_t>(li) * 2, static_cast<uint32_t>(li) * 2 + 1})
      if (DescribeControl(c, lines[static_cast<size_t>(li)], id, ctl) &&
          ctl.dwControlType == controlType)
        return MMSYSERR_NOERROR;
    return MIXERR_INVALCONTROL;
  }

  int GetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                       std::vector<int32_t>& values) override {
    snd_mixer_elem_t* e = nullptr;
    if (int rc = Elem(mixerId, controlId, channels, items, e)) return rc;
    const uint32_t ch = std::max<uint32_t>(channels, 1);
    values.assign(ch, 0);
    const snd_mixer_selem_channel_id_t chan[2] = {SND_MIXER_SCHN_FRONT_LEFT,
                                                  SND_MIXER_SCHN_FRONT_RIGHT};
    const bool mono = snd_mixer_selem_is_playback_mono(e);
    for (uint32_t k = 0; k < ch; ++k) {
      const auto id = mono ? SND_MIXER_SCHN_MONO : chan[k];
      if (controlId % 2 == 0) {
        long min = 0, max = 0, raw = 0;
        snd_mixer_selem_get_playback_volume_range(e, &min, &max);
        if (snd_mixer_selem_get_playback_volume(e, id, &raw) < 0) return MMSYSERR_ERROR;
        if (channels <= 1 && !mono) {
          // One value for both sides: the louder one (see the components' pan handling).
          long r2 = raw;
          snd_mixer_selem_get_playback_volume(e, SND_MIXER_SCHN_FRONT_RIGHT, &r2);
          raw = std::max(raw, r2);
        }
        values[k] = alsa::RawToVolume(raw, min, max);
      } else {
        int sw = 1;
        if (snd_mixer_selem_get_playback_switch(e, id, &sw) < 0) return MMSYSERR_ERROR;
        values[k] = sw ? 0 : 1;
      }
    }
    return MMSYSERR_NOERROR;
  }

  int SetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                       const std::vector<int32_t>& values) override {
    snd_mixer_elem_t* e = nullptr;
    if (int rc = Elem(mixerId, controlId, channels, items, e)) return rc;
    const uint32_t ch = std::max<uint32_t>(channels, 1);
    if (values.size() < ch) return MMSYSERR_INVALPARAM;
    const bool mono = snd_mixer_selem_is_playback_mono(e);
    if (controlId % 2 == 0) {
      long min = 0, max = 0;
      snd_mixer_selem_get_playback_volume_range(e, &min, &max);
      for (int32_t v : values)
        if (v < 0 || v > 65535) return MIXERR_INVALVALUE;
      if (ch == 1 || mono) {
        if (snd_mixer_selem_set_playback_volume_all(e, alsa::VolumeToRaw(values[0], min, max)) < 0)
          return MMSYSERR_ERROR;
      } else {
        if (snd_mixer_selem_set_playback_volume(e, SND_MIXER_SCHN_FRONT_LEFT,
                                                alsa::VolumeToRaw(values[0], min, max)) < 0 ||
            snd_mixer_selem_set_playback_volume(e, SND_MIXER_SCHN_FRONT_RIGHT,
                                                alsa::VolumeToRaw(values[1], min, max)) < 0)
          return MMSYSERR_ERROR;
      }
    } else if (snd_mixer_selem_set_playback_switch_all(e, values[0] ? 0 : 1) < 0) {
      return MMSYSERR_ERROR;
    }
    return MMSYSERR_NOERROR;
  }

  int GetListTexts(int mixerId, uint32_t, uint32_t, uint32_t,
                   std::vector<TMixerListText>&) override {
    Connection* c = nullptr;
    if (int rc = Conn(mixerId, c)) return rc;
    return MIXERR_INVALCONTROL;  // no list controls on this backend
  }

  std::string GetErrorText(int code) override { return StandardMixerErrorText(code); }

 private:
  struct Watcher {
    int mixerId = 0;
    rtl::HWND wnd = 0;
    TMixerHandle handle = 0;
    std::unique_ptr<Connection> conn;
    std::vector<Element> lines;
    int stopPipe[2] = {-1, -1};
    std::thread thread;
  };

  int Conn(int mixerId, Connection*& c) {
    std::lock_guard<std::mutex> lock(mu_);
    if (mixerId < 0 || static_cast<size_t>(mixerId) >= devices_.size())
      return devices_.empty() ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
    auto& slot = conns_[mixerId];
    if (!slot) {
      slot = std::make_unique<Connection>(devices_[static_cast<size_t>(mixerId)]);
      if (!slot->Ok()) {
        slot.reset();
        return MMSYSERR_NODRIVER;
      }
    }
    // Pick up changes made by others since the last call.
    snd_mixer_handle_events(slot->Get());
    c = slot.get();
    return MMSYSERR_NOERROR;
  }

  int Elem(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
           snd_mixer_elem_t*& e) {
    Connection* c = nullptr;
    if (int rc = Conn(mixerId, c)) return rc;
    const auto lines = Layout(c->Get());
    TMixerControl info;
    const size_t li = controlId / 2;
    if (li >= lines.size() || !DescribeControl(c, lines[li], controlId, info))
      return MIXERR_INVALCONTROL;
    if (items > 1) return MMSYSERR_INVALPARAM;
    e = c->Find(lines[li]);
    if (!e) return MIXERR_INVALCONTROL;
    const uint32_t chans = (info.fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : 2;
    if (channels > chans) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
  }

  static TMixerLine Describe(Connection* c, const std::vector<Element>& lines, size_t i) {
    TMixerLine l;
    const Element& el = lines[i];
    snd_mixer_elem_t* e = c->Find(el);
    l.dwDestination = 0;
    l.dwSource = i == 0 ? 0 : static_cast<uint32_t>(i - 1);
    l.dwLineID = LineIdOfIndex(i);
    l.fdwLine = MIXERLINE_LINEF_ACTIVE | (i == 0 ? 0 : MIXERLINE_LINEF_SOURCE);
    l.dwComponentType = el.type;
    l.cChannels = e && snd_mixer_selem_is_playback_mono(e) ? 1 : 2;
    l.cConnections = i == 0 ? static_cast<uint32_t>(lines.size() - 1) : 0;
    l.cControls = e ? (snd_mixer_selem_has_playback_volume(e) ? 1 : 0) +
                          (snd_mixer_selem_has_playback_switch(e) ? 1 : 0)
                    : 0;
    l.szShortName = el.name.substr(0, 16);
    l.szName = el.name.substr(0, 64);
    return l;
  }

  static bool DescribeControl(Connection* c, const Element& el, uint32_t id, TMixerControl& ctl) {
    snd_mixer_elem_t* e = c->Find(el);
    if (!e) return false;
    ctl = TMixerControl{};
    ctl.dwControlID = id;
    const bool mono = snd_mixer_selem_is_playback_mono(e);
    if (id % 2 == 0) {
      if (!snd_mixer_selem_has_playback_volume(e)) return false;
      long min = 0, max = 0;
      snd_mixer_selem_get_playback_volume_range(e, &min, &max);
      ctl.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
      ctl.fdwControl = mono ? MIXERCONTROL_CONTROLF_UNIFORM : 0;
      ctl.lMinimum = 0;
      ctl.lMaximum = 65535;
      ctl.cSteps = static_cast<uint32_t>(std::clamp<long>(max - min, 0, 65535));
      ctl.szShortName = "Volume";
      ctl.szName = el.name.substr(0, 57) + " Volume";
    } else {
      if (!snd_mixer_selem_has_playback_switch(e)) return false;
      ctl.dwControlType = MIXERCONTROL_CONTROLTYPE_MUTE;
      ctl.fdwControl = MIXERCONTROL_CONTROLF_UNIFORM;
      ctl.lMinimum = 0;
      ctl.lMaximum = 1;
      ctl.szShortName = "Mute";
      ctl.szName = el.name.substr(0, 59) + " Mute";
    }
    return true;
  }

  static int ElemCallback(snd_mixer_elem_t* e, unsigned int mask) {
    auto* w = static_cast<Watcher*>(snd_mixer_elem_get_callback_private(e));
    if (!w || mask == SND_CTL_EVENT_MASK_REMOVE) return 0;
    const std::string name = snd_mixer_selem_get_name(e);
    const unsigned index = snd_mixer_selem_get_index(e);
    for (size_t i = 0; i < w->lines.size(); ++i)
      if (w->lines[i].name == name && w->lines[i].index == index) {
        // Volume and mute share one element: tell about both, the components re-read.
        if (snd_mixer_selem_has_playback_volume(e))
          rtl::PostMessage(w->wnd, MM_MIXM_CONTROL_CHANGE, w->handle, static_cast<intptr_t>(i * 2));
        if (snd_mixer_selem_has_playback_switch(e))
          rtl::PostMessage(w->wnd, MM_MIXM_CONTROL_CHANGE, w->handle,
                           static_cast<intptr_t>(i * 2 + 1));
      }
    return 0;
  }

  static void Run(Watcher* w) {
    rtl::SetThreadName("alsa-mixer");
    snd_mixer_t* m = w->conn->Get();
    const int n = snd_mixer_poll_descriptors_count(m);
    std::vector<pollfd> fds(static_cast<size_t>(std::max(n, 0)) + 1);
    for (;;) {
      const int got = snd_mixer_poll_descriptors(m, fds.data(), static_cast<unsigned>(n));
      fds[static_cast<size_t>(got)] = pollfd{w->stopPipe[0], POLLIN, 0};
      if (poll(fds.data(), static_cast<nfds_t>(got + 1), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[static_cast<size_t>(got)].revents) return;
      unsigned short revents = 0;
      snd_mixer_poll_descriptors_revents(m, fds.data(), static_cast<unsigned>(got), &revents);
      if (revents & (POLLERR | POLLNVAL)) return;  // the device went away
      if (revents & POLLIN) snd_mixer_handle_events(m);
    }
  }

  std::vector<std::string> devices_;
  std::mutex mu_;
  std::map<int, std::unique_ptr<Connection>> conns_;
  std::map<TMixerHandle, std::unique_ptr<Watcher>> watchers_;
  TMixerHandle nextHandle_ = 1;
};

int AlsaMixer::Open(int mixerId, rtl::HWND notify, TMixerHandle& handle) {
  Connection* probe = nullptr;
  if (int rc = Conn(mixerId, probe)) return rc;
  auto w = std::make_unique<Watcher>();
  w->mixerId = mixerId;
  w->wnd = notify;
  w->conn = std::make_unique<Connection>(devices_[static_cast<size_t>(mixerId)]);
  if (!w->conn->Ok()) return MMSYSERR_NODRIVER;
  if (pipe(w->stopPipe) != 0) return MMSYSERR_NOMEM;
  w->lines = Layout(w->conn->Get());
  {
    std::lock_guard<std::mutex> lock(mu_);
    w->handle = handle = nextHandle_++;
  }
  for (const Element& el : w->lines)
    if (snd_mixer_elem_t* e = w->conn->Find(el)) {
      snd_mixer_elem_set_callback(e, &AlsaMixer::ElemCallback);
      snd_mixer_elem_set_callback_private(e, w.get());
    }
  if (notify) w->thread = std::thread(&AlsaMixer::Run, w.get());
  std::lock_guard<std::mutex> lock(mu_);
  watchers_[handle] = std::move(w);
  return MMSYSERR_NOERROR;
}

int AlsaMixer::Close(TMixerHandle handle) {
  std::unique_ptr<Watcher> w;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = watchers_.find(handle);
    if (it == watchers_.end()) return MMSYSERR_INVALHANDLE;
    w = std::move(it->second);
    watchers_.erase(it);
  }
  const char stop = 1;
  if (write(w->stopPipe[1], &stop, 1) != 1) { /* the thread ends on the closed pipe below */
  }
  if (w->thread.joinable()) w->thread.join();
  close(w->stopPipe[0]);
  close(w->stopPipe[1]);
  return MMSYSERR_NOERROR;
}

}  // namespace

std::shared_ptr<IMixerBackend> CreateAlsaMixerBackend(std::vector<std::string> devices) {
  return std::make_shared<AlsaMixer>(std::move(devices));
}

}  // namespace platform::mixer
