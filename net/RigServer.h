// The network server of the rig-control protocol: localhost by default, several clients at once,
// everything on the main thread through Qt's event loop (socket notifiers on plain non-blocking
// sockets, so that a client's half-close, backpressure and accept failures are ours to handle).
//
// What a client can and cannot do to the station:
// - Lines end with CR, LF or CRLF.
// - Input is bounded: a line longer than kMaxLine is answered with an error and skipped up to its
//   end, and one line's answer is bounded by the session.
// - Output is bounded: while a client's unsent answers exceed kMaxOutput, nothing more is read
//   from it (its further requests wait in its own socket buffers); a client that stays over the
//   bound for StallLimitMs is closed.
// - At most `clients` connections; one more is told "RPRT -9" and closed.
// - A client that half-closes (sends its requests and shuts its sending side) gets the answers
//   to all its whole lines before the server closes the connection; a last line without its
//   line end may be a command cut short and is not run.
// - When accepting fails for want of descriptors, the server stops accepting for a while
//   (growing back-off up to 2 s) instead of spinning, and takes connections again when
//   descriptors are back.
// - A client that asks for channel steps waits for them (its later lines run afterwards); other
//   clients are answered meanwhile. A strength or squelch reading right after a channel change
//   waits until the station has read the new channel, at most kHoldPolls polls of the box.
// - When a client goes, the station is told (ClientGone), so PTT it keyed is released.
// Thread: main thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "net/RigCtl.h"

namespace net {

struct RigServerConfig {
  bool enabled = true;
  std::string address = "127.0.0.1";
  int port = 4532;
  int clients = 16;
  // Hamlib's VFO mode for every client: "\chk_vfo" answers 1, so that Hamlib's network rig sends
  // a VFO with each command and "rigctl --vfo" takes one from its user. A VFO argument is taken
  // in either mode; a client may switch its own connection with "\set_vfo_opt".
  bool vfoMode = false;
  // From the host configuration keys rigctl.enabled, rigctl.address, rigctl.port,
  // rigctl.clients and rigctl.vfo (values the configuration reports as invalid keep their
  // defaults).
  static RigServerConfig FromHost();
};

class RigServer : public QObject {
 public:
  static constexpr int kMaxLine = 256;
  static constexpr size_t kMaxOutput = 64 * 1024;
  // A reading waits for the box's answer on the new channel: at most this many polls (the answer
  // to the first poll after a change is read at the second), and never longer than kHoldMs, in
  // case the station stops polling.
  static constexpr int kHoldPolls = 3;
  static constexpr int kHoldMs = 5000;

  explicit RigServer(IRigStation& station, QObject* parent = nullptr);
  ~RigServer() override;

  // Starts listening; false with a reason when the address or port cannot be had.
  bool Listen(const RigServerConfig& cfg, std::string* error = nullptr);
  void Close();
  bool IsListening() const { return listenFd_ >= 0; }
  uint16_t Port() const { return port_; }
  int ClientCount() const { return static_cast<int>(clients_.size()); }
  // Connections refused because the maximum was reached, and accept failures met.
  int Refused() const { return refused_; }
  int AcceptFailures() const { return acceptFailures_; }
  void SetStallLimitMs(int ms) { stallLimitMs_ = ms; }
  // Bytes held for all clients: read and not yet answered, and answers not yet sent.
  size_t BufferedBytes() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Client {
    int fd = -1;
    int id = 0;
    std::unique_ptr<QSocketNotifier> reader, writer;
    std::unique_ptr<RigCtlSession> session;
    std::string in;  // read, not yet split into lines
    size_t inPos = 0;
    std::string line;         // the line being assembled
    bool discarding = false;  // inside an over-long line
    std::string out;          // answers not yet sent
    size_t outPos = 0;
    bool eof = false;  // the client has shut its sending side
    Clock::time_point overSince{};
    // A reading waits for the new channel's since this poll and this moment.
    bool holding = false;
    int64_t holdFromPoll = 0;
    Clock::time_point holdSince{};
  };

  void OnAcceptable();
  void OnReadable(int id);
  void OnWritable(int id);
  // Splits and answers what has been read while the client may be answered; returns false when
  // the client was dropped.
  bool Process(Client& c);
  bool Flush(Client& c);
  void UpdateNotifiers(Client& c);
  void Drop(int id);
  void OnTuneDone();
  // Answers the readings that may be answered now; runs while any waits.
  void CheckReadings();
  void CheckStalled();
  size_t Unsent(const Client& c) const { return c.out.size() - c.outPos; }

  IRigStation& station_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  int maxClients_ = 16;
  bool vfoMode_ = false;
  std::unique_ptr<QSocketNotifier> acceptor_;
  QTimer acceptBackoff_;
  int backoffMs_ = 0;
  QTimer housekeeping_;
  QTimer readingCheck_;
  int stallLimitMs_ = 10000;
  int refused_ = 0;
  int acceptFailures_ = 0;
  int nextId_ = 1;
  std::map<int, Client> clients_;
};

}  // namespace net
