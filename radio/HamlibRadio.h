// A CAT transceiver through Hamlib behind the station's box seam.
//
// The station keeps talking to a box through its serial port component: THamlibPeer is the far
// end of an in-process wire (platform/serial/Sim.h) that answers the station's polls as a box
// would, and THamlibRig does the talking to the radio on a worker thread of its own. So the tick,
// the arbiter, the time-out, the silence check and the release at every end stay the station's,
// and no Hamlib call ever runs on the station's thread:
//
// - a command byte (THamlibBox: 'R' receive, 'M' microphone, 'D' the computer's own sound) is the
//   PTT the worker sets next (RIG_PTT_ON_DATA for the own sound, RIG_PTT_ON where the rig refuses
//   it);
// - the answer to a poll is sent only while the rig answers the worker: a slow or dead rig is a
//   silent box to the station, said once and released by the station's own silence logic;
// - the answer carries the last STRENGTH reading (dB relative to S9, +54, 0..255);
// - the radio's own PTT (the rig reports keyed while the station does not key it) is the wire's
//   CTS line;
// - a channel of the station is a frequency: TStation's channel events name it (the channel
//   table's text in MHz), and AttachHamlib hands it to the worker.
//
// Threads: THamlibRig's public functions from any thread; the rig only on its worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial/Sim.h"
#include "radio/HamlibOpen.h"
#include "station/BoxProtocol.h"

namespace station {
class TStation;
}

namespace radio {

// What the worker last read of the rig.
struct TRigReading {
  bool Open = false;       // the rig is open and answered the last round
  int StrengthDb = -54;    // STRENGTH, dB relative to S9
  bool OwnPtt = false;     // keyed on the radio itself while the station does not key it
  uint64_t Rounds = 0;     // rounds that answered
  int64_t AnsweredMs = 0;  // when the last of them ended (steady clock)
  double Hz = 0;           // the frequency the strength was read on (0: none set yet)
  std::string Error;       // the last failure, "" while the rig answers
};

enum class TPtt { Off, Microphone, Data };

class THamlibRig {
 public:
  explicit THamlibRig(THamlibSettings settings);
  // The PTT goes off and the rig is closed before the worker ends.
  ~THamlibRig();
  THamlibRig(const THamlibRig&) = delete;
  THamlibRig& operator=(const THamlibRig&) = delete;

  void WantPtt(TPtt ptt);
  void WantFrequency(double hz);
  TRigReading Reading() const;
  // Called on the worker after every round (a reading changed or not).
  void SetOnRound(std::function<void(const TRigReading&)> onRound);
  // "Hamlib NET rigctl an 127.0.0.1:4532": the model's name and the port, for the fronts.
  std::string Description() const;
  // The PTT and the frequency the worker last set on the rig (for tests and the log).
  TPtt AppliedPtt() const;
  std::optional<double> AppliedFrequency() const;

  // The models the installed Hamlib knows: number, maker and model, by number.
  static std::vector<std::pair<int, std::string>> Models();
  // How long one round may wait for the rig, and the pause between rounds.
  static constexpr int kTimeoutMs = 400;
  static constexpr int kRoundMs = 50;
  static constexpr int kReopenMs = 2000;
  // A reading older than this is not given as an answer: a worker stuck in a call is a rig that
  // does not answer.
  static constexpr int kStaleMs = 800;

 private:
  void Run();
  THamlibSettings settings_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  TPtt wantPtt_ = TPtt::Off;
  std::optional<double> wantHz_;
  TPtt appliedPtt_ = TPtt::Off;
  std::optional<double> appliedHz_;
  TRigReading reading_;
  std::string name_;
  std::mutex roundMu_;  // held while onRound_ runs and while it is set
  std::function<void(const TRigReading&)> onRound_;
  int releaseSlot_ = -1;  // the guardian's command that unkeys the rig if the station dies
  std::thread worker_;
};

// The protocol of the station's side of the wire.
class THamlibBox final : public station::IBoxProtocol {
 public:
  static constexpr uint8_t kSync = 0xA5;
  const char* Name() const override { return "Hamlib"; }
  const char* Subject() const override { return "Das Funkgerät"; }
  const char* After() const override { return "zum Funkgerät"; }
  const char* Pronoun() const override { return "es"; }
  station::TLineSettings Line() const override { return {4800, 8, 'N', 2}; }
  uint8_t ReceiveCommand() const override { return 'R'; }
  uint8_t MicrophoneCommand() const override { return 'M'; }
  uint8_t OwnSoundCommand() const override { return 'D'; }
  bool Assemble(const uint8_t* bytes, int n, std::array<uint8_t, 3>& buffer,
                int32_t& length) const override;
  uint8_t Strength(const std::array<uint8_t, 3>& frame) const override { return frame[1]; }
  uint8_t Key(const std::array<uint8_t, 3>& frame) const override { return frame[2]; }
  // A CAT rig has no keys of the box: channels are stepped by the station.
  station::TStep StepForKey(uint8_t) const override { return station::TStep::None; }
  station::TModemLine StepLine(station::TStep step) const override {
    return step == station::TStep::Down ? station::TModemLine::Dtr : station::TModemLine::Rts;
  }
  // The frequency is set at once; nothing to wait for.
  int64_t PulseMicros(int32_t) const override { return 0; }
  // S0 (-54 dB, byte 0) to S9+60 (byte 114) over 0..127, then the operator's adjustment and
  // zero as on the KVR-100.
  uint8_t ScaleStrength(uint8_t strength, int32_t adjust, int32_t offset) const override;
  // CTS on: the radio is keyed on itself.
  bool RadioKeyed(bool cts) const override { return cts; }
};
const station::IBoxProtocol& HamlibBox();

// The far end of the wire: answers polls from the worker's reading.
class THamlibPeer final : public platform::SimPeer {
 public:
  THamlibPeer(std::shared_ptr<platform::SimWire> wire, THamlibRig& rig);
  ~THamlibPeer() override;
  void HostClosed() override;
  void HostBytes(const uint8_t* data, size_t count) override;
  void HostLines(bool, bool) override {}
  // The worker's round: the radio's own PTT onto CTS.
  void Round(const TRigReading& r);
  // The frequency of the station's channel now (main thread, where the polls come from): each
  // poll tunes the rig there first, and is answered only by a strength read there, so a reading
  // of the channel left is never taken for the new one.
  std::function<std::optional<double>()> Tuning;

 private:
  std::shared_ptr<platform::SimWire> wire_;
  THamlibRig& rig_;
  std::atomic<int> cts_{-1};
};

// The station's channels onto the rig: its frequency now and at each channel event. Returns the
// subscription's handle (TEventBus::Unsubscribe).
// With `peer`, its polls tune the rig to the station's channel first.
int AttachHamlib(station::TStation& station, THamlibRig& rig, THamlibPeer* peer = nullptr);
// "26.965 " (MHz) in Hz; nothing for a text that is no frequency.
std::optional<double> FrequencyHz(const std::string& mhz);

}  // namespace radio
