// TMMConnector: ends an analysis chain. It keeps a copy of the last buffer that reached it and
// raises OnTrigger on the main thread, about once per millisecond while the chain runs, so a
// handler can read whatever analysis results it needs at that moment.
//
// The automatic loop is shared by every connector of the process: one hidden message window
// carries a self-renewing loop message. Each cycle lets the application handle its messages
// (5001 - the highest Speed times), updates every running connector, pauses one millisecond and
// posts itself again. With n connectors running, n loop messages circulate. A cycle that comes
// late (a busy machine) triggers once for each millisecond it stands for, so the triggers keep
// counting milliseconds of the capture's time.
//
// The display outlets of the component library (level bars, scopes, spectra) have no place in
// this system; the connector keeps the captured buffer and the new-data marks they would read,
// but draws nothing.
//
// Threads: creation, properties, life-cycle calls and every OnTrigger of a RealTime connector on
// the main thread. Buffers may arrive on any thread (captured under the connector's lock).
// Trigger() may be called from any thread: off the main thread it posts a request. The pause
// timer runs on the timer seam's context and only touches atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/MMACMCvt.h"
#include "audio/MMDSPObj.h"
#include "platform/MMTimer.h"
#include "rtl/Messages.h"

namespace analysis {

RTL_DECLARE_EXCEPTION(EMMConnectorError, rtl::Exception);

enum TMMTriggerMode { tmNone, tmUpFlank, tmDownFlank };

// Private messages of the shared hidden window; the long parameter names the connector by its
// serial number, never by address, so a message can never reach a destroyed connector.
constexpr uint32_t MM_CONNECTOR_START = 45557;
constexpr uint32_t MM_CONNECTOR_TRIGGER = 45558;
constexpr uint32_t MM_CONNECTOR_LOOP = 45559;

class TMMConnector : public audio::TMMDSPComponent {
 public:
  explicit TMMConnector(rtl::TComponent* AOwner = nullptr);
  ~TMMConnector() override;

  rtl::TNotifyEvent OnTrigger;

  bool GetEnabled() const { return Enabled_; }
  void SetEnabled(bool V);
  bool AutoConvert = true;
  bool GetAutoTrigger() const { return AutoTrigger_; }
  void SetAutoTrigger(bool V);
  // Capture the buffer the output device plays now (lpPlaying) instead of the one handed on.
  bool Synchronize = true;
  int GetSpeed() const { return Speed_; }
  void SetSpeed(int V);  // clamped to 1 .. 5000
  TMMTriggerMode TriggerMode = tmNone;
  int TriggerLevel = 0;
  bool RefreshOnStop = true;
  bool GetRealTime() const { return RealTime_; }
  // Raises EMMConnectorError "Change to property while device was open" while open.
  void SetRealTime(bool V);
  // One setting for every connector.
  static bool GetEnterIdle();
  static void SetEnterIdle(bool V);

  // A manual update (with AutoTrigger off). Any thread.
  void Trigger();

  void SetPWaveFormat(audio::PWaveFormatEx Format) override;
  void Started() override;
  void Paused() override;
  void Restarted() override;
  void Stopped() override;
  void Reset() override;
  void BufferReady(audio::PWaveHdr lpWaveHdr) override;
  void BufferLoad(audio::PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

  // State, for the station's diagnostics and for tests.
  bool IsConnectorOpen() const { return Open_; }
  bool Running() const { return Running_; }
  bool IsPaused() const { return Paused_; }
  int WaitingTriggers() const { return Waiting_; }
  // Bytes of the captured buffer and a copy of them.
  int CapturedBytes() const;
  std::vector<uint8_t> CapturedData() const;
  // Clock counter (platform::Clock) of the last captured buffer or pause tick.
  int64_t TimeStamp() const { return TimeStamp_; }
  // Counts new-data marks: captured buffers and, while paused, pause-timer ticks.
  int64_t DataMarks() const { return Marks_; }

  // Shared state of all connectors, for tests and diagnostics.
  static int LiveConnectors();
  static int RunningLoops();
  static int CirculatingLoops();
  static int HighestSpeed();

  // The pause between two loop cycles; the default sleeps 1 ms. Tests replace it with a step of
  // the manual clock, so the loop runs without real waiting. Main thread.
  static std::function<void()> CycleSleep;

 private:
  friend struct ConnectorShared;
  void Update();
  int64_t DueCycles();  // the triggers this loop cycle stands for
  void Capture(const audio::TMMExtWaveHdr* h);
  void LeaveLoop();
  void PostStart();
  void KillPauseTimer();
  void Silence();
  bool Updatable() const;

  uint64_t Serial_ = 0;
  std::atomic<bool> Enabled_{true};
  std::atomic<bool> AutoTrigger_{true};
  std::atomic<bool> RealTime_{true};
  int Speed_ = 5000;
  // The automatic loop's count: the clock at its start (microseconds) and the triggers raised.
  static constexpr int64_t kMaxCatchUp = 1000;
  int64_t CycleOriginUs_ = 0;
  int64_t Cycles_ = 0;

  std::atomic<bool> Open_{false};
  std::atomic<bool> Running_{false};
  std::atomic<bool> Paused_{false};
  std::atomic<int> Waiting_{0};
  std::atomic<int64_t> TimeStamp_{0};
  std::atomic<int64_t> Marks_{0};

  mutable std::mutex Lock_;  // the captured buffer, its byte count, the converter
  std::vector<uint8_t> Captured_;
  int CapturedBytes_ = 0;
  bool HaveBuffer_ = false;
  bool Is8Bit_ = false;
  std::unique_ptr<audio::TPCMConvertStream> Converter_;
  std::vector<uint8_t> Converted_;

  std::shared_ptr<platform::IMMTimer> TimerBackend_;
  uint32_t PauseTimer_ = 0;
  bool ResolutionHeld_ = false;
};

}  // namespace analysis
