#include "radio/HamlibRadio.h"

#include <hamlib/rig.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/Guardian.h"
#include "station/Station.h"

namespace radio {

namespace {

ptt_t HamlibPtt(TPtt p) {
  return p == TPtt::Off ? RIG_PTT_OFF : p == TPtt::Data ? RIG_PTT_ON_DATA : RIG_PTT_ON;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// --- THamlibRig ---

THamlibRig::THamlibRig(THamlibSettings settings) : settings_(std::move(settings)) {
  LoadHamlibBackends();
  if (const rig_caps* caps = rig_get_caps(static_cast<rig_model_t>(settings_.Model)))
    name_ = std::string(caps->mfg_name) + " " + caps->model_name;
  else
    name_ = "Hamlib-Modell " + std::to_string(settings_.Model);
  worker_ = std::thread([this] { Run(); });
}

THamlibRig::~THamlibRig() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
    wantPtt_ = TPtt::Off;
  }
  cv_.notify_all();
  worker_.join();
}

void THamlibRig::WantPtt(TPtt ptt) {
  {
    std::lock_guard lock(mu_);
    if (wantPtt_ == ptt) return;
    wantPtt_ = ptt;
  }
  cv_.notify_all();
}

void THamlibRig::WantFrequency(double hz) {
  {
    std::lock_guard lock(mu_);
    wantHz_ = hz;
  }
  cv_.notify_all();
}

TRigReading THamlibRig::Reading() const {
  std::lock_guard lock(mu_);
  return reading_;
}

void THamlibRig::SetOnRound(std::function<void(const TRigReading&)> onRound) {
  // Waits for a call under way: whoever clears it may be destroyed right after.
  std::lock_guard lock(roundMu_);
  onRound_ = std::move(onRound);
}

TPtt THamlibRig::AppliedPtt() const {
  std::lock_guard lock(mu_);
  return appliedPtt_;
}

std::optional<double> THamlibRig::AppliedFrequency() const {
  std::lock_guard lock(mu_);
  return appliedHz_;
}

std::string THamlibRig::Description() const {
  return settings_.Port.empty() ? name_ : name_ + " an " + settings_.Port;
}

void THamlibRig::Run() {
  RIG* rig = nullptr;
  int64_t nextOpenMs = 0;
  // What the rig was last told; unknown after each open, so the first round tells it again.
  int told = -1;  // a TPtt, -1 unknown
  std::optional<double> toldHz;
  for (;;) {
    TPtt ptt;
    std::optional<double> hz;
    bool stop;
    {
      std::unique_lock lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(rig ? kRoundMs : 200), [&] {
        return stop_ || (rig && (told != static_cast<int>(wantPtt_) || toldHz != wantHz_));
      });
      ptt = wantPtt_;
      hz = wantHz_;
      stop = stop_;
    }
    if (stop) break;
    std::string error;
    if (!rig) {
      if (NowMs() < nextOpenMs) continue;
      rig = OpenHamlibRig(settings_, kTimeoutMs, 0, error);
      told = -1;
      toldHz.reset();
      if (!rig) nextOpenMs = NowMs() + kReopenMs;
      // From the first open on, a station that dies without a word (SIGKILL, the out-of-memory
      // killer, a crash) leaves the rig to the guardian: Hamlib's own connection cannot be
      // written from a dying process, so the guardian runs a program that opens the rig anew
      // and sets it to receive.
      if (rig && releaseSlot_ < 0) {
        const std::string program = platform::guardian::FindBeside("kanalo-rig-release");
        if (!program.empty()) {
          std::vector<std::string> args = ReleaseArguments(settings_);
          args.insert(args.begin(), program);
          releaseSlot_ = platform::guardian::HoldCommand(args);
        }
      }
    }
    TRigReading r;
    if (rig) {
      int rc = RIG_OK;
      if (told != static_cast<int>(ptt)) {
        rc = rig_set_ptt(rig, RIG_VFO_CURR, HamlibPtt(ptt));
        // A rig that knows no data PTT is keyed as for the microphone.
        if (rc != RIG_OK && ptt == TPtt::Data) rc = rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_ON);
        if (rc == RIG_OK) told = static_cast<int>(ptt);
      }
      if (rc == RIG_OK && hz && toldHz != hz) {
        rc = rig_set_freq(rig, RIG_VFO_CURR, *hz);
        // A rig that cannot be tuned is read where it is; the reason is kept.
        if (rc == RIG_OK || (rc != -RIG_ETIMEOUT && rc != -RIG_EIO && rc != -RIG_EPROTO)) {
          if (rc != RIG_OK) error = rigerror(rc);
          toldHz = hz;
          rc = RIG_OK;
        }
      }
      r.Hz = toldHz.value_or(0);
      value_t level{};
      if (rc == RIG_OK && rig_has_get_level(rig, RIG_LEVEL_STRENGTH)) {
        rc = rig_get_level(rig, RIG_VFO_CURR, RIG_LEVEL_STRENGTH, &level);
        if (rc == RIG_OK) r.StrengthDb = level.i;
      }
      ptt_t read = RIG_PTT_OFF;
      if (rc == RIG_OK && rig->caps->get_ptt) {
        const int prc = rig_get_ptt(rig, RIG_VFO_CURR, &read);
        // Only what the station does not key counts as the radio's own key.
        if (prc == RIG_OK)
          r.OwnPtt = read != RIG_PTT_OFF && told == static_cast<int>(TPtt::Off);
        else if (prc == -RIG_ETIMEOUT || prc == -RIG_EIO)
          rc = prc;
      }
      if (rc == -RIG_ETIMEOUT || rc == -RIG_EIO || rc == -RIG_EPROTO) {
        // Gone or too slow: closed and opened again; the station hears nothing meanwhile.
        error = rigerror(rc);
        rig_close(rig);
        rig_cleanup(rig);
        rig = nullptr;
        nextOpenMs = NowMs() + kReopenMs;
      } else if (rc != RIG_OK) {
        error = rigerror(rc);
      }
    }
    {
      std::lock_guard lock(mu_);
      r.Open = rig != nullptr;
      r.Error = error;
      r.Rounds = reading_.Rounds + (rig ? 1 : 0);
      r.AnsweredMs = rig ? NowMs() : reading_.AnsweredMs;
      if (!rig) r.StrengthDb = reading_.StrengthDb;
      reading_ = r;
      appliedPtt_ = told < 0 ? TPtt::Off : static_cast<TPtt>(told);
      appliedHz_ = toldHz;
    }
    std::lock_guard lock(roundMu_);
    if (onRound_) onRound_(r);
  }
  if (rig) {
    // The last word: receive, whatever the station said before it went. Heard: the guardian
    // need not say it again.
    if (rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_OFF) == RIG_OK) {
      platform::guardian::DropCommand(releaseSlot_);
      releaseSlot_ = -1;
    }
    rig_close(rig);
    rig_cleanup(rig);
    std::lock_guard lock(mu_);
    appliedPtt_ = TPtt::Off;
  }
}

std::vector<std::pair<int, std::string>> THamlibRig::Models() {
  LoadHamlibBackends();
  std::vector<std::pair<int, std::string>> models;
  rig_list_foreach(
      [](const rig_caps* caps, rig_ptr_t data) {
        static_cast<std::vector<std::pair<int, std::string>>*>(data)->emplace_back(
            static_cast<int>(caps->rig_model),
            std::string(caps->mfg_name) + " " + caps->model_name);
        return 1;
      },
      &models);
  std::sort(models.begin(), models.end());
  return models;
}

// --- THamlibBox ---

bool THamlibBox::Assemble(const uint8_t* bytes, int n, std::array<uint8_t, 3>& buffer,
                          int32_t& length) const {
  if (length < 0 || length > 2) length = 0;
  for (int i = 0; i < n; ++i) {
    if (length == 0 && bytes[i] != kSync) continue;
    buffer[static_cast<size_t>(length)] = bytes[i];
    length = (length + 1) % 3;
  }
  return n > 0 && length == 0 && buffer[0] == kSync;
}

uint8_t THamlibBox::ScaleStrength(uint8_t strength, int32_t adjust, int32_t offset) const {
  const int spread = std::min<int>(strength, 114) * 127 / 114;
  return station::KvrBox().ScaleStrength(static_cast<uint8_t>(spread), adjust, offset);
}

const station::IBoxProtocol& HamlibBox() {
  static const THamlibBox box;
  return box;
}

// --- THamlibPeer ---

THamlibPeer::THamlibPeer(std::shared_ptr<platform::SimWire> wire, THamlibRig& rig)
    : wire_(std::move(wire)), rig_(rig) {
  wire_->SetPeerLine(platform::MS_CTS_ON, false);
  wire_->SetPeer(this);
  rig_.SetOnRound([this](const TRigReading& r) { Round(r); });
}

THamlibPeer::~THamlibPeer() {
  rig_.SetOnRound(nullptr);
  wire_->SetPeer(nullptr);
}

void THamlibPeer::HostClosed() {
  // A station that lets go of its port lets go of the transmitter.
  rig_.WantPtt(TPtt::Off);
}

void THamlibPeer::HostBytes(const uint8_t* data, size_t count) {
  const THamlibBox& box = static_cast<const THamlibBox&>(HamlibBox());
  std::vector<uint8_t> answers;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t c = data[i];
    rig_.WantPtt(c == box.MicrophoneCommand() ? TPtt::Microphone
                 : c == box.OwnSoundCommand() ? TPtt::Data
                                              : TPtt::Off);
    const std::optional<double> hz = Tuning ? Tuning() : std::nullopt;
    if (hz) rig_.WantFrequency(*hz);
    const TRigReading r = rig_.Reading();
    // A rig that does not answer the worker does not answer the station either; a reading of
    // another frequency is left unanswered until the worker has read the new one.
    if (!r.Open || NowMs() - r.AnsweredMs > THamlibRig::kStaleMs) continue;
    if (hz && r.Hz != *hz) continue;
    const int s = std::clamp(r.StrengthDb + 54, 0, 255);
    answers.insert(answers.end(), {THamlibBox::kSync, static_cast<uint8_t>(s), 0});
  }
  if (!answers.empty()) wire_->PeerSend(answers);
}

void THamlibPeer::Round(const TRigReading& r) {
  const int cts = r.Open && r.OwnPtt ? 1 : 0;
  if (cts_.exchange(cts) != cts) wire_->SetPeerLine(platform::MS_CTS_ON, cts == 1);
}

// --- The station's channels ---

std::optional<double> FrequencyHz(const std::string& mhz) {
  const char* begin = mhz.data();
  const char* end = begin + mhz.size();
  while (begin < end && *begin == ' ') ++begin;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr == begin || value <= 0) return std::nullopt;
  for (const char* p = ptr; p < end; ++p)
    if (*p != ' ') return std::nullopt;
  // Whole hertz: "27.065" is not exact in binary.
  return std::round(value * 1e6);
}

int AttachHamlib(station::TStation& station, THamlibRig& rig, THamlibPeer* peer) {
  auto channelHz = [&station] {
    return FrequencyHz(station.Einstellungen.Frequenz[station.ChannelIndex()].str());
  };
  if (peer) peer->Tuning = channelHz;
  auto tune = [&rig, channelHz] {
    if (auto hz = channelHz()) rig.WantFrequency(*hz);
  };
  station.RadioName = rig.Description();
  tune();
  return station.Events.Subscribe([tune](const station::TStationEvent& ev) {
    if (ev.Kind == station::TEventKind::Channel || ev.Kind == station::TEventKind::LinkUp) tune();
  });
}

}  // namespace radio
