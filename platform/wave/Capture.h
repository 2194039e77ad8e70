// The station's one capture: a card opened as `hw:` or `plughw:` takes one capture stream and
// refuses a second (EBUSY), so every listener of the line (the selective call's decoder, the
// mailbox's recorder, the software monitor, the browser pages) subscribes here instead of
// opening the device. The first subscriber opens the device (16-bit mono 44100 Hz), each capture
// period is copied into every running subscriber's buffers, and the last one to close closes
// the device.
//
// The device keeps the pace its most hurried listener asked for, as the backend's Open,
// OpenLive or OpenLowLatency: the decoder and the recorder take long periods (few wake-ups
// while the mailbox waits all day), a page 20 ms, the monitor 5 ms. A listener in more of a
// hurry than the open device makes it open again at its pace (the others lose what the close
// and open take, a few milliseconds); a listener that leaves does not slow it down again before
// the last has gone.
//
// A subscriber is an ordinary input stream (IWaveStream): the components that record keep
// their code, they are only given this backend instead of the process's. Opens of another
// format or device, playback and the device questions go to the process's backend unchanged.
// A subscriber hears the line from its Start on; a device failure reaches every subscriber once
// as its Error, and the next subscriber after a failure opens the device afresh.
//
// Threads: Open and the subscribers' calls as for any wave stream. Subscribers are called back
// on the device's driver thread with the fan-out's lock held, so a subscriber's Close returns
// only once no callback of it is running and its owner may go right after; a callback must only
// copy, count and post (as for every wave stream), never wait for a lock that a thread calling
// into the stream may hold.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wave/Wave.h"

namespace platform::wave {

class TCaptureFanOut : public IWaveBackend {
 public:
  static constexpr uint32_t kRate = 44100;
  // The fan-out's own buffers: 256 frames (5.8 ms), enough of them for the longest period.
  static constexpr uint32_t kPeriodFrames = 256;
  static constexpr int kPeriods = 64;

  // `backend`: where the device is opened; nullptr: the process's backend at each open.
  explicit TCaptureFanOut(IWaveBackend* backend = nullptr);
  ~TCaptureFanOut() override;
  TCaptureFanOut(const TCaptureFanOut&) = delete;
  TCaptureFanOut& operator=(const TCaptureFanOut&) = delete;

  // The format every subscriber takes (and the device is opened with).
  static TWaveFormatEx Format();

  int NumDevs(TWaveDir dir) override { return Backend().NumDevs(dir); }
  int GetDevCaps(TWaveDir dir, int id, TWaveCaps& caps) override {
    return Backend().GetDevCaps(dir, id, caps);
  }
  int Open(TWaveDir dir, int id, const TWaveFormatEx& fmt, bool query, TWaveCallback cb,
           std::unique_ptr<IWaveStream>& out) override;
  std::string GetErrorText(int code) override { return Backend().GetErrorText(code); }
  int OpenLowLatency(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
                     std::unique_ptr<IWaveStream>& out) override;
  int OpenLive(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
               std::unique_ptr<IWaveStream>& out) override;

  // Subscribers open now, and whether the device is open for them.
  int Subscribers() const;
  bool DeviceOpen() const;
  // Device opens since construction (one for any number of subscribers that overlap).
  int64_t DeviceOpens() const { return opens_.load(); }

 private:
  class TSubscriber;
  struct TDevice;
  IWaveBackend& Backend() { return backend_ ? *backend_ : WaveBackend(); }
  bool Shared(TWaveDir dir, const TWaveFormatEx& fmt) const;
  enum TPace { Buffered, Live, Low };
  int Subscribe(int id, TPace pace, TWaveCallback cb, std::unique_ptr<IWaveStream>& out);
  // Opens the device at `pace` with the fan-out's buffers queued, not started; no lock held.
  int OpenDevice(int id, TPace pace, std::unique_ptr<TDevice>& out);
  void Leave(TSubscriber* s);
  void Captured(TDevice* d, TWaveMsg msg, TWaveHdr* h);
  // Closes a device taken out of use, outside every lock.
  static void CloseDevice(std::unique_ptr<TDevice> d);

  IWaveBackend* backend_;
  // Held while subscribers are called back and while one joins or leaves; recursive, as a
  // subscriber may stop or close itself from its own callback.
  mutable std::recursive_mutex mu_;
  std::vector<TSubscriber*> subs_;
  std::unique_ptr<TDevice> device_;
  std::atomic<int64_t> opens_{0};
};

}  // namespace platform::wave
