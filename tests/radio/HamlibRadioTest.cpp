// The station on Hamlib's dummy rig (model 1), in process: the station's channels arrive as
// frequencies, its keying as the rig's PTT, the rig's strength as the station's S value, and the
// rig is left unkeyed whichever way the station lets go.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "platform/serial/Serial.h"
#include "platform/serial/Sim.h"
#include "radio/HamlibRadio.h"
#include "station/Station.h"
#include "tests/support/Net.h"
#include "tests/support/Recorders.h"

namespace {

using radio::TPtt;

TEST(HamlibFrequency, ChannelTextsInMegahertz) {
  const std::pair<const char*, double> good[] = {
      {"26.965 ", 26965000}, {"27.405", 27405000}, {" 145.5", 145500000}};
  for (auto [text, hz] : good) EXPECT_DOUBLE_EQ(radio::FrequencyHz(text).value_or(0), hz) << text;
  for (const char* bad : {"", "  ", "27,205", "abc", "27.2x", "-1", "0"})
    EXPECT_FALSE(radio::FrequencyHz(bad)) << bad;
}

TEST(HamlibModels, TheDummyAndTheNetworkRigAreListed) {
  const auto models = radio::THamlibRig::Models();
  auto has = [&](int n) {
    return std::any_of(models.begin(), models.end(), [n](auto& m) { return m.first == n; });
  };
  EXPECT_TRUE(has(1));
  EXPECT_TRUE(has(2));
  EXPECT_GT(models.size(), 100u);
}

class HamlibStation : public ::testing::Test {
 protected:
  void SetUp() override {
    wire_ = std::make_shared<platform::SimWire>();
    platform::SimWire::Register("ham", wire_);
    platform::SetPortMappingLookup(
        [](const std::string& com) { return com == "COM3" ? std::string("sim:ham") : ""; });
    rig_ = std::make_unique<radio::THamlibRig>(radio::THamlibSettings{1, "", 0, ""});
    peer_ = std::make_unique<radio::THamlibPeer>(wire_, *rig_);
    ASSERT_TRUE(Until([&] { return rig_->Reading().Open; }));
    st_ = std::make_unique<station::TStation>(nullptr, &radio::HamlibBox());
    st_->KVRTimer->SetEnabled(false);
    st_->Defaults({});
    radio::AttachHamlib(*st_, *rig_, peer_.get());
    st_->Connect("COM3");
  }
  void TearDown() override {
    st_.reset();
    peer_.reset();
    rig_.reset();
    platform::SimWire::Unregister("ham");
    platform::SetPortMappingLookup(nullptr);
  }
  template <class P>
  bool Until(P pred, int ms = 10000) {
    return testsupport::PumpUntil(pred, ms);
  }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      st_->Tick();
      st_->PublishChanges();
      Until([&] { return st_->RxFrames > 0; });
    }
  }
  std::shared_ptr<platform::SimWire> wire_;
  std::unique_ptr<radio::THamlibRig> rig_;
  std::unique_ptr<radio::THamlibPeer> peer_;
  std::unique_ptr<station::TStation> st_;
};

TEST_F(HamlibStation, ChannelsAreFrequenciesKeyingIsPttAndStrengthIsRead) {
  Tick(2);
  auto at = [&](double hz) { return Until([&] { return rig_->AppliedFrequency() == hz; }); };
  EXPECT_TRUE(at(27065000)) << "channel 9 when the station connects";
  // A poll after a channel change is answered only once the rig has been read on the new
  // channel's frequency: the answer of the channel left is never the new one's.
  const std::pair<std::function<void()>, double> moves[] = {
      {[&] { st_->Step(true); }, 27075000}, {[&] { st_->SetChannel(19); }, 27185000}};
  for (const auto& [move, hz] : moves) {
    move();
    // Unanswered polls are polled again each tick, as for a box.
    ASSERT_TRUE(Until([&] {
      st_->Tick();
      return Until([&] { return st_->RxFrames > 0; }, 150);
    }));
    EXPECT_EQ(rig_->Reading().Hz, hz);
    EXPECT_TRUE(at(hz));
  }

  const std::pair<station::TTxSource, TPtt> keying[] = {
      {station::TTxSource::Operator, TPtt::Microphone},
      {station::TTxSource::Client, TPtt::Microphone}};
  for (auto [source, ptt] : keying) {
    ASSERT_TRUE(st_->Tx.Hold(source, 1));
    Tick(2);
    EXPECT_TRUE(Until([&] { return rig_->AppliedPtt() == ptt; }));
    EXPECT_TRUE(st_->TxAktiv);
    EXPECT_FALSE(st_->Tx.HeldBy(station::TTxSource::Radio)) << "our own PTT is not the radio's";
    st_->Tx.Release(source, 1);
    Tick(3);
    EXPECT_TRUE(Until([&] { return rig_->AppliedPtt() == TPtt::Off; }));
    EXPECT_FALSE(st_->TxAktiv);
  }

  // The strength the rig reports is what the station stores for its channel.
  const uint64_t rounds = rig_->Reading().Rounds;
  ASSERT_TRUE(Until([&] { return rig_->Reading().Rounds > rounds + 2; }));
  Tick(3);
  const int db = rig_->Reading().StrengthDb;
  EXPECT_EQ(st_->SWert[19], radio::HamlibBox().ScaleStrength(
                                static_cast<uint8_t>(std::clamp(db + 54, 0, 255)),
                                st_->Einstellungen.SAdjust, st_->Einstellungen.SOffset));
  EXPECT_TRUE(st_->HasReading());

  // Keyed when the station goes: the rig is unkeyed by the station's last word.
  ASSERT_TRUE(st_->Tx.Hold(station::TTxSource::Client, 4));
  Tick(2);
  ASSERT_TRUE(Until([&] { return rig_->AppliedPtt() == TPtt::Microphone; }));
  st_.reset();
  EXPECT_TRUE(Until([&] { return rig_->AppliedPtt() == TPtt::Off; }));
}

// The rig itself lets go when its owner ends, whatever the station said last.
TEST(HamlibRig, TheWorkerUnkeysTheRigAtItsEnd) {
  auto rig = std::make_unique<radio::THamlibRig>(radio::THamlibSettings{1, "", 0, ""});
  // The own sound keys as data where the rig has it, else as the microphone (the dummy).
  rig->WantPtt(TPtt::Data);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return rig->AppliedPtt() == TPtt::Data; }, 10000));
  EXPECT_FALSE(rig->Reading().OwnPtt) << "the station's own keying";
  rig.reset();  // joined: nothing to wait for afterwards; the dummy has no outside to ask
}

// A model Hamlib does not know never opens: the station would hear nothing and say so once.
TEST(HamlibRig, AnUnknownModelStaysClosedWithAReason) {
  radio::THamlibRig rig(radio::THamlibSettings{999999, "", 0, ""});
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !rig.Reading().Error.empty(); }, 10000));
  EXPECT_FALSE(rig.Reading().Open);
  EXPECT_NE(rig.Reading().Error.find("999999"), std::string::npos);
}

// rigctld with its dummy rig, reached as Hamlib's network rig (model 2): the PTT and the
// frequency arrive there, and a rigctld that dies is a rig that no longer answers, opened again
// once it is back.
class HamlibNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/rigctld", X_OK) != 0) GTEST_SKIP() << "rigctld (libhamlib-utils)";
    port_ = testsupport::FreeTcpPort();
    Start();
  }
  void TearDown() override { Stop(); }
  void Start() {
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string p = std::to_string(port_);
      ::execl("/usr/bin/rigctld", "rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t",
              p.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  // What rigctld's rig says to one rigctl command, over a connection of its own.
  std::string Ask(const std::string& command) {
    const std::string cmd = "rigctl -m 2 -r 127.0.0.1:" + std::to_string(port_) + " " + command;
    std::string out;
    if (FILE* f = ::popen(cmd.c_str(), "r")) {
      char buf[128];
      while (std::fgets(buf, sizeof buf, f)) out += buf;
      ::pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }
  int port_ = 0;
  pid_t pid_ = -1;
};

TEST_F(HamlibNetwork, PttAndFrequencyReachRigctldAndADeadOneIsNoticed) {
  radio::THamlibRig rig(radio::THamlibSettings{2, "127.0.0.1:" + std::to_string(port_), 0, ""});
  auto until = [](auto pred) { return testsupport::PumpUntil(pred, 15000); };
  ASSERT_TRUE(until([&] { return rig.Reading().Open; })) << rig.Reading().Error;
  rig.WantFrequency(27205000);
  rig.WantPtt(TPtt::Microphone);
  EXPECT_TRUE(until([&] { return Ask("t") == "1"; }));
  EXPECT_EQ(Ask("f"), "27205000");
  EXPECT_FALSE(rig.Reading().OwnPtt);
  rig.WantPtt(TPtt::Off);
  EXPECT_TRUE(until([&] { return Ask("t") == "0"; }));
  // Keyed on the radio itself (another client): the radio's own PTT.
  Ask("T 1");
  EXPECT_TRUE(until([&] { return rig.Reading().OwnPtt; }));
  Ask("T 0");
  EXPECT_TRUE(until([&] { return !rig.Reading().OwnPtt; }));

  Stop();
  EXPECT_TRUE(until([&] { return !rig.Reading().Open; }));
  EXPECT_FALSE(rig.Reading().Error.empty());
  Start();
  EXPECT_TRUE(until([&] { return rig.Reading().Open; })) << "opened again";
}

}  // namespace
