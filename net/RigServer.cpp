#include "net/RigServer.h"

#include "platform/Host.h"

namespace net {

RigServerConfig RigServerConfig::FromHost() {
  RigServerConfig c;
  auto& h = platform::HostConfig::Instance();
  std::string en = h.Get("rigctl.enabled", "yes");
  c.enabled = !(en == "no" || en == "0" || en == "false" || en == "off");
  c.address = h.Get("rigctl.address", c.address);
  std::string port = h.Get("rigctl.port");
  if (!port.empty()) {
    char* end = nullptr;
    long p = std::strtol(port.c_str(), &end, 10);
    if (end && *end == '\0' && p > 0 && p < 65536) c.port = static_cast<int>(p);
  }
  return c;
}

RigServer::RigServer(IRigStation& station, QObject* parent) : QObject(parent), station_(station) {
  connect(&server_, &QTcpServer::newConnection, this, [this] { OnNewConnection(); });
}

RigServer::~RigServer() {
  Close();
}

bool RigServer::Listen(const RigServerConfig& cfg, std::string* error) {
  Close();
  QHostAddress addr;
  if (!addr.setAddress(QString::fromStdString(cfg.address))) {
    if (error) *error = "invalid listen address " + cfg.address;
    return false;
  }
  if (!server_.listen(addr, static_cast<quint16>(cfg.port))) {
    if (error) *error = server_.errorString().toStdString();
    return false;
  }
  return true;
}

void RigServer::Close() {
  server_.close();
  auto clients = std::move(clients_);
  clients_.clear();
  for (auto& [s, c] : clients) {
    s->disconnect(this);
    s->abort();
    s->deleteLater();
  }
}

void RigServer::OnNewConnection() {
  while (QTcpSocket* s = server_.nextPendingConnection()) {
    clients_[s] = Client{std::make_unique<RigCtlSession>(station_), {}, false};
    connect(s, &QTcpSocket::readyRead, this, [this, s] { OnReadyRead(s); });
    connect(s, &QTcpSocket::disconnected, this, [this, s] {
      clients_.erase(s);  // forgotten, even in the middle of a line
      s->deleteLater();
    });
  }
}

void RigServer::OnReadyRead(QTcpSocket* s) {
  auto it = clients_.find(s);
  if (it == clients_.end()) return;
  Client& c = it->second;
  std::string reply;
  char buf[512];
  for (;;) {
    qint64 n = s->read(buf, sizeof buf);
    if (n <= 0) break;
    for (qint64 i = 0; i < n; ++i) {
      char ch = buf[i];
      if (ch == '\n') {
        if (c.discarding) {
          c.discarding = false;
        } else {
          reply += c.session->HandleLine(c.pending);
        }
        c.pending.clear();
        if (c.session->Quit()) break;
        continue;
      }
      if (c.discarding) continue;
      if (c.pending.size() >= static_cast<size_t>(kMaxLine)) {
        reply += RigCtlSession::LineTooLong();
        c.pending.clear();
        c.discarding = true;
        continue;
      }
      c.pending += ch;
    }
    if (c.session->Quit()) break;
  }
  if (!reply.empty()) s->write(reply.data(), static_cast<qint64>(reply.size()));
  if (c.session->Quit()) {
    s->disconnectFromHost();
  }
}

}  // namespace net
