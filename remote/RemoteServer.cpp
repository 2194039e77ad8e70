#include "remote/RemoteServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QHostAddress>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/Host.h"
#include "remote/Password.h"
#include "remote/Protocol.h"

// Resources of a static library are registered by hand, once, from the global namespace.
static void InitRemoteResources() {
  static bool done = [] {
    Q_INIT_RESOURCE(remote);
    return true;
  }();
  (void)done;
}

namespace remote {

namespace {

using SteadyClock = std::chrono::steady_clock;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             SteadyClock::now().time_since_epoch())
      .count();
}

const char* kCookie = "kanalo";

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 303:
      return "See Other";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

// The error answers' bodies, in the station's language.
const char* StatusBody(int status) {
  switch (status) {
    case 400:
      return "Ungültige Anfrage\n";
    case 404:
      return "Nicht gefunden\n";
    case 405:
      return "Methode nicht erlaubt\n";
    case 413:
      return "Anfrage zu groß\n";
    case 431:
      return "Kopfzeilen zu groß\n";
    default:
      return "Fehler\n";
  }
}

// The listening socket: every connection it accepts goes to the server at once, so the
// kernel's listen queue never fills (Qt's TLS server stops accepting for good once handshakes
// that never end have filled its own queue). The server does the TLS handshake itself.
class Door : public QTcpServer {
 public:
  explicit Door(std::function<void(qintptr)> onIncoming) : onIncoming_(std::move(onIncoming)) {}

 protected:
  void incomingConnection(qintptr fd) override { onIncoming_(fd); }

 private:
  std::function<void(qintptr)> onIncoming_;
};

// Whether the peer closed (or reset) the connection, without taking anything from it.
bool PeerClosed(QSslSocket& sock) {
  const qintptr fd = sock.socketDescriptor();
  if (fd < 0) return true;
  char byte;
  const ssize_t n = ::recv(static_cast<int>(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// TLS 1.2's AEAD suites with forward secrecy, and TLS 1.3's (all AEAD): no CBC, no RSA key
// exchange.
QList<QSslCipher> DoorCiphers() {
  QList<QSslCipher> out;
  for (const QSslCipher& c : QSslConfiguration::supportedCiphers()) {
    const QString name = c.name();
    const bool aead = name.contains("GCM") || name.contains("CHACHA20");
    const bool v13 = name.startsWith("TLS_"), ecdhe = name.startsWith("ECDHE-");
    if (aead && (v13 || ecdhe)) out.push_back(c);
  }
  return out;
}

QByteArray Resource(const char* path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray LoginPage(const std::string& message) {
  QByteArray page = Resource(":/remote/login.html");
  QByteArray text = QByteArray::fromStdString(message)
                        .replace('&', "&amp;")
                        .replace('<', "&lt;")
                        .replace('>', "&gt;");
  return page.replace("<!--MESSAGE-->", text);
}

}  // namespace

struct RemoteServer::Http {
  int id = 0;
  QPointer<QSslSocket> sock;
  std::string peer;
  int64_t openedMs = 0;
  int64_t deadlineMs = 0;    // the handshake, a head (or the rest of a body) must be in by then
  bool withSession = false;  // a request on it carried a live session: never pushed out
  bool headOnly = false;     // the request being answered is a HEAD
  bool busy = false;         // an answer is pending (a slowed login): read nothing more
  bool closing = false;
  std::unique_ptr<QFile> file;  // a download in progress
  bool closeAfter = false;      // close once the pending answer (a file, a checked login) is out
};

struct RemoteServer::Page {
  int id = 0;
  QPointer<QWebSocket> ws;
  int session = 0;
  Role role = Role::Listener;
  std::string peer;
  double tokens = 2.0 * kMaxRate;
  int64_t tokensAtMs = 0;
  bool stale = false;  // a state update was held back by the output bound
  int64_t overSinceMs = 0;
  double voiceTokens = kMaxVoiceRate;
  int64_t voiceAtMs = 0;
};

bool RemoteConfig::ParseListen(const std::string& text, std::string& address, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon), p = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;
  }
  if (p.size() > 5) return false;
  int v = 0;
  for (char c : p) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  QHostAddress a;
  if (v < 1 || v > 65535 || !a.setAddress(QString::fromStdString(host))) return false;
  address = host;
  port = v;
  return true;
}

std::optional<RemoteConfig> RemoteConfig::FromHost(std::string* error) {
  const auto& h = platform::HostConfig::Instance();
  const std::string listen = h.Get("remote.listen");
  if (listen.empty()) return std::nullopt;
  RemoteConfig c;
  if (!ParseListen(listen, c.address, c.port)) {
    if (error) *error = "remote.listen is not ADDRESS:PORT";
    return std::nullopt;
  }
  c.passwordHash = h.Get("remote.password");
  c.listenerHash = h.Get("remote.listener_password");
  if (!IsPasswordHash(c.passwordHash)) {
    if (error) *error = "no remote password set (kanalo --remote-password)";
    return std::nullopt;
  }
  if (!c.listenerHash.empty() && !IsPasswordHash(c.listenerHash)) c.listenerHash.clear();
  c.clients = static_cast<int>(h.GetInt("remote.clients", c.clients));
  c.idleMs = h.GetInt("remote.idle", 30) * 60 * 1000;
  c.lifetimeMs = h.GetInt("remote.session_hours", 12) * 60 * 60 * 1000;
  return c;
}

RemoteServer::RemoteServer(IRemoteStation& station, QObject* parent)
    : QObject(parent), station_(station) {
  InitRemoteResources();
  pttTimer_.setInterval(PttGuard::kCheckMs);
  QObject::connect(&pttTimer_, &QTimer::timeout, this, [this] {
    if (int lapsed = guard_.Check()) Release(lapsed, "PTT freigegeben: keine Verbindung");
  });
  audio_.OnFrame = [this](const std::string& frame, uint32_t) { SendAudio(frame); };
  housekeeping_.setInterval(250);
  QObject::connect(&housekeeping_, &QTimer::timeout, this, [this] { Housekeeping(); });
}

RemoteServer::~RemoteServer() {
  Close();
  station_.SetChangedHook(nullptr);
}

bool RemoteServer::Listen(const RemoteConfig& cfg, const Identity& identity, std::string* error) {
  Close();
  cfg_ = cfg;
  identity_ = identity;
  sessions_ = SessionTable(cfg.idleMs, cfg.lifetimeMs);
  ssl_ = QSslConfiguration::defaultConfiguration();
  ssl_.setLocalCertificate(identity.certificate);
  ssl_.setPrivateKey(identity.key);
  ssl_.setProtocol(QSsl::TlsV1_2OrLater);
  ssl_.setPeerVerifyMode(QSslSocket::VerifyNone);
  ssl_.setCiphers(DoorCiphers());
  server_ = std::make_unique<Door>([this](qintptr fd) { OnIncoming(fd); });
  // Room for a burst while the main thread is busy; what waits there is taken at once after.
  server_->setListenBacklogSize(256);
  ws_ = std::make_unique<QWebSocketServer>("Kanalo", QWebSocketServer::NonSecureMode);
  ws_->setHandshakeTimeout(cfg.headTimeoutMs);
  QObject::connect(ws_.get(), &QWebSocketServer::newConnection, this, [this] { OnWebSocket(); });
  if (!server_->listen(QHostAddress(QString::fromStdString(cfg.address)),
                       static_cast<quint16>(cfg.port))) {
    if (error) *error = server_->errorString().toStdString();
    server_.reset();
    ws_.reset();
    return false;
  }
  // Followed only while it listens: a station without the browser front pays nothing for it.
  station_.SetChangedHook([this] { StationChanged(); });
  if (!audio_.Ok()) Log("Fernbedienung: kein Empfangston (Opus: " + audio_.OpusError() + ")");
  if (!voice_.Ok()) Log("Fernbedienung: kein Sendeton (Opus: " + voice_.OpusError() + ")");
  pttTimer_.start();
  housekeeping_.start();
  return true;
}

void RemoteServer::Close() {
  station_.SetChangedHook(nullptr);
  if (audioOn_) station_.SetAudioSink(nullptr);
  audioOn_ = false;
  pttTimer_.stop();
  housekeeping_.stop();
  if (guard_.Holder()) Release(guard_.Holder(), nullptr);
  for (auto& [id, p] : pages_)
    if (p->ws) {
      p->ws->disconnect(this);
      p->ws->abort();
      p->ws->deleteLater();
    }
  pages_.clear();
  for (auto& [id, c] : http_)
    if (c->sock) {
      c->sock->disconnect(this);
      c->sock->abort();
      c->sock->deleteLater();
    }
  http_.clear();
  upgrading_.clear();
  if (server_) server_->close();
  server_.reset();
  ws_.reset();
}

bool RemoteServer::IsListening() const {
  return server_ && server_->isListening();
}

uint16_t RemoteServer::Port() const {
  return server_ ? server_->serverPort() : 0;
}

int RemoteServer::Connections() const {
  return static_cast<int>(http_.size() + pages_.size() + upgrading_.size());
}

size_t RemoteServer::BufferedBytes() const {
  size_t n = 0;
  for (auto& [id, c] : http_)
    if (c->sock) n += static_cast<size_t>(c->sock->bytesAvailable() + c->sock->bytesToWrite());
  for (auto& [id, p] : pages_)
    if (p->ws) n += static_cast<size_t>(p->ws->bytesToWrite());
  return n;
}

void RemoteServer::Log(const std::string& line) {
  if (log_) log_(line);
}

bool RemoteServer::MakeRoom(const std::string& peer) {
  int fromPeer = 0;
  for (auto& [id, c] : http_)
    if (!c->withSession && c->peer == peer) ++fromPeer;
  if (fromPeer >= cfg_.perAddress) {
    // Those its peer has closed may not have been noticed yet (their close waits in the same
    // turn of the loop as this accept): they go first.
    std::vector<int> gone;
    for (auto& [id, c] : http_)
      if (!c->withSession && c->peer == peer && (!c->sock || PeerClosed(*c->sock)))
        gone.push_back(id);
    for (int id : gone) DropHttp(id);
    fromPeer -= static_cast<int>(gone.size());
  }
  // One address at its bound gets nothing more, before any TLS work: a flood of reconnects from
  // it costs an accept and a close each.
  if (fromPeer >= cfg_.perAddress) return false;
  if (Connections() < cfg_.clients) return true;
  // The oldest connection without a session goes. A login being checked (or answered late)
  // stays: there are a few at most, bounded by the checker's queue.
  Http* victim = nullptr;
  for (auto& [id, c] : http_)
    if (!c->withSession && !c->busy && (!victim || c->openedMs < victim->openedMs))
      victim = c.get();
  if (!victim) return false;
  ++evicted_;
  DropHttp(victim->id);
  return true;
}

void RemoteServer::OnIncoming(qintptr fd) {
  auto* sock = new QSslSocket(this);
  if (!sock->setSocketDescriptor(fd)) {
    delete sock;
    ::close(static_cast<int>(fd));
    return;
  }
  auto c = std::make_unique<Http>();
  c->peer = sock->peerAddress().toString().toStdString();
  if (!MakeRoom(c->peer)) {
    ++refused_;
    sock->abort();
    sock->deleteLater();
    return;
  }
  c->id = nextId_++;
  c->sock = sock;
  c->openedMs = SteadyMs();
  c->deadlineMs = c->openedMs + cfg_.headTimeoutMs;
  sock->setReadBufferSize(static_cast<qint64>(kMaxHead + kMaxBody + 256));
  // Updates are small and must not wait for the page's delayed acknowledgement (Nagle).
  sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  sock->setSslConfiguration(ssl_);
  const int id = c->id;
  QObject::connect(sock, &QSslSocket::encrypted, this, [this, id] { OnEncrypted(id); });
  QObject::connect(sock, &QAbstractSocket::disconnected, this, [this, id] { DropHttp(id); });
  QObject::connect(sock, &QSslSocket::sslErrors, this, [this, id] { DropHttp(id); });
  QObject::connect(sock, &QAbstractSocket::errorOccurred, this, [this, id] {
    // Queued: the socket is in the middle of its own work when it says so.
    QMetaObject::invokeMethod(
        this, [this, id] { DropHttp(id); }, Qt::QueuedConnection);
  });
  http_[id] = std::move(c);
  sock->startServerEncryption();
}

void RemoteServer::OnEncrypted(int id) {
  auto it = http_.find(id);
  if (it == http_.end() || !it->second->sock) return;
  QSslSocket* sock = it->second->sock;
  it->second->deadlineMs = SteadyMs() + cfg_.headTimeoutMs;
  QObject::connect(sock, &QIODevice::readyRead, this, [this, id] { OnReadable(id); });
  QObject::connect(sock, &QIODevice::bytesWritten, this, [this, id] { PumpFile(id); });
  if (sock->bytesAvailable() > 0) OnReadable(id);
}

void RemoteServer::DropHttp(int id) {
  auto it = http_.find(id);
  if (it == http_.end()) return;
  if (QSslSocket* s = it->second->sock) {
    s->disconnect(this);
    s->abort();
    s->deleteLater();
  }
  http_.erase(it);
}

void RemoteServer::OnReadable(int id) {
  auto it = http_.find(id);
  if (it == http_.end()) return;
  Http& c = *it->second;
  while (c.sock && !c.busy && !c.closing && !c.file) {
    const QByteArray data = c.sock->peek(static_cast<qint64>(kMaxHead + kMaxBody + 256));
    HttpRequest req;
    size_t headLen = 0;
    switch (ParseHead(std::string_view(data.constData(), static_cast<size_t>(data.size())), req,
                      &headLen)) {
      case HeadResult::Incomplete:
        return;
      case HeadResult::Bad:
        Respond(c, 400, "text/plain; charset=utf-8", StatusBody(400), {}, true);
        return;
      case HeadResult::TooLarge: {
        const int status = req.contentLength > kMaxBody ? 413 : 431;
        Respond(c, status, "text/plain; charset=utf-8", StatusBody(status), {}, true);
      }
        return;
      case HeadResult::Done:
        break;
    }
    if (req.IsWebSocketUpgrade()) {
      Upgrade(c, req);
      return;
    }
    if (static_cast<size_t>(data.size()) < headLen + req.contentLength) return;
    c.sock->skip(static_cast<qint64>(headLen));
    const std::string body = c.sock->read(static_cast<qint64>(req.contentLength)).toStdString();
    c.deadlineMs = SteadyMs() + cfg_.headTimeoutMs;
    Handle(c, req, body);
    if (http_.find(id) == http_.end()) return;
  }
}

void RemoteServer::Respond(Http& c, int status, const std::string& type, const QByteArray& body,
                           const std::string& extraHeaders, bool close) {
  if (!c.sock) return;
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) + "\r\n";
  head += "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  head +=
      "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
      "Referrer-Policy: same-origin\r\nStrict-Transport-Security: max-age=31536000\r\n"
      "Content-Security-Policy: default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; "
      "connect-src 'self' wss:; img-src 'self' "
      "data:; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'; form-action 'self'\r\n";
  head += extraHeaders;
  if (close) head += "Connection: close\r\n";
  head += "\r\n";
  c.sock->write(head.data(), static_cast<qint64>(head.size()));
  // HEAD: the same head as GET, Content-Length included, and no body.
  if (!c.headOnly) c.sock->write(body);
  c.headOnly = false;
  if (close) {
    c.closing = true;
    c.sock->disconnectFromHost();
  }
}

bool RemoteServer::OriginOk(const HttpRequest& req) const {
  const std::string host = req.Header("host");
  return !host.empty() && req.Header("origin") == "https://" + host;
}

Session* RemoteServer::SessionOf(const HttpRequest& req) {
  return sessions_.Find(req.Cookie(kCookie));
}

void RemoteServer::Handle(Http& c, const HttpRequest& req, const std::string& body) {
  c.headOnly = req.method == "HEAD";
  const bool get = req.method == "GET" || c.headOnly, post = req.method == "POST";
  const bool close = req.minor == 0 || req.Header("connection") == "close";
  const char* text = "text/plain; charset=utf-8";
  if (!get && !post) {
    Respond(c, 405, text, StatusBody(405), "Allow: GET, HEAD, POST\r\n", close);
    return;
  }
  if (req.path == "/login") {
    if (post) {
      Login(c, req, body);
    } else {
      Respond(c, 200, "text/html; charset=utf-8", LoginPage(""), {}, close);
    }
    return;
  }
  Session* s = SessionOf(req);
  if (s) c.withSession = true;
  if (req.path == "/logout" && post) {
    if (s && OriginOk(req)) {
      Log("Fernbedienung: abgemeldet von " + c.peer);
      EndSessionPages(sessions_.Remove(req.Cookie(kCookie)), "Abgemeldet.");
    }
    Respond(c, 303, text, "",
            "Location: /login\r\nSet-Cookie: kanalo=; Path=/; Secure; HttpOnly; "
            "SameSite=Strict; Max-Age=0\r\n",
            close);
    return;
  }
  if (!s) {
    if (get && (req.path == "/" || req.path == "/index.html"))
      Respond(c, 303, text, "", "Location: /login\r\n", close);
    else
      Respond(c, 401, text, "Anmeldung erforderlich\n", {}, close);
    return;
  }
  if (!get) {
    Respond(c, 405, text, StatusBody(405), "Allow: GET, HEAD\r\n", close);
    return;
  }
  struct Asset {
    const char *path, *resource, *type;
  };
  static const Asset kAssets[] = {
      {"/", ":/remote/index.html", "text/html; charset=utf-8"},
      {"/index.html", ":/remote/index.html", "text/html; charset=utf-8"},
      {"/app.js", ":/remote/app.js", "text/javascript; charset=utf-8"},
      {"/style.css", ":/remote/style.css", "text/css; charset=utf-8"},
      {"/rx-worklet.js", ":/remote/rx-worklet.js", "text/javascript; charset=utf-8"},
      {"/tx-worklet.js", ":/remote/tx-worklet.js", "text/javascript; charset=utf-8"},
      {"/opus-decoder.min.js", ":/remote/opus-decoder.min.js", "text/javascript; charset=utf-8"},
  };
  for (const Asset& a : kAssets)
    if (req.path == a.path) {
      Respond(c, 200, a.type, Resource(a.resource), {}, close);
      return;
    }
  if (req.path.rfind("/rec/", 0) == 0) {
    const std::string name =
        QByteArray::fromPercentEncoding(QByteArray::fromStdString(req.path.substr(5)))
            .toStdString();
    const std::string path = IsPlainName(name) ? station_.RecordingPath(name) : std::string();
    if (path.empty()) {
      Respond(c, 404, text, "Keine solche Aufnahme\n", {}, close);
      return;
    }
    c.closeAfter = close;
    ServeFile(c, path, name);
    return;
  }
  Respond(c, 404, text, StatusBody(404), {}, close);
}

void RemoteServer::ServeFile(Http& c, const std::string& path, const std::string& name) {
  auto f = std::make_unique<QFile>(QString::fromStdString(path));
  if (!f->open(QIODevice::ReadOnly)) {
    Respond(c, 404, "text/plain; charset=utf-8", "Keine solche Aufnahme\n", {}, c.closeAfter);
    return;
  }
  std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\nContent-Length: " + std::to_string(f->size()) +
      "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
      "Content-Disposition: attachment; filename=\"" +
      QString::fromStdString(name).toLatin1().replace('"', '_').toStdString() + "\"\r\n\r\n";
  c.sock->write(head.data(), static_cast<qint64>(head.size()));
  if (c.headOnly) {
    c.headOnly = false;
    f->seek(f->size());
  }
  c.file = std::move(f);
  PumpFile(c.id);
}

void RemoteServer::PumpFile(int id) {
  auto it = http_.find(id);
  if (it == http_.end() || !it->second->file || !it->second->sock) return;
  Http& c = *it->second;
  // Only as much as the socket takes soon: a slow reader holds one chunk, not the file.
  while (c.sock->bytesToWrite() < 64 * 1024) {
    const QByteArray chunk = c.file->read(32 * 1024);
    if (chunk.isEmpty()) {
      c.file.reset();
      c.deadlineMs = SteadyMs() + cfg_.headTimeoutMs;
      if (c.closeAfter) {
        c.closing = true;
        c.sock->disconnectFromHost();
        return;
      }
      if (c.sock->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this, id] { OnReadable(id); }, Qt::QueuedConnection);
      return;
    }
    c.sock->write(chunk);
  }
}

void RemoteServer::Login(Http& c, const HttpRequest& req, const std::string& body) {
  const bool close = req.minor == 0 || req.Header("connection") == "close";
  // A login form posted from another site would log the victim's browser in as the attacker.
  if (!req.Header("origin").empty() && !OriginOk(req)) {
    Log("Fernbedienung: Anmeldung von fremder Herkunft abgewiesen (" + c.peer + ")");
    Respond(c, 403, "text/plain; charset=utf-8", "Fremde Herkunft\n", {}, true);
    return;
  }
  // Decided before anything is hashed: a braked address, or one whose last try is still being
  // checked, costs the station nothing.
  int64_t wait = throttle_.WaitMs(c.peer);
  if (!wait && checking_.count(c.peer)) wait = 1000;
  if (wait) {
    Log("Fernbedienung: Anmeldung von " + c.peer + " gebremst");
    Respond(c, 429, "text/html; charset=utf-8",
            LoginPage("Zu viele Fehlversuche. Bitte in " + std::to_string((wait + 999) / 1000) +
                      " s erneut versuchen."),
            "Retry-After: " + std::to_string((wait + 999) / 1000) + "\r\n", close);
    return;
  }
  c.closeAfter = close;
  std::string password = FormValue(body, "password");
  if (password.empty() || password.size() > 256) {
    password.clear();
    checking_[c.peer] = c.id;
    LoginChecked(c.id, -1);
    return;
  }
  const int id = c.id;
  if (!checker_.Submit(std::move(password), {cfg_.passwordHash, cfg_.listenerHash}, this,
                       [this, id](int match) { LoginChecked(id, match); })) {
    Respond(c, 503, "text/html; charset=utf-8",
            LoginPage("Gerade melden sich zu viele an. Bitte gleich noch einmal versuchen."),
            "Retry-After: 2\r\n", close);
    return;
  }
  checking_[c.peer] = id;
  c.busy = true;
}

void RemoteServer::LoginChecked(int id, int match) {
  // The address may try again, whether or not its connection is still there.
  for (auto it = checking_.begin(); it != checking_.end(); ++it)
    if (it->second == id) {
      const std::string peer = it->first;
      checking_.erase(it);
      if (match < 0) {
        throttle_.Failed(peer);
        Log("Fernbedienung: falsches Passwort von " + peer + " (" +
            std::to_string(throttle_.Failures(peer)) + ". Fehlversuch)");
      } else {
        throttle_.Succeeded(peer);
      }
      break;
    }
  auto it = http_.find(id);
  if (it == http_.end()) return;
  Http& c = *it->second;
  const bool close = c.closeAfter;
  c.closeAfter = false;
  if (match < 0) {
    // The answer comes late, and the connection reads nothing meanwhile: guessing is slow even
    // before the address is braked.
    c.busy = true;
    QTimer::singleShot(cfg_.failDelayMs, this, [this, id, close] {
      auto it = http_.find(id);
      if (it == http_.end()) return;
      it->second->busy = false;
      it->second->deadlineMs = SteadyMs() + cfg_.headTimeoutMs;
      Respond(*it->second, 401, "text/html; charset=utf-8", LoginPage("Falsches Passwort."), {},
              close);
      OnReadable(id);
    });
    return;
  }
  c.busy = false;
  c.deadlineMs = SteadyMs() + cfg_.headTimeoutMs;
  const Role role = match == 0 ? Role::Operator : Role::Listener;
  const std::string token = sessions_.Create(role, c.peer);
  if (token.empty()) {
    Respond(c, 503, "text/plain; charset=utf-8", "Zu viele Sitzungen\n", {}, true);
    return;
  }
  c.withSession = true;
  Log(std::string("Fernbedienung: angemeldet von ") + c.peer +
      (role == Role::Listener ? " (nur Zuhören)" : ""));
  Respond(c, 303, "text/plain; charset=utf-8", "",
          "Location: /\r\nSet-Cookie: " + std::string(kCookie) + "=" + token +
              "; Path=/; Secure; HttpOnly; SameSite=Strict\r\n",
          close);
  OnReadable(id);
}

void RemoteServer::SetPasswords(const std::string& operatorHash, const std::string& listenerHash) {
  if (operatorHash == cfg_.passwordHash && listenerHash == cfg_.listenerHash) return;
  cfg_.passwordHash = operatorHash;
  cfg_.listenerHash = listenerHash;
  const std::vector<int> gone = sessions_.Clear();
  Log("Fernbedienung: neues Passwort, " + std::to_string(gone.size()) + " Sitzungen beendet");
  for (int s : gone) EndSessionPages(s, "Neues Passwort: bitte neu anmelden.");
}

void RemoteServer::EndSessionPages(int session, const std::string& why) {
  if (!session) return;
  std::vector<int> ids;
  for (auto& [id, p] : pages_)
    if (p->session == session) ids.push_back(id);
  for (int id : ids) {
    auto it = pages_.find(id);
    if (it == pages_.end()) continue;
    if (guard_.Holder() == id) Release(id, nullptr);
    Send(*it->second, ErrorMessage(why));
    // Gone from the server now: it can neither key nor command while the close goes out.
    QWebSocket* ws = it->second->ws;
    pages_.erase(it);
    if (!ws) continue;
    ws->disconnect(this);
    QObject::connect(ws, &QWebSocket::disconnected, ws, &QObject::deleteLater);
    ws->close(QWebSocketProtocol::CloseCodeNormal, QString::fromStdString(why));
    // A page that does not answer the close goes anyway.
    QTimer::singleShot(2000, ws, [ws] {
      ws->abort();
      ws->deleteLater();
    });
  }
  UpdateAudioSink();
}

void RemoteServer::QuietSessionPages(int session) {
  for (auto& [id, p] : pages_) {
    if (p->session != session || p->role == Role::Listener) continue;
    p->role = Role::Listener;
    if (guard_.Holder() == id) Release(id, nullptr);
    Send(*p, ErrorMessage("Lange nichts bedient: nur noch Zuhören. Zum Bedienen neu anmelden."));
    Send(*p, HelloMessage(id, true, identity_.fingerprint));
  }
}

void RemoteServer::Upgrade(Http& c, const HttpRequest& req) {
  if (req.path != "/ws") {
    Respond(c, 404, "text/plain; charset=utf-8", StatusBody(404), {}, true);
    return;
  }
  Session* s = SessionOf(req);
  if (!s) {
    Respond(c, 403, "text/plain", "Anmeldung erforderlich\n", {}, true);
    return;
  }
  if (!OriginOk(req)) {
    Log("Fernbedienung: WebSocket von fremder Herkunft \"" + req.Header("origin") +
        "\" abgewiesen (" + c.peer + ")");
    Respond(c, 403, "text/plain", "Fremde Herkunft\n", {}, true);
    return;
  }
  QSslSocket* sock = c.sock;
  const std::string key =
      sock->peerAddress().toString().toStdString() + "|" + std::to_string(sock->peerPort());
  upgrading_[key] = {s->id, SteadyMs() + cfg_.headTimeoutMs};
  sock->disconnect(this);
  http_.erase(c.id);
  sock->setReadBufferSize(0);
  ws_->handleConnection(sock);
  Q_EMIT sock->readyRead();
}

void RemoteServer::OnWebSocket() {
  while (ws_ && ws_->hasPendingConnections()) {
    QWebSocket* ws = ws_->nextPendingConnection();
    if (!ws) continue;
    const std::string key =
        ws->peerAddress().toString().toStdString() + "|" + std::to_string(ws->peerPort());
    auto up = upgrading_.find(key);
    Session* s = up == upgrading_.end() ? nullptr : sessions_.ById(up->second.first);
    if (up != upgrading_.end()) upgrading_.erase(up);
    if (!s) {
      ws->close(QWebSocketProtocol::CloseCodePolicyViolated, "Anmeldung erforderlich");
      ws->deleteLater();
      continue;
    }
    ws->setParent(this);
    ws->setMaxAllowedIncomingFrameSize(kMaxMessage);
    ws->setMaxAllowedIncomingMessageSize(kMaxMessage);
    auto p = std::make_unique<Page>();
    p->id = nextId_++;
    p->ws = ws;
    p->session = s->id;
    p->role = s->role;
    p->peer = ws->peerAddress().toString().toStdString();
    p->tokensAtMs = p->voiceAtMs = SteadyMs();
    ++s->sockets;
    const int id = p->id;
    QObject::connect(ws, &QWebSocket::textMessageReceived, this,
                     [this, id](const QString& m) { OnMessage(id, m); });
    QObject::connect(ws, &QWebSocket::binaryMessageReceived, this,
                     [this, id](const QByteArray& m) { OnVoice(id, m); });
    QObject::connect(ws, &QWebSocket::disconnected, this, [this, id] { OnPageGone(id); });
    QObject::connect(ws, &QWebSocket::bytesWritten, this, [this, id] {
      auto it = pages_.find(id);
      if (it == pages_.end() || !it->second->stale || !it->second->ws) return;
      if (static_cast<size_t>(it->second->ws->bytesToWrite()) < kMaxOutput / 2)
        Send(*it->second, StateMessage(station_.State()));
    });
    Page& page = *p;
    pages_[id] = std::move(p);
    Send(page, HelloMessage(id, page.role == Role::Listener, identity_.fingerprint));
    Send(page, StateMessage(station_.State()));
    UpdateAudioSink();
  }
}

void RemoteServer::OnPageGone(int id) {
  auto it = pages_.find(id);
  if (it == pages_.end()) return;
  if (guard_.Holder() == id) Release(id, nullptr);
  if (Session* s = sessions_.ById(it->second->session)) --s->sockets;
  if (QWebSocket* ws = it->second->ws) {
    ws->disconnect(this);
    ws->deleteLater();
  }
  pages_.erase(it);
  UpdateAudioSink();
}

void RemoteServer::Release(int pageId, const char* why, bool cut) {
  guard_.Released(pageId);
  if (cut) station_.RemoteVoiceCut(pageId);
  station_.RemoteRelease(pageId);
  auto it = pages_.find(pageId);
  if (why && it != pages_.end()) Send(*it->second, ErrorMessage(why));
}

void RemoteServer::OnMessage(int id, const QString& text) {
  auto it = pages_.find(id);
  if (it == pages_.end()) return;
  Page& p = *it->second;
  // Token bucket: kMaxRate a second on average, bursts up to two seconds' worth.
  const int64_t now = SteadyMs();
  p.tokens = std::min(2.0 * kMaxRate, p.tokens + (now - p.tokensAtMs) * kMaxRate / 1000.0);
  p.tokensAtMs = now;
  if (p.tokens < 1) {
    Log("Fernbedienung: Seite von " + p.peer + " sendet zu viel, getrennt");
    if (guard_.Holder() == id) Release(id, nullptr);
    p.ws->close(QWebSocketProtocol::CloseCodePolicyViolated, "zu viele Nachrichten");
    return;
  }
  p.tokens -= 1;
  std::string why;
  const QByteArray raw = text.toUtf8();
  auto cmd = ParseCommand(raw, &why);
  if (!cmd) {
    Send(p, ErrorMessage("Ungültige Nachricht: " + why));
    return;
  }
  if (p.role == Role::Listener && IsControl(cmd->cmd)) {
    Send(p, ErrorMessage("Nur Zuhören: Bedienen und Senden sind nicht erlaubt."));
    return;
  }
  // The operator's actions keep the session; a held PTT's repeats are heartbeats, not actions.
  if (IsControl(cmd->cmd) && !(cmd->cmd == Cmd::Ptt && cmd->flag && guard_.Holder() == id))
    sessions_.Touch(p.session);
  Result r;
  switch (cmd->cmd) {
    case Cmd::Up:
      r = station_.Up();
      break;
    case Cmd::Down:
      r = station_.Down();
      break;
    case Cmd::Mode:
      r = station_.SetChannelMode(cmd->number);
      break;
    case Cmd::Scan:
      r = station_.Scan();
      break;
    case Cmd::Free:
      r = station_.FreeScan();
      break;
    case Cmd::Auto:
      r = station_.ScanAuto();
      break;
    case Cmd::Skip:
      r = station_.Skip();
      break;
    case Cmd::Squelch:
      r = station_.SetSquelch(cmd->number);
      break;
    case Cmd::FreeLevel:
      r = station_.SetFreeLevel(cmd->number);
      break;
    case Cmd::ArmCall:
      r = station_.ArmCall(cmd->flag);
      break;
    case Cmd::ArmMailbox:
      r = station_.ArmMailbox(cmd->flag);
      break;
    case Cmd::Call:
      r = station_.SendCall(id, cmd->text);
      break;
    case Cmd::Connect:
      r = station_.Connect(cmd->text);
      break;
    case Cmd::Disconnect:
      r = station_.Disconnect();
      break;
    case Cmd::Play:
      r = station_.PlayRecording(cmd->text);
      break;
    case Cmd::Recordings:
      Send(p, RecordingsMessage(station_.Recordings()));
      break;
    case Cmd::Log:
      Send(p, LogMessage(station_.RecentLog(50)));
      break;
    case Cmd::Heartbeat:
      guard_.Heartbeat(id);
      break;
    case Cmd::Hidden:
      if (guard_.Holder() == id) Release(id, "PTT freigegeben: Seite verborgen");
      break;
    case Cmd::Ptt:
      if (!cmd->flag) {
        // Let go on purpose: what the page said before still goes on the air.
        if (guard_.Holder() == id) Release(id, nullptr, false);
        break;
      }
      if (guard_.Holder() == id) {
        guard_.Heartbeat(id);
        break;
      }
      if (guard_.Pressed(id) == PttGuard::Press::Busy) {
        r = "Kanal belegt: ein anderer Fernbediener sendet.";
        break;
      }
      if (!station_.RemoteKey(id, "Fern " + std::to_string(id) + " (" + p.peer + ")", &why)) {
        guard_.Released(id);
        r = why.empty() ? "Senden nicht möglich." : why;
        break;
      }
      // Each press starts a transmission of its own: the page numbers its frames from 0 again.
      voice_.Reset();
      break;
  }
  if (!r.empty()) Send(p, ErrorMessage(r));
}

void RemoteServer::OnVoice(int id, const QByteArray& frame) {
  auto it = pages_.find(id);
  if (it == pages_.end()) return;
  Page& p = *it->second;
  // A budget of its own: 50 frames a second and the heartbeats beside them would use up the
  // commands' one. A page over it loses frames, not its connection (its voice comes in bursts
  // after a stall).
  const int64_t now = SteadyMs();
  p.voiceTokens =
      std::min<double>(kMaxVoiceRate, p.voiceTokens + (now - p.voiceAtMs) * kMaxVoiceRate / 1000.0);
  p.voiceAtMs = now;
  if (p.voiceTokens < 1 || p.role == Role::Listener || guard_.Holder() != id) {
    ++voiceDropped_;
    return;
  }
  p.voiceTokens -= 1;
  voicePcm_.clear();
  if (!voice_.Decode(std::string_view(frame.constData(), static_cast<size_t>(frame.size())),
                     voicePcm_)) {
    ++voiceDropped_;
    return;
  }
  ++voiceFrames_;
  if (!voicePcm_.empty()) station_.RemoteVoice(id, voicePcm_.data(), voicePcm_.size());
}

void RemoteServer::Send(Page& p, const QByteArray& msg) {
  if (!p.ws) return;
  if (static_cast<size_t>(p.ws->bytesToWrite()) > kMaxOutput) {
    // A page that does not read gets the newest state once it drains, not every one between.
    if (!p.stale) p.overSinceMs = SteadyMs();
    p.stale = true;
    return;
  }
  p.stale = false;
  p.ws->sendTextMessage(QString::fromUtf8(msg));
}

void RemoteServer::StationChanged() {
  if (pushPending_) return;
  pushPending_ = true;
  QMetaObject::invokeMethod(
      this, [this] { Push(); }, Qt::QueuedConnection);
}

void RemoteServer::Push() {
  pushPending_ = false;
  const RemoteState s = station_.State();
  // The station let go by itself (its time-out, the operator's own keying rules): the page must
  // press again to key again.
  if (guard_.Holder() && s.remoteHolder != guard_.Holder()) {
    const int holder = guard_.Holder();
    guard_.Released(holder);
    auto it = pages_.find(holder);
    if (it != pages_.end()) Send(*it->second, ErrorMessage("PTT von der Station freigegeben."));
  }
  const QByteArray msg = StateMessage(s);
  if (msg == lastState_) return;
  lastState_ = msg;
  for (auto& [id, p] : pages_) Send(*p, msg);
}

void RemoteServer::UpdateAudioSink() {
  // The station captures and the encoder runs only while someone listens.
  const bool want = ((server_ && !pages_.empty()) || audioTap_) && audio_.Ok();
  if (want == audioOn_) return;
  audioOn_ = want;
  if (!want) {
    station_.SetAudioSink(nullptr);
    return;
  }
  audio_.Reset();
  station_.SetAudioSink([this](const int16_t* pcm, size_t n, int64_t us, bool silent) {
    audio_.Feed(pcm, n, us, silent);
  });
}

void RemoteServer::SetAudioTap(std::function<void(const std::string& frame)> tap) {
  audioTap_ = std::move(tap);
  UpdateAudioSink();
}

void RemoteServer::SendAudio(const std::string& frame) {
  if (audioTap_) audioTap_(frame);
  const QByteArray msg(frame.data(), static_cast<qsizetype>(frame.size()));
  for (auto& [id, p] : pages_) {
    if (!p->ws) continue;
    if (static_cast<size_t>(p->ws->bytesToWrite()) > kMaxAudioBacklog) {
      ++audioDropped_;
      continue;
    }
    p->ws->sendBinaryMessage(msg);
  }
}

void RemoteServer::Housekeeping() {
  const int64_t now = SteadyMs();
  std::vector<int> late;
  for (auto& [id, c] : http_)
    if (!c->busy && !c->file && now > c->deadlineMs) late.push_back(id);
  for (int id : late) DropHttp(id);
  // An upgrade Qt WebSockets refused never comes back: it must not count for ever.
  std::erase_if(upgrading_, [now](const auto& u) { return now > u.second.second; });
  std::vector<int> stalled;
  for (auto& [id, p] : pages_)
    if (p->stale && p->ws && static_cast<size_t>(p->ws->bytesToWrite()) > kMaxOutput &&
        now - p->overSinceMs > cfg_.stallLimitMs)
      stalled.push_back(id);
  for (int id : stalled) {
    Log("Fernbedienung: Seite von " + pages_[id]->peer + " liest nicht, getrennt");
    if (QWebSocket* ws = pages_[id]->ws) ws->abort();
    OnPageGone(id);
  }
  const Expired expired = sessions_.Expire();
  for (int session : expired.ended)
    EndSessionPages(session, "Sitzung abgelaufen: bitte neu anmelden.");
  for (int session : expired.quieted) QuietSessionPages(session);
}

}  // namespace remote
