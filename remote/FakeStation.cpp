#include "remote/FakeStation.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "remote/Audio.h"

namespace remote {

namespace {
std::string FrequencyOf(int channel) {
  // The German 80-channel plan is near enough for a fake: 26.565 + 10 kHz steps.
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%03d ", 26 + (565 + 10 * (channel - 1)) / 1000,
                (565 + 10 * (channel - 1)) % 1000);
  return buf;
}
}  // namespace

FakeStation::FakeStation() {
  s_.linked = true;
  s_.link = "COM1";
  s_.lm = "2345";
  s_.squelch = 30;
  s_.freeLevel = 20;
  s_.band.assign(40, 0);
  SetChannel(9);
}

void FakeStation::Notify() {
  if (changed_) changed_();
}

void FakeStation::SetChannel(int channel) {
  s_.channel = channel;
  s_.frequency = FrequencyOf(channel);
  const int i = channel - s_.firstChannel;
  s_.sValue = i >= 0 && i < static_cast<int>(s_.band.size()) ? s_.band[i] : 0;
  s_.squelchOpen = s_.sValue >= s_.squelch;
  Notify();
}

void FakeStation::SetSValue(int channel, int value) {
  const int i = channel - s_.firstChannel;
  if (i >= 0 && i < static_cast<int>(s_.band.size())) s_.band[i] = value;
  SetChannel(s_.channel);
}

void FakeStation::SetLinked(bool linked) {
  s_.linked = linked;
  s_.link = linked ? "COM1" : "Nicht verbunden";
  if (!linked) holders_.clear();
  UpdateTx();
  Notify();
}

Result FakeStation::Up() {
  if (s_.tx) return "Während des Sendens wird nicht umgeschaltet.";
  ++upCount;
  SetChannel(s_.channel >= s_.lastChannel ? s_.firstChannel : s_.channel + 1);
  return {};
}

Result FakeStation::Down() {
  if (s_.tx) return "Während des Sendens wird nicht umgeschaltet.";
  ++downCount;
  SetChannel(s_.channel <= s_.firstChannel ? s_.lastChannel : s_.channel - 1);
  return {};
}

Result FakeStation::SetChannelMode(int last) {
  s_.firstChannel = last == 15 ? 4 : 1;
  s_.lastChannel = last;
  s_.band.assign(static_cast<size_t>(s_.lastChannel - s_.firstChannel + 1), 0);
  SetChannel(std::clamp(s_.channel, s_.firstChannel, s_.lastChannel));
  return {};
}

Result FakeStation::SetScan(int mode) {
  if (s_.tx) return "Während des Sendens wird nicht gescannt.";
  s_.scanMode = s_.scanMode == mode ? 0 : mode;
  Notify();
  return {};
}

Result FakeStation::ScanAuto() {
  s_.autoScan = !s_.autoScan;
  Notify();
  return {};
}

Result FakeStation::Skip() {
  if (s_.scanMode == 0) return "Der Scanner läuft nicht.";
  return Up();
}

Result FakeStation::SetSquelch(int level) {
  s_.squelch = level;
  SetChannel(s_.channel);
  return {};
}

Result FakeStation::SetFreeLevel(int level) {
  s_.freeLevel = level;
  Notify();
  return {};
}

Result FakeStation::ArmCall(bool on) {
  s_.callArmed = on;
  s_.callLamp = on ? "green" : "off";
  Notify();
  return {};
}

Result FakeStation::ArmMailbox(bool on) {
  s_.mailboxArmed = on;
  Notify();
  return {};
}

Result FakeStation::SendCall(int session, const std::string& digits) {
  if (s_.calling) return "Ein Ruf wird schon gesendet.";
  std::string why;
  if (!RemoteKey(kCallHold, "Ruf " + std::to_string(session), &why)) return why;
  calls.push_back(digits);
  s_.calling = true;
  Notify();
  return {};
}

void FakeStation::EndCall() {
  if (!s_.calling) return;
  s_.calling = false;
  RemoteRelease(kCallHold);
  Notify();
}

Result FakeStation::Connect(const std::string& port) {
  s_.linked = true;
  s_.link = port;
  Notify();
  return {};
}

Result FakeStation::Disconnect() {
  s_.calling = false;
  SetLinked(false);
  return {};
}

std::string FakeStation::RecordingPath(const std::string& name) const {
  for (size_t i = 0; i < recordings_.size(); ++i)
    if (recordings_[i].name == name) return paths_[i];
  return {};
}

Result FakeStation::PlayRecording(const std::string& name) {
  if (RecordingPath(name).empty()) return "Keine solche Aufnahme.";
  lastPlayed = name;
  return {};
}

std::vector<std::string> FakeStation::RecentLog(int count) const {
  const size_t n = std::min(log_.size(), static_cast<size_t>(std::max(count, 0)));
  return {log_.end() - static_cast<std::ptrdiff_t>(n), log_.end()};
}

void FakeStation::AddRecording(const Recording& r, const std::string& path) {
  recordings_.push_back(r);
  paths_.push_back(path);
}

bool FakeStation::RemoteKey(int session, const std::string& who, std::string* why) {
  if (s_.scanMode != 0) {
    if (why) *why = "Während des Scannens wird nicht gesendet.";
    return false;
  }
  if (!s_.linked) {
    if (why) *why = "Die Station ist nicht mit dem Funkgerät verbunden.";
    return false;
  }
  holders_.insert(session);
  s_.txBy = who;
  UpdateTx();
  return true;
}

void FakeStation::RemoteRelease(int session) {
  if (!holders_.erase(session)) return;
  UpdateTx();
}

void FakeStation::RemoteVoice(int session, const int16_t* pcm, size_t n) {
  if (!holders_.count(session)) {
    voiceDropped += static_cast<int64_t>(n);
    return;
  }
  voice.insert(voice.end(), pcm, pcm + n);
  for (size_t i = 0; i < n; ++i) {
    if (std::abs(pcm[i]) <= 1600) {
      ++quietSamples_;
      continue;
    }
    if (quietSamples_ >= kCaptureRate / 10 && OnVoiceOnset) OnVoiceOnset();
    quietSamples_ = 0;
  }
}

void FakeStation::RemoteVoiceCut(int session) {
  if (holders_.count(session)) ++voiceCuts;
}

void FakeStation::DropRemote() {
  holders_.clear();
  UpdateTx();
}

void FakeStation::UpdateTx() {
  const bool tx = !holders_.empty();
  s_.remoteHolder = tx ? *holders_.begin() : 0;
  if (!tx) s_.txBy.clear();
  const bool changed = tx != s_.tx;
  s_.tx = tx;
  if (changed && OnKeying) OnKeying(tx);
  Notify();
}

void FakeStation::SetAudioSink(AudioSink sink) {
  sink_ = std::move(sink);
  rxStartUs_ = -1;
}

void FakeStation::ReceiveDtmf(const std::string& digits) {
  static const char kKeys[] = "123A456B789C*0#D";
  static const double kLow[] = {697, 770, 852, 941}, kHigh[] = {1209, 1336, 1477, 1633};
  const int tone = kCaptureRate * 15 / 100;
  rx_.clear();
  for (char c : digits) {
    const char* at = std::strchr(kKeys, std::toupper(static_cast<unsigned char>(c)));
    if (!at || !c) continue;
    const int k = static_cast<int>(at - kKeys);
    for (int i = 0; i < tone; ++i) {
      const double t = double(i) / kCaptureRate;
      rx_.push_back(static_cast<int16_t>(
          6000 * (std::sin(2 * M_PI * kLow[k / 4] * t) + std::sin(2 * M_PI * kHigh[k % 4] * t))));
    }
    rx_.insert(rx_.end(), tone, 0);
  }
}

void FakeStation::ReceiveUntil(int64_t nowUs) {
  if (!sink_) return;
  if (rxStartUs_ < 0) {
    rxStartUs_ = nowUs;
    rxSamples_ = 0;
  }
  constexpr int kBlock = kCaptureRate / 50;
  int16_t block[kBlock];
  while ((rxSamples_ + kBlock) * 1000000 / kCaptureRate <= nowUs - rxStartUs_ && sink_) {
    const bool silent = rx_.empty();
    for (int i = 0; i < kBlock; ++i) {
      block[i] = rx_.empty() ? 0 : rx_.front();
      if (!rx_.empty()) rx_.pop_front();
    }
    const int64_t at = rxStartUs_ + rxSamples_ * 1000000 / kCaptureRate;
    rxSamples_ += kBlock;
    sink_(block, kBlock, at, silent);
  }
}

}  // namespace remote
