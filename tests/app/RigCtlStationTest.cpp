// Debian's rigctl client, speaking the network rig protocol, against the station on the simulated
// box: the way logging and digital-mode programs will follow the station.
#include <QProcess>
#include <QStandardPaths>

#include "app/RigLink.h"
#include "net/RigServer.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

class RigCtlStation : public Station {
 protected:
  void SetUp() override {
    Station::SetUp();
    rigctl_ = QStandardPaths::findExecutable("rigctl");
    if (rigctl_.isEmpty()) GTEST_SKIP() << "rigctl (package libhamlib-utils) is not installed";
    auto e = Defaults();
    e.ComPort = "COM1";
    WriteSettings(e);
    Start();
    Tick();
    link_ = std::make_unique<app::RigLink>(*main_);
    server_ = std::make_unique<net::RigServer>(*link_);
    net::RigServerConfig cfg;
    cfg.port = 0;  // any free port: CI may run a real rigctld
    ASSERT_TRUE(server_->Listen(cfg));
  }
  void TearDown() override {
    server_.reset();
    link_.reset();
    Station::TearDown();
  }

  // Runs rigctl with `args` while the station keeps ticking, and returns what it printed.
  std::string Rigctl(const QStringList& args) {
    QProcess p;
    p.start(rigctl_,
            QStringList{"-m", "2", "-r", QString("127.0.0.1:%1").arg(server_->Port())} + args);
    if (!p.waitForStarted(5000)) return "<not started>";
    for (int i = 0; i < 3000 && p.state() != QProcess::NotRunning; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      p.waitForFinished(1);
      time_->Advance(10);
      box_->Advance(10);
      rtl::Application().ProcessMessages();
    }
    lastErr_ = p.readAllStandardError().toStdString();
    return p.readAllStandardOutput().toStdString();
  }

  QString rigctl_;
  std::string lastErr_;
  std::unique_ptr<app::RigLink> link_;
  std::unique_ptr<net::RigServer> server_;
};

TEST_F(RigCtlStation, ReadsTheChannelFrequency) {
  EXPECT_EQ(Rigctl({"f"}), "27065000\n");
}

TEST_F(RigCtlStation, SetsAFrequencyByChannelSteps) {
  int ups = box_->UpPulses();
  EXPECT_EQ(Rigctl({"F", "27185000", "f"}), "27185000\n");
  EXPECT_EQ(main_->Einstellungen.Kanal, 19);
  EXPECT_EQ(main_->K_Anzeige->text().toStdString(), "19");
  EXPECT_EQ(box_->Channel(), 19);  // the radio followed the pulses
  EXPECT_EQ(box_->UpPulses() - ups, 10);
  // Not a channel frequency: refused, nothing moves.
  std::string out = Rigctl({"F", "27186000"});
  EXPECT_NE(out.find("Invalid parameter"), std::string::npos) << out;
  EXPECT_EQ(main_->Einstellungen.Kanal, 19);
}

TEST_F(RigCtlStation, KeysAndUnkeysThroughTheTick) {
  box_->ClearCommands();
  Rigctl({"T", "1"});
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 15);
  EXPECT_TRUE(main_->TxAktiv);
  EXPECT_EQ(Rigctl({"t"}), "1\n");
  Rigctl({"T", "0"});
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(main_->TxAktiv);
}

TEST_F(RigCtlStation, ReadsStrengthRelativeToS9) {
  box_->SetSignal(9, 60);
  Tick(3);
  EXPECT_EQ(Rigctl({"l", "STRENGTH"}), "6\n");
  EXPECT_EQ(Rigctl({"get_dcd"}), "1\n");
}

}  // namespace
