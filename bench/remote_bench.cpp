// The browser front's latencies over real TLS on loopback, 200 tries each: a station change to
// the page's update, and a PTT press on the page to the station's keying. Reported as median
// and 99th percentile in milliseconds (counters), the client being a Qt WebSocket in-process.
// And the station's CPU with 0, 1, 5 and 20 pages listening to its receive audio.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <algorithm>
#include <memory>
#include <vector>

#include "remote/FakeStation.h"
#include "remote/Password.h"
#include "remote/RemoteServer.h"

namespace {

template <class F>
bool Wait(F done, int ms = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  return true;
}

void Report(benchmark::State& state, std::vector<double> v, const char* name) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return;
  state.counters[std::string(name) + "_median_ms"] = v[v.size() / 2];
  state.counters[std::string(name) + "_p99_ms"] = v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

void BM_RemoteLatency(benchmark::State& state) {
  static int argc = 1;
  static char arg0[] = "bench";
  static char* argv[] = {arg0, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  QTemporaryDir dir;
  remote::Identity id;
  remote::LoadOrCreateIdentity(dir.filePath("c").toStdString(), dir.filePath("k").toStdString(),
                               true, id, nullptr);
  remote::FakeStation station;
  remote::RemoteServer server(station);
  remote::RemoteConfig cfg;
  cfg.passwordHash = remote::HashPassword("pw", {1u << 10, 8, 1});
  if (!server.Listen(cfg, id)) {
    state.SkipWithError("no listen");
    return;
  }
  QSslConfiguration trust = QSslConfiguration::defaultConfiguration();
  trust.setPeerVerifyMode(QSslSocket::VerifyNone);
  QSslSocket login;
  QByteArray got;
  login.setSslConfiguration(trust);
  QObject::connect(&login, &QIODevice::readyRead, [&] { got += login.readAll(); });
  login.connectToHostEncrypted("127.0.0.1", server.Port());
  login.write("POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\n\r\npassword=pw");
  Wait([&] { return got.contains("\r\n\r\n"); });
  const QByteArray token = got.mid(got.indexOf("kanalo=") + 7, 64);

  QWebSocket ws(QString("https://127.0.0.1:%1").arg(server.Port()));
  ws.setSslConfiguration(trust);
  int lastChannel = 0;
  QObject::connect(&ws, &QWebSocket::textMessageReceived, [&](const QString& m) {
    const QJsonObject o = QJsonDocument::fromJson(m.toUtf8()).object();
    if (o["t"] == "state") lastChannel = o["channel"].toInt();
  });
  QNetworkRequest req(QUrl(QString("wss://127.0.0.1:%1/ws").arg(server.Port())));
  req.setRawHeader("Cookie", "kanalo=" + token);
  ws.open(req);
  if (!Wait([&] { return lastChannel == 9; })) {
    state.SkipWithError("no page");
    return;
  }
  bool keyed = false;
  station.OnKeying = [&](bool k) { keyed = k; };
  std::vector<double> update, press;
  for (auto _ : state) {
    for (int i = 0; i < 200; ++i) {
      QElapsedTimer t;
      const int ch = 1 + (i % 40);
      t.start();
      station.SetChannel(ch == lastChannel ? ch % 40 + 1 : ch);
      const int want = station.State().channel;
      if (!Wait([&] { return lastChannel == want; })) {
        state.SkipWithError(("no update at try " + std::to_string(i)).c_str());
        return;
      }
      update.push_back(t.nsecsElapsed() / 1e6);
      t.restart();
      ws.sendTextMessage(R"({"c":"ptt","v":true})");
      if (!Wait([&] { return keyed; })) {
        state.SkipWithError(("no keying at try " + std::to_string(i)).c_str());
        return;
      }
      press.push_back(t.nsecsElapsed() / 1e6);
      ws.sendTextMessage(R"({"c":"ptt","v":false})");
      if (!Wait([&] { return !keyed; })) {
        state.SkipWithError("no release");
        return;
      }
      // A page's pace: two messages per try stay below the server's flood bound.
      QElapsedTimer pace;
      pace.start();
      Wait([&] { return pace.elapsed() >= 40; });
    }
  }
  Report(state, update, "change_to_page");
  Report(state, press, "ptt_to_key");
}
BENCHMARK(BM_RemoteLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

// CPU time of the station process (user + system) from /proc, in seconds.
double ProcessCpu(qint64 pid) {
  QFile f(QString("/proc/%1/stat").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  const QByteArray stat = f.readAll();
  const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
  // Fields 14 and 15 of the line (utime, stime) are 12 and 13 after the name.
  return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

// The station's CPU with N listening pages, receive audio flowing (a DTMF call over and over):
// the fake station in a process of its own, the pages as Qt WebSockets in this one, 10 s each.
// Reported as per cent of one core, and the cost of each page beyond the first.
void BM_ListenerCpu(benchmark::State& state) {
  static int argc = 1;
  static char arg0[] = "bench";
  static char* argv[] = {arg0, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  const int pages = static_cast<int>(state.range(0));
  QTemporaryDir dir;
  QProcess fake;
  fake.start(KANALO_REMOTE_FAKE, {"--dir", dir.path(), "--password", "pw"});
  if (!fake.waitForStarted() || !Wait([&] { return fake.canReadLine(); }, 20000)) {
    state.SkipWithError("no fake station");
    fake.kill();
    fake.waitForFinished(1000);
    return;
  }
  const int port = fake.readLine().split(' ').value(1).trimmed().toInt();
  QSslConfiguration trust = QSslConfiguration::defaultConfiguration();
  trust.setPeerVerifyMode(QSslSocket::VerifyNone);
  QSslSocket login;
  QByteArray got;
  login.setSslConfiguration(trust);
  QObject::connect(&login, &QIODevice::readyRead, [&] { got += login.readAll(); });
  login.connectToHostEncrypted("127.0.0.1", static_cast<quint16>(port));
  login.write("POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\n\r\npassword=pw");
  Wait([&] { return got.contains("\r\n\r\n"); });
  const QByteArray token = got.mid(got.indexOf("kanalo=") + 7, 64);
  std::vector<std::unique_ptr<QWebSocket>> ws;
  int64_t frames = 0;
  for (int i = 0; i < pages; ++i) {
    auto w = std::make_unique<QWebSocket>(QString("https://127.0.0.1:%1").arg(port));
    w->setSslConfiguration(trust);
    QObject::connect(w.get(), &QWebSocket::binaryMessageReceived, [&] { ++frames; });
    QNetworkRequest req(QUrl(QString("wss://127.0.0.1:%1/ws").arg(port)));
    req.setRawHeader("Cookie", "kanalo=" + token);
    w->open(req);
    ws.push_back(std::move(w));
  }
  struct Stop {
    QProcess& p;
    ~Stop() {
      p.write("quit\n");
      if (!p.waitForFinished(5000)) p.kill();
      p.waitForFinished(1000);
    }
  } stop{fake};
  if (pages && !Wait([&] { return frames > 50 * pages; }, 20000)) {
    state.SkipWithError("no audio");
    return;
  }
  double cpu = 0, seconds = 0;
  for (auto _ : state) {
    const double before = ProcessCpu(fake.processId());
    QElapsedTimer t;
    t.start();
    frames = 0;
    // 9 s of tones, started again when they end: the encoder never rests on silence.
    for (int64_t next = 0; t.elapsed() < 10000;) {
      if (t.elapsed() >= next) {
        fake.write("dtmf 0123456789*#ABCD0123456789\n");
        next += 9000;
      }
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    seconds = t.elapsed() / 1000.0;
    cpu = ProcessCpu(fake.processId()) - before;
  }
  state.counters["station_cpu_pct"] = 100 * cpu / seconds;
  if (pages) state.counters["frames_per_page_s"] = double(frames) / pages / seconds;
}
BENCHMARK(BM_ListenerCpu)->Arg(0)->Arg(1)->Arg(5)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
