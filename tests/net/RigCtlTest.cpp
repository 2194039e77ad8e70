#include <gtest/gtest.h>

#include <QCoreApplication>
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
  EXPECT_EQ(s.HandleLine("F 2.7185e7"), "RPRT 0\n");
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
  EXPECT_EQ(s.HandleLine(std::string("\xff\x00\x80", 3)), "RPRT -11\n");
  EXPECT_EQ(s.HandleLine("\x8b\x8b"), "0\n0\n");
  EXPECT_FALSE(s.Quit());
  EXPECT_EQ(s.HandleLine("q"), "");
  EXPECT_TRUE(s.Quit());
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
  std::string Ask(QTcpSocket& c, const QByteArray& bytes, size_t expect) {
    c.write(bytes);
    std::string got;
    for (int i = 0; i < 200 && got.size() < expect; ++i) {
      QCoreApplication::processEvents();
      c.waitForReadyRead(5);
      got += c.readAll().toStdString();
    }
    return got;
  }
  bool Connect(QTcpSocket& c) {
    c.connectToHost("127.0.0.1", server.Port());
    for (int i = 0; i < 200 && c.state() != QAbstractSocket::ConnectedState; ++i) {
      QCoreApplication::processEvents();
      c.waitForConnected(5);
    }
    return c.state() == QAbstractSocket::ConnectedState;
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
    a.waitForBytesWritten(100);
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(server.ClientCount(), 1);
    a.abort();
  }
  for (int i = 0; i < 100 && server.ClientCount() > 0; ++i) {
    QCoreApplication::processEvents();
    QTcpSocket probe;  // keeps the loop busy a moment
  }
  EXPECT_EQ(server.ClientCount(), 0);
  EXPECT_TRUE(st.tuned.empty());
}

TEST_F(Server, QuitClosesTheConnection) {
  QTcpSocket a;
  ASSERT_TRUE(Connect(a));
  Ask(a, "q\n", 0);
  for (int i = 0; i < 200 && a.state() != QAbstractSocket::UnconnectedState; ++i) {
    QCoreApplication::processEvents();
    a.waitForDisconnected(5);
  }
  EXPECT_EQ(a.state(), QAbstractSocket::UnconnectedState);
}

}  // namespace
