// The network server of the rig-control protocol: localhost by default, several clients at once,
// everything on the main thread through Qt's event loop.
//
// Each client's input is bounded (a line longer than kMaxLine is answered with an error and
// skipped up to its end), so a client that sends garbage or nothing holds no more than its socket
// and a few hundred bytes.
// Thread: main thread.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <map>
#include <memory>
#include <string>

#include "net/RigCtl.h"

namespace net {

struct RigServerConfig {
  bool enabled = true;
  std::string address = "127.0.0.1";
  int port = 4532;
  // From the host configuration keys rigctl.enabled, rigctl.address, rigctl.port.
  static RigServerConfig FromHost();
};

class RigServer : public QObject {
 public:
  static constexpr int kMaxLine = 256;

  explicit RigServer(IRigStation& station, QObject* parent = nullptr);
  ~RigServer() override;

  // Starts listening; false with a reason when the address or port cannot be had.
  bool Listen(const RigServerConfig& cfg, std::string* error = nullptr);
  void Close();
  bool IsListening() const { return server_.isListening(); }
  quint16 Port() const { return server_.serverPort(); }
  int ClientCount() const { return static_cast<int>(clients_.size()); }

 private:
  struct Client {
    std::unique_ptr<RigCtlSession> session;
    std::string pending;
    bool discarding = false;  // inside an over-long line
  };
  void OnNewConnection();
  void OnReadyRead(QTcpSocket* s);

  IRigStation& station_;
  QTcpServer server_;
  std::map<QTcpSocket*, Client> clients_;
};

}  // namespace net
