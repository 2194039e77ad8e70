// A station that does at once what the front asks, with the rules that matter to the front:
// it keys while any remote source holds, refuses keying while scanning or without the box, and
// tells who holds. For the tests, the benchmark and for trying the page without a radio.
// Thread: main thread.
#pragma once

#include <deque>
#include <functional>
#include <set>
#include <vector>

#include "remote/Station.h"

namespace remote {

class FakeStation : public IRemoteStation {
 public:
  FakeStation();
  RemoteState State() const override { return s_; }
  void SetChangedHook(std::function<void()> hook) override { changed_ = std::move(hook); }
  Result Up() override;
  Result Down() override;
  Result SetChannelMode(int last) override;
  Result Scan() override { return SetScan(1); }
  Result FreeScan() override { return SetScan(2); }
  Result ScanAuto() override;
  Result Skip() override;
  Result SetSquelch(int level) override;
  Result SetFreeLevel(int level) override;
  Result ArmCall(bool on) override;
  Result ArmMailbox(bool on) override;
  // Keys as RemoteKey does; the call "plays" until EndCall().
  Result SendCall(int session, const std::string& digits) override;
  Result Connect(const std::string& port) override;
  Result Disconnect() override;
  std::vector<Recording> Recordings() const override { return recordings_; }
  std::string RecordingPath(const std::string& name) const override;
  Result PlayRecording(const std::string& name) override;
  std::vector<std::string> RecentLog(int count) const override;
  bool RemoteKey(int session, const std::string& who, std::string* why) override;
  void RemoteRelease(int session) override;
  void SetAudioSink(AudioSink sink) override;
  // The voice of a holding page is kept (voice); any other is counted and dropped.
  void RemoteVoice(int session, const int16_t* pcm, size_t n) override;
  void RemoteVoiceCut(int session) override;

  // The receiver: queued sound first, then silence (squelch shut), handed to the front in 20 ms
  // blocks up to `nowUs` of the monotonic clock, from the moment a front listens.
  // A DTMF call, 150 ms tone and 150 ms pause a digit; it replaces what was still to be heard.
  void ReceiveDtmf(const std::string& digits);
  void ReceiveUntil(int64_t nowUs);
  bool AudioListened() const { return static_cast<bool>(sink_); }

  // Test controls.
  void SetChannel(int channel);
  void SetSValue(int channel, int value);
  void SetLinked(bool linked);
  // The station's own time-out or the local operator takes the transmitter from the remote.
  void DropRemote();
  // The call's DTMF has played: its hold lets go.
  void EndCall();
  void AddRecording(const Recording& r, const std::string& path);
  void Log(const std::string& line) { log_.push_back(line); }
  // Called on every key and release of the transmitter (true: keyed).
  std::function<void(bool keyed)> OnKeying;
  int upCount = 0, downCount = 0;
  std::vector<std::string> calls;
  std::string lastPlayed;
  std::vector<int16_t> voice;  // 44100 Hz, every holding page's voice in arrival order
  int64_t voiceDropped = 0;    // samples of pages that did not hold
  int voiceCuts = 0;
  // Called when a holding page's voice gets loud after at least 100 ms of quiet.
  std::function<void()> OnVoiceOnset;

 private:
  Result SetScan(int mode);
  void Notify();
  void UpdateTx();
  RemoteState s_;
  std::function<void()> changed_;
  std::set<int> holders_;
  static constexpr int kCallHold = -1;  // the call's hold among the pages' ones
  std::vector<Recording> recordings_;
  std::vector<std::string> paths_;
  std::vector<std::string> log_;
  AudioSink sink_;
  std::deque<int16_t> rx_;
  int64_t rxStartUs_ = -1, rxSamples_ = 0;
  int64_t quietSamples_ = 0;
};

}  // namespace remote
