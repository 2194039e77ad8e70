#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include "net/RigCtl.h"
#include "net/RigServer.h"
#include "tests/support/QtApp.h"

using namespace net;

namespace {

struct FakeStation : IRigStation {
  int64_t hz = 27065000;
  int channel = 9;
  int ptt = 0;
  int strength = -14;
  bool dcd = false;
  std::vector<int64_t> tuned;
  int64_t FrequencyHz() const override { return hz; }
  int Channel() const override { return channel; }
  int TuneToFrequency(int64_t f) override {
    tuned.push_back(f);
    if (f != 27185000) return -RIG_EINVAL;
    hz = f;
    channel = 19;
    return RIG_OK;
  }
  int TuneToChannel(int c) override {
    channel = c;
    return RIG_OK;
  }
  int Ptt() const override { return ptt; }
  int SetPtt(int p) override {
    ptt = p;
    return RIG_OK;
  }
  int StrengthDb() const override { return strength; }
  bool SquelchOpen() const override { return dcd; }
  bool fresh = true;  // the reading is of the channel the radio is on
  int64_t polls = 0;
  bool ReadingFresh() const override { return fresh; }
  int64_t Polls() const override { return polls; }
};

class Session : public ::testing::Test {
 protected:
  FakeStation st;
  RigCtlSession s{st};
};

TEST_F(Session, QueriesAnswerOneValuePerLine) {
  EXPECT_EQ(s.HandleLine("f"), "27065000\n");
  EXPECT_EQ(s.HandleLine("m"), "AM\n6000\n");
  EXPECT_EQ(s.HandleLine("v"), "VFOA\n");
  EXPECT_EQ(s.HandleLine("s"), "0\nVFOA\n");
  EXPECT_EQ(s.HandleLine("t"), "0\n");
  EXPECT_EQ(s.HandleLine("l STRENGTH"), "-14\n");
  EXPECT_EQ(s.HandleLine("\\get_dcd"), "0\n");
  EXPECT_EQ(s.HandleLine("\\get_powerstat"), "1\n");
  EXPECT_EQ(s.HandleLine("\\chk_vfo"), "0\n");
  EXPECT_EQ(s.HandleLine("\\get_freq"), "27065000\n");
  EXPECT_EQ(s.HandleLine("\x8b"), "0\n");  // get_dcd as the network client sends it
  EXPECT_EQ(s.HandleLine("\x88"), "1\n");
}

TEST_F(Session, ChainedLettersRunInOrder) {
  EXPECT_EQ(s.HandleLine("fmv"), "27065000\nAM\n6000\nVFOA\n");
  EXPECT_EQ(s.HandleLine("f v"), "27065000\nVFOA\n");
}

TEST_F(Session, SetFrequencyTakesDecimalsAndReportsMisses) {
  EXPECT_EQ(s.HandleLine("F 27185000.000000"), "RPRT 0\n");
  EXPECT_EQ(st.tuned.back(), 27185000);
  EXPECT_EQ(s.HandleLine("F 27186000"), "RPRT -1\n");
  EXPECT_EQ(s.HandleLine("F abc"), "RPRT -1\n");
  EXPECT_EQ(s.HandleLine("F"), "RPRT -1\n");
  EXPECT_EQ(s.HandleLine("F nan"), "RPRT -1\n");
}

TEST_F(Session, TrailingBlanksAndCarriageReturnsAreTolerated) {
  EXPECT_EQ(s.HandleLine("e "), "9\n");
  EXPECT_EQ(s.HandleLine("f\r"), "27065000\n");
  EXPECT_EQ(s.HandleLine("  T 1  \r"), "RPRT 0\n");
  EXPECT_EQ(st.ptt, 1);
  EXPECT_EQ(s.HandleLine(""), "");
}

TEST_F(Session, FrequenciesAreWholeHertzNeverRounded) {
  for (const char* bad : {"F 0.1", "F 0", "F -27185000", "F 27185000.5", "F 1e300", "F inf"})
    EXPECT_EQ(s.HandleLine(bad), "RPRT -1\n") << bad;
  EXPECT_TRUE(st.tuned.empty());
  EXPECT_EQ(s.HandleLine("F 27185000.000000"), "RPRT 0\n");
}

TEST_F(Session, OneLineIsAnsweredWithABoundedText) {
  const std::string dumps(250, '\x8f');
  std::string out = s.HandleLine(dumps);
  EXPECT_LE(out.size(), RigCtlSession::kMaxAnswer + DumpState().size() + 16);
  EXPECT_EQ(out.substr(out.size() - 8), "RPRT -1\n");
  EXPECT_EQ(s.HandleLine("f"), "27065000\n");  // the next line is whole again
}

TEST_F(Session, PttCarriesTheClientNumber) {
  struct Recording : FakeStation {
    std::vector<std::pair<int, int>> calls;
    int SetPttFrom(int client, int p) override {
      calls.emplace_back(client, p);
      return SetPtt(p);
    }
  } rec;
  RigCtlSession seven(rec, 7);
  EXPECT_EQ(seven.HandleLine("T 1"), "RPRT 0\n");
  EXPECT_EQ(seven.HandleLine("\\set_ptt 0"), "RPRT 0\n");
  EXPECT_EQ(rec.calls, (std::vector<std::pair<int, int>>{{7, 1}, {7, 0}}));
}

// A command that waits for the station holds the rest of its line until it is resumed.
TEST_F(Session, WaitingCommandAnswersWhenResumed) {
  struct Slow : FakeStation {
    int TuneToChannel(int c) override {
      channel = c;
      return RIG_PENDING;
    }
  } slow;
  RigCtlSession a(slow);
  EXPECT_EQ(a.HandleLine("E 5 e f"), "");
  EXPECT_TRUE(a.Waiting());
  EXPECT_EQ(a.Resume(RIG_OK), "RPRT 0\n5\n27065000\n");
  EXPECT_FALSE(a.Waiting());
  EXPECT_EQ(a.Resume(RIG_OK), "");  // nothing waits any more
  EXPECT_EQ(a.HandleLine("+E 6"), "");
  EXPECT_EQ(a.Resume(-RIG_EIO), "set_mem: 6\nRPRT -6\n");
  // Two waits on one line, one after the other.
  EXPECT_EQ(a.HandleLine("E 7 E 8"), "");
  EXPECT_EQ(a.Resume(RIG_OK), "RPRT 0\n");
  EXPECT_TRUE(a.Waiting());
  EXPECT_EQ(a.Resume(-RIG_ERJCTED), "RPRT -9\n");
}

// A reading asked before the station has read the new channel waits, with the rest of its line;
// resumed, it answers what the station has then, and the rest of that line no longer waits.
TEST_F(Session, ReadingsWaitForTheNewChannel) {
  st.fresh = false;
  const std::pair<const char*, const char*> cases[] = {
      {"l STRENGTH", "-14\n"},
      {"+\\get_dcd", "get_dcd:\nDCD: 0\nRPRT 0\n"},
      {"\x8b", "0\n"},
      {"l VFOA STRENGTH f l STRENGTH", "-14\n27065000\n-14\n"},
  };
  for (const auto& [line, answer] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(s.HandleLine(line), "");
    EXPECT_TRUE(s.WaitingForReading());
    EXPECT_EQ(s.Resume(RIG_OK), "");  // a tuning's end does not answer it
    EXPECT_EQ(s.ResumeReading(), answer);
    EXPECT_FALSE(s.Waiting());
  }
  // What comes before the reading is answered at once; what is refused is refused at once.
  EXPECT_EQ(s.HandleLine("f l STRENGTH"), "27065000\n");
  EXPECT_EQ(s.ResumeReading(), "-14\n");
  EXPECT_EQ(s.HandleLine("l RFPOWER"), "RPRT -1\n");
  st.fresh = true;
  EXPECT_EQ(s.HandleLine("l STRENGTH"), "-14\n");
  EXPECT_FALSE(s.Waiting());
}

TEST_F(Session, PttAndChannelWrites) {
  EXPECT_EQ(s.HandleLine("T 3"), "RPRT 0\n");
  EXPECT_EQ(st.ptt, 3);
  EXPECT_EQ(s.HandleLine("T 4"), "RPRT -1\n");
  EXPECT_EQ(s.HandleLine("T 1.5"), "RPRT -1\n");
  EXPECT_EQ(s.HandleLine("E 33"), "RPRT 0\n");
  EXPECT_EQ(st.channel, 33);
  EXPECT_EQ(s.HandleLine("E 0"), "RPRT -1\n");
  EXPECT_EQ(s.HandleLine("l RFPOWER"), "RPRT -1\n");
}

TEST_F(Session, ExtendedFormLabelsValues) {
  EXPECT_EQ(s.HandleLine("+f"), "get_freq:\nFrequency: 27065000\nRPRT 0\n");
  EXPECT_EQ(s.HandleLine("+F 27185000"), "set_freq: 27185000\nRPRT 0\n");
  EXPECT_EQ(s.HandleLine("+l STRENGTH"), "get_level: STRENGTH\nSTRENGTH: -14\nRPRT 0\n");
  EXPECT_EQ(s.HandleLine("+\\get_dcd"), "get_dcd:\nDCD: 0\nRPRT 0\n");
}

TEST_F(Session, UnknownCommandsAndQuit) {
  EXPECT_EQ(s.HandleLine("Z"), "RPRT -11\n");
  EXPECT_EQ(s.HandleLine("\\no_such_thing"), "RPRT -11\n");
  EXPECT_EQ(s.HandleLine("fZf"), "27065000\nRPRT -11\n");
  EXPECT_EQ(s.HandleLine("\xff\x80"), "RPRT -11\n");
  EXPECT_EQ(s.HandleLine("\x8b\x8b"), "0\n0\n");
  EXPECT_FALSE(s.Quit());
  EXPECT_EQ(s.HandleLine("q"), "RPRT 0\n");  // Hamlib's network rig waits for it
  EXPECT_TRUE(s.Quit());
}

// Lines as Hamlib's clients send them, in order (the VFO mode is a state of the session).
TEST_F(Session, HamlibClientLinesAnswerInStep) {
  const std::pair<const char*, const char*> lines[] = {
      // A VFO argument where Hamlib's server takes one in its VFO mode; the radio's one VFO.
      {"f VFOA", "27065000\n"},
      {"\\get_freq currVFO", "27065000\n"},
      {"m Main", "AM\n6000\n"},
      {"s VFOA", "0\nVFOA\n"},
      {"t VFOA", "0\n"},
      {"e VFOA f", "9\n27065000\n"},
      {"v VFOA", "VFOA\n"},
      {"\\get_dcd VFOA", "0\n"},
      {"l VFOA STRENGTH", "-14\n"},
      {"M VFOA AM 0", "RPRT 0\n"},
      {"E VFOA 9", "RPRT 0\n"},
      {"F VFOA 27185000.000000", "RPRT 0\n"},
      // Another VFO is not the radio's: refused, its arguments taken with it.
      {"f Sub", "RPRT -1\n"},
      {"F VFOB 27185000 f", "RPRT -1\n27185000\n"},
      {"T VFOB 1 t", "RPRT -1\n0\n"},
      // The extended form: per command, separated by a line end or by the prefix itself.
      {"+f", "get_freq:\nFrequency: 27185000\nRPRT 0\n"},
      {";f VFOA", "get_freq: VFOA;Frequency: 27185000;RPRT 0\n"},
      {"|m", "get_mode:|Mode: AM|Passband: 6000|RPRT 0\n"},
      {",F 27185000", "set_freq: 27185000,RPRT 0\n"},
      {";T 7", "set_ptt: 7;RPRT -1\n"},
      {"+fe", "get_freq:\nFrequency: 27185000\nRPRT 0\n19\n"},
      {";l STRENGTH", "get_level: STRENGTH;STRENGTH: -14;RPRT 0\n"},
      // VFO mode: asked for and reported.
      {"\\chk_vfo", "0\n"},
      {"\\set_vfo_opt 1", "RPRT 0\n"},
      {"\\chk_vfo", "1\n"},
      {"+\\chk_vfo", "chk_vfo:\nChkVFO: 1\nRPRT 0\n"},
      {"\\set_vfo_opt 2", "RPRT -1\n"},
      // Asked before every mode change: never locked.
      {"\\get_lock_mode", "0\n"},
      {"+\\get_lock_mode", "get_lock_mode:\nLocked: 0\nRPRT 0\n"},
      {"M USB 2400", "RPRT -1\n"},
  };
  for (const auto& [line, answer] : lines) EXPECT_EQ(s.HandleLine(line), answer) << line;
  EXPECT_EQ(st.tuned, (std::vector<int64_t>{27185000, 27185000}));
  EXPECT_EQ(st.ptt, 0);
}

// Nothing of a line that holds a control byte or a number that is not a plain decimal is run.
TEST_F(Session, ControlBytesAndSloppyNumbersRunNothing) {
  const std::string lines[] = {std::string("T 1\0junk", 8),
                               std::string("\0T 1", 4),
                               "T 1\x1b",
                               "E 5\x7f",
                               "f\x01T 1",
                               "T 1\vf",
                               "E 1e1",
                               "E 5x",
                               "E 0x10",
                               "E +5",
                               "E 81",
                               "E 99999999999999999999",
                               "T -0",
                               "T 1.0",
                               "F 2.7185e7",
                               "F 27185000junk",
                               "F 0x19EC",
                               "M AM 6k",
                               "F VFOA",
                               "T VFOA"};
  for (const auto& line : lines) {
    const std::string answer = s.HandleLine(line);
    EXPECT_TRUE(answer == "RPRT -1\n" || answer == "RPRT -8\n") << line << ": " << answer;
  }
  EXPECT_EQ(s.HandleLine(std::string("f\0", 2)), "RPRT -8\n");
  EXPECT_EQ(st.ptt, 0);
  EXPECT_EQ(st.channel, 9);
  EXPECT_TRUE(st.tuned.empty());
}

TEST(DumpStateText, EndsWithDoneAndHasTheBand) {
  std::string d = DumpState();
  EXPECT_EQ(d.rfind("1\n2\n1\n", 0), 0u);
  EXPECT_NE(d.find("26565000.000000 27405000.000000 0x21"), std::string::npos);
  EXPECT_NE(d.find("\n0x40000000\n"), std::string::npos);
  EXPECT_EQ(d.substr(d.size() - 5), "done\n");
}

// The server with real sockets on an ephemeral loopback port.
class Server : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication<QCoreApplication>(); }
  void SetUp() override {
    RigServerConfig cfg;
    cfg.port = 0;
    ASSERT_TRUE(server.Listen(cfg));
  }
  // Serves the server until `done` or a bound a loaded machine never reaches; `done` once more.
  template <class Pred>
  static bool PumpUntil(Pred done, int limitMs = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < limitMs)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
  }
  // `expect` 0: nothing is due, and the answer is given a moment to show that it stays away.
  std::string Ask(QTcpSocket& c, const QByteArray& bytes, size_t expect) {
    c.write(bytes);
    std::string got;
    PumpUntil(
        [&] {
          c.waitForReadyRead(1);
          got += c.readAll().toStdString();
          return expect > 0 && got.size() >= expect;
        },
        expect > 0 ? 10000 : 200);
    return got;
  }
  bool Connect(QTcpSocket& c) {
    c.connectToHost("127.0.0.1", server.Port());
    return PumpUntil([&] {
      c.waitForConnected(1);
      return c.state() == QAbstractSocket::ConnectedState;
    });
  }
  FakeStation st;
  RigServer server{st};
};

TEST_F(Server, ServesSeveralClientsAndSplitLines) {
  QTcpSocket a, b;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  EXPECT_EQ(Ask(a, "f\n", 9), "27065000\n");
  EXPECT_EQ(Ask(b, "e", 0), "");  // half a line: nothing yet
  EXPECT_EQ(Ask(b, "\r\n", 2), "9\n");
  EXPECT_EQ(server.ClientCount(), 2);
}

TEST_F(Server, LinesEndWithCrLfOrBoth) {
  QTcpSocket a;
  ASSERT_TRUE(Connect(a));
  EXPECT_EQ(Ask(a, "f\re\r\nt\n\r\n\rv\r", 16), "27065000\n9\n0\nVFOA\n");
}

TEST_F(Server, OverlongLineIsRefusedOnceAndTheNextLineWorks) {
  QTcpSocket a;
  ASSERT_TRUE(Connect(a));
  QByteArray junk(5000, 'x');
  EXPECT_EQ(Ask(a, junk + "\nf\n", 17), "RPRT -1\n27065000\n");
}

TEST_F(Server, ClientThatLeavesMidCommandIsForgotten) {
  {
    QTcpSocket a;
    ASSERT_TRUE(Connect(a));
    a.write("F 2718");
    a.waitForBytesWritten(10000);
    PumpUntil([&] { return false; }, 100);  // the server reads the half command
    EXPECT_EQ(server.ClientCount(), 1);
    a.abort();
  }
  EXPECT_TRUE(PumpUntil([&] { return server.ClientCount() == 0; }));
  EXPECT_TRUE(st.tuned.empty());
}

// A reading right after a channel change is answered once the station has read the new channel,
// or after kHoldPolls polls when it does not; other clients are answered meanwhile.
TEST_F(Server, AReadingWaitsForTheNewChannelAtMostAFewPolls) {
  QTcpSocket a, b;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  st.fresh = false;
  EXPECT_EQ(Ask(a, "l STRENGTH\nf\n", 0), "");
  EXPECT_EQ(Ask(b, "f\n", 9), "27065000\n");
  st.strength = 31;
  st.fresh = true;
  EXPECT_EQ(Ask(a, "", 12), "31\n27065000\n");
  st.fresh = false;
  EXPECT_EQ(Ask(a, "\\get_dcd\n", 0), "");
  st.polls += RigServer::kHoldPolls - 1;
  EXPECT_EQ(Ask(a, "", 0), "");
  st.polls += 1;
  EXPECT_EQ(Ask(a, "", 2), "0\n");
  // A client that leaves while its reading waits is forgotten.
  EXPECT_EQ(Ask(b, "l STRENGTH\n", 0), "");
  b.abort();
  EXPECT_TRUE(PumpUntil([&] { return server.ClientCount() == 1; }));
}

TEST_F(Server, QuitClosesTheConnection) {
  QTcpSocket a;
  ASSERT_TRUE(Connect(a));
  EXPECT_EQ(Ask(a, "q\n", 7), "RPRT 0\n");
  EXPECT_TRUE(PumpUntil([&] {
    a.waitForDisconnected(1);
    return a.state() == QAbstractSocket::UnconnectedState;
  }));
}

// Hamlib's own clients against the server: rigctl through the network rig (model 2), in plain
// and in VFO mode, the same through a rigctld chained in front, and the Python bindings.
class HamlibClients : public Server {
 protected:
  // Runs a client to its end while the server is served; its standard output.
  // With `exitCode` the client may fail; without, a failure is the test's.
  std::string Run(const QString& program, const QStringList& args, int* exitCode = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000)) return "(did not start)";
    p.closeWriteChannel();
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < 60000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      p.waitForFinished(2);
    }
    const QByteArray err = p.readAllStandardError();
    if (exitCode)
      *exitCode = p.state() == QProcess::NotRunning ? p.exitCode() : -1;
    else if (p.exitCode() != 0)
      ADD_FAILURE() << program.toStdString() << ": " << err.toStdString();
    return p.readAllStandardOutput().toStdString();
  }
  // rigctld talking to our server, listening on a port of its own; its address.
  QString Chain(bool vfoMode) {
    QTcpServer probe;  // a free port for it
    probe.listen(QHostAddress::LocalHost, 0);
    const QString port = QString::number(probe.serverPort());
    probe.close();
    QStringList args = {"-m", "2", "-r", Here(), "-T", "127.0.0.1", "-t", port};
    if (vfoMode) args << "--vfo";
    chained_.start(QStandardPaths::findExecutable("rigctld"), args);
    QElapsedTimer t;
    t.start();
    QTcpSocket c;
    while (t.elapsed() < 30000) {
      c.connectToHost("127.0.0.1", static_cast<quint16>(port.toUInt()));
      for (int i = 0; i < 20 && c.state() == QAbstractSocket::ConnectingState; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        c.waitForConnected(5);
      }
      if (c.state() == QAbstractSocket::ConnectedState) break;
      c.abort();
    }
    return "127.0.0.1:" + port;
  }
  QString Here() const { return QString("127.0.0.1:%1").arg(server.Port()); }
  void TearDown() override {
    if (chained_.state() != QProcess::NotRunning) {
      chained_.terminate();
      chained_.waitForFinished(10000);
    }
  }
  QProcess chained_;
};

TEST_F(HamlibClients, RigctlPlainVfoModeAndChained) {
  const QString rigctl = QStandardPaths::findExecutable("rigctl");
  if (rigctl.isEmpty() || QStandardPaths::findExecutable("rigctld").isEmpty())
    GTEST_SKIP() << "rigctl/rigctld are not installed (Debian: libhamlib-utils)";
  // Through rigctld, the client's VFO mode is rigctld's; rigctld in VFO mode names the VFO to
  // us whatever we answer to "\chk_vfo".
  struct {
    bool chained, vfoMode;
    QStringList commands;
    const char* out;
  } cases[] = {
      {false,
       false,
       {"f", "t", "T", "1", "t", "F", "27185000", "f", "e"},
       "27065000\n0\n1\n27185000\n19\n"},
      {false,
       true,
       {"f", "VFOA", "T", "VFOA", "1", "t", "VFOA", "F", "VFOA", "27185000", "e", "VFOA"},
       "27065000\n1\n19\n"},
      {true, false, {"f", "t", "T", "1", "t", "F", "27185000", "f"}, "27065000\n0\n1\n27185000\n"},
      {true,
       true,
       {"f", "VFOA", "T", "VFOA", "1", "t", "VFOA", "F", "VFOA", "27185000", "e", "VFOA"},
       "27065000\n1\n19\n"},
  };
  for (const auto& c : cases) {
    RigServerConfig cfg;
    cfg.port = 0;
    cfg.vfoMode = c.vfoMode && !c.chained;
    ASSERT_TRUE(server.Listen(cfg));
    QStringList args = {"-m", "2", "-r", c.chained ? Chain(c.vfoMode) : Here()};
    if (c.vfoMode) args << "--vfo";
    EXPECT_EQ(Run(rigctl, args + c.commands), c.out) << args.join(' ').toStdString();
    EXPECT_EQ(st.ptt, 1);
    TearDown();
    st = FakeStation();
  }
}

// A mode the radio does not have is refused where the client can see it: Hamlib 4.5 asks for the
// lock mode before it sends the mode, and took a refusal of that question for "nothing to do"
// (no error, the mode never sent).
TEST_F(HamlibClients, ARefusedModeFailsTheClient) {
  const QString rigctl = QStandardPaths::findExecutable("rigctl");
  if (rigctl.isEmpty() || QStandardPaths::findExecutable("rigctld").isEmpty())
    GTEST_SKIP() << "rigctl/rigctld are not installed (Debian: libhamlib-utils)";
  for (bool chained : {false, true}) {
    for (bool vfoMode : {false, true}) {
      RigServerConfig cfg;
      cfg.port = 0;
      cfg.vfoMode = vfoMode && !chained;
      ASSERT_TRUE(server.Listen(cfg));
      QStringList args = {"-m", "2", "-r", chained ? Chain(vfoMode) : Here()};
      if (vfoMode) args << "--vfo";
      const QStringList mode = vfoMode ? QStringList{"M", "VFOA"} : QStringList{"M"};
      SCOPED_TRACE(args.join(' ').toStdString());
      // rigctl 4.5 ends with 0 either way and says a failure on its standard output.
      int exitCode = 0;
      const std::string refused = Run(rigctl, args + mode + QStringList{"USB", "2400"}, &exitCode);
      EXPECT_NE(refused.find("Invalid parameter"), std::string::npos) << refused;
      EXPECT_EQ(Run(rigctl, args + mode + QStringList{"AM", "0"}), "");
      TearDown();
    }
  }
}

// The Python bindings, plain and after switching their connection to the VFO mode.
TEST_F(HamlibClients, PythonBindings) {
  // Debian's bindings are built for Debian's interpreter, which another one on PATH may hide.
  QString python;
  for (const QString& p : {QString("/usr/bin/python3"), QStandardPaths::findExecutable("python3")})
    if (python.isEmpty() && !p.isEmpty() && QFileInfo(p).isExecutable() &&
        QProcess::execute(p, {"-c", "import Hamlib"}) == 0)
      python = p;
  if (python.isEmpty())
    GTEST_SKIP() << "the Python Hamlib bindings are not installed (Debian: python3-hamlib)";
  const QString script = QString(R"(
import Hamlib
Hamlib.rig_set_debug(Hamlib.RIG_DEBUG_NONE)
rig = Hamlib.Rig(2)
rig.set_conf("rig_pathname", "%1")
rig.open()
def show(*v): print(*v, rig.error_status)
show(int(rig.get_freq()))
rig.set_ptt(Hamlib.RIG_VFO_CURR, Hamlib.RIG_PTT_ON); show("ptt", rig.get_ptt())
rig.set_vfo_opt(1); show("vfo")
show(int(rig.get_freq()))
rig.set_freq(Hamlib.RIG_VFO_CURR, 27185000); show("set")
show(rig.get_mode()[0] == Hamlib.RIG_MODE_AM)
rig.set_ptt(Hamlib.RIG_VFO_CURR, Hamlib.RIG_PTT_OFF); show("ptt", rig.get_ptt())
rig.set_mode(Hamlib.RIG_MODE_USB); print("usb", rig.error_status != 0)
rig.set_mode(Hamlib.RIG_MODE_AM); show("am")
rig.close()
)")
                             .arg(Here());
  EXPECT_EQ(Run(python, {"-c", script}),
            "27065000 0\nptt 1 0\nvfo 0\n27065000 0\nset 0\nTrue 0\nptt 0 0\nusb True\nam 0\n");
  EXPECT_EQ(st.tuned, (std::vector<int64_t>{27185000}));
}

}  // namespace
