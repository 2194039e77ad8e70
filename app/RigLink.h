// The station as the network rig-control protocol sees it: frequency and channel, PTT as one
// hold per client in the station's transmit arbiter (the 100 ms tick keys the box), S value and
// squelch.
//
// Safety: keying is refused while the scanner runs (the tick would key later, on whatever channel
// the scan stops); PTT keyed by a client is released when that client goes; channel steps run on
// the station's step sequence, never while the transmitter is keyed or the scanner steps.
// Thread: main thread.
#pragma once

#include <memory>

#include "net/RigCtl.h"
#include "station/Station.h"

namespace app {

class RigLink : public net::IRigStation {
 public:
  explicit RigLink(station::TStation& station);
  ~RigLink() override;
  int64_t FrequencyHz() const override;
  int Channel() const override;
  int TuneToFrequency(int64_t hz) override;
  int TuneToChannel(int channel) override;
  int Ptt() const override;
  int SetPtt(int ptt) override;
  int SetPttFrom(int client, int ptt) override;
  void ClientGone(int client) override;
  void SetTuneDoneHook(std::function<void()> hook) override { tuneDone_ = std::move(hook); }
  int TuneResult() const override { return tuneResult_; }
  bool Tuning() const { return tuning_; }
  // The S value 0..100 maps 1 dB per step with S9 at 54 (the meter's S9 mark), so the full
  // scale reads S9+46 dB and silence S9-54 dB.
  int StrengthDb() const override;
  bool SquelchOpen() const override;
  // Fresh once the box has answered a poll written after the last channel change; without a link
  // there is nothing to wait for.
  bool HasReading() const override;
  bool ReadingFresh() const override;
  int64_t Polls() const override { return m_.TickCount; }

  // "27.065 " -> 27065000; 0 for a text that is no frequency.
  static int64_t ParseFrequencyHz(const std::string& text);

 private:
  station::TStation& m_;
  station::TStationAlive alive_;  // false once the station is being destroyed
  // The run's end finds this link gone when the link ends first.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
  bool tuning_ = false;
  std::function<void()> tuneDone_;
  int tuneResult_ = net::RIG_OK;
};

}  // namespace app
