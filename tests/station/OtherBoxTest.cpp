// The station on a box that is not the KVR-100: another line, other command bytes, another sync
// byte, its own S-meter scale, CTS on for a keyed radio and the step lines swapped. Whatever of
// the KVR-100 is still hard-wired in the station shows up here as a wrong byte on the wire.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "platform/serial/Serial.h"
#include "platform/serial/Sim.h"
#include "station/Station.h"
#include "tests/support/Recorders.h"

namespace {

using station::TModemLine;
using station::TStep;

class TOtherBox final : public station::IBoxProtocol {
 public:
  static constexpr uint8_t kSync = 0x55;
  const char* Name() const override { return "Other"; }
  station::TLineSettings Line() const override { return {9600, 8, 'E', 1}; }
  uint8_t ReceiveCommand() const override { return 'R'; }
  uint8_t MicrophoneCommand() const override { return 'M'; }
  uint8_t OwnSoundCommand() const override { return 'S'; }
  bool Assemble(const uint8_t* bytes, int n, std::array<uint8_t, 3>& buffer,
                int32_t& length) const override {
    for (int i = 0; i < n; ++i) {
      if (length == 0 && bytes[i] != kSync) continue;
      buffer[static_cast<size_t>(length)] = bytes[i];
      length = (length + 1) % 3;
    }
    return n > 0 && length == 0 && buffer[0] == kSync;
  }
  uint8_t Strength(const std::array<uint8_t, 3>& frame) const override { return frame[1]; }
  uint8_t Key(const std::array<uint8_t, 3>& frame) const override { return frame[2]; }
  TStep StepForKey(uint8_t key) const override {
    return key == 'u' ? TStep::Up : key == 'd' ? TStep::Down : TStep::None;
  }
  TModemLine StepLine(TStep step) const override {
    return step == TStep::Up ? TModemLine::Dtr : TModemLine::Rts;
  }
  int64_t PulseMicros(int32_t) const override { return 1000; }
  uint8_t ScaleStrength(uint8_t strength, int32_t, int32_t) const override { return strength / 2; }
  bool RadioKeyed(bool cts) const override { return cts; }
};

// The far end: answers every command byte with sync, strength, key.
class TOtherPeer final : public platform::SimPeer {
 public:
  explicit TOtherPeer(std::shared_ptr<platform::SimWire> wire) : wire_(std::move(wire)) {
    wire_->SetPeer(this);
  }
  ~TOtherPeer() override { wire_->SetPeer(nullptr); }
  void HostBytes(const uint8_t* data, size_t count) override {
    std::vector<uint8_t> answer;
    {
      std::lock_guard lock(mu_);
      for (size_t i = 0; i < count; ++i) {
        heard_.push_back(data[i]);
        answer.insert(answer.end(), {TOtherBox::kSync, strength_, key_});
      }
    }
    wire_->PeerSend(answer);
  }
  void HostLines(bool dtr, bool rts) override {
    std::lock_guard lock(mu_);
    if (dtr && !dtr_) ++dtrPulses_;
    if (rts && !rts_) ++rtsPulses_;
    dtr_ = dtr;
    rts_ = rts;
  }
  uint8_t Last() {
    std::lock_guard lock(mu_);
    return heard_.empty() ? 0 : heard_.back();
  }
  void Set(uint8_t strength, uint8_t key) {
    std::lock_guard lock(mu_);
    strength_ = strength;
    key_ = key;
  }
  std::pair<int, int> Pulses() {
    std::lock_guard lock(mu_);
    return {dtrPulses_, rtsPulses_};
  }

 private:
  std::shared_ptr<platform::SimWire> wire_;
  std::mutex mu_;
  std::vector<uint8_t> heard_;
  uint8_t strength_ = 0, key_ = 0;
  bool dtr_ = false, rts_ = false;
  int dtrPulses_ = 0, rtsPulses_ = 0;
};

TEST(OtherBox, TheStationRunsOnABoxItIsGiven) {
  auto wire = std::make_shared<platform::SimWire>();
  platform::SimWire::Register("other", wire);
  platform::SetPortMappingLookup(
      [](const std::string& com) { return com == "COM2" ? std::string("sim:other") : ""; });
  TOtherBox protocol;
  {
    TOtherPeer peer(wire);
    auto owned = std::make_unique<station::TStation>(nullptr, &protocol);
    station::TStation& st = *owned;
    st.KVRTimer->SetEnabled(false);
    st.Defaults({});
    st.Connect("COM2");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return st.Verbunden; }, 5000)) << "the wake-up pulse";
    EXPECT_EQ(wire->HostLineSettings().BaudRate, 9600u);
    EXPECT_EQ(wire->HostLineSettings().Parity, 2);
    auto tick = [&](int n) {
      for (int i = 0; i < n; ++i) {
        st.Tick();
        testsupport::PumpUntil([&] { return st.RxFrames > 0; }, 2000);
      }
    };
    wire->SetPeerLine(platform::MS_CTS_ON, false);  // this box: CTS off is a released key
    peer.Set(100, 0);
    tick(3);
    EXPECT_EQ(peer.Last(), 'R');
    EXPECT_FALSE(st.TxAktiv);
    EXPECT_EQ(st.MeterValue, 50) << "the box's own scale";

    ASSERT_TRUE(st.Tx.Hold(station::TTxSource::Operator));
    tick(2);
    EXPECT_EQ(peer.Last(), 'M');
    st.Tx.Release(station::TTxSource::Operator);
    tick(2);
    EXPECT_EQ(peer.Last(), 'R');

    wire->SetPeerLine(platform::MS_CTS_ON, true);  // the radio's own key
    tick(2);
    EXPECT_TRUE(st.TxAktiv);
    wire->SetPeerLine(platform::MS_CTS_ON, false);
    tick(2);
    EXPECT_FALSE(st.TxAktiv);
    EXPECT_EQ(peer.Last(), 'R');

    // A key held on the box steps up on the line this box uses for up.
    const int channel = st.Einstellungen.Kanal;
    const auto before = peer.Pulses();
    peer.Set(100, 'u');
    tick(1);
    peer.Set(100, 0);
    tick(2);
    EXPECT_NE(st.Einstellungen.Kanal, channel);
    EXPECT_GT(peer.Pulses().first, before.first);
    EXPECT_EQ(peer.Pulses().second, before.second);

    ASSERT_TRUE(st.Tx.Hold(station::TTxSource::Client, 1));
    tick(2);
    ASSERT_EQ(peer.Last(), 'M');
    owned.reset();  // the station goes while keyed: its last word is this box's receive
    EXPECT_EQ(peer.Last(), 'R');
  }
  platform::SimWire::Unregister("other");
  platform::SetPortMappingLookup(nullptr);
}

}  // namespace
