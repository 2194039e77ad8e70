#include "platform/mixer/Sim.h"

#include <algorithm>
#include <cmath>

namespace platform::mixer {

namespace {
constexpr uint32_t kSpeakers = 0;   // destination index and line id
constexpr uint32_t kRecording = 1;  // destination index and line id
constexpr int32_t kVolMax = 65535;
constexpr int32_t kVolInitial = 49152;  // three quarters, like a fresh install

uint32_t SourceLineId(uint32_t dest, uint32_t source) {
  return ((source + 1) << 16) | dest;
}

TMixerLine MakeLine(uint32_t dest, uint32_t source, bool isSource, uint32_t type, uint32_t chans,
                    const char* shortName, const char* name) {
  TMixerLine l;
  l.dwDestination = dest;
  l.dwSource = isSource ? source : 0;
  l.dwLineID = isSource ? SourceLineId(dest, source) : dest;
  l.fdwLine = MIXERLINE_LINEF_ACTIVE | (isSource ? MIXERLINE_LINEF_SOURCE : 0);
  l.dwComponentType = type;
  l.cChannels = chans;
  l.szShortName = shortName;
  l.szName = name;
  return l;
}
}  // namespace

TSimMixer::TSimMixer(std::shared_ptr<wave::TVirtualSoundCard> card)
    : TSimMixer(std::move(card), Options{}) {}

TSimMixer::TSimMixer(std::shared_ptr<wave::TVirtualSoundCard> card, Options opt)
    : card_(std::move(card)) {
  Build(opt);
}

uint32_t TSimMixer::AddLine(const TMixerLine& l) {
  lines_.push_back(Line{l, {}});
  return static_cast<uint32_t>(lines_.size() - 1);
}

void TSimMixer::AddControl(uint32_t lineIndex, uint32_t type, const char* shortName,
                           const char* name, int32_t min, int32_t max, uint32_t steps,
                           uint32_t flags, uint32_t items, int32_t initial) {
  Control c;
  c.info.dwControlID = static_cast<uint32_t>(controls_.size());
  c.info.dwControlType = type;
  c.info.fdwControl = flags;
  c.info.cMultipleItems = items;
  c.info.szShortName = shortName;
  c.info.szName = name;
  c.info.lMinimum = min;
  c.info.lMaximum = max;
  c.info.cSteps = steps;
  Line& l = lines_[lineIndex];
  c.channels =
      (flags & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : std::max<uint32_t>(l.info.cChannels, 1);
  c.values.assign(static_cast<size_t>(c.channels) * std::max<uint32_t>(items, 1), initial);
  l.controls.push_back(c.info.dwControlID);
  l.info.cControls = static_cast<uint32_t>(l.controls.size());
  controls_.push_back(std::move(c));
}

void TSimMixer::Build(const Options& opt) {
  const uint32_t steps = opt.VolumeSteps;
  auto volumeAndMute = [&](uint32_t li) {
    AddControl(li, MIXERCONTROL_CONTROLTYPE_VOLUME, "Volume", "Volume", 0, kVolMax, steps, 0, 0,
               kVolInitial);
    AddControl(li, MIXERCONTROL_CONTROLTYPE_MUTE, "Mute", "Mute", 0, 1, 0,
               MIXERCONTROL_CONTROLF_UNIFORM, 0, 0);
  };

  TMixerLine spk = MakeLine(kSpeakers, 0, false, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 2,
                            "Speakers", "Speakers");
  spk.Target.dwType = MIXERLINE_TARGETTYPE_WAVEOUT;
  TMixerLine rec = MakeLine(kRecording, 0, false, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, 2,
                            "Recording", "Recording Control");
  rec.Target.dwType = MIXERLINE_TARGETTYPE_WAVEIN;
  if (card_) {
    wave::TWaveCaps caps;
    if (card_->GetDevCaps(wave::TWaveDir::Out, 0, caps) == 0) {
      spk.Target.wMid = caps.wMid;
      spk.Target.wPid = caps.wPid;
      spk.Target.vDriverVersion = caps.vDriverVersion;
      spk.Target.szPname = caps.szPname;
    }
    if (card_->GetDevCaps(wave::TWaveDir::In, 0, caps) == 0) {
      rec.Target.wMid = caps.wMid;
      rec.Target.wPid = caps.wPid;
      rec.Target.vDriverVersion = caps.vDriverVersion;
      rec.Target.szPname = caps.szPname;
    }
  }

  struct Src {
    uint32_t type, chans;
    const char *shortName, *name;
  };
  std::vector<Src> speakerSources;
  if (opt.WithLineIn)
    speakerSources.push_back({MIXERLINE_COMPONENTTYPE_SRC_LINE, 2, "Line In", "Line In"});
  speakerSources.push_back({MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, "Mic", "Microphone"});
  speakerSources.push_back({MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, 2, "CD", "CD Audio"});
  speakerSources.push_back({MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, 2, "Wave", "Wave Out"});
  speakerSources.push_back({MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY, 2, "Aux", "Aux"});

  spk.cConnections = static_cast<uint32_t>(speakerSources.size());
  const uint32_t spkIndex = AddLine(spk);
  volumeAndMute(spkIndex);
  for (uint32_t i = 0; i < speakerSources.size(); ++i) {
    const Src& s = speakerSources[i];
    TMixerLine l = MakeLine(kSpeakers, i, true, s.type, s.chans, s.shortName, s.name);
    if (s.type == MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT) l.Target = spk.Target;
    volumeAndMute(AddLine(l));
  }

  std::vector<Src> recSources;
  for (const Src& s : speakerSources)
    if (s.type != MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT) recSources.push_back(s);
  rec.cConnections = static_cast<uint32_t>(recSources.size());
  const uint32_t recIndex = AddLine(rec);
  AddControl(recIndex, MIXERCONTROL_CONTROLTYPE_MUX, "Rec Source", "Recording Source", 0,
             static_cast<int32_t>(recSources.size()) - 1, 0,
             MIXERCONTROL_CONTROLF_UNIFORM | MIXERCONTROL_CONTROLF_MULTIPLE,
             static_cast<uint32_t>(recSources.size()), 0);
  controls_.back().values[0] = 1;  // the first source records
  for (uint32_t i = 0; i < recSources.size(); ++i) {
    const Src& s = recSources[i];
    AddLine(MakeLine(kRecording, i, true, s.type, s.chans, s.shortName, s.name));
  }
}

int TSimMixer::Check(int mixerId) const {
  if (!Present) return MMSYSERR_NODRIVER;
  if (mixerId != 0) return MMSYSERR_BADDEVICEID;
  return MMSYSERR_NOERROR;
}

int TSimMixer::NumDevs() {
  return Present ? 1 : 0;
}

int TSimMixer::GetDevCaps(int mixerId, TMixerCaps& caps) {
  if (int rc = Check(mixerId)) return rc;
  caps.wMid = 0x4B41;  // "KA"
  caps.wPid = 1;
  caps.vDriverVersion = 0x0100;
  caps.szPname = "Kanalo Virtual Mixer";
  caps.cDestinations = 2;
  return MMSYSERR_NOERROR;
}

int TSimMixer::Open(int mixerId, rtl::HWND notify, TMixerHandle& handle) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int rc = Check(mixerId)) return rc;
  handle = nextHandle_++;
  handles_[handle] = notify;
  return MMSYSERR_NOERROR;
}

int TSimMixer::Close(TMixerHandle handle) {
  std::lock_guard<std::mutex> lock(mu_);
  return handles_.erase(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

int TSimMixer::GetID(TMixerHandle handle, int& mixerId) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!handles_.count(handle)) return MMSYSERR_INVALHANDLE;
  if (!Present) return MMSYSERR_NODRIVER;
  mixerId = 0;
  return MMSYSERR_NOERROR;
}

int TSimMixer::OpenHandles() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(handles_.size());
}

const TSimMixer::Line* TSimMixer::FindLine(uint32_t lineId) const {
  for (const Line& l : lines_)
    if (l.info.dwLineID == lineId) return &l;
  return nullptr;
}

const TSimMixer::Line* TSimMixer::FirstOfType(uint32_t componentType) const {
  for (const Line& l : lines_)
    if (l.info.dwComponentType == componentType) return &l;
  return nullptr;
}

int TSimMixer::GetLineInfo(int mixerId, TLineQuery how, TMixerLine& line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int rc = Check(mixerId)) return rc;
  const Line* found = nullptr;
  switch (how) {
    case TLineQuery::LineId:
      found = FindLine(line.dwLineID);
      break;
    case TLineQuery::ComponentType:
      found = FirstOfType(line.dwComponentType);
      break;
    case TLineQuery::Source:
      for (const Line& l : lines_)
        if ((l.info.fdwLine & MIXERLINE_LINEF_SOURCE) &&
            l.info.dwDestination == line.dwDestination && l.info.dwSource == line.dwSource) {
          found = &l;
          break;
        }
      break;
    case TLineQuery::TargetType:
      for (const Line& l : lines_) {
        const TMixerTarget& t = l.info.Target;
        if (t.dwType != MIXERLINE_TARGETTYPE_UNDEFINED && t.dwType == line.Target.dwType &&
            t.wMid == line.Target.wMid && t.wPid == line.Target.wPid &&
            t.vDriverVersion == line.Target.vDriverVersion && t.szPname == line.Target.szPname) {
          found = &l;
          break;
        }
      }
      break;
  }
  if (!found) return MIXERR_INVALLINE;
  line = found->info;
  return MMSYSERR_NOERROR;
}

int TSimMixer::ControlLine(uint32_t controlId) const {
  for (size_t i = 0; i < lines_.size(); ++i)
    for (uint32_t c : lines_[i].controls)
      if (c == controlId) return static_cast<int>(i);
  return -1;
}

int TSimMixer::GetControlById(int mixerId, uint32_t controlId, TMixerControl& ctl,
                              uint32_t& lineId) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int rc = Check(mixerId)) return rc;
  const int li = ControlLine(controlId);
  if (li < 0) return MIXERR_INVALCONTROL;
  ctl = controls_[controlId].info;
  lineId = lines_[static_cast<size_t>(li)].info.dwLineID;
  return MMSYSERR_NOERROR;
}

int TSimMixer::GetControlByType(int mixerId, uint32_t lineId, uint32_t controlType,
                                TMixerControl& ctl) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int rc = Check(mixerId)) return rc;
  const Line* l = FindLine(lineId);
  if (!l) return MIXERR_INVALLINE;
  for (uint32_t c : l->controls)
    if (controls_[c].info.dwControlType == controlType) {
      ctl = controls_[c].info;
      return MMSYSERR_NOERROR;
    }
  return MIXERR_INVALCONTROL;
}

int TSimMixer::GetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                                std::vector<int32_t>& values) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int rc = Check(mixerId)) return rc;
  if (FailValues) return FailValues;
  if (controlId >= controls_.size()) return MIXERR_INVALCONTROL;
  const Control& c = controls_[controlId];
  const uint32_t ctlItems = std::max<uint32_t>(c.info.cMultipleItems, 1);
  if (channels > 1 && channels != c.channels) return MMSYSERR_INVALPARAM;
  if (items > ctlItems) return MMSYSERR_INVALPARAM;
  const uint32_t ch = std::max<uint32_t>(channels, 1);
  const uint32_t it = std::max<uint32_t>(items, 1);
  values.assign(static_cast<size_t>(ch) * it, 0);
  for (uint32_t i = 0; i < it; ++i) {
    if (ch == c.channels) {
      for (uint32_t k = 0; k < ch; ++k) values[i * ch + k] = c.values[i * c.channels + k];
    } else {
      // One value for several channels: the loudest one, so that writing it back (as a pan
      // re-application does) keeps the louder side where it was.
      int32_t v = c.values[i * c.channels];
      for (uint32_t k = 1; k < c.channels; ++k) v = std::max(v, c.values[i * c.channels + k]);
      values[i] = v;
    }
  }
  return MMSYSERR_NOERROR;
}

int TSimMixer::SetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                                const std::vector<int32_t>& values) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int rc = Check(mixerId)) return rc;
  if (FailValues) return FailValues;
  if (controlId >= controls_.size()) return MIXERR_INVALCONTROL;
  Control& c = controls_[controlId];
  const uint32_t ctlItems = std::max<uint32_t>(c.info.cMultipleItems, 1);
  if (channels > 1 && channels != c.channels) return MMSYSERR_INVALPARAM;
  if (items > ctlItems) return MMSYSERR_INVALPARAM;
  const uint32_t ch = std::max<uint32_t>(channels, 1);
  const uint32_t it = std::max<uint32_t>(items, 1);
  if (values.size() < static_cast<size_t>(ch) * it) return MMSYSERR_INVALPARAM;
  for (size_t i = 0; i < static_cast<size_t>(ch) * it; ++i)
    if (values[i] < c.info.lMinimum || values[i] > c.info.lMaximum) {
      // Switches and lists take any non-zero value as "on".
      const uint32_t cls = ControlClassBits(c.info.dwControlType);
      if (cls != 0x20000000u && cls != 0x70000000u) return MIXERR_INVALVALUE;
    }
  std::vector<int32_t> next = c.values;
  for (uint32_t i = 0; i < it; ++i)
    for (uint32_t k = 0; k < c.channels; ++k)
      next[i * c.channels + k] = values[i * ch + (ch == 1 ? 0 : k)];
  const uint32_t cls = ControlClassBits(c.info.dwControlType);
  if (cls == 0x20000000u || cls == 0x70000000u)
    for (int32_t& v : next) v = v ? 1 : 0;
  if (cls == 0x70000000u && (c.info.dwControlType & MIXERCONTROL_CT_SUBCLASS_MASK) == 0 &&
      items == c.info.cMultipleItems) {
    // A single-select list takes exactly one item per channel.
    for (uint32_t k = 0; k < c.channels; ++k) {
      int on = 0;
      for (uint32_t i = 0; i < ctlItems; ++i) on += next[i * c.channels + k];
      if (on != 1) return MIXERR_INVALVALUE;
    }
  }
  if (next != c.values) {
    c.values = std::move(next);
    NotifyLocked(controlId);
  }
  return MMSYSERR_NOERROR;
}

int TSimMixer::GetListTexts(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                            std::vector<TMixerListText>& texts) {
  std::lock_guard<std::mutex> lock(mu_);
  if (int rc = Check(mixerId)) return rc;
  if (controlId >= controls_.size()) return MIXERR_INVALCONTROL;
  const Control& c = controls_[controlId];
  if (!(c.info.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) || items != c.info.cMultipleItems)
    return MMSYSERR_INVALPARAM;
  const int li = ControlLine(controlId);
  const Line& dest = lines_[static_cast<size_t>(li)];
  const uint32_t ch = std::max<uint32_t>(channels, 1);
  texts.assign(static_cast<size_t>(ch) * items, TMixerListText{});
  for (uint32_t i = 0; i < items; ++i) {
    TMixerListText t;
    for (const Line& l : lines_)
      if ((l.info.fdwLine & MIXERLINE_LINEF_SOURCE) &&
          l.info.dwDestination == dest.info.dwDestination && l.info.dwSource == i) {
        t.dwParam1 = l.info.dwLineID;
        t.dwParam2 = l.info.dwComponentType;
        t.szName = l.info.szName;
      }
    for (uint32_t k = 0; k < ch; ++k) texts[i * ch + k] = t;
  }
  return MMSYSERR_NOERROR;
}

std::string TSimMixer::GetErrorText(int code) {
  return StandardMixerErrorText(code);
}

void TSimMixer::NotifyLocked(uint32_t controlId) {
  for (const auto& [handle, wnd] : handles_)
    if (wnd)
      rtl::PostMessage(wnd, MM_MIXM_CONTROL_CHANGE, handle, static_cast<intptr_t>(controlId));
}

int64_t TSimMixer::LineIdOf(uint32_t componentType) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Line* l = FirstOfType(componentType);
  return l ? static_cast<int64_t>(l->info.dwLineID) : -1;
}

int64_t TSimMixer::ControlIdOf(uint32_t componentType, uint32_t controlType) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Line* l = FirstOfType(componentType);
  if (!l) return -1;
  for (uint32_t c : l->controls)
    if (controls_[c].info.dwControlType == controlType) return c;
  return -1;
}

std::vector<int32_t> TSimMixer::Values(uint32_t controlId) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (controlId >= controls_.size()) return {};
  return controls_[controlId].values;
}

void TSimMixer::SetValuesExternal(uint32_t controlId, const std::vector<int32_t>& values) {
  std::lock_guard<std::mutex> lock(mu_);
  if (controlId >= controls_.size()) return;
  Control& c = controls_[controlId];
  if (values.size() != c.values.size()) return;
  c.values = values;
  NotifyLocked(controlId);
}

void TSimMixer::SetControlFlags(uint32_t controlId, uint32_t flags) {
  std::lock_guard<std::mutex> lock(mu_);
  if (controlId < controls_.size()) controls_[controlId].info.fdwControl = flags;
}

void TSimMixer::SetControlSteps(uint32_t controlId, uint32_t steps) {
  std::lock_guard<std::mutex> lock(mu_);
  if (controlId < controls_.size()) controls_[controlId].info.cSteps = steps;
}

void TSimMixer::SetSignal(uint32_t componentType, std::shared_ptr<wave::ISignalSource> src) {
  std::lock_guard<std::mutex> lock(mu_);
  signals_[componentType] = std::move(src);
}

double TSimMixer::LineGainLocked(const Line& l) const {
  double gain = 1.0;
  for (uint32_t id : l.controls) {
    const Control& c = controls_[id];
    const auto& v = c.values;
    if (c.info.dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE && v[0]) return 0.0;
    if (c.info.dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME) {
      // The speaker output is mono here: the channels' mean.
      double sum = 0;
      for (uint32_t k = 0; k < c.channels; ++k) sum += v[k];
      const double span = std::max(1, c.info.lMaximum - c.info.lMinimum);
      gain *= (sum / c.channels - c.info.lMinimum) / span;
    }
  }
  return gain;
}

void TSimMixer::RenderSpeaker(int16_t* out, size_t frames, uint32_t rate) {
  wave::TWaveFormatEx fmt;
  fmt.wFormatTag = wave::WAVE_FORMAT_PCM;
  fmt.nChannels = 1;
  fmt.nSamplesPerSec = rate;
  fmt.nAvgBytesPerSec = rate * 2;
  fmt.nBlockAlign = 2;
  fmt.wBitsPerSample = 16;

  // Gains and signals are taken under the lock; the signals are read outside it, because a
  // signal source may be slow (a file) and the components must not wait for it.
  std::vector<std::pair<double, std::shared_ptr<wave::ISignalSource>>> parts;
  double master = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (Present) {
      master = LineGainLocked(lines_[kSpeakers]);
      for (const Line& l : lines_) {
        if (!(l.info.fdwLine & MIXERLINE_LINEF_SOURCE) || l.info.dwDestination != kSpeakers)
          continue;
        std::shared_ptr<wave::ISignalSource> src;
        if (l.info.dwComponentType == MIXERLINE_COMPONENTTYPE_SRC_LINE) {
          if (card_) src = card_->Source();
        } else if (auto it = signals_.find(l.info.dwComponentType); it != signals_.end()) {
          src = it->second;
        }
        if (src) parts.emplace_back(LineGainLocked(l), src);
      }
    }
  }
  std::vector<double> mix(frames, 0.0);
  std::vector<int16_t> buf(frames);
  for (auto& [gain, src] : parts) {
    // Read even at gain 0: the signal runs on whether anybody listens or not.
    src->Read(reinterpret_cast<uint8_t*>(buf.data()), frames * 2, fmt);
    for (size_t i = 0; i < frames; ++i) mix[i] += gain * buf[i];
  }
  for (size_t i = 0; i < frames; ++i)
    out[i] = static_cast<int16_t>(std::clamp(std::lround(mix[i] * master), -32768L, 32767L));
}

std::vector<int16_t> TSimMixer::RenderSpeakerMs(int ms, uint32_t rate) {
  std::vector<int16_t> out(static_cast<size_t>(rate) * static_cast<size_t>(std::max(ms, 0)) / 1000);
  RenderSpeaker(out.data(), out.size(), rate);
  return out;
}

}  // namespace platform::mixer
