// What the wave input and output devices share: the state bits, the header list, the hidden
// window that delivers the driver's notifications on the main thread, the optional notification
// thread, and the error texts. Each device's own algorithm lives in MMWavIn/MMWavOut.
//
// Threads: properties, Open/Close/Start/Stop/Pause/Restart on the main thread. The driver
// callback runs on the backend's thread; it posts to the window (cmWindow), runs BufferDone at
// once (cmCallback) or hands the buffer to the notification thread (cmThread). A critical section
// guards the queue count and the stop sequence in every mode.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/MMDSPObj.h"
#include "platform/wave/Wave.h"
#include "rtl/Messages.h"

namespace audio {

constexpr uint32_t MM_WOM_OPEN = 955, MM_WOM_CLOSE = 956, MM_WOM_DONE = 957;
constexpr uint32_t MM_WIM_OPEN = 958, MM_WIM_CLOSE = 959, MM_WIM_DATA = 960;
constexpr uint32_t WM_STOPDEVICE = 32769;
// Ours: a notification that failed off the main thread has the device closed where its window
// lives (closing from the driver's own thread would wait for that very thread).
constexpr uint32_t WM_CLOSEDEVICE = 32770;
// Ours: the platform device failed for good under the open stream (unplugged, sound server gone).
constexpr uint32_t WM_DEVICEFAULT = 32771;

// State bits: exactly one of closed/open; started and paused only with open.
constexpr int wsClosed = 1, wsOpen = 2, wsStarted = 4, wsPaused = 8;

constexpr int kMaxWaveBuffers = 500;

class TMMWaveDevice;

// The notification thread of cmThread: takes buffer-done notifications from the driver and runs
// BufferDone for them.
class TMMWaveNotifyThread : public TMMDSPThread {
 public:
  explicit TMMWaveNotifyThread(TMMWaveDevice* dev);
  void Post(TMMExtWaveHdr* h);
  // Drops the queued notifications (the rewind of the output device).
  void Flush();
  // Ends the loop and waits up to `ms` for the thread to leave it; false on time-out.
  bool Shutdown(int ms);
  rtl::TEvent Ready;  // set when running, and again when the body has ended
  std::atomic<bool> Failed{false};

 protected:
  void Execute() override;

 private:
  TMMWaveDevice* dev_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<TMMExtWaveHdr*> queue_;
  bool quit_ = false;
};

class TMMWaveDevice : public TMMCustomSoundComponent {
 public:
  TMMWaveDevice(rtl::TComponent* AOwner, platform::wave::TWaveDir dir);
  ~TMMWaveDevice() override;

  int State() const { return state_.load(); }
  TMMCBMode GetCallBackMode() const { return CallBackMode_; }
  int GetNumBuffers() const { return NumBuffers_; }
  void SetNumBuffers(int V);
  void SetBufferSize(int32_t V) override;
  TMMDeviceId GetDeviceID() const { return DeviceID_; }
  void SetDeviceID(TMMDeviceId V);
  // Where the device's streams open: the process's backend (nullptr, the default), or one that
  // shares the device among several listeners (the station's capture). Not owned.
  void SetBackend(platform::wave::IWaveBackend* backend) { backend_ = backend; }
  const std::string& ProductName() const { return ProductName_; }
  TMMTimeFormats GetTimeFormat() const { return TimeFormat_; }
  int NumDevs() const { return NumDevs_; }
  int QueuedBuffers() const { return QueuedBuffers_.load(); }
  rtl::HWND WindowHandle() const { return window_ ? window_->Handle() : 0; }
  // Pending buffer-done messages in the window (tests, and the output rewind).
  int PendingBufferMessages() const;

  rtl::TNotifyEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;

  // Runs on the thread that the callback mode selects.
  virtual void BufferDone(TMMExtWaveHdr* h) = 0;
  virtual void Open() = 0;
  // Closes the device; a close always leaves it closed (failures are reported through OnError
  // by CloseImpl and not raised). A close asked for while a stop is pending happens later.
  virtual void Close();
  virtual void Start() = 0;
  virtual void Pause() = 0;
  virtual void Restart() = 0;
  virtual void Stop() = 0;

 protected:
  friend class TMMWaveNotifyThread;
  // The close sequence both directions share; the direction-specific part is CloseStream.
  void CloseImpl();
  // Stops and closes the open stream; returns the backend's close code, and sets `timedOut`
  // when the closed notification did not come.
  virtual int CloseStream(bool& timedOut) = 0;
  // State of the direction to forget once the device is closed.
  virtual void ForgetClosed() {}

  // Fires OnError and raises the device's exception with `msg`.
  [[noreturn]] virtual void Error(const std::string& msg) = 0;
  // "<call>:\n\r" + the backend's text for `code` (or the numbered "unknown error" text).
  std::string CallError(const char* call, int code) const;
  // "<call>:\n\r" + the numbered text.
  static std::string CallRes(const char* call, int id);
  void Check(const char* call, int code) {
    if (code != 0) Error(CallError(call, code));
  }
  void FireError() {
    if (OnError) OnError(this);
  }
  void Fire(const rtl::TNotifyEvent& e) {
    if (e) e(this);
  }

  bool Is(int bits) const { return (state_.load() & bits) != 0; }
  void SetState(int s) { state_.store(s); }
  void AddState(int bits) { state_.fetch_or(bits); }
  void RemoveState(int bits) { state_.fetch_and(~bits); }

  void CheckClosed() const;
  void EnsureWindow();
  // The format check before opening: the query and, for the standard shapes, the caps bits.
  bool FormatSupported(const TWaveFormatEx* f);
  // Opens the platform stream; 0 or the backend's code.
  int OpenStream(const TWaveFormatEx* f);
  // Allocates the headers that do not exist yet, each block holding its data after it.
  void AllocHeaders(int count, uint32_t size);
  void FreeHeaders();
  // Waits up to rounds x 10 ms for `done`; in cmWindow on the main thread it keeps handling
  // the window's messages meanwhile (the buffers come back through them).
  bool WaitFor(int rounds, const std::function<bool()>& done);
  void StartThread();
  void StopThread();
  void SetCallBackModeImpl(TMMCBMode V);
  void SetTimeFormatImpl(TMMTimeFormats V) { TimeFormat_ = V; }
  void ReadCaps(TMMDeviceId id);

  // Driver notification (backend thread).
  virtual void DriverCallback(platform::wave::TWaveMsg msg, platform::wave::TWaveHdr* h) = 0;
  // Window procedure (main thread).
  virtual void WndProc(rtl::TMessage& m) = 0;
  uint32_t DoneMessage() const {
    return dir_ == platform::wave::TWaveDir::In ? MM_WIM_DATA : MM_WOM_DONE;
  }
  // Routes one finished buffer by callback mode.
  void RouteDone(TMMExtWaveHdr* h);
  // Off the main thread: reports the exception being handled and has the device closed.
  void FailedOffMainThread();
  // Driver thread: the stream failed for good; the window handles it (DeviceFailed).
  void PostFault();
  // Main thread: closes the device, which stops it first (so OnStop and OnClose release whoever
  // waits for the end of the sound or the recording), then reports the failure once through
  // OnError and the device's exception.
  void DeviceFailed();

  platform::wave::TWaveDir dir_;
  std::unique_ptr<rtl::TMessageWindow> window_;
  std::unique_ptr<platform::wave::IWaveStream> stream_;
  std::atomic<uintptr_t> handle_{0};  // 0 closed; a fresh number per open, so stale posts miss
  std::atomic<int> state_{wsClosed};
  std::vector<TMMExtWaveHdr*> headers_;
  TMMCBMode CallBackMode_ = cmWindow;
  int NumDevs_ = 0;
  platform::wave::TWaveCaps caps_;
  std::string ProductName_;
  uint32_t DriverVersion_ = 0;
  TMMDeviceId DeviceID_ = 0;
  int NumBuffers_ = 10;
  TMMTimeFormats TimeFormat_ = tfByte;
  std::atomic<int> InHandler_{0};
  std::atomic<bool> StopPending_{false}, ClosePending_{false}, Stopping_{false}, Closing_{false},
      Resetting_{false};
  std::atomic<int> QueuedBuffers_{0};
  std::recursive_mutex cs_;
  TMMWaveNotifyThread* thread_ = nullptr;
  int noDeviceText_;  // 28160 input, 28161 output
  platform::wave::IWaveBackend* backend_ = nullptr;
  platform::wave::IWaveBackend& Backend() const {
    return backend_ ? *backend_ : platform::wave::WaveBackend();
  }
};

}  // namespace audio
