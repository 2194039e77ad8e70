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
//   SameSite=Strict, idle limit, lifetime); the WebSocket also needs the station's own Origin.
//   Logout, a new password and the lifetime close the session's pages and let go of their PTT;
//   an operator idle past the limit keeps a listening page (see Sessions.h).
// - Passwords are checked on PasswordChecker's thread, one address one check at a time, at most
//   PasswordChecker::kMaxWaiting waiting; the brake is decided before any hashing. A wrong
//   password is answered after failDelayMs; after LoginThrottle::kFree failures an address waits
//   seconds, then minutes; every failure goes to the log hook.
// - A listener may watch and list, never control or key: the server refuses it.
// - Remote keying goes through PttGuard: one page holds at a time, released on let-go, page
//   hidden, socket closed, missing heartbeats, and when the station itself releases (time-out).
// - Input is bounded: a request head of at most kMaxHead, a body of at most kMaxBody (login
//   only), WebSocket messages of at most kMaxMessage; a head that is not complete within
//   headTimeoutMs closes the connection; more than kMaxRate messages a second close the socket.
// - Output is bounded: while a page's unsent bytes exceed kMaxOutput, its state updates are
//   coalesced into one; a page that stays over the bound for stallLimitMs is closed. Audio
//   frames are bounded harder: while a page has more than kMaxAudioBacklog unsent bytes it
//   misses whole frames (the page sees the gap in their numbers), so a slow page costs at most
//   that bound and catches up with the live stream, never with old sound.
// - Receive audio (see Audio.h) is encoded once while any page is open and sent to all of them;
//   a page that joins gets the stream from the next frame on.
// - Transmit audio: binary frames from the page that holds PTT are decoded and handed to the
//   station; from any other page (a listener, the tail after a release) they are dropped, as
//   are those beyond kMaxVoiceRate a second. A page that lets go has its voice played out; one
//   that goes without letting go (closed, silent, hidden) has it cut off.
// - The door cannot be jammed: every connection is accepted at once (the listen queue never
//   fills), its TLS handshake and each request head must be complete within headTimeoutMs. At
//   most `perAddress` connections without a session come from one address: one more is closed
//   at once, before any TLS work. At most `clients` in all (TLS handshakes included): one more
//   pushes out the oldest without a session, never a page or request of a session nor a login
//   being checked; when there is none to push out the new one is closed.
// - TLS 1.2 or later, with AEAD suites only (no CBC).
// Thread: main thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "remote/Audio.h"
#include "remote/Certificate.h"
#include "remote/HttpHead.h"
#include "remote/Password.h"
#include "remote/PttGuard.h"
#include "remote/Sessions.h"
#include "remote/Station.h"

class QTcpServer;
class QSslSocket;
class QWebSocket;
class QWebSocketServer;
class QFile;

namespace remote {

struct RemoteConfig {
  std::string address = "127.0.0.1";
  int port = 0;
  int clients = 64;
  int perAddress = 8;  // connections without a session from one address
  std::string passwordHash, listenerHash;
  int64_t idleMs = 30 * 60 * 1000;
  int64_t lifetimeMs = int64_t{12} * 60 * 60 * 1000;
  int headTimeoutMs = 5000;  // the TLS handshake, and each request head
  int failDelayMs = 1000;
  int stallLimitMs = 10000;
  // From kanalo.conf: remote.listen (ADDRESS:PORT, "[v6]:PORT"), remote.password,
  // remote.listener_password, remote.clients, remote.idle (minutes), remote.session_hours.
  // nullopt when remote.listen
  // is unset (the front is off); `error` says what is wrong when it is set but unusable.
  static std::optional<RemoteConfig> FromHost(std::string* error);
  // "ADDRESS:PORT" -> address and port; false for anything else.
  static bool ParseListen(const std::string& text, std::string& address, int& port);
};

class RemoteServer : public QObject {
 public:
  static constexpr size_t kMaxOutput = 256 * 1024;
  static constexpr size_t kMaxAudioBacklog = 8 * 1024;  // about 2 s of frames
  static constexpr int kMaxRate = 60;  // WebSocket messages per second, averaged over 2 s
  // Voice frames per second, averaged over 1 s: 50 and room for a page that catches up.
  static constexpr int kMaxVoiceRate = 75;

  explicit RemoteServer(IRemoteStation& station, QObject* parent = nullptr);
  ~RemoteServer() override;

  bool Listen(const RemoteConfig& cfg, const Identity& identity, std::string* error = nullptr);
  void Close();
  bool IsListening() const;
  uint16_t Port() const;
  // Connections open now (pages, requests and handshakes), and those refused at the maximum.
  int Connections() const;
  int Refused() const { return refused_; }
  // Connections without a session pushed out to make room for a newer one (from another
  // address).
  int Evicted() const { return evicted_; }
  // New password hashes (the operator set one while the station runs): every session ends.
  void SetPasswords(const std::string& operatorHash, const std::string& listenerHash);
  // Sessions open now.
  int Sessions() const { return static_cast<int>(sessions_.Count()); }
  int Pages() const { return static_cast<int>(pages_.size()); }
  size_t BufferedBytes() const;
  // Failed logins, refused sockets and the like, as one line each for the station's log.
  void SetLogHook(std::function<void(const std::string&)> hook) { log_ = std::move(hook); }
  // Tell the server the station changed (the station's hook calls this).
  void StationChanged();
  // Audio frames encoded so far, and frames a page missed because it did not read.
  uint32_t AudioFrames() const { return audio_.NextNumber(); }
  // Another taker of the receive frames (Icecast): the same encode as the pages', kept running
  // while a tap is set even with no page open. Main thread; nullptr removes it.
  void SetAudioTap(std::function<void(const std::string& frame)> tap);
  int64_t AudioDropped() const { return audioDropped_; }
  // Voice frames handed to the station, and those dropped (not the holder, over the rate,
  // undecodable).
  int64_t VoiceFrames() const { return voiceFrames_; }
  int64_t VoiceDropped() const { return voiceDropped_; }

 private:
  struct Http;
  struct Page;
  void OnIncoming(qintptr fd);
  // Room for one more connection from `peer`: false when that address is at its bound or no
  // connection can be pushed out.
  bool MakeRoom(const std::string& peer);
  void OnEncrypted(int id);
  void OnReadable(int id);
  void LoginChecked(int id, int match);
  void Handle(Http& c, const HttpRequest& req, const std::string& body);
  void Upgrade(Http& c, const HttpRequest& req);
  void OnWebSocket();
  void OnMessage(int id, const QString& text);
  void OnVoice(int id, const QByteArray& frame);
  void OnPageGone(int id);
  void Respond(Http& c, int status, const std::string& type, const QByteArray& body,
               const std::string& extraHeaders = {}, bool close = false);
  void ServeFile(Http& c, const std::string& path, const std::string& name);
  void PumpFile(int id);
  void Login(Http& c, const HttpRequest& req, const std::string& body);
  void DropHttp(int id);
  void Push();
  void Send(Page& p, const QByteArray& msg);
  // `cut`: the page went without letting go, its voice not yet played is thrown away.
  void Release(int pageId, const char* why, bool cut = true);
  // The session ended: its pages are told why and closed, their PTT lets go.
  void EndSessionPages(int session, const std::string& why);
  // The session's operator is idle: its pages only listen from now on.
  void QuietSessionPages(int session);
  void Housekeeping();
  void UpdateAudioSink();
  void SendAudio(const std::string& frame);
  void Log(const std::string& line);
  bool OriginOk(const HttpRequest& req) const;
  Session* SessionOf(const HttpRequest& req);

  IRemoteStation& station_;
  RemoteConfig cfg_;
  Identity identity_;
  QSslConfiguration ssl_;
  std::unique_ptr<QTcpServer> server_;
  std::unique_ptr<QWebSocketServer> ws_;
  SessionTable sessions_;
  LoginThrottle throttle_;
  PttGuard guard_;
  QTimer pttTimer_, housekeeping_;
  bool pushPending_ = false;
  QByteArray lastState_;
  int refused_ = 0, evicted_ = 0;
  PasswordChecker checker_;
  std::map<std::string, int> checking_;  // address -> its login being checked (Http id)
  int nextId_ = 1;
  std::map<int, std::unique_ptr<Http>> http_;
  std::map<int, std::unique_ptr<Page>> pages_;
  // Upgrades handed to Qt WebSockets and not yet back: peer "address:port" -> session id and
  // the time by which it must be back.
  std::map<std::string, std::pair<int, int64_t>> upgrading_;
  std::function<void(const std::string&)> log_;
  AudioStream audio_;
  std::function<void(const std::string&)> audioTap_;
  bool audioOn_ = false;
  int64_t audioDropped_ = 0;
  VoiceDecoder voice_;
  std::vector<int16_t> voicePcm_;
  int64_t voiceFrames_ = 0, voiceDropped_ = 0;
};

}  // namespace remote
