// The browser front: HTTPS and WebSocket on one port, serving the page built into the station
// and pushing the station's state to every open page.
//
// TLS is Qt's (QSslServer); WebSocket framing is Qt WebSockets'. The request head is read here,
// within bounds, because the server must see the session cookie and the Origin before a
// WebSocket upgrade is accepted (Qt HttpServer 6.4 upgrades before any handler sees the request
// and reads bodies without a bound).
//
// What a client can and cannot do to the station:
// - Everything but the login page needs a session (cookie "kanalo", Secure, HttpOnly,
//   SameSite=Strict, idle limit); the WebSocket also needs the station's own Origin.
// - A wrong password is answered after failDelayMs; after LoginThrottle::kFree failures an
//   address waits seconds, then minutes; every failure goes to the log hook.
// - A listener may watch and list, never control or key: the server refuses it.
// - Remote keying goes through PttGuard: one page holds at a time, released on let-go, page
//   hidden, socket closed, missing heartbeats, and when the station itself releases (time-out).
// - Input is bounded: a request head of at most kMaxHead, a body of at most kMaxBody (login
//   only), WebSocket messages of at most kMaxMessage; a head that is not complete within
//   headTimeoutMs closes the connection; more than kMaxRate messages a second close the socket.
// - Output is bounded: while a page's unsent bytes exceed kMaxOutput, its state updates are
//   coalesced into one; a page that stays over the bound for stallLimitMs is closed.
// - At most `clients` connections (TLS handshakes included); one more is closed at once.
// Thread: main thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "remote/Certificate.h"
#include "remote/HttpHead.h"
#include "remote/PttGuard.h"
#include "remote/Sessions.h"
#include "remote/Station.h"

class QSslServer;
class QSslSocket;
class QWebSocket;
class QWebSocketServer;
class QFile;

namespace remote {

struct RemoteConfig {
  std::string address = "127.0.0.1";
  int port = 0;
  int clients = 64;
  std::string passwordHash, listenerHash;
  int64_t idleMs = 30 * 60 * 1000;
  int headTimeoutMs = 10000;
  int failDelayMs = 1000;
  int stallLimitMs = 10000;
  // From kanalo.conf: remote.listen (ADDRESS:PORT, "[v6]:PORT"), remote.password,
  // remote.listener_password, remote.clients, remote.idle (minutes). nullopt when remote.listen
  // is unset (the front is off); `error` says what is wrong when it is set but unusable.
  static std::optional<RemoteConfig> FromHost(std::string* error);
  // "ADDRESS:PORT" -> address and port; false for anything else.
  static bool ParseListen(const std::string& text, std::string& address, int& port);
};

class RemoteServer : public QObject {
 public:
  static constexpr size_t kMaxOutput = 256 * 1024;
  static constexpr int kMaxRate = 60;  // WebSocket messages per second, averaged over 2 s

  explicit RemoteServer(IRemoteStation& station, QObject* parent = nullptr);
  ~RemoteServer() override;

  bool Listen(const RemoteConfig& cfg, const Identity& identity, std::string* error = nullptr);
  void Close();
  bool IsListening() const;
  uint16_t Port() const;
  // Connections open now (pages, requests and handshakes), and those refused at the maximum.
  int Connections() const;
  int Refused() const { return refused_; }
  int Pages() const { return static_cast<int>(pages_.size()); }
  size_t BufferedBytes() const;
  // Failed logins, refused sockets and the like, as one line each for the station's log.
  void SetLogHook(std::function<void(const std::string&)> hook) { log_ = std::move(hook); }
  // Tell the server the station changed (the station's hook calls this).
  void StationChanged();

 private:
  struct Http;
  struct Page;
  void OnPending();
  void OnReadable(int id);
  void Handle(Http& c, const HttpRequest& req, const std::string& body);
  void Upgrade(Http& c, const HttpRequest& req);
  void OnWebSocket();
  void OnMessage(int id, const QString& text);
  void OnPageGone(int id);
  void Respond(Http& c, int status, const std::string& type, const QByteArray& body,
               const std::string& extraHeaders = {}, bool close = false);
  void ServeFile(Http& c, const std::string& path, const std::string& name);
  void PumpFile(int id);
  void Login(Http& c, const HttpRequest& req, const std::string& body);
  void DropHttp(int id);
  void Push();
  void Send(Page& p, const QByteArray& msg);
  void Release(int pageId, const char* why);
  void Housekeeping();
  void Log(const std::string& line);
  bool OriginOk(const HttpRequest& req) const;
  Session* SessionOf(const HttpRequest& req);

  IRemoteStation& station_;
  RemoteConfig cfg_;
  Identity identity_;
  std::unique_ptr<QSslServer> server_;
  std::unique_ptr<QWebSocketServer> ws_;
  SessionTable sessions_;
  LoginThrottle throttle_;
  PttGuard guard_;
  QTimer pttTimer_, housekeeping_;
  bool pushPending_ = false;
  QByteArray lastState_;
  int refused_ = 0;
  int nextId_ = 1;
  std::map<int, std::unique_ptr<Http>> http_;
  std::map<int, std::unique_ptr<Page>> pages_;
  // Upgrades handed to Qt WebSockets and not yet back: peer "address:port" -> session id.
  std::map<std::string, int> upgrading_;
  std::function<void(const std::string&)> log_;
};

}  // namespace remote
