// The simulated radio's audio: the receiver into the analysis chain through the virtual sound
// card (DTMF pairs show exactly their two bins), calls waiting for the carrier, speech from WAVE
// files, and the transmitter keeping only what went out while keyed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "analysis/MMConect.h"
#include "analysis/MMPeak.h"
#include "audio/MMWavIn.h"
#include "platform/MMTimer.h"
#include "platform/serial/Sim.h"
#include "platform/wave/VirtualCard.h"
#include "rtl/Messages.h"
#include "sim/RadioAudio.h"

using namespace analysis;
using platform::wave::TVirtualSoundCard;

namespace {

const int kDtmfHz[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};

struct RadioRig {
  RadioRig()
      : card(std::make_shared<TVirtualSoundCard>(1, 1, TVirtualSoundCard::Pacing::Manual)),
        box(std::make_shared<sim::KvrBox>(std::make_shared<platform::SimWire>())),
        audio(box, card) {
    platform::wave::SetWaveBackend(card);
    box->SetChannel(9);
  }
  ~RadioRig() {
    while (rtl::DispatchPendingMessages() > 0) {
    }
    platform::wave::SetWaveBackend(nullptr);
  }
  void Command(uint8_t c) { box->HostBytes(&c, 1); }

  std::shared_ptr<TVirtualSoundCard> card;
  std::shared_ptr<sim::KvrBox> box;
  sim::TRadioAudio audio;
};

// The station's analysis chain on the virtual card, with a handler that notes, per trigger, which
// of the eight DTMF frequencies stand above twice the mean plus half (the default margin).
struct DecoderChain {
  DecoderChain() {
    in.SetSampleRate(44100);
    in.SetBitLength(audio::b16Bit);
    in.SetMode(audio::mMono);
    in.SetBufferSize(4096);
    in.SetNumBuffers(8);
    peak.SetFFTLength(2048);
    peak.SetWindow(fwGaussian);
    in.SetOutput(&peak);
    peak.SetOutput(&con);
    con.OnTrigger = [this](rtl::TObject*) {
      int s[8], sum = 0;
      for (int p = 0; p < 8; ++p) sum += s[p] = peak.Peaks(peak.FrequencyToIndex(kDtmfHz[p]));
      const int threshold = sum / 4;
      std::set<int> above;
      for (int p = 0; p < 8; ++p)
        if (s[p] > (threshold * 100 + 50 * threshold) / 100) above.insert(kDtmfHz[p]);
      if (!above.empty()) seen.insert(above);
    };
  }
  ~DecoderChain() { in.Close(); }
  void Run(RadioRig& rig, int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      rig.card->Advance(441);
      rtl::DispatchPendingMessages();
      rtl::DispatchPendingMessages();
    }
  }
  audio::TMMWaveIn in;
  TMMPeakDetect peak;
  TMMConnector con;
  std::set<std::set<int>> seen;
};

class RadioAudio : public testing::Test {
 protected:
  RadioAudio() {
    TMMConnector::CycleSleep = [] {};
  }
  ~RadioAudio() override {
    TMMConnector::CycleSleep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
  }
  platform::ScopedManualTime time;
};

std::vector<int16_t> Read16(sim::TRadioReceiver& rx, size_t frames) {
  std::vector<int16_t> v(frames);
  const auto f = audio::MakePCMFormat(44100, 16, 1);
  rx.Read(reinterpret_cast<uint8_t*>(v.data()), frames * 2, f);
  return v;
}

}  // namespace

TEST(DtmfTable, SixteenCharactersUpperCaseOnly) {
  int r = 0, c = 0;
  ASSERT_TRUE(sim::DtmfTones('6', r, c));
  EXPECT_EQ(r, 770);
  EXPECT_EQ(c, 1477);
  ASSERT_TRUE(sim::DtmfTones('0', r, c));
  EXPECT_EQ(r, 941);
  EXPECT_EQ(c, 1336);
  ASSERT_TRUE(sim::DtmfTones('D', r, c));
  EXPECT_EQ(c, 1633);
  EXPECT_FALSE(sim::DtmfTones('a', r, c));
  EXPECT_FALSE(sim::DtmfTones('x', r, c));
}

TEST_F(RadioAudio, EveryDtmfPairShowsExactlyItsTwoBins) {
  RadioRig rig;
  rig.box->SetSignal(9, 180);
  for (char ch : std::string("123A456B789C*0#D")) {
    DecoderChain chain;
    chain.in.Open();
    chain.in.Start();
    rig.audio.Receiver().CallDtmf(std::string(1, ch), 150, 100);
    chain.Run(rig, 300);
    int r = 0, c = 0;
    ASSERT_TRUE(sim::DtmfTones(ch, r, c));
    EXPECT_EQ(chain.seen, (std::set<std::set<int>>{{r, c}})) << "character " << ch;
  }
}

TEST_F(RadioAudio, NoCarrierGivesSilenceOrNoiseAndTheCallWaits) {
  RadioRig rig;
  auto& rx = rig.audio.Receiver();
  rx.CallDtmf("5");
  for (int16_t s : Read16(rx, 4410)) ASSERT_EQ(s, 0);
  EXPECT_TRUE(rx.Calling());
  EXPECT_EQ(rx.HeardFrames(), 0);
  rx.SetNoise(0.1);
  int nonzero = 0;
  for (int16_t s : Read16(rx, 4410)) {
    ASSERT_LE(std::abs(s), 3277);
    nonzero += s != 0;
  }
  EXPECT_GT(nonzero, 4000);
  // A carrier on another channel is not heard either.
  rig.box->SetSignal(10, 200);
  Read16(rx, 4410);
  EXPECT_EQ(rx.HeardFrames(), 0);
  rig.box->SetSignal(9, 200);
  Read16(rx, 44100 / 5);
  EXPECT_EQ(rx.HeardFrames(), 44100 / 5);
  EXPECT_FALSE(rx.Calling());
  // While the radio transmits, the receiver hears nothing.
  rx.CallDtmf("5");
  rig.Command(11);
  Read16(rx, 4410);
  EXPECT_TRUE(rx.Calling());
}

// A station is heard only on its own channel; its call goes on in the band while the radio is
// elsewhere and waits while its channel has no carrier.
TEST_F(RadioAudio, AStationIsHeardOnlyOnItsChannel) {
  struct {
    int radio, caller;
    bool callerCarrier;
    bool heard, stillCalling;
  } cases[] = {
      {27, 9, true, false, false},  // another channel: the call passes unheard
      {9, 9, true, true, false},   {9, 27, true, false, false},
      {27, 9, false, false, true},  // no carrier on its channel: the caller waits
      {9, 0, true, true, false},    // 0: the radio's channel when the call is queued
  };
  for (const auto& c : cases) {
    RadioRig rig;
    auto& rx = rig.audio.Receiver();
    rig.box->SetChannel(c.radio);
    rig.box->SetSignal(c.radio, 60);  // a quiet station where the radio is
    if (c.caller) rig.box->SetSignal(c.caller, c.callerCarrier ? 70 : 0);
    rx.SetCallerChannel(c.caller);
    rx.CallDtmf("2345");  // 0.8 s
    int loud = 0;
    for (int16_t v : Read16(rx, 44100)) loud += std::abs(v) > 1000;
    EXPECT_EQ(loud > 0, c.heard) << c.radio << " " << c.caller;
    EXPECT_EQ(rx.HeardFrames() > 0, c.heard) << c.radio << " " << c.caller;
    EXPECT_EQ(rx.Calling(), c.stillCalling) << c.radio << " " << c.caller;
  }
  // Tuned in half-way: the rest of the call, not its beginning.
  RadioRig rig;
  auto& rx = rig.audio.Receiver();
  rig.box->SetChannel(27);
  rig.box->SetSignal(9, 70);
  rx.SetCallerChannel(9);
  rx.CallDtmf("2345");
  Read16(rx, 44100 * 4 / 10);
  EXPECT_EQ(rx.HeardFrames(), 0);
  rig.box->SetChannel(9);
  Read16(rx, 44100);
  EXPECT_NEAR(rx.HeardFrames(), 44100 * 4 / 10, 10);
}

TEST_F(RadioAudio, TheBandGoesOnWhileNobodyListens) {
  RadioRig rig;
  auto& rx = rig.audio.Receiver();
  rig.box->SetSignal(9, 200);
  // "12": two 100 ms tones with 100 ms pauses. Read the first 50 ms, then the input is closed.
  rx.CallDtmf("12");
  Read16(rx, 2205);
  EXPECT_EQ(rx.HeardFrames(), 2205);
  rig.box->Advance(300);  // band time with nobody reading: the call is now in its "2"
  const auto after = Read16(rx, 4410);
  auto power = [&](double hz) {  // Goertzel
    const double k = 2 * std::cos(2 * M_PI * hz / 44100);
    double s1 = 0, s2 = 0;
    for (int16_t v : after) {
      const double s0 = v + k * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
  };
  // The rest of "2" (1336 Hz column) comes, not the old "1" (1209 Hz) again.
  EXPECT_GT(power(1336), 100 * power(1209));
  rig.box->Advance(1000);  // the call ended long ago
  for (int16_t s : Read16(rx, 4410)) ASSERT_EQ(s, 0);
  EXPECT_FALSE(rx.Calling());
  // A call queued while nobody reads is gone by the time reading starts.
  rx.CallDtmf("9");
  rig.box->Advance(500);
  for (int16_t s : Read16(rx, 4410)) ASSERT_EQ(s, 0);
  EXPECT_FALSE(rx.Calling());
}

// The simulator's station on channel 9 calls every 30 s on a channel that always carries a
// station. Arming the selective call opens the input after calls went by unheard: the next call
// is heard whole, however long the input was closed.
TEST_F(RadioAudio, TheFirstCallAfterTheInputOpensIsHeardWhole) {
  for (int closedMs : {500, 30000, 95000}) {
    RadioRig rig;
    auto& rx = rig.audio.Receiver();
    rig.box->SetSignal(9, 40);
    rx.SetCallerChannel(9);
    auto call = [&] {  // 4.1 s, as the simulator's caller
      rx.CallPause(300);
      rx.CallDtmf("2345");
      rx.CallTone(440, 660, 3000, 0.2);
    };
    call();
    rig.box->Advance(closedMs / 2);
    call();
    rig.box->Advance(closedMs - closedMs / 2);
    auto listen = [&](int ms) {  // the open input reads 100 ms at a time as the box's time runs
      for (int i = 0; i < ms / 100; ++i) {
        Read16(rx, 4410);
        rig.box->Advance(100);
      }
    };
    listen(25000);  // the input opens; whatever was left of the old calls ends
    const int64_t before = rx.HeardFrames();
    call();
    listen(5000);
    EXPECT_NEAR(rx.HeardFrames() - before, 44100 * 41 / 10, 50) << closedMs;
    EXPECT_FALSE(rx.Calling()) << closedMs;
  }
}

TEST_F(RadioAudio, SpeechFromAWaveFileIsPlayedWhenTheStationCalls) {
  const std::string path =
      testing::TempDir() + "kanalo_speech." + std::to_string(::getpid()) + ".wav";
  {
    std::vector<int16_t> pcm;
    for (int i = 0; i < 8000; ++i) pcm.push_back(static_cast<int16_t>(i % 2 ? 8000 : -8000));
    const uint32_t data = static_cast<uint32_t>(pcm.size() * 2);
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF", 4);
    u32(36 + data);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    f.write("data", 4);
    u32(data);
    f.write(reinterpret_cast<const char*>(pcm.data()), data);
  }
  sim::TSpeech speech = sim::LoadSpeech(path);
  EXPECT_EQ(speech.rate, 8000u);
  ASSERT_EQ(speech.samples.size(), 8000u);
  EXPECT_NEAR(speech.samples[1], 8000 / 32768.0, 1e-6);
  RadioRig rig;
  rig.box->SetSignal(9, 200);
  auto& rx = rig.audio.Receiver();
  rx.CallSpeech(speech);
  const auto heard = Read16(rx, 44100 + 100);  // one second of speech at the card's rate
  EXPECT_FALSE(rx.Calling());
  int loud = 0;
  for (size_t i = 0; i < 44100; ++i) loud += std::abs(heard[i]) > 7000;
  EXPECT_GT(loud, 44000);
  for (size_t i = 44100; i < heard.size(); ++i) EXPECT_EQ(heard[i], 0);
  std::remove(path.c_str());
  EXPECT_THROW(sim::LoadSpeech(path), std::runtime_error);
  {
    std::ofstream f(path, std::ios::binary);
    f << "RIFF\x04\x00\x00\x00WAVE";
  }
  EXPECT_THROW(sim::LoadSpeech(path), std::runtime_error);
  std::remove(path.c_str());
}

TEST_F(RadioAudio, TransmitterKeepsOnlyWhatWentOutWhileKeyed) {
  RadioRig rig;
  std::unique_ptr<platform::wave::IWaveStream> out;
  const auto fmt = audio::MakePCMFormat(44100, 8, 1);
  ASSERT_EQ(rig.card->Open(
                platform::wave::TWaveDir::Out, 0, fmt, false,
                [](platform::wave::TWaveMsg, platform::wave::TWaveHdr*) {}, out),
            0);
  std::vector<uint8_t> a(1000, 200), b(1000, 50);
  platform::wave::TWaveHdr ha, hb;
  ha.lpData = a.data();
  ha.dwBufferLength = 1000;
  ha.dwFlags = platform::wave::WHDR_PREPARED;
  hb = ha;
  hb.lpData = b.data();
  out->AddBuffer(&ha);
  rig.card->Advance(1000);  // receiving: not on the air
  EXPECT_EQ(rig.audio.Transmitter().NotSent(), 1000u);
  EXPECT_TRUE(rig.audio.Transmitter().OnAir().empty());
  rig.Command(11);
  out->AddBuffer(&hb);
  rig.card->Advance(1000);
  const auto air = rig.audio.Transmitter().OnAir();
  ASSERT_EQ(air.size(), 1000u);
  EXPECT_EQ(air[0], (50 - 128) * 256);
  EXPECT_EQ(rig.audio.Transmitter().Rate(), 44100u);
  rig.Command(9);
  out->AddBuffer(&ha);
  rig.card->Advance(1000);
  EXPECT_EQ(rig.audio.Transmitter().OnAir().size(), 1000u);
  out->Reset();
  out->Close();
}
