// The station's one capture: a card opened as `hw:` or `plughw:` takes one capture stream and
// refuses a second (EBUSY), so every listener of the line (the selective call's decoder, the
// mailbox's recorder, the software monitor, the browser pages) subscribes here instead of
// opening the device. The first subscriber opens the device (16-bit mono 44100 Hz, in short
// periods so the monitor stays quick), each capture period is copied into every running
// subscriber's buffers, and the last one to close closes the device.
//
// A subscriber is an ordinary input stream (IWaveStream): the components that record keep
// their code, they are only given this backend instead of the process's. Opens of another
// format or device, playback and the device questions go to the process's backend unchanged.
// A subscriber hears the line from its Start on; a device failure reaches every subscriber once
// as its Error, and the next subscriber after a failure opens the device afresh.
//
// Threads: Open and the subscribers' calls as for any wave stream. Subscribers are called back
// on the device's driver thread; a subscriber's Close returns only once no callback of it is
// running, so its owner may go right after.
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
  static constexpr uint32_t kPeriodFrames = 256;  // about 5.8 ms a capture period
  static constexpr int kPeriods = 16;

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
  int Subscribe(int id, TWaveCallback cb, std::unique_ptr<IWaveStream>& out);
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
