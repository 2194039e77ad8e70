// The voice of a browser page on the air: what the page that holds PTT says, played through the
// station's output device into the transmitter while the box is keyed for the computer's own
// sound.
//
// One page talks at a time. Start opens the output for it (at its press) and plays silence
// until a cushion of voice is in, so that the page's frames, which come in bursts off the
// network, do not run dry between them; a dry run starts that wait again. The cushion adapts to
// the page's link: it starts at kPrimeFrames, each dry run adds kCushionStep (up to
// kMaxCushionFrames), and a transmission that played without running dry takes one step back.
// A dry run cuts a gap into the voice, and a gap inside a DTMF tone dials its digit twice, so
// each one makes the next less likely; the latency that costs does not matter on a half-duplex
// radio. Another page starts at kPrimeFrames again. The voice never falls behind by more than
// kMaxLagFrames: the oldest is dropped down to the cushion (a burst after a stall); a page whose
// clock runs fast against the card's loses a sample in 64 while more than two page frames over
// the cushion are in hand.
//
// Release (the page let go) plays what has come and then calls `done`, which ends the hold: at
// once when nothing waits, at the latest kDrainMs later. Voice that comes after the release is
// dropped. Cut (the page is gone) throws away what has not played, closes the output (what the
// card still holds goes with it) and calls a pending `done` at once. The station letting go by
// itself (its time-out: `held` says no) is a cut too.
//
// Time is the platform clock's; Tick runs every 10 ms on a timer of the object's own while the
// output is open (tests call it by hand). Threads: main thread; the output's driver thread only
// fills buffers from the locked queue.
#pragma once

#include <QTimer>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wave/Wave.h"

namespace app {

class RemoteVoicePlayer {
 public:
  static constexpr int kRate = 44100;
  static constexpr uint32_t kBufferFrames = kRate / 100;     // 10 ms a buffer
  static constexpr int kBuffers = 4;                         // queued at the device
  static constexpr size_t kPrimeFrames = kRate * 60 / 1000;  // in hand before playing
  static constexpr size_t kCushionStep = kRate * 20 / 1000;  // one page frame
  static constexpr size_t kMaxCushionFrames = kRate * 200 / 1000;
  static constexpr size_t kMaxLagFrames = kRate * 400 / 1000;
  static constexpr int64_t kDrainMs = 300;

  // `held(session)`: whether the station still keys for that page.
  explicit RemoteVoicePlayer(std::function<bool(int session)> held = {});
  ~RemoteVoicePlayer();
  RemoteVoicePlayer(const RemoteVoicePlayer&) = delete;
  RemoteVoicePlayer& operator=(const RemoteVoicePlayer&) = delete;

  // `session` keys: opens output `device` (the wave seam's id). 0, or the backend's code when
  // the device does not open (the hold still stands; its voice is dropped). The same session
  // again (a press during its own play-out) keeps the output and withdraws the release; another
  // session's voice ends first, as by Release with nothing left to play.
  int Start(int session, int device);
  void Play(int session, const int16_t* pcm, size_t n);
  void Release(int session, std::function<void()> done);
  void Cut(int session);
  void Tick();

  int Session() const { return session_; }
  bool Releasing() const { return static_cast<bool>(done_); }
  bool IsOpen() const { return out_ != nullptr; }
  // Samples: handed to the device, and dropped (late, over the lag bound, without a device).
  int64_t Played() const { return played_.load(); }
  int64_t Dropped() const { return dropped_.load(); }
  // Times the voice ran dry while playing: in all, and since the last Start.
  int64_t Underruns() const { return underruns_.load(); }
  int64_t DryRuns() const { return underruns_.load() - underrunsAtStart_; }
  // Voice samples in hand, not yet given to the device.
  size_t Queued() const;
  // How much voice the player waits for before it plays, now.
  size_t Cushion() const { return cushion_.load(); }

 private:
  struct Buffer {
    platform::wave::TWaveHdr hdr;
    std::vector<uint8_t> data;
  };
  void Fill(platform::wave::TWaveHdr* h);
  void OutputDone(platform::wave::TWaveHdr* h);
  // Closes the output and calls a pending `done` (unless `quiet`).
  void Finish(bool quiet = false);

  std::function<bool(int)> held_;
  QTimer timer_;
  int session_ = 0;
  std::function<void()> done_;
  int64_t deadlineMs_ = 0;
  std::unique_ptr<platform::wave::IWaveStream> out_;
  std::vector<std::unique_ptr<Buffer>> bufs_;
  mutable std::mutex mu_;
  std::deque<int16_t> fifo_;  // guarded by mu_, as are the three below
  bool primed_ = false;
  bool draining_ = false;             // released: what is queued plays without waiting for more
  int64_t handed_ = 0;                // frames given to the device since the open
  std::atomic<int64_t> voiceEnd_{0};  // the stream frame after the last voice sample handed
  std::atomic<bool> closing_{false}, failed_{false};
  std::atomic<int64_t> played_{0}, dropped_{0}, underruns_{0};
  std::atomic<size_t> cushion_{kPrimeFrames};
  int lastSession_ = 0;           // main thread, as is the one below
  int64_t underrunsAtStart_ = 0;  // main thread: to tell whether a transmission ran dry
};

}  // namespace app
