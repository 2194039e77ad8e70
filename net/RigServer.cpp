#include "net/RigServer.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Host.h"

namespace net {

namespace {

constexpr size_t kReadChunk = 4096;
constexpr int kAcceptsPerWake = 64;
constexpr int kMaxBackoffMs = 2000;

}  // namespace

RigServerConfig RigServerConfig::FromHost() {
  RigServerConfig c;
  auto& h = platform::HostConfig::Instance();
  c.enabled = h.GetBool("rigctl.enabled", c.enabled);
  c.address = h.GetValid("rigctl.address", c.address);
  c.port = static_cast<int>(h.GetInt("rigctl.port", c.port));
  c.clients = static_cast<int>(h.GetInt("rigctl.clients", c.clients));
  c.vfoMode = h.GetBool("rigctl.vfo", c.vfoMode);
  return c;
}

RigServer::RigServer(IRigStation& station, QObject* parent) : QObject(parent), station_(station) {
  station_.SetTuneDoneHook([this] { OnTuneDone(); });
  acceptBackoff_.setSingleShot(true);
  connect(&acceptBackoff_, &QTimer::timeout, this, [this] {
    if (acceptor_) acceptor_->setEnabled(true);
  });
  connect(&housekeeping_, &QTimer::timeout, this, [this] { CheckStalled(); });
  // A fraction of a poll: a waiting reading is answered soon after the frame that makes it fresh.
  readingCheck_.setInterval(10);
  connect(&readingCheck_, &QTimer::timeout, this, [this] { CheckReadings(); });
}

RigServer::~RigServer() {
  Close();
  station_.SetTuneDoneHook(nullptr);
}

bool RigServer::Listen(const RigServerConfig& cfg, std::string* error) {
  Close();
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    return false;
  };
  if (cfg.port < 0 || cfg.port > 65535) return fail("ungültiger Port " + std::to_string(cfg.port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* res = nullptr;
  if (::getaddrinfo(cfg.address.c_str(), std::to_string(cfg.port).c_str(), &hints, &res) != 0 ||
      !res)
    return fail("ungültige Adresse " + cfg.address);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> hold(res, ::freeaddrinfo);
  listenFd_ = ::socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return fail(platform::SystemErrorText(errno));
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listenFd_, res->ai_addr, res->ai_addrlen) != 0 || ::listen(listenFd_, SOMAXCONN) != 0)
    return fail(platform::SystemErrorText(errno));
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  maxClients_ = std::max(1, cfg.clients);
  vfoMode_ = cfg.vfoMode;
  acceptor_ = std::make_unique<QSocketNotifier>(listenFd_, QSocketNotifier::Read);
  connect(acceptor_.get(), &QSocketNotifier::activated, this, [this] { OnAcceptable(); });
  // The stall check runs only while a client is behind (see Pump): an idle listener wakes
  // nobody.
  housekeeping_.setInterval(std::max(10, std::min(250, stallLimitMs_ / 4)));
  return true;
}

void RigServer::Close() {
  std::vector<int> ids;
  for (auto& [id, c] : clients_) ids.push_back(id);
  for (int id : ids) Drop(id);
  acceptBackoff_.stop();
  housekeeping_.stop();
  readingCheck_.stop();
  if (acceptor_) {
    acceptor_->setEnabled(false);
    acceptor_.release()->deleteLater();
  }
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  port_ = 0;
}

void RigServer::OnAcceptable() {
  for (int i = 0; i < kAcceptsPerWake && listenFd_ >= 0; ++i) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      // Out of descriptors or memory: the connection stays queued and the notifier would fire
      // again at once. Stop listening for a while so the station goes on, and retry.
      if (acceptFailures_++ == 0 || backoffMs_ == 0)
        std::fprintf(stderr,
                     "Kanalo: Netzwerksteuerung nimmt keine Verbindungen an: %s; neuer Versuch\n",
                     platform::SystemErrorText(errno).c_str());
      backoffMs_ = backoffMs_ == 0 ? 50 : std::min(backoffMs_ * 2, kMaxBackoffMs);
      acceptor_->setEnabled(false);
      acceptBackoff_.start(backoffMs_);
      return;
    }
    backoffMs_ = 0;
    if (static_cast<int>(clients_.size()) >= maxClients_) {
      static const char kFull[] = "RPRT -9\n";
      (void)!::send(fd, kFull, sizeof kFull - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      if (refused_++ % 100 == 0)
        std::fprintf(stderr,
                     "Kanalo: rig control refused a connection: %d clients are connected "
                     "(rigctl.clients)\n",
                     maxClients_);
      continue;
    }
    const int id = nextId_++;
    Client& c = clients_[id];
    c.fd = fd;
    c.id = id;
    c.session = std::make_unique<RigCtlSession>(station_, id, vfoMode_);
    c.reader = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    c.writer = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    c.writer->setEnabled(false);
    connect(c.reader.get(), &QSocketNotifier::activated, this, [this, id] { OnReadable(id); });
    connect(c.writer.get(), &QSocketNotifier::activated, this, [this, id] { OnWritable(id); });
  }
}

void RigServer::OnReadable(int id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = it->second;
  char buf[kReadChunk];
  ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
  if (n > 0) {
    c.in.assign(buf, static_cast<size_t>(n));
    c.inPos = 0;
  } else if (n == 0) {
    c.eof = true;
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    Drop(id);
    return;
  }
  Process(c);
}

void RigServer::OnWritable(int id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = it->second;
  if (!Flush(c)) return;
  Process(c);  // room again: go on with what this client asked
}

bool RigServer::Process(Client& c) {
  const int id = c.id;
  while (!c.session->Waiting() && !c.session->Quit() && Unsent(c) < kMaxOutput &&
         c.inPos < c.in.size()) {
    const char ch = c.in[c.inPos++];
    // CR, LF and CRLF all end a line (the LF after a CR ends an empty one, which answers nothing).
    if (ch == '\n' || ch == '\r') {
      if (c.discarding)
        c.discarding = false;
      else
        c.out += c.session->HandleLine(c.line);
      c.line.clear();
      continue;
    }
    if (c.discarding) continue;
    if (c.line.size() >= static_cast<size_t>(kMaxLine)) {
      c.out += RigCtlSession::LineTooLong();
      c.line.clear();
      c.discarding = true;
      continue;
    }
    c.line += ch;
  }
  const bool consumed = c.inPos >= c.in.size();
  if (consumed) {
    c.in.clear();
    c.inPos = 0;
  }
  if (c.session->WaitingForReading() && !c.holding) {
    c.holding = true;
    c.holdFromPoll = station_.Polls();
    c.holdSince = Clock::now();
    if (!readingCheck_.isActive()) readingCheck_.start();
  }
  if (!Flush(c)) return false;
  // A last line without its line end may be a command cut short ("F 2718"): it is not run.
  const bool finished = c.session->Quit() || (c.eof && consumed && !c.session->Waiting());
  if (finished && Unsent(c) == 0) {
    Drop(id);
    return false;
  }
  UpdateNotifiers(c);
  return true;
}

bool RigServer::Flush(Client& c) {
  while (Unsent(c) > 0) {
    ssize_t n = ::send(c.fd, c.out.data() + c.outPos, Unsent(c), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.outPos += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Drop(c.id);
    return false;
  }
  if (Unsent(c) == 0) {
    c.out.clear();
    c.outPos = 0;
  } else if (c.outPos >= 4096) {  // what was sent is not kept beside the bound
    c.out.erase(0, c.outPos);
    c.outPos = 0;
  }
  if (Unsent(c) >= kMaxOutput) {
    if (c.overSince == Clock::time_point{}) c.overSince = Clock::now();
    if (!housekeeping_.isActive()) housekeeping_.start();
  } else {
    c.overSince = {};
  }
  UpdateNotifiers(c);
  return true;
}

void RigServer::UpdateNotifiers(Client& c) {
  const bool wantInput = !c.eof && !c.session->Quit() && !c.session->Waiting() &&
                         c.inPos >= c.in.size() && Unsent(c) < kMaxOutput;
  if (c.reader->isEnabled() != wantInput) c.reader->setEnabled(wantInput);
  const bool wantOutput = Unsent(c) > 0;
  if (c.writer->isEnabled() != wantOutput) c.writer->setEnabled(wantOutput);
}

void RigServer::Drop(int id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client c = std::move(it->second);
  clients_.erase(it);
  // The notifiers may be the very senders whose signal is running now.
  for (auto* n : {c.reader.release(), c.writer.release()}) {
    n->setEnabled(false);
    n->deleteLater();
  }
  ::close(c.fd);
  station_.ClientGone(id);
}

size_t RigServer::BufferedBytes() const {
  size_t n = 0;
  for (const auto& [id, c] : clients_) n += c.in.size() + c.line.size() + c.out.size();
  return n;
}

void RigServer::OnTuneDone() {
  std::vector<int> waiting;
  for (auto& [id, c] : clients_)
    if (c.session->Waiting() && !c.session->WaitingForReading()) waiting.push_back(id);
  for (int id : waiting) {
    auto it = clients_.find(id);
    if (it == clients_.end()) continue;
    it->second.out += it->second.session->Resume(station_.TuneResult());
    Process(it->second);
  }
}

void RigServer::CheckReadings() {
  const bool fresh = station_.ReadingFresh();
  const int64_t poll = station_.Polls();
  const auto now = Clock::now();
  std::vector<int> due;
  bool holding = false;
  for (auto& [id, c] : clients_) {
    if (!c.holding) continue;
    if (fresh || poll - c.holdFromPoll >= kHoldPolls ||
        now - c.holdSince >= std::chrono::milliseconds(kHoldMs))
      due.push_back(id);
    else
      holding = true;
  }
  for (int id : due) {
    auto it = clients_.find(id);
    if (it == clients_.end()) continue;
    Client& c = it->second;
    c.holding = false;
    c.out += c.session->ResumeReading();
    // The rest of its line may hold again (another reading after another change).
    if (Process(c) && c.holding) holding = true;
  }
  if (!holding) readingCheck_.stop();
}

void RigServer::CheckStalled() {
  const auto now = Clock::now();
  std::vector<int> stalled;
  bool behind = false;  // a client still behind but within its limit keeps the check running
  for (auto& [id, c] : clients_) {
    if (c.overSince == Clock::time_point{}) continue;
    if (now - c.overSince > std::chrono::milliseconds(stallLimitMs_))
      stalled.push_back(id);
    else
      behind = true;
  }
  for (int id : stalled) Drop(id);
  if (!behind) housekeeping_.stop();
}

}  // namespace net
