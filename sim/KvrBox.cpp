#include "sim/KvrBox.h"

#include <algorithm>
#include <chrono>

namespace sim {

using platform::MS_CTS_ON;
using platform::MS_DSR_ON;

KvrBox::KvrBox(std::shared_ptr<platform::SimWire> wire) : wire_(std::move(wire)) {
  wire_->SetPeerLine(MS_CTS_ON, true);
  wire_->SetPeerLine(MS_DSR_ON, true);
  wire_->SetPeer(this);
}

KvrBox::~KvrBox() {
  stop_clock_ = true;
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
  clock_thread_ = std::thread([this] {
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    while (!stop_clock_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      auto now = clock::now();
      Advance(std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
      last = now;
    }
  });
}

void KvrBox::Advance(int64_t ms) {
  std::vector<uint8_t> out;
  {
    std::lock_guard lk(mu_);
    if (ms > 0) now_ += ms;
    out = TakeDueLocked();
    if (!out.empty()) wire_->PeerSend(out);
  }
}

std::vector<uint8_t> KvrBox::TakeDueLocked() {
  std::vector<uint8_t> out;
  auto it = pending_.begin();
  while (it != pending_.end() && it->due <= now_) {
    out.insert(out.end(), it->bytes.begin(), it->bytes.end());
    ++it;
  }
  pending_.erase(pending_.begin(), it);
  return out;
}

int64_t KvrBox::NowMs() const {
  std::lock_guard lk(mu_);
  return now_;
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

uint8_t KvrBox::SignalAt(int channel) const {
  std::lock_guard lk(mu_);
  return SignalAtLocked(channel);
}

uint8_t KvrBox::SignalAtLocked(int channel) const {
  if (channel < 1 || channel > 80) return 0;
  uint8_t s = steady_[channel];
  for (const auto& b : bursts_)
    if (b.channel == channel && now_ >= b.from && now_ < b.to) s = std::max(s, b.strength);
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

void KvrBox::HostOpened() {
  std::lock_guard lk(mu_);
  armed_ = false;
  dtr_ = rts_ = false;
  pending_.clear();
  last_command_ = 9;
  wire_->SetPeerLine(MS_CTS_ON, !ptt_);
}

void KvrBox::HostClosed() {
  std::lock_guard lk(mu_);
  armed_ = false;
  pending_.clear();
  // A closed port sends nothing: the radio falls back to receive.
  last_command_ = 9;
}

void KvrBox::HostBytes(const uint8_t* data, size_t count) {
  std::lock_guard lk(mu_);
  for (size_t i = 0; i < count; ++i) {
    commands_.push_back(data[i]);
    last_command_ = data[i];
    if (silent_) continue;
    bool tx = ptt_ || last_command_ == 11 || last_command_ == 15;
    uint8_t s = tx ? 0 : SignalAtLocked(channel_);
    std::vector<uint8_t> frame;
    if (garbage_) frame.push_back(*garbage_);
    frame.push_back(kFrameSync);
    if (split_) {
      pending_.push_back({now_ + delay_, frame});
      pending_.push_back({now_ + delay_ + split_gap_, {s, key_}});
    } else {
      frame.push_back(s);
      frame.push_back(key_);
      pending_.push_back({now_ + delay_, frame});
    }
  }
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Pending& a, const Pending& b) { return a.due < b.due; });
  auto out = TakeDueLocked();
  if (!out.empty()) wire_->PeerSend(out);
}

void KvrBox::HostLines(bool dtr, bool rts) {
  std::lock_guard lk(mu_);
  if (rts && !rts_) {
    if (!armed_) {
      armed_ = true;
    } else {
      ++up_;
      StepLocked(reversed_ ? -1 : +1);
    }
  }
  if (dtr && !dtr_) {
    ++down_;
    StepLocked(reversed_ ? +1 : -1);
  }
  dtr_ = dtr;
  rts_ = rts;
}

void KvrBox::StepLocked(int direction) {
  channel_ += direction;
  if (channel_ > last_) channel_ = first_;
  if (channel_ < first_) channel_ = last_;
}

}  // namespace sim
