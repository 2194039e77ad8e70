#include "sim/KvrBox.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "rtl/Thread.h"

namespace sim {

using platform::MS_CTS_ON;
using platform::MS_DSR_ON;

KvrBox::KvrBox(std::shared_ptr<platform::SimWire> wire) : wire_(std::move(wire)) {
  wire_->SetPeerLine(MS_CTS_ON, true);
  wire_->SetPeerLine(MS_DSR_ON, true);
  wire_->SetPeer(this);
}

KvrBox::~KvrBox() {
  {
    std::lock_guard lk(mu_);
    stop_clock_ = true;
  }
  clock_cv_.notify_all();
  if (clock_thread_.joinable()) clock_thread_.join();
  wire_->SetPeer(nullptr);
}

std::shared_ptr<KvrBox> KvrBox::StartSimulator(const std::string& wireName) {
  auto wire = std::make_shared<platform::SimWire>();
  platform::SimWire::Register(wireName, wire);
  auto box = std::make_shared<KvrBox>(wire);
  box->StartRealTime();
  return box;
}

void KvrBox::StartRealTime() {
  if (clock_thread_.joinable()) return;
  {
    std::lock_guard lk(mu_);
    real_time_ = true;
    real_base_ = std::chrono::steady_clock::now();
    real_base_us_ = now_us_;
  }
  // Only answers on their way need the clock: the band and the pulses are read at the exact time
  // whenever the host looks. So the thread sleeps until an answer is due (or a command brings
  // one), not on a fixed beat: a box at rest costs the machine nothing.
  //
  // Bytes that follow each other on the line reach the host together when the last of them is
  // in, as a real port delivers them: a UART keeps them in its receive FIFO until the line has
  // been quiet for a few characters, a USB adapter until its latency timer runs out. A pause
  // longer than that (a split frame's gap) delivers what came before it.
  clock_thread_ = std::thread([this] {
    rtl::SetThreadName("kvr-box-clock");
    constexpr int64_t kQuietUs = 10000;  // four characters at 4800 baud
    std::unique_lock lk(mu_);
    while (!stop_clock_) {
      AdvanceLocked(NowUsLocked() - now_us_);
      if (pending_.empty()) {
        clock_cv_.wait(lk);
        continue;
      }
      auto last = pending_.begin();
      for (auto next = std::next(last); next != pending_.end() && next->due - last->due <= kQuietUs;
           ++next)
        last = next;
      clock_cv_.wait_until(lk, real_base_ + std::chrono::microseconds(last->due - real_base_us_));
    }
  });
}

void KvrBox::SetClock(std::function<int64_t()> nowUs) {
  std::lock_guard lk(mu_);
  clock_ = std::move(nowUs);
}

int64_t KvrBox::NowUsLocked() const {
  if (clock_) return clock_() + now_us_;
  if (!real_time_) return now_us_;
  const auto elapsed = std::chrono::steady_clock::now() - real_base_;
  return real_base_us_ + std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
}

void KvrBox::Advance(int64_t ms) {
  AdvanceUs(ms * 1000);
}

void KvrBox::AdvanceUs(int64_t us) {
  std::lock_guard lk(mu_);
  AdvanceLocked(us);
  if (real_time_) clock_cv_.notify_one();  // what is still on its way came nearer
}

void KvrBox::AdvanceLocked(int64_t us) {
  if (us > 0) now_us_ += us;
  if (real_time_) {
    // Someone advanced a real-time box by hand: the real clock goes on from here.
    real_base_ = std::chrono::steady_clock::now();
    real_base_us_ = now_us_;
  }
  auto out = TakeDueLocked();
  if (out.empty()) return;
  // What the host's UART makes of the box's 4800-baud characters.
  const UartReceived got = UartTransfer(out, UartFormat{}, HostFormatLocked());
  if (!got.bytes.empty()) wire_->PeerSend(got.bytes);
  to_host_ += got.bytes.size();
  uint32_t errors =
      (got.framingError ? platform::CE_FRAME : 0) | (got.parityError ? platform::CE_RXPARITY : 0);
  if (errors) wire_->PeerLineError(errors);
}

std::vector<uint8_t> KvrBox::TakeDueLocked() {
  std::vector<uint8_t> out;
  const int64_t now = NowUsLocked();
  auto it = pending_.begin();
  while (it != pending_.end() && it->due <= now) {
    out.insert(out.end(), it->bytes.begin(), it->bytes.end());
    ++it;
  }
  pending_.erase(pending_.begin(), it);
  return out;
}

UartFormat KvrBox::HostFormatLocked() const {
  const platform::SerialDCB d = wire_->HostLineSettings();
  UartFormat f;
  if (d.BaudRate == 0) return f;  // bytes fed in directly, without a port: the box's own format
  f.baud = d.BaudRate;
  f.dataBits = std::clamp<int>(d.ByteSize, 5, 8);
  f.parity = d.Parity;
  f.stopHalves = d.StopBits == 2 ? 4 : d.StopBits == 1 ? 3 : 2;
  return f;
}

int64_t KvrBox::NowMs() const {
  return NowUs() / 1000;
}

int64_t KvrBox::NowUs() const {
  std::lock_guard lk(mu_);
  return NowUsLocked();
}

size_t KvrBox::PendingBytes() const {
  std::lock_guard lk(mu_);
  size_t n = 0;
  for (const auto& p : pending_) n += p.bytes.size();
  return n;
}

int KvrBox::DroppedBytes() const {
  std::lock_guard lk(mu_);
  return dropped_;
}

void KvrBox::SetAnswerDelay(int ms) {
  std::lock_guard lk(mu_);
  delay_ = std::max(ms, 0);
}

void KvrBox::SetSplitFrames(bool split, int gapMs) {
  std::lock_guard lk(mu_);
  split_ = split;
  split_gap_ = std::max(gapMs, 1);
}

void KvrBox::SetLeadingGarbage(std::optional<uint8_t> byte) {
  std::lock_guard lk(mu_);
  garbage_ = byte;
}

void KvrBox::SetSilent(bool silent) {
  std::lock_guard lk(mu_);
  silent_ = silent;
}

void KvrBox::PressKey(uint8_t code) {
  std::lock_guard lk(mu_);
  key_ = code;
}

void KvrBox::SetPTT(bool pressed) {
  std::lock_guard lk(mu_);
  ptt_ = pressed;
  wire_->SetPeerLine(MS_CTS_ON, !pressed);
}

bool KvrBox::PTT() const {
  std::lock_guard lk(mu_);
  return ptt_;
}

int KvrBox::Channel() const {
  std::lock_guard lk(mu_);
  return channel_;
}

void KvrBox::SetChannel(int channel) {
  std::lock_guard lk(mu_);
  channel_ = std::clamp(channel, first_, last_);
}

void KvrBox::SetChannelRange(int first, int last) {
  std::lock_guard lk(mu_);
  first_ = std::clamp(first, 1, 80);
  last_ = std::clamp(last, first_, 80);
  channel_ = std::clamp(channel_, first_, last_);
}

void KvrBox::SetReversed(bool reversed) {
  std::lock_guard lk(mu_);
  reversed_ = reversed;
}

void KvrBox::SetMinPulseMs(double ms) {
  std::lock_guard lk(mu_);
  min_pulse_us_ = std::max(ms, 0.0) * 1000;
}

int KvrBox::ShortPulses() const {
  std::lock_guard lk(mu_);
  return short_pulses_;
}

int KvrBox::UpPulses() const {
  std::lock_guard lk(mu_);
  return up_;
}

int KvrBox::DownPulses() const {
  std::lock_guard lk(mu_);
  return down_;
}

bool KvrBox::Connected() const {
  std::lock_guard lk(mu_);
  return armed_;
}

bool KvrBox::Transmitting() const {
  std::lock_guard lk(mu_);
  return ptt_ || last_command_ == 11 || last_command_ == 15;
}

void KvrBox::SetSignal(int channel, uint8_t strength) {
  std::lock_guard lk(mu_);
  if (channel >= 1 && channel <= 80) steady_[channel] = strength;
}

void KvrBox::AddSignal(int channel, uint8_t strength, int64_t fromMs, int64_t toMs) {
  std::lock_guard lk(mu_);
  if (channel >= 1 && channel <= 80 && toMs > fromMs)
    bursts_.push_back({channel, strength, fromMs, toMs});
}

void KvrBox::ClearBand() {
  std::lock_guard lk(mu_);
  std::fill(std::begin(steady_), std::end(steady_), 0);
  bursts_.clear();
}

uint64_t KvrBox::BytesToHost() const {
  std::lock_guard lk(mu_);
  return to_host_;
}

uint8_t KvrBox::SignalAt(int channel) const {
  std::lock_guard lk(mu_);
  return SignalAtLocked(channel);
}

uint8_t KvrBox::SignalAtLocked(int channel) const {
  if (channel < 1 || channel > 80) return 0;
  uint8_t s = steady_[channel];
  const int64_t nowMs = NowUsLocked() / 1000;
  for (const auto& b : bursts_)
    if (b.channel == channel && nowMs >= b.from && nowMs < b.to) s = std::max(s, b.strength);
  return s;
}

std::vector<uint8_t> KvrBox::Commands() const {
  std::lock_guard lk(mu_);
  return commands_;
}

void KvrBox::ClearCommands() {
  std::lock_guard lk(mu_);
  commands_.clear();
}

uint8_t KvrBox::LastCommand() const {
  std::lock_guard lk(mu_);
  return last_command_;
}

void KvrBox::SetCommandLog(CommandLog log) {
  std::lock_guard lk(mu_);
  log_ = std::move(log);
}

KvrBox::CommandLog KvrBox::FileCommandLog(const std::string& path) {
  auto file = std::shared_ptr<std::FILE>(std::fopen(path.c_str(), "a"), [](std::FILE* f) {
    if (f) std::fclose(f);
  });
  if (!file) return {};
  return [file](uint8_t command, std::chrono::steady_clock::time_point at) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    std::fprintf(file.get(), "%lld %d\n", static_cast<long long>(ms), command);
    std::fflush(file.get());
  };
}

void KvrBox::HostOpened() {
  std::lock_guard lk(mu_);
  armed_ = false;
  dtr_ = rts_ = false;
  pending_.clear();
  // The last command stays in force: the box does not know that a new session began.
  wire_->SetPeerLine(MS_CTS_ON, !ptt_);
}

void KvrBox::HostClosed() {
  std::lock_guard lk(mu_);
  armed_ = false;
  pending_.clear();
  // Nothing else: a box left transmitting goes on transmitting.
}

void KvrBox::HostBytes(const uint8_t* data, size_t count) {
  std::lock_guard lk(mu_);
  const UartFormat host = HostFormatLocked(), box{};
  // Each byte was written on its own (the station writes one per tick); it reaches the box when
  // its last bit has, and the box answers after its delay, one character time per byte.
  int64_t t = NowUsLocked();
  for (size_t i = 0; i < count; ++i) {
    t += static_cast<int64_t>(host.CharUs());
    const UartReceived got = UartTransfer({data[i]}, host, box);
    if (got.framingError || got.parityError || got.bytes.size() != 1) {
      dropped_ += got.bytes.empty() ? 1 : static_cast<int>(got.bytes.size());
      continue;
    }
    const uint8_t command = got.bytes[0];
    if (log_ && (commands_.empty() || command != last_command_))
      log_(command, std::chrono::steady_clock::now());
    commands_.push_back(command);
    last_command_ = command;
    if (silent_) continue;
    bool tx = ptt_ || last_command_ == 11 || last_command_ == 15;
    uint8_t s = tx ? 0 : SignalAtLocked(channel_);
    std::vector<uint8_t> frame;
    if (garbage_) frame.push_back(*garbage_);
    frame.push_back(kFrameSync);
    frame.push_back(s);
    frame.push_back(key_);
    int64_t due = t + delay_ * int64_t{1000};
    const int64_t charUs = static_cast<int64_t>(box.CharUs());
    for (size_t k = 0; k < frame.size(); ++k) {
      due += charUs;
      // A split frame pauses between the sync byte and the rest.
      if (split_ && k > 0 && frame[k - 1] == kFrameSync && (!garbage_ || k > 1))
        due += split_gap_ * int64_t{1000};
      pending_.push_back({due, {frame[k]}});
    }
  }
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Pending& a, const Pending& b) { return a.due < b.due; });
  if (real_time_) clock_cv_.notify_one();  // an answer is on its way: the clock sleeps till then
}

void KvrBox::HostLines(bool dtr, bool rts) {
  std::lock_guard lk(mu_);
  const int64_t now = NowUsLocked();
  if (rts && !rts_) rts_since_ = now;
  if (dtr && !dtr_) dtr_since_ = now;
  if (!rts && rts_) PulseLocked(true, now - rts_since_);
  if (!dtr && dtr_) PulseLocked(false, now - dtr_since_);
  if (dtr && rts && !(dtr_ && rts_)) ++overlaps_;
  dtr_ = dtr;
  rts_ = rts;
}

std::vector<int64_t> KvrBox::PulseLengths() const {
  std::lock_guard lk(mu_);
  return pulse_lengths_;
}

int KvrBox::Overlaps() const {
  std::lock_guard lk(mu_);
  return overlaps_;
}

void KvrBox::PulseLocked(bool up, int64_t lengthUs) {
  pulse_lengths_.push_back(lengthUs);
  if (static_cast<double>(lengthUs) < min_pulse_us_) {
    ++short_pulses_;
    return;
  }
  if (up && !armed_) {
    armed_ = true;
    return;
  }
  if (up) {
    ++up_;
    StepLocked(reversed_ ? -1 : +1);
  } else {
    ++down_;
    StepLocked(reversed_ ? +1 : -1);
  }
}

void KvrBox::StepLocked(int direction) {
  channel_ += direction;
  if (channel_ > last_) channel_ = first_;
  if (channel_ < first_) channel_ = last_;
}

}  // namespace sim
