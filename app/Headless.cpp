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
  routing_ = std::make_unique<TMixerRouting>(
      TMixerRouting::TMutes{in_.mute, mic_.mute, cd_.mute, out_.mute},
      TMixerRouting::TLevels{in_.volume, mic_.volume, cd_.volume, out_.volume},
      &host_.Station().Capture);
  host_.Station().SetFront(this);
  host_.SetMixer(this);
}

THeadlessFront::~THeadlessFront() {
  host_.Station().SetRouting(nullptr);
  host_.SetMixer(nullptr);
  host_.Station().SetFront(nullptr);
}

std::optional<int> THeadlessFront::ReadLevel(mixer::TMMVolumeControl* c) {
  const auto& ci = c->ControlInfo();
  const long double span = static_cast<long double>(ci.MaxValue) - ci.MinValue;
  const long double step = span / (ci.Steps != 0 ? ci.Steps : 32);
  if ((ci.Flags & mixer::cfDisabled) || !c->ServesItem(-1) || step == 0) return std::nullopt;
  try {
    return static_cast<int>(std::lround(
        (static_cast<long double>(c->GetSignedItem(mixer::chBoth, -1)) - ci.MinValue) / step));
  } catch (const rtl::Exception&) {
    return std::nullopt;
  }
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
  // The lines are known now: the routing follows the station from here on.
  host_.Station().SetRouting(routing_.get());
}

void THeadlessFront::TakeLevels(station::TEinstellungen& e) const {
  // What the mixer holds now (another program may have turned it); where the card has no such
  // control, the record keeps its own value.
  e.MicWert = ReadLevel(mic_.volume).value_or(e.MicWert);
  e.CDWert = ReadLevel(cd_.volume).value_or(e.CDWert);
  e.LineInWert = ReadLevel(in_.volume).value_or(e.LineInWert);
}

}  // namespace app
