// Debian's rigctl client, speaking the network rig protocol, against the station on the simulated
// box: the way logging and digital-mode programs will follow the station.
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

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
    link_ = std::make_unique<app::RigLink>(main_->Station());
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
    return Run(rigctl_,
               QStringList{"-m", "2", "-r", QString("127.0.0.1:%1").arg(server_->Port())} + args);
  }
  // Runs a client to its end while the station keeps ticking; its standard output.
  std::string Run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(5000)) return "<not started>";
    for (int i = 0; i < 30000 && p.state() != QProcess::NotRunning; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      p.waitForFinished(1);
      time_->Advance(10);
      box_->Advance(0);
      rtl::Application().ProcessMessages();
    }
    lastErr_ = p.readAllStandardError().toStdString();
    return p.readAllStandardOutput().toStdString();
  }

  // Sends `text` on a client of its own and returns what came back once `expect` bytes did,
  // while the station keeps ticking on its clock.
  std::string Say(QTcpSocket& c, const char* text, size_t expect) {
    if (c.state() != QAbstractSocket::ConnectedState) {
      c.connectToHost("127.0.0.1", server_->Port());
      for (int i = 0; i < 500 && c.state() != QAbstractSocket::ConnectedState; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        c.waitForConnected(1);
      }
    }
    c.write(text);
    std::string got;
    for (int i = 0; i < 3000 && got.size() < expect; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
      c.waitForReadyRead(1);
      got += c.readAll().toStdString();
      time_->Advance(10);
      box_->Advance(0);
      rtl::Application().ProcessMessages();
    }
    return got;
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
  EXPECT_EQ(main_->Station().Einstellungen.Kanal, 19);
  EXPECT_EQ(main_->K_Anzeige->text().toStdString(), "19");
  EXPECT_EQ(box_->Channel(), 19);  // the radio followed the pulses
  EXPECT_EQ(box_->UpPulses() - ups, 10);
  // Not a channel frequency: refused, nothing moves.
  std::string out = Rigctl({"F", "27186000"});
  EXPECT_NE(out.find("Invalid parameter"), std::string::npos) << out;
  EXPECT_EQ(main_->Station().Einstellungen.Kanal, 19);
}

TEST_F(RigCtlStation, KeysAndUnkeysThroughTheTick) {
  box_->ClearCommands();
  QTcpSocket c;
  ASSERT_EQ(Say(c, "T 1\n", 7), "RPRT 0\n");
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 15);
  EXPECT_TRUE(main_->Station().TxAktiv);
  EXPECT_EQ(Rigctl({"t"}), "1\n");  // another client leaving does not unkey
  EXPECT_TRUE(main_->Station().PTTTaste);
  EXPECT_EQ(Say(c, "T 0\n", 7), "RPRT 0\n");
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(main_->Station().TxAktiv);
  // 3 keys the computer's own sound and reads back as such.
  EXPECT_EQ(Say(c, "T 3\n", 7), "RPRT 0\n");
  EXPECT_EQ(Say(c, "t\n", 2), "3\n");
  EXPECT_TRUE(main_->Station().WavSenden);
  EXPECT_EQ(Say(c, "T 0\n", 7), "RPRT 0\n");
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(main_->Station().WavSenden);
}

// rigctl as a one-shot command keys and leaves at once: nobody would be left to release.
TEST_F(RigCtlStation, KeyingEndsWithTheClientThatKeyed) {
  for (const char* ptt : {"1", "3"}) {
    Rigctl({"T", ptt});
    Tick(2);
    EXPECT_EQ(box_->LastCommand(), 9) << ptt;
    EXPECT_FALSE(main_->Station().TxAktiv);
    EXPECT_FALSE(main_->Station().PTTTaste);
    EXPECT_FALSE(main_->Station().WavSenden);
  }
  QTcpSocket c;
  ASSERT_EQ(Say(c, "T 1\n", 7), "RPRT 0\n");
  Tick(2);
  EXPECT_TRUE(main_->Station().TxAktiv);
  c.abort();  // gone without a word
  for (int i = 0; i < 200 && main_->Station().PTTTaste; ++i) QCoreApplication::processEvents();
  Tick(2);
  EXPECT_FALSE(main_->Station().TxAktiv);
  EXPECT_EQ(box_->LastCommand(), 9);
}

TEST_F(RigCtlStation, KeyingWhileScanningIsRefusedNotDeferred) {
  main_->ScanClick();
  Settle();
  ASSERT_NE(main_->Station().Einstellungen.ScanModus, 0);
  QTcpSocket c;
  EXPECT_EQ(Say(c, "T 1\n", 7), "RPRT -9\n");
  main_->ScanClick();
  Settle();  // the scan stops: nothing keys on the channel where it stopped
  Tick(3);
  EXPECT_FALSE(main_->Station().PTTTaste);
  EXPECT_FALSE(main_->Station().TxAktiv);
  EXPECT_EQ(Say(c, "T 1\n", 7), "RPRT 0\n");
  EXPECT_EQ(Say(c, "T 0\n", 7), "RPRT 0\n");
}

// Network steps run on the station's step sequence, not slept on the main thread, and are not
// taken while the transmitter is keyed.
TEST_F(RigCtlStation, StepsDoNotHoldTheWindowAndWaitForTheReceiver) {
  QTcpSocket c;
  EXPECT_EQ(Say(c, "E 30\ne\n", 10), "RPRT 0\n30\n");
  EXPECT_EQ(box_->Channel(), 30);
  EXPECT_EQ(main_->K_Anzeige->text().toStdString(), "30");
  EXPECT_EQ(Say(c, "T 1\nE 31\n", 15), "RPRT 0\nRPRT -9\n");
  EXPECT_EQ(Say(c, "T 0\nE 29\ne\n", 18), "RPRT 0\nRPRT 0\n29\n");
  EXPECT_EQ(box_->Channel(), 29);
  // The operator presses "Up" in the middle of a run: the run ends, count and radio agree.
  c.write("E 9\n");
  for (int i = 0; i < 6; ++i) {
    QCoreApplication::processEvents();
    time_->Advance(10);
    rtl::Application().ProcessMessages();
  }
  main_->UPClick();
  Settle();
  EXPECT_EQ(Say(c, "", 8), "RPRT -9\n");
  EXPECT_EQ(box_->Channel(), main_->Station().Einstellungen.Kanal);
}

// While a half-second pulse is held, by the operator's "Up" or by another client's run, a
// client's `f` is answered: the line is still up on the box and the run's client still waits
// when the answer arrives. The station's clock stands still meanwhile, so nothing but the order
// is measured.
TEST_F(RigCtlStation, AClientIsAnsweredWhileAPulseIsHeld) {
  main_->Station().Einstellungen.ScanPuls = 50000;
  struct Case {
    const char* what;
    std::function<void(QTcpSocket&)> step;
  } cases[] = {
      {"the operator's Up", [&](QTcpSocket&) { main_->UPClick(); }},
      {"another client's E", [&](QTcpSocket& a) { Say(a, "E 13\n", 0); }},
  };
  int channel = 9;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    QTcpSocket a, b;
    ASSERT_EQ(Say(b, "f\n", 9).size(), 9u);  // connected
    const size_t pulses = box_->PulseLengths().size();
    k.step(a);
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] {
          QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
          return main_->Station().Stepping();
        },
        10000));
    ++channel;  // the count moves with the press
    b.write("f\n");
    std::string got;
    for (int i = 0; i < 5000 && got.size() < 9; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
      b.waitForReadyRead(1);
      got += b.readAll().toStdString();
      rtl::Application().ProcessMessages();
    }
    EXPECT_EQ(got, std::to_string(27065000 + 10000 * (channel - 9)) + "\n");
    EXPECT_EQ(box_->PulseLengths().size(), pulses) << "the first pulse is still held";
    EXPECT_TRUE(main_->Station().Stepping());
    EXPECT_EQ(a.bytesAvailable(), 0);
    Settle();
    if (a.state() == QAbstractSocket::ConnectedState) {
      EXPECT_EQ(Say(a, "", 7), "RPRT 0\n");
      channel = 13;
    }
    EXPECT_EQ(box_->PulseLengths().back(), 500000);
    EXPECT_EQ(box_->Channel(), channel);
  }
}

TEST_F(RigCtlStation, ReadsStrengthRelativeToS9) {
  box_->SetSignal(9, 60);
  Tick(3);
  EXPECT_EQ(Rigctl({"l", "STRENGTH"}), "6\n");
  // `rigctl ... \get_dcd` typed in a shell reaches rigctl as "get_dcd".
  EXPECT_EQ(Rigctl({"get_dcd"}), "1\n");
  // The squelch opens at its level (50 by default), as the front's line switch does.
  box_->SetSignal(9, 50);
  Tick(3);
  EXPECT_EQ(Rigctl({"get_dcd"}), "1\n");
  box_->SetSignal(9, 49);
  Tick(3);
  EXPECT_EQ(Rigctl({"get_dcd"}), "0\n");
}

// A logger's sweep, tune then read at once, through Hamlib's Python bindings on a rigctld chained
// in front of the station: every reading is of the channel just set, so the busy channels found are
// exactly those of the band (as the simulator's), with their strengths.
TEST_F(RigCtlStation, ASweepTuneThenReadFindsExactlyTheBusyChannels) {
  QString python;
  for (const QString& p : {QString("/usr/bin/python3"), QStandardPaths::findExecutable("python3")})
    if (python.isEmpty() && !p.isEmpty() && QProcess::execute(p, {"-c", "import Hamlib"}) == 0)
      python = p;
  const QString rigctld = QStandardPaths::findExecutable("rigctld");
  if (python.isEmpty() || rigctld.isEmpty())
    GTEST_SKIP() << "python3-hamlib or rigctld (libhamlib-utils) is not installed";
  const std::pair<int, uint8_t> band[] = {{9, 40}, {19, 85}, {27, 60}, {34, 25}};
  for (auto [channel, strength] : band) box_->SetSignal(channel, strength);
  QTcpServer probe;  // a free port for rigctld
  probe.listen(QHostAddress::LocalHost, 0);
  const QString port = QString::number(probe.serverPort());
  probe.close();
  QProcess chained;
  chained.start(rigctld, {"-m", "2", "-r", QString("127.0.0.1:%1").arg(server_->Port()), "-T",
                          "127.0.0.1", "-t", port});
  ASSERT_TRUE(chained.waitForStarted(10000));
  const QString script = QString(R"(
import Hamlib, time
Hamlib.rig_set_debug(Hamlib.RIG_DEBUG_NONE)
rig = Hamlib.Rig(2)
rig.set_conf("rig_pathname", "127.0.0.1:%1")
for attempt in range(300):
    rig.open()
    if rig.error_status == 0: break
    time.sleep(0.1)
for channel in range(1, 41):
    rig.set_mem(Hamlib.RIG_VFO_CURR, channel)
    if rig.error_status != 0: print("set", channel, rig.error_status)
    db = rig.get_level_i(Hamlib.RIG_LEVEL_STRENGTH)
    if db > -54: print(channel, db, rig.get_dcd())
rig.close()
)")
                             .arg(port);
  const std::string out = Run(python, {"-c", script});
  chained.terminate();
  chained.waitForFinished(10000);
  EXPECT_EQ(out, "9 -14 0\n19 31 1\n27 6 1\n34 -29 0\n");
}

}  // namespace
