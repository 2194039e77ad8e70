// The browser front's latencies over real TLS on loopback, 200 tries each: a station change to
// the page's update, and a PTT press on the page to the station's keying. Reported as median
// and 99th percentile in milliseconds (counters), the client being a Qt WebSocket in-process.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <algorithm>
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

}  // namespace

BENCHMARK_MAIN();
