// The browser front on the fake station: for the browser tests and for looking at the page.
//   kanalo-remote-fake --dir DIR [--port N] [--password P] [--listener-password P]
// Prints "PORT n" and "FINGERPRINT f" when listening, then one line per event:
// "KEYED 1" / "KEYED 0", "CHANNEL n". Reads commands from standard input, one a line:
// "channel N", "signal CH V", "drop" (the station releases by itself), "state" (prints
// "STATE channel tx ups"), "quit".
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <string>

#include "remote/FakeStation.h"
#include "remote/Password.h"
#include "remote/RemoteServer.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string dir = "/tmp", password = "geheim", listener, address = "127.0.0.1";
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--dir")
      dir = v;
    else if (a == "--port")
      port = std::stoi(v);
    else if (a == "--password")
      password = v;
    else if (a == "--listener-password")
      listener = v;
    else if (a == "--address")
      address = v;
  }
  remote::FakeStation station;
  station.Log("Station bereit");
  remote::RemoteServer server(station);
  server.SetLogHook([&station](const std::string& line) {
    station.Log(line);
    std::printf("LOG %s\n", line.c_str());
    std::fflush(stdout);
  });
  station.OnKeying = [](bool keyed) {
    std::printf("KEYED %d\n", keyed ? 1 : 0);
    std::fflush(stdout);
  };
  remote::RemoteConfig cfg;
  cfg.address = address;
  cfg.port = port;
  // A light cost: the tests log in many times; the station itself uses the default.
  const remote::ScryptCost light{1u << 12, 8, 1};
  cfg.passwordHash = remote::HashPassword(password, light);
  if (!listener.empty()) cfg.listenerHash = remote::HashPassword(listener, light);
  remote::Identity id;
  std::string why;
  if (!remote::LoadOrCreateIdentity(dir + "/remote.crt", dir + "/remote.key", true, id, &why) ||
      !server.Listen(cfg, id, &why)) {
    std::fprintf(stderr, "kanalo-remote-fake: %s\n", why.c_str());
    return 1;
  }
  std::printf("PORT %d\nFINGERPRINT %s\n", server.Port(), id.fingerprint.c_str());
  std::fflush(stdout);

  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  std::string pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buf[512];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
      QCoreApplication::quit();
      return;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      int a = 0, b = 0;
      if (std::sscanf(line.c_str(), "channel %d", &a) == 1) {
        station.SetChannel(a);
      } else if (std::sscanf(line.c_str(), "signal %d %d", &a, &b) == 2) {
        station.SetSValue(a, b);
      } else if (line == "drop") {
        station.DropRemote();
      } else if (line == "state") {
        const auto s = station.State();
        std::printf("STATE %d %d %d\n", s.channel, s.tx ? 1 : 0, station.upCount);
        std::fflush(stdout);
      } else if (line == "quit") {
        QCoreApplication::quit();
      }
    }
  });
  return QCoreApplication::exec();
}
