#include "app/Headless.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "mixer/MMMixer.h"
#include "rtl/Forms.h"
#include "rtl/SysUtils.h"

namespace app {

namespace {

class TJournalDialogs : public rtl::IDialogs {
 public:
  explicit TJournalDialogs(std::FILE* journal) : journal_(journal) {}
  int MessageBox(const std::string& text, const std::string&, rtl::TMsgDlgType,
                 int buttons) override {
    // One line per message: the journal keeps lines, not boxes.
    std::string line = text;
    for (char& c : line)
      if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(journal_, "Kanalo: %s\n", rtl::PrintableText(line).c_str());
    std::fflush(journal_);
    if (buttons & rtl::mbCancel) return rtl::mrCancel;
    if (buttons & rtl::mbNo) return rtl::mrNo;
    return rtl::mrOk;
  }
  bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
  std::optional<std::string> OpenFile(const rtl::TFileDialogOptions&) override {
    return std::nullopt;
  }
  std::optional<std::string> SaveFile(const rtl::TFileDialogOptions&) override {
    return std::nullopt;
  }

 private:
  std::FILE* journal_;
};

}  // namespace

std::shared_ptr<rtl::IDialogs> HeadlessDialogs(std::FILE* journal) {
  return std::make_shared<TJournalDialogs>(journal);
}

std::string HeadlessStartPort(const std::string& savedPort, const std::string& com1Target) {
  if (savedPort == "COM1" || savedPort == "COM2" || com1Target.empty()) return {};
  return "COM1";
}

// --- The front without a window ---

THeadlessFront::THeadlessFront(TStationHost& host) : host_(host) {
  using namespace mixer;
  // The lines the window's mixer holds (mixer/StationMixer.h), bound the same way.
  device_ = new TMMMixerDevice(&components_);
  const std::pair<TLine*, TMMComponentType> lines[] = {
      {&in_, ctSrcLine}, {&mic_, ctSrcMicrophone}, {&out_, ctDstSpeakers}, {&cd_, ctSrcCD}};
  std::vector<rtl::TComponent*> loading = {device_};
  for (auto [l, type] : lines) {
    l->line = new TMMAudioLine(&components_);
    l->volume = new TMMVolumeControl(&components_);
    l->mute = new TMMMixerControl(&components_);
    for (rtl::TComponent* c :
         {static_cast<rtl::TComponent*>(l->line), static_cast<rtl::TComponent*>(l->volume),
          static_cast<rtl::TComponent*>(l->mute)})
      loading.push_back(c);
  }
  for (auto* c : loading) c->BeginLoading();
  for (auto [l, type] : lines) {
    l->line->SetMixer(device_);
    l->line->SetComponentType(type);
    l->volume->SetAudioLine(l->line);
    l->mute->SetAudioLine(l->line);
    l->mute->SetControlType(ctMute);
  }
  for (auto* c : loading) c->EndLoading();
  monitor_ = std::make_unique<TSoftwareMonitor>(in_.mute);
  host_.Station().SetFront(this);
  host_.SetMixer(this);
}

THeadlessFront::~THeadlessFront() {
  host_.SetMixer(nullptr);
  host_.Station().SetFront(nullptr);
}

int THeadlessFront::KnobMax(const mixer::TMMVolumeControl* c) {
  // A mixer knob's range: the control's steps, 32 where it names none, 0..1 without a span.
  const auto& ci = c->ControlInfo();
  const long double span = static_cast<long double>(ci.MaxValue) - ci.MinValue;
  const long double step = span / (ci.Steps != 0 ? ci.Steps : 32);
  return step != 0 ? static_cast<int>(std::trunc(span / step)) : 1;
}

int THeadlessFront::ReadLevel(mixer::TMMVolumeControl* c) {
  const auto& ci = c->ControlInfo();
  const long double span = static_cast<long double>(ci.MaxValue) - ci.MinValue;
  const long double step = span / (ci.Steps != 0 ? ci.Steps : 32);
  if (!c->ServesItem(-1) || step == 0 || KnobMax(c) <= 0) return 0;
  try {
    return static_cast<int>(std::lround(
        (static_cast<long double>(c->GetSignedItem(mixer::chBoth, -1)) - ci.MinValue) / step));
  } catch (const rtl::Exception&) {
    return 0;
  }
}

void THeadlessFront::SetLevel(TLine& l, int value) {
  mixer::TMMVolumeControl* c = l.volume;
  value = std::clamp(value, 0, KnobMax(c));
  if (!l.level) l.level = ReadLevel(c);
  if (value == *l.level) return;
  l.level = value;
  // No mixer, or a control the card lacks: nothing to write, as with the window's knob.
  if ((c->ControlInfo().Flags & mixer::cfDisabled) || !c->ServesItem(-1)) {
    l.level = ReadLevel(c);
    return;
  }
  const auto& ci = c->ControlInfo();
  const long double step =
      (static_cast<long double>(ci.MaxValue) - ci.MinValue) / (ci.Steps != 0 ? ci.Steps : 32);
  try {
    c->SetSignedItem(mixer::chBoth, -1,
                     static_cast<int32_t>(std::lround(value * step + ci.MinValue)));
  } catch (const rtl::Exception&) {
    rtl::Application().HandleException(nullptr);
    l.level = ReadLevel(c);
  }
}

void THeadlessFront::SetMute(TLine& l, bool muted) {
  mixer::TMMMixerControl* c = l.mute;
  if (!l.muted) {
    // What the mixer holds, as the window's box shows it before the station sets it.
    l.muted = &l == &mic_;
    try {
      if (c->ServesItem(-1)) l.muted = c->GetBooleanItem(mixer::chBoth, -1);
    } catch (const rtl::Exception&) {
    }
  }
  if (muted == *l.muted) return;
  l.muted = muted;
  try {
    if (c->EnablesItem(-1)) c->SetBooleanItem(mixer::chBoth, -1, muted);
  } catch (const rtl::Exception&) {
    rtl::Application().HandleException(nullptr);
  }
}

void THeadlessFront::ShowMutes() {
  const station::TStation& s = host_.Station();
  SetMute(in_, s.LineMuted);
  SetMute(mic_, s.MicMuted);
  SetMute(cd_, s.CDMuted);
  SetMute(out_, s.MasterMuted);
  SetLevel(out_, s.OutputLevel);
  monitor_->Follow(s.LineMuted);
}

void THeadlessFront::ShowLevels() {
  const station::TEinstellungen& e = host_.Station().Einstellungen;
  SetLevel(in_, e.LineInWert);
  SetLevel(mic_, e.MicWert);
  SetLevel(cd_, e.CDWert);
}

void THeadlessFront::Report(const std::string& text, rtl::TMsgDlgType type,
                            const std::string& caption, bool errorBox, bool later) {
  reports_.Report(text, type, caption, errorBox, later);
}

void THeadlessFront::Notice(const std::string& text) {
  rtl::Dialogs().MessageBox(text, "Kanalo", rtl::mtInformation, rtl::mbOK);
}

station::TStation::TLevelSteps THeadlessFront::Steps() const {
  auto steps = [](const mixer::TMMVolumeControl* c) { return c->ControlInfo().Steps; };
  return {steps(mic_.volume), steps(cd_.volume), steps(in_.volume), volumeMax_, volumeMax_};
}

void THeadlessFront::Prepare() {
  // As the window's knobs: the volume ranges follow the speaker control, and a card without a
  // line input takes its auxiliary input.
  if (const int steps = out_.volume->ControlInfo().Steps; steps > 0) volumeMax_ = steps - 1;
  if (in_.line->GetLineId() == -1) in_.line->SetComponentType(mixer::ctSrcAux);
}

void THeadlessFront::TakeLevels(station::TEinstellungen& e) const {
  e.MicWert = mic_.level.value_or(ReadLevel(mic_.volume));
  e.CDWert = cd_.level.value_or(ReadLevel(cd_.volume));
  e.LineInWert = in_.level.value_or(ReadLevel(in_.volume));
}

}  // namespace app
