// The server on real TLS sockets against the fake station: pushes to every page, keying that
// ends when the page stops talking, and clients that do their worst (oversized frames, floods,
// heads that never end, more connections than allowed). Waits are for conditions, in seconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <cmath>
#include <memory>

#include "remote/FakeStation.h"
#include "remote/Password.h"
#include "remote/RemoteServer.h"
#include "tests/support/QtApp.h"

using namespace remote;

namespace {

template <class F>
bool WaitFor(F done, int ms = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ::usleep(1000);
  }
  return true;
}

QSslConfiguration Trusting() {
  QSslConfiguration c = QSslConfiguration::defaultConfiguration();
  c.setPeerVerifyMode(QSslSocket::VerifyNone);
  return c;
}

// One raw TLS connection that collects everything the server sends.
struct Raw {
  std::unique_ptr<QSslSocket> s = std::make_unique<QSslSocket>();
  QByteArray got;
  bool closed = false;
  explicit Raw(uint16_t port) {
    s->setSslConfiguration(Trusting());
    QObject::connect(s.get(), &QIODevice::readyRead, [this] { got += s->readAll(); });
    QObject::connect(s.get(), &QAbstractSocket::disconnected, [this] { closed = true; });
    s->connectToHostEncrypted("127.0.0.1", port);
  }
  bool Encrypted() {
    return WaitFor([&] { return s->isEncrypted() || closed; }) && !closed;
  }
  int Status() const { return got.startsWith("HTTP/1.1 ") ? got.mid(9, 3).toInt() : 0; }
};

struct Page {
  std::unique_ptr<QWebSocket> ws;
  std::vector<QJsonObject> got;
  std::vector<AudioFrameHeader> audio;
  bool open = false, closed = false;
  Page(uint16_t port, const QByteArray& token) {
    const QString origin = QString("https://127.0.0.1:%1").arg(port);
    ws = std::make_unique<QWebSocket>(origin);
    ws->setSslConfiguration(Trusting());
    QObject::connect(ws.get(), &QWebSocket::connected, [this] { open = true; });
    QObject::connect(ws.get(), &QWebSocket::disconnected, [this] { closed = true; });
    QObject::connect(ws.get(), &QWebSocket::textMessageReceived, [this](const QString& m) {
      got.push_back(QJsonDocument::fromJson(m.toUtf8()).object());
    });
    QObject::connect(ws.get(), &QWebSocket::binaryMessageReceived, [this](const QByteArray& m) {
      auto h = ParseAudioFrame(std::string_view(m.constData(), size_t(m.size())));
      EXPECT_TRUE(h) << "an audio frame";
      if (h) audio.push_back(*h);
    });
    QNetworkRequest req(QUrl(QString("wss://127.0.0.1:%1/ws").arg(port)));
    req.setRawHeader("Cookie", "kanalo=" + token);
    ws->open(req);
  }
  void Send(const char* json) { ws->sendTextMessage(QString::fromUtf8(json)); }
  bool SawChannel(int ch) const {
    for (const auto& o : got)
      if (o["t"] == "state" && o["channel"].toInt() == ch) return true;
    return false;
  }
  bool SawError() const {
    for (const auto& o : got)
      if (o["t"] == "error") return true;
    return false;
  }
};

class ServerTest : public ::testing::Test {
 protected:
  // Before the fixture's members: Qt's TLS backend is picked when the first certificate is made.
  static void SetUpTestSuite() { testsupport::EnsureQtApplication<QCoreApplication>(); }
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    std::string why;
    ASSERT_TRUE(LoadOrCreateIdentity(dir_.filePath("c.pem").toStdString(),
                                     dir_.filePath("k.pem").toStdString(), true, id_, &why))
        << why;
    cfg_.passwordHash = HashPassword("pw", {1u << 10, 8, 1});
    cfg_.listenerHash = HashPassword("ear", {1u << 10, 8, 1});
    cfg_.failDelayMs = 50;
    station_.OnKeying = [this](bool k) { keyed_ = k; };
  }
  void Start() {
    std::string why;
    ASSERT_TRUE(server_.Listen(cfg_, id_, &why)) << why;
  }
  QByteArray Login(const char* password) {
    Raw r(server_.Port());
    const QByteArray body = QByteArray("password=") + password;
    r.s->write("POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: " +
               QByteArray::number(body.size()) + "\r\n\r\n" + body);
    EXPECT_TRUE(WaitFor([&] { return r.got.contains("\r\n\r\n"); }));
    const int at = r.got.indexOf("kanalo=");
    return at < 0 ? QByteArray() : r.got.mid(at + 7, 64);
  }

  QTemporaryDir dir_;
  Identity id_;
  RemoteConfig cfg_;
  FakeStation station_;
  RemoteServer server_{station_};
  bool keyed_ = false;
};

TEST_F(ServerTest, ChangesReachEveryPageAndSilentOrClosedPagesLetGo) {
  Start();
  const QByteArray token = Login("pw");
  ASSERT_EQ(token.size(), 64);
  Page a(server_.Port(), token), b(server_.Port(), token);
  ASSERT_TRUE(WaitFor([&] { return a.SawChannel(9) && b.SawChannel(9); }));
  station_.SetChannel(33);
  ASSERT_TRUE(WaitFor([&] { return a.SawChannel(33) && b.SawChannel(33); }));

  // Held while heartbeats come; let go when they stop.
  a.Send(R"({"c":"ptt","v":true})");
  ASSERT_TRUE(WaitFor([&] { return keyed_; }));
  b.Send(R"({"c":"ptt","v":true})");
  ASSERT_TRUE(WaitFor([&] { return b.SawError(); }));  // the channel is held
  ASSERT_TRUE(WaitFor([&] { return !keyed_; }));
  EXPECT_EQ(station_.State().remoteHolder, 0);

  // The holder's socket closing lets go too.
  b.Send(R"({"c":"ptt","v":true})");
  ASSERT_TRUE(WaitFor([&] { return keyed_; }));
  b.ws->abort();
  ASSERT_TRUE(WaitFor([&] { return !keyed_; }));
  // Page hidden.
  a.Send(R"({"c":"ptt","v":true})");
  ASSERT_TRUE(WaitFor([&] { return keyed_; }));
  a.Send(R"({"c":"hidden"})");
  ASSERT_TRUE(WaitFor([&] { return !keyed_; }));
}

TEST_F(ServerTest, AudioIsEncodedOnceForEveryPageAndASlowPageMissesWholeFrames) {
  Start();
  const QByteArray token = Login("ear");
  int64_t us = 1000000;
  auto receive = [&](int64_t ms) {
    us += ms * 1000;
    station_.ReceiveUntil(us);
  };
  EXPECT_FALSE(station_.AudioListened()) << "nobody listens: the station need not capture";
  Page a(server_.Port(), token);
  ASSERT_TRUE(WaitFor([&] { return a.SawChannel(9) && station_.AudioListened(); }));
  receive(0);
  station_.ReceiveDtmf("1");
  receive(200);
  ASSERT_TRUE(WaitFor([&] { return a.audio.size() >= 9; }));
  // One frame every 20 ms, numbered and timed from the first block on.
  for (size_t i = 0; i < a.audio.size(); ++i) {
    EXPECT_EQ(a.audio[i].number, i);
    EXPECT_EQ(a.audio[i].captureUs, 1000000 + int64_t(i) * 20000);
  }

  // A page that joins gets the stream from the next frame on.
  Page b(server_.Port(), token);
  ASSERT_TRUE(WaitFor([&] { return b.SawChannel(9); }));
  const uint32_t joined = server_.AudioFrames();
  receive(100);
  ASSERT_TRUE(WaitFor([&] { return b.audio.size() >= 5; }));
  EXPECT_EQ(b.audio.front().number, joined);

  // Ten seconds of sound at once, before either socket can send anything: each page holds at
  // most the audio bound, misses the rest as whole frames, and then hears the live stream.
  const size_t before = server_.BufferedBytes();
  receive(10000);
  EXPECT_LT(server_.BufferedBytes(),
            before + 2 * (RemoteServer::kMaxAudioBacklog + kAudioHeader + kMaxOpusPacket + 16));
  EXPECT_GT(server_.AudioDropped(), 0);
  const uint32_t last = server_.AudioFrames() - 1;
  ASSERT_TRUE(WaitFor([&] { return server_.BufferedBytes() < RemoteServer::kMaxAudioBacklog; }));
  receive(100);
  ASSERT_TRUE(WaitFor([&] { return !b.audio.empty() && b.audio.back().number > last; }));
  for (size_t i = 1; i < b.audio.size(); ++i)
    ASSERT_GT(b.audio[i].number, b.audio[i - 1].number) << "in order, gaps allowed";

  // The last page gone, the station is told it need not hand over audio any more.
  a.ws->close();
  b.ws->close();
  ASSERT_TRUE(WaitFor([&] { return !station_.AudioListened(); }));
}

TEST_F(ServerTest, ListenerIsRefusedEveryControl) {
  Start();
  const QByteArray token = Login("ear");
  ASSERT_EQ(token.size(), 64);
  Page p(server_.Port(), token);
  ASSERT_TRUE(WaitFor([&] { return p.SawChannel(9); }));
  for (const char* m : {R"({"c":"ptt","v":true})", R"({"c":"up"})",
                        R"({"c":"armmailbox","v":true})", R"({"c":"call","v":"1234"})"})
    p.Send(m);
  p.Send(R"({"c":"log"})");
  ASSERT_TRUE(WaitFor([&] { return !p.got.empty() && p.got.back()["t"] == "log"; }));
  EXPECT_FALSE(keyed_);
  EXPECT_EQ(station_.upCount, 0);
  EXPECT_TRUE(station_.calls.empty());
  EXPECT_FALSE(station_.State().mailboxArmed);
}

TEST_F(ServerTest, OversizedFramesAndFloodsCloseTheSocketNotTheServer) {
  Start();
  const QByteArray token = Login("pw");
  Page big(server_.Port(), token), flood(server_.Port(), token), calm(server_.Port(), token);
  ASSERT_TRUE(WaitFor([&] { return big.open && flood.open && calm.open; }));
  big.ws->sendTextMessage(QString(64 * 1024, 'x'));
  for (int i = 0; i < 1000; ++i) flood.Send(R"({"c":"log"})");
  ASSERT_TRUE(WaitFor([&] { return big.closed && flood.closed; }));
  station_.SetChannel(12);
  ASSERT_TRUE(WaitFor([&] { return calm.SawChannel(12); }));
  EXPECT_FALSE(calm.closed);
}

TEST_F(ServerTest, FiftyConnectionsAtOnceAreServedOrRefusedCleanly) {
  // All from one address here: its own bound is raised to the total's.
  for (int limit : {64, 20}) {
    SCOPED_TRACE(limit);
    cfg_.clients = cfg_.perAddress = limit;
    Start();
    std::vector<std::unique_ptr<Raw>> raws;
    for (int i = 0; i < 50; ++i) raws.push_back(std::make_unique<Raw>(server_.Port()));
    for (auto& r : raws)
      QObject::connect(r->s.get(), &QSslSocket::encrypted,
                       [s = r->s.get()] { s->write("GET / HTTP/1.1\r\nHost: x\r\n\r\n"); });
    ASSERT_TRUE(WaitFor(
        [&] {
          for (auto& r : raws)
            if (r->Status() == 0 && !r->closed) return false;
          return true;
        },
        30000));
    int served = 0;
    for (auto& r : raws) {
      const int st = r->Status();
      // Beyond the bound the oldest without a session is pushed out (closed unanswered).
      EXPECT_TRUE(st == 303 || (st == 0 && r->closed)) << st;
      served += st == 303;
    }
    if (limit >= 50) {
      EXPECT_EQ(served, 50);
    }
    EXPECT_GE(served, 1);
    raws.clear();
    ASSERT_TRUE(WaitFor([&] { return server_.Connections() == 0; }));
    // And the next one is served as if nothing happened.
    Raw after(server_.Port());
    ASSERT_TRUE(after.Encrypted());
    after.s->write("GET /login HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return after.Status() == 200; }));
    server_.Close();
  }
}

TEST_F(ServerTest, HeadsThatNeverEndAndOversizedRequestsAreClosed) {
  cfg_.headTimeoutMs = 300;
  Start();
  Raw slow(server_.Port()), huge(server_.Port()), body(server_.Port());
  ASSERT_TRUE(slow.Encrypted() && huge.Encrypted() && body.Encrypted());
  slow.s->write("GET / HTTP/1.1\r\nHost:");
  huge.s->write("GET / HTTP/1.1\r\nX: " + QByteArray(64 * 1024, 'a'));
  body.s->write("POST /login HTTP/1.1\r\nContent-Length: 100000\r\n\r\n");
  ASSERT_TRUE(WaitFor([&] { return slow.closed && huge.closed && body.closed; }));
  EXPECT_EQ(slow.Status(), 0);
  EXPECT_EQ(huge.Status(), 431);
  EXPECT_EQ(body.Status(), 413);
  EXPECT_LT(server_.BufferedBytes(), 64u * 1024);
}

// The generated certificate names where the browser reaches the station; text that is neither
// an address nor a host name never reaches the extension.
TEST(Certificate, GeneratedOneNamesTheListenAddressAndTheHostsNames) {
  testsupport::EnsureQtApplication<QCoreApplication>();
  struct Case {
    std::vector<std::string> names;
    std::string alt;
  };
  const std::string base = "DNS:localhost,IP:127.0.0.1,IP:::1";
  for (const Case& c : {Case{{}, base},
                        Case{{"192.0.2.7", "mast", "mast.example"},
                             base + ",IP:192.0.2.7,DNS:mast,DNS:mast.example"},
                        Case{{"0.0.0.0", "::", "127.0.0.1", "localhost"}, base},
                        Case{{"2001:db8::1", "a,IP:1.2.3.4", "x y", ""}, base + ",IP:2001:db8::1"}})
    EXPECT_EQ(AltNames(c.names), c.alt);
  QTemporaryDir dir;
  Identity id;
  std::string why;
  ASSERT_TRUE(LoadOrCreateIdentity(dir.filePath("c.pem").toStdString(),
                                   dir.filePath("k.pem").toStdString(), true, id, &why,
                                   {"192.0.2.7", "mast.example"}))
      << why;
  const auto alt = id.certificate.subjectAlternativeNames();
  EXPECT_TRUE(alt.values(QSsl::IpAddressEntry).contains("192.0.2.7"));
  EXPECT_TRUE(alt.values(QSsl::DnsEntry).contains("mast.example"));
  EXPECT_TRUE(alt.values(QSsl::DnsEntry).contains("localhost"));
}

TEST_F(ServerTest, RecordingsNeedASessionAndNoPathEscapes) {
  const QString file = dir_.filePath("Mailbox1.wav");
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(200 * 1024, 'R'));
  }
  station_.AddRecording({"Mailbox1.wav", 200 * 1024, "heute"}, file.toStdString());
  Start();
  const QByteArray token = Login("pw");
  auto get = [&](const QByteArray& path, const QByteArray& cookie) {
    auto r = std::make_unique<Raw>(server_.Port());
    r->s->write("GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" +
                (cookie.isEmpty() ? QByteArray() : "Cookie: kanalo=" + cookie + "\r\n") + "\r\n");
    EXPECT_TRUE(WaitFor([&] { return r->closed; }));
    return r;
  };
  EXPECT_EQ(get("/rec/Mailbox1.wav", {})->Status(), 401);
  EXPECT_EQ(get("/rec/..%2Fk.pem", token)->Status(), 404);
  auto ok = get("/rec/Mailbox1.wav", token);
  EXPECT_EQ(ok->Status(), 200);
  EXPECT_TRUE(ok->got.endsWith(QByteArray(200 * 1024, 'R')));
}

}  // namespace

// Opus frames of a 1 kHz tone as a page sends them: numbered from `first`.
std::vector<QByteArray> VoiceFrames(int count, uint32_t first = 0) {
  AudioStream enc;
  std::vector<QByteArray> out;
  enc.OnFrame = [&](const std::string& m, uint32_t) {
    auto h = *ParseAudioFrame(m);
    h.number = first + static_cast<uint32_t>(out.size());
    const std::string f = AudioFrameMessage(h, std::string_view(m).substr(kAudioHeader));
    out.emplace_back(f.data(), static_cast<qsizetype>(f.size()));
  };
  std::vector<int16_t> tone(kCaptureRate * (count + 2) / 50);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000 * double(i) / kCaptureRate));
  enc.Feed(tone.data(), tone.size(), 0, false);
  out.resize(static_cast<size_t>(count));
  return out;
}

TEST_F(ServerTest, OnlyTheHoldersVoiceReachesTheStationAndAFloodLosesFramesNotThePage) {
  Start();
  Page op(server_.Port(), Login("pw")), ear(server_.Port(), Login("ear"));
  ASSERT_TRUE(WaitFor([&] { return op.SawChannel(9) && ear.SawChannel(9); }));
  const auto frames = VoiceFrames(40);
  // Before the press: dropped.
  op.ws->sendBinaryMessage(frames[0]);
  ASSERT_TRUE(WaitFor([&] { return server_.VoiceDropped() == 1; }));
  op.Send(R"({"c":"ptt","v":true})");
  ASSERT_TRUE(WaitFor([&] { return keyed_; }));
  for (int i = 0; i < 10; ++i) op.ws->sendBinaryMessage(frames[static_cast<size_t>(i)]);
  ASSERT_TRUE(WaitFor([&] { return server_.VoiceFrames() == 10; }));
  // 20 ms at 48 kHz each, 44100 Hz at the station (give or take the resampler's look-ahead).
  EXPECT_NEAR(double(station_.voice.size()), 10 * 882.0, 20);
  // A listener's frames, a repeated frame and bytes that are no frame are dropped.
  ear.ws->sendBinaryMessage(frames[10]);
  op.ws->sendBinaryMessage(frames[9]);
  op.ws->sendBinaryMessage("KA\x01");
  ASSERT_TRUE(WaitFor([&] { return server_.VoiceDropped() == 4; }));
  EXPECT_EQ(server_.VoiceFrames(), 10);
  // Two frames lost on the way are bridged: the voice keeps its length.
  const size_t had = station_.voice.size();
  op.ws->sendBinaryMessage(frames[12]);
  ASSERT_TRUE(WaitFor([&] { return server_.VoiceFrames() == 11; }));
  EXPECT_NEAR(double(station_.voice.size() - had), 3 * 882.0, 20);
  // A burst of three seconds' worth at once loses frames beyond the budget, never the page.
  const auto burst = VoiceFrames(3 * RemoteServer::kMaxVoiceRate, 13);
  for (const auto& f : burst) op.ws->sendBinaryMessage(f);
  const int64_t sent = 15 + static_cast<int64_t>(burst.size());
  ASSERT_TRUE(WaitFor([&] { return server_.VoiceFrames() + server_.VoiceDropped() == sent; }));
  EXPECT_LT(server_.VoiceFrames(), 11 + 2 * RemoteServer::kMaxVoiceRate);
  EXPECT_GT(server_.VoiceFrames(), 11 + RemoteServer::kMaxVoiceRate / 2);
  EXPECT_FALSE(op.closed);
  EXPECT_TRUE(keyed_);
  // After the release nothing more is taken, and nothing was cut.
  op.Send(R"({"c":"ptt","v":false})");
  ASSERT_TRUE(WaitFor([&] { return !keyed_; }));
  const int64_t taken = server_.VoiceFrames();
  op.ws->sendBinaryMessage(VoiceFrames(1, 1000)[0]);
  ASSERT_TRUE(WaitFor([&] { return server_.VoiceFrames() + server_.VoiceDropped() == sent + 1; }));
  EXPECT_EQ(server_.VoiceFrames(), taken);
  EXPECT_EQ(station_.voiceCuts, 0) << "let go on purpose: played out, not cut";
}
