#include "analysis/MMConect.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/ClockUnits.h"
#include "rtl/Forms.h"

namespace analysis {

using audio::PWaveHdr;
using audio::TWaveFormatEx;

// Everything the connectors share. Touched on the main thread only, except the window handle,
// which a manual Trigger from another thread reads to post its request.
struct ConnectorShared {
  std::vector<TMMConnector*> list;
  std::unique_ptr<rtl::TMessageWindow> window;
  std::atomic<rtl::HWND> hwnd{0};
  int running = 0;  // connectors whose automatic loop runs
  // Loop messages queued or being handled. A stop followed by a start before the old loop
  // message came round would otherwise put a second message into circulation for the same
  // connector, and every such restart would add one more; the loop keeps exactly one message per
  // running connector instead.
  int circulating = 0;
  int maxSpeed = 0;
  bool enterIdle = false;
  bool idleInstalled = false;
  uint64_t nextSerial = 1;

  TMMConnector* Find(uint64_t serial) const {
    for (TMMConnector* c : list)
      if (c->Serial_ == serial) return c;
    return nullptr;
  }
  void RecomputeSpeed() {
    maxSpeed = 0;
    for (TMMConnector* c : list) maxSpeed = std::max(maxSpeed, c->Speed_);
  }
  void PostLoop() {
    ++circulating;
    if (!window || !window->Post(MM_CONNECTOR_LOOP)) --circulating;
  }
  void InstallIdle() {
    auto& app = rtl::Application();
    if (enterIdle && !app.OnIdle && !idleInstalled) {
      // Keeps the application's loop from waiting for messages while the loop runs.
      app.OnIdle = [](rtl::TObject*, bool& Done) { Done = false; };
      idleInstalled = true;
    }
  }
  void RemoveIdle() {
    if (!idleInstalled) return;
    rtl::Application().OnIdle = nullptr;
    idleInstalled = false;
  }
  void WndProc(rtl::TMessage& m);
  void LoopCycle();
};

namespace {
ConnectorShared& S() {
  static ConnectorShared s;
  return s;
}
int64_t NowUs() {
  return platform::CounterIn(platform::Clock(), 1000000);
}
}  // namespace

std::function<void()> TMMConnector::CycleSleep = [] {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
};

void ConnectorShared::WndProc(rtl::TMessage& m) {
  switch (m.Msg) {
    case MM_CONNECTOR_START: {
      TMMConnector* c = Find(static_cast<uint64_t>(m.LParam));
      if (!c || !c->GetInput() || !c->Open_ || c->Running_) return;
      c->Running_ = true;
      c->Waiting_ = 0;
      c->CycleOriginUs_ = NowUs();
      c->Cycles_ = 0;
      if (c->AutoTrigger_) {
        ++running;
        if (circulating < running) PostLoop();
      }
      return;
    }
    case MM_CONNECTOR_TRIGGER: {
      TMMConnector* c = Find(static_cast<uint64_t>(m.LParam));
      if (!c) return;
      int w = c->Waiting_.load();
      while (w > 0 && !c->Waiting_.compare_exchange_weak(w, w - 1)) {
      }
      if (c->GetInput() && c->Enabled_ && c->Running_) c->Update();
      return;
    }
    case MM_CONNECTOR_LOOP:
      LoopCycle();
      return;
    default:
      return;
  }
}

void ConnectorShared::LoopCycle() {
  auto& app = rtl::Application();
  const int passes = 5001 - std::clamp(maxSpeed, 1, 5000);
  for (int i = 0; i < passes; ++i) app.ProcessMessages();
  if (running > 0 && !app.Terminated()) {
    // By serial number: a handler may stop or even destroy connectors during the cycle.
    std::vector<uint64_t> serials;
    for (TMMConnector* c : list) serials.push_back(c->Serial_);
    for (uint64_t s : serials) {
      TMMConnector* c = Find(s);
      if (!c || !c->AutoTrigger_ || !c->Enabled_ || !c->Running_) continue;
      try {
        // Found again before each trigger: a handler may stop or destroy its connector, and the
        // remaining triggers of the cycle then lapse.
        for (int64_t due = c->DueCycles(); due > 0; --due) {
          c = Find(s);
          if (!c || !c->AutoTrigger_ || !c->Enabled_ || !c->Running_) break;
          c->Update();
        }
      } catch (...) {
        // Shown once; this loop message is not renewed, so the triggering stops until the next
        // start message.
        circulating = std::max(circulating - 1, 0);
        app.HandleException(c);
        return;
      }
    }
  }
  if (running > 0 && !app.Terminated() && !list.empty() && circulating <= running) {
    if (TMMConnector::CycleSleep) TMMConnector::CycleSleep();
    if (enterIdle) app.ProcessMessages();
    if (window && window->Post(MM_CONNECTOR_LOOP)) return;
  }
  circulating = std::max(circulating - 1, 0);
}

// ---------------------------------------------------------------------------------------------

TMMConnector::TMMConnector(rtl::TComponent* AOwner) : TMMDSPComponent(AOwner) {
  PublishesInput_ = true;
  PublishesOutput_ = true;
  auto& s = S();
  Serial_ = s.nextSerial++;
  // The connector holds the timer resolution at 1 ms for its whole life, on the backend it
  // asked, so that it gives the request back to the same one.
  TimerBackend_ = platform::MMTimerPtr();
  TimerBackend_->BeginPeriod(1);
  ResolutionHeld_ = true;
  if (s.list.empty()) {
    s.window = std::make_unique<rtl::TMessageWindow>([](rtl::TMessage& m) { S().WndProc(m); });
    s.hwnd = s.window->Handle();
    s.running = 0;
    s.circulating = 0;
  }
  s.list.push_back(this);
  s.RecomputeSpeed();
}

TMMConnector::~TMMConnector() {
  Stopped();
  KillPauseTimer();
  if (ResolutionHeld_) TimerBackend_->EndPeriod(1);
  auto& s = S();
  s.list.erase(std::remove(s.list.begin(), s.list.end(), this), s.list.end());
  s.RecomputeSpeed();
  if (s.list.empty()) {
    s.hwnd = 0;
    s.window.reset();  // drops every pending message of the window
    s.running = 0;
    s.circulating = 0;
    s.RemoveIdle();
  }
}

bool TMMConnector::GetEnterIdle() {
  return S().enterIdle;
}
void TMMConnector::SetEnterIdle(bool V) {
  S().enterIdle = V;
}
int TMMConnector::LiveConnectors() {
  return static_cast<int>(S().list.size());
}
int TMMConnector::RunningLoops() {
  return S().running;
}
int TMMConnector::CirculatingLoops() {
  return S().circulating;
}
int TMMConnector::HighestSpeed() {
  return S().maxSpeed;
}

void TMMConnector::LeaveLoop() {
  if (!Running_) return;
  Running_ = false;
  auto& s = S();
  if (AutoTrigger_) {
    s.running = std::max(s.running - 1, 0);
    if (s.running == 0) s.RemoveIdle();
  }
}

void TMMConnector::PostStart() {
  auto& s = S();
  if (AutoTrigger_) s.InstallIdle();
  if (s.window) s.window->Post(MM_CONNECTOR_START, 0, static_cast<intptr_t>(Serial_));
}

void TMMConnector::SetEnabled(bool V) {
  if (V == Enabled_) return;
  if (!V) {
    LeaveLoop();
    Enabled_ = false;
    return;
  }
  Enabled_ = true;
  if (Open_ && RealTime_) PostStart();
}

void TMMConnector::SetAutoTrigger(bool V) {
  if (V == AutoTrigger_) return;
  // Leave the loop under the old setting, so the count of running loops stays true; a connector
  // switched to manual triggering is started again without a loop, so that Trigger works at once.
  LeaveLoop();
  AutoTrigger_ = V;
  if (Open_ && RealTime_ && Enabled_) PostStart();
}

void TMMConnector::SetSpeed(int V) {
  Speed_ = std::clamp(V, 1, 5000);
  S().RecomputeSpeed();
}

void TMMConnector::SetRealTime(bool V) {
  if (V == RealTime_) return;
  if (Open_) throw EMMConnectorError("Change to property while device was open");
  RealTime_ = V;
}

void TMMConnector::Trigger() {
  if (!Enabled_ || AutoTrigger_ || Waiting_ != 0) return;
  if (!(Running_ || (!RealTime_ && Open_))) return;
  if (rtl::IsMainThread()) {
    Update();
    return;
  }
  // At most one request outstanding: the count is raised before the post and lowered when the
  // request is handled.
  int expected = 0;
  if (!Waiting_.compare_exchange_strong(expected, 1)) return;
  if (!rtl::PostMessage(S().hwnd.load(), MM_CONNECTOR_TRIGGER, 0, static_cast<intptr_t>(Serial_)))
    Waiting_ = 0;
}

bool TMMConnector::Updatable() const {
  return Enabled_ && (Running_ || (!RealTime_ && Open_));
}

int64_t TMMConnector::DueCycles() {
  // A cycle stands for the milliseconds since the loop's start that no cycle has stood for yet,
  // at least one: on a busy machine a cycle that comes late raises the triggers it stands for,
  // so that handlers counting triggers as milliseconds (pauses, tone lengths) count the audio's
  // time and not the machine's load. At most one second at once: after a longer stall (a
  // suspended machine) the count starts afresh.
  const int64_t elapsed = (NowUs() - CycleOriginUs_) / 1000;
  int64_t due = std::max<int64_t>(1, elapsed + 1 - Cycles_);
  if (due > kMaxCatchUp) {
    due = 1;
    Cycles_ = elapsed;
  }
  Cycles_ += due;
  return due;
}

void TMMConnector::Update() {
  if (!Updatable()) return;
  {
    std::lock_guard<std::mutex> lock(Lock_);
    if (!HaveBuffer_) return;
    // The display outlets would be drawn here from the captured buffer.
  }
  if (OnTrigger) OnTrigger(this);
}

void TMMConnector::SetPWaveFormat(audio::PWaveFormatEx Format) {
  TMMDSPComponent::SetPWaveFormat(Format);
}

void TMMConnector::Started() {
  TMMDSPComponent::Started();
  if (IsDesigning() || !GetInput() || Open_) return;
  const TWaveFormatEx* f = GetPWaveFormat();
  if (!f) return;
  const size_t size = static_cast<size_t>(std::max(GetBufferSize(), 1));
  std::unique_ptr<audio::TPCMConvertStream> conv;
  bool eight = f->wBitsPerSample == 8;
  if (f->wFormatTag != audio::WAVE_FORMAT_PCM) {
    if (!AutoConvert) return;
    audio::TWaveFormatPtr pcm = audio::TPCMConvertStream::Suggest(f);
    if (!pcm) return;
    conv = audio::TPCMConvertStream::Open(f, pcm.get());
    if (!conv) return;
    eight = pcm->wBitsPerSample == 8;
  }
  {
    std::lock_guard<std::mutex> lock(Lock_);
    Converter_ = std::move(conv);
    Is8Bit_ = eight;
    Captured_.assign(size, eight ? 128 : 0);
    CapturedBytes_ = 0;
    HaveBuffer_ = true;
  }
  Marks_ = 0;
  Waiting_ = 0;
  TimeStamp_ = platform::Clock().Counter();
  S().RecomputeSpeed();
  Open_ = true;
  if (Enabled_ && RealTime_) PostStart();
}

void TMMConnector::Silence() {
  std::lock_guard<std::mutex> lock(Lock_);
  std::fill(Captured_.begin(), Captured_.end(), Is8Bit_ ? 128 : 0);
}

void TMMConnector::Paused() {
  TMMDSPComponent::Paused();
  if (!Open_ || Paused_) return;
  Paused_ = true;
  Silence();
  if (!RealTime_) return;
  const TWaveFormatEx* f = GetPWaveFormat();
  const int64_t bps = f ? f->nAvgBytesPerSec : 0;
  // One buffer's duration; a format without a byte rate gets the shortest period.
  const int64_t period = bps > 0 ? std::max<int64_t>(int64_t{GetBufferSize()} * 1000 / bps, 1) : 1;
  KillPauseTimer();
  PauseTimer_ = TimerBackend_->SetEvent(
      static_cast<uint32_t>(period), 1,
      [this](uint32_t) {
        TimeStamp_ = platform::Clock().Counter();
        ++Marks_;
      },
      true);
  if (PauseTimer_ == 0) throw rtl::EOutOfResources("Nicht genügend Timer verfügbar");
}

void TMMConnector::KillPauseTimer() {
  if (PauseTimer_ == 0) return;
  TimerBackend_->KillEvent(PauseTimer_);
  PauseTimer_ = 0;
}

void TMMConnector::Restarted() {
  TMMDSPComponent::Restarted();
  Paused_ = false;
  if (RealTime_) KillPauseTimer();
}

void TMMConnector::Stopped() {
  Open_ = false;
  LeaveLoop();
  Paused_ = false;
  KillPauseTimer();
  {
    std::lock_guard<std::mutex> lock(Lock_);
    Converter_.reset();
    Captured_.clear();
    Captured_.shrink_to_fit();
    Converted_.clear();
    CapturedBytes_ = 0;
    HaveBuffer_ = false;
  }
  TMMDSPComponent::Stopped();
}

void TMMConnector::Reset() {
  TMMDSPComponent::Reset();
  Silence();
}

void TMMConnector::Capture(const audio::TMMExtWaveHdr* h) {
  if (!h || !h->lpData || !Open_ || Paused_ || !GetInput() || !Enabled_) return;
  {
    std::lock_guard<std::mutex> lock(Lock_);
    if (!HaveBuffer_) return;
    TimeStamp_ = platform::Clock().Counter();
    const size_t n = std::min<size_t>(std::min(h->dwBytesRecorded, h->dwBufferLength),
                                      Converter_ ? SIZE_MAX : Captured_.size());
    if (Converter_) {
      Converted_.clear();
      Converter_->Convert(h->lpData, n, Converted_);
      if (Converted_.empty()) return;
      if (Converted_.size() > Captured_.size()) Captured_.resize(Converted_.size());
      std::memcpy(Captured_.data(), Converted_.data(), Converted_.size());
      CapturedBytes_ = static_cast<int>(Converted_.size());
    } else {
      if (n == 0) return;
      std::memcpy(Captured_.data(), h->lpData, n);
      CapturedBytes_ = static_cast<int>(n);
    }
    ++Marks_;
  }
  if (!RealTime_ && AutoTrigger_) Update();
}

void TMMConnector::BufferReady(PWaveHdr lpWaveHdr) {
  const audio::TMMExtWaveHdr* h = lpWaveHdr;
  if (Synchronize && h && h->lpPlaying && h->dwBytesRecorded != 0) h = h->lpPlaying;
  Capture(h);
  TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMConnector::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
  TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
  Capture(lpWaveHdr);
}

int TMMConnector::CapturedBytes() const {
  std::lock_guard<std::mutex> lock(Lock_);
  return CapturedBytes_;
}

std::vector<uint8_t> TMMConnector::CapturedData() const {
  std::lock_guard<std::mutex> lock(Lock_);
  return std::vector<uint8_t>(
      Captured_.begin(), Captured_.begin() + std::min<size_t>(CapturedBytes_, Captured_.size()));
}

}  // namespace analysis
