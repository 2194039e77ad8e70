// The station's cues on a virtual card that behaves like a sound server's stream: it starts late,
// swallows a second of sound at once and plays it in real time. Keyed over rig control by a client
// that stays connected, as soon as the station polls its box: each cue must go on the air whole,
// and the box must hear the microphone command only once the cue has been heard.
#include <QTcpSocket>

#include "app/RigLink.h"
#include "net/RigServer.h"
#include "station/Dtmf.h"
#include "tests/app/SoundServerCapture.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

class ServerLikeStation : public SoundStation {
 protected:
  void SetUp() override {
    SoundStation::SetUp();
    card_->LatencyFrames = 44100;    // a second taken at once
    card_->StartDelayFrames = 4410;  // heard 100 ms after it was handed over
    card_->PeriodFrames = 441;
    card_->FillGaps = true;
    soundserver::WriteTone(root_ / "Kanalo/Cue1.wav", 1000, 1000, 16);
    soundserver::WriteTone(root_ / "Kanalo/Cue2.wav", 3000, 1300, 16);
    soundserver::WriteTone(root_ / "Kanalo/Beep.wav", 1000, 1750, 8);
    soundserver::WriteTone(root_ / "Kanalo/Tx.wav", 2000, 700, 16);
    // The moment the box first hears the microphone command, with what was on the air then.
    AfterStep = [this] {
      if (micAt_ < 0 && box_->LastCommand() == 15) {
        micAt_ = time_->NowMs();
        airAtMic_ = radio_->Transmitter().OnAir();
      }
    };
  }
  void TearDown() override {
    AfterStep = nullptr;
    server_.reset();
    link_.reset();
    SoundStation::TearDown();
  }
  TMain& StartWith(uint8_t callArt) {
    WriteSettings(WithCues(Defaults(), callArt));
    TMain& m = Start();
    link_ = std::make_unique<app::RigLink>(m.Station());
    server_ = std::make_unique<net::RigServer>(*link_);
    net::RigServerConfig cfg;
    cfg.port = 0;
    EXPECT_TRUE(server_->Listen(cfg));
    return m;
  }
  // Sends one command on the client that stays connected, the station running meanwhile.
  std::string Say(const char* text) {
    if (rig_.state() != QAbstractSocket::ConnectedState) {
      rig_.connectToHost("127.0.0.1", server_->Port());
      for (int i = 0; i < 2000 && rig_.state() != QAbstractSocket::ConnectedState; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        StepMs();
      }
    }
    rig_.write(text);
    std::string got;
    for (int i = 0; i < 2000 && got.find('\n') == std::string::npos; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
      got += rig_.readAll().toStdString();
      StepMs();
    }
    return got;
  }
  // Runs until `done` holds, for at most `boundMs` of the station's time.
  bool RunUntil(const std::function<bool()>& done, int boundMs) {
    for (int t = 0; t < boundMs && !done(); ++t) StepMs();
    return done();
  }
  // One transmission keyed by `T 1` as soon as the station polls, held `holdMs` past the
  // microphone command, then released: what went on the air after the microphone command (the
  // roger beep); what went before it is in airAtMic_.
  std::vector<int16_t> KeyedTransmission(int holdMs = 300) {
    EXPECT_TRUE(RunUntil([&] { return !box_->Commands().empty(); }, 1000));
    EXPECT_EQ(Say("T 1\n"), "RPRT 0\n");
    EXPECT_TRUE(RunUntil([&] { return micAt_ >= 0; }, 10000)) << "no microphone command";
    Run(holdMs);
    EXPECT_EQ(Say("T 0\n"), "RPRT 0\n");
    EXPECT_TRUE(RunUntil([&] { return box_->LastCommand() == 9; }, 5000));
    const auto air = radio_->Transmitter().OnAir();
    return {air.begin() + static_cast<long>(std::min(airAtMic_.size(), air.size())), air.end()};
  }
  static double Ms(const soundserver::TBurst& b) { return b.Ms(); }

  std::unique_ptr<app::RigLink> link_;
  std::unique_ptr<net::RigServer> server_;
  QTcpSocket rig_;
  int64_t micAt_ = -1;
  std::vector<int16_t> airAtMic_;
};

TEST_F(ServerLikeStation, CallCuesAreHeardWholeBeforeTheMicrophone) {
  struct Case {
    uint8_t callArt;
    double ms;
  };
  for (const Case c : {Case{1, 1000}, Case{2, 3000}}) {
    SCOPED_TRACE(c.callArt);
    StartWith(c.callArt);
    micAt_ = -1;
    radio_->Transmitter().Clear();
    const auto roger = soundserver::Bursts(KeyedTransmission());
    const auto cue = soundserver::Bursts(airAtMic_);
    ASSERT_EQ(cue.size(), 1u);
    EXPECT_NEAR(Ms(cue[0]), c.ms, 10.0) << "the microphone came before the cue was heard whole";
    ASSERT_EQ(roger.size(), 1u);
    EXPECT_NEAR(Ms(roger[0]), 1000.0, 10.0);
    server_.reset();
    link_.reset();
    rig_.abort();
    main_.reset();
  }
}

TEST_F(ServerLikeStation, DtmfCallIsHeardWholeBeforeTheMicrophone) {
  StartWith(3);
  const auto roger = soundserver::Bursts(KeyedTransmission());
  ASSERT_EQ(roger.size(), 1u);
  const auto call = soundserver::Bursts(airAtMic_);
  ASSERT_EQ(call.size(), 1u) << "the call before the microphone";
  // Four digits: tone, pause, ..., tone: seven segments of 4500 samples.
  EXPECT_NEAR(Ms(call[0]), 7 * 4500 * 1000.0 / 44100, 10.0);
  EXPECT_EQ(soundserver::DecodeDtmf(airAtMic_, (root_ / "call.raw").string()), "2345");
}

TEST_F(ServerLikeStation, TxFileIsSentWholeWhenStartedAtOnce) {
  TMain& m = StartWith(0);
  ASSERT_TRUE(RunUntil([&] { return !box_->Commands().empty(); }, 1000));
  dialogs_->files = {(root_ / "Kanalo/Tx.wav").string()};
  m.SendWavClick();
  // The player's end releases the transmitter; the roger beep starts only on the next tick.
  ASSERT_TRUE(RunUntil([&] { return !m.Station().PTTTaste; }, 10000));
  const auto air = soundserver::Bursts(radio_->Transmitter().OnAir());
  ASSERT_EQ(air.size(), 1u);
  EXPECT_NEAR(Ms(air[0]), 2000.0, 10.0);
  ASSERT_TRUE(RunUntil([&] { return box_->LastCommand() == 9; }, 5000));
}

}  // namespace
