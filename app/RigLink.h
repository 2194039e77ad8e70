// The station as the network rig-control protocol sees it: frequency and channel, PTT through the
// same flags as the on-screen button (the 100 ms tick keys the box), S value and squelch.
// Thread: main thread.
#pragma once

#include "net/RigCtl.h"

namespace app {

class TMain;

class RigLink : public net::IRigStation {
 public:
  explicit RigLink(TMain& main) : m_(main) {}
  int64_t FrequencyHz() const override;
  int Channel() const override;
  int TuneToFrequency(int64_t hz) override;
  int TuneToChannel(int channel) override;
  int Ptt() const override;
  int SetPtt(int ptt) override;
  // The S value 0..100 maps 1 dB per step with S9 at 54 (the meter's S9 mark), so the full
  // scale reads S9+46 dB and silence S9-54 dB.
  int StrengthDb() const override;
  bool SquelchOpen() const override;

  // "27.065 " -> 27065000; 0 for a text that is no frequency.
  static int64_t ParseFrequencyHz(const std::string& text);

 private:
  TMain& m_;
  bool ownSound_ = false;  // WavSenden was set by us and is ours to clear
};

}  // namespace app
