// The browser front on the fake station: for the browser tests and for looking at the page.
//   kanalo-remote-fake --dir DIR [--port N] [--password P] [--listener-password P]
//     [--cost LOG2N] [--idle-ms N] [--lifetime-ms N] [--head-ms N]
// Prints "PORT n" and "FINGERPRINT f" when listening, then one line per event:
// "KEYED 1" / "KEYED 0", "CHANNEL n", "VOICEON" (a holding page's voice starts after a quiet).
// Reads commands from standard input, one a line:
// "channel N", "signal CH V", "drop" (the station releases by itself), "state" (prints
// "STATE channel tx ups"), "dtmf DIGITS" (the receiver hears a DTMF call: 150 ms a tone, 150 ms
// a pause; it cuts off a call still playing), "voice FILE" (writes the voice received from
// holding pages so far as a 44100 Hz mono WAVE file and empties it; "voice -" writes nothing;
// both print "VOICE samples dropped cuts" of before), "endcall" (a page's call has played),
// "password P" (a new operator password, as kanalo --remote-password while the station runs),
// "sessions" (prints "SESSIONS sessions pages connections evicted"), "quit". The receiver hands the
// front 20 ms of sound at a time (silence between calls) while a page listens.
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <string>

#include "remote/Audio.h"
#include "remote/FakeStation.h"
#include "remote/Password.h"
#include "remote/RemoteServer.h"

namespace {

// 16-bit mono 44100 Hz PCM as a WAVE file (little-endian host).
void WriteWave(const std::string& path, const std::vector<int16_t>& pcm) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  const uint32_t data = static_cast<uint32_t>(pcm.size() * 2), rate = remote::kCaptureRate;
  const uint32_t riff = 36 + data, fmtLen = 16, bytesPerSec = rate * 2;
  const uint16_t pcmTag = 1, channels = 1, align = 2, bits = 16;
  std::fwrite("RIFF", 1, 4, f);
  std::fwrite(&riff, 4, 1, f);
  std::fwrite("WAVEfmt ", 1, 8, f);
  std::fwrite(&fmtLen, 4, 1, f);
  std::fwrite(&pcmTag, 2, 1, f);
  std::fwrite(&channels, 2, 1, f);
  std::fwrite(&rate, 4, 1, f);
  std::fwrite(&bytesPerSec, 4, 1, f);
  std::fwrite(&align, 2, 1, f);
  std::fwrite(&bits, 2, 1, f);
  std::fwrite("data", 1, 4, f);
  std::fwrite(&data, 4, 1, f);
  if (!pcm.empty()) std::fwrite(pcm.data(), 2, pcm.size(), f);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string dir = "/tmp", password = "geheim", listener, address = "127.0.0.1";
  int port = 0, costLog2 = 12;
  int64_t idleMs = -1, lifetimeMs = -1;
  int headMs = -1;
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
    else if (a == "--cost")
      costLog2 = std::stoi(v);
    else if (a == "--idle-ms")
      idleMs = std::stoll(v);
    else if (a == "--lifetime-ms")
      lifetimeMs = std::stoll(v);
    else if (a == "--head-ms")
      headMs = std::stoi(v);
  }
  remote::FakeStation station;
  station.Log("Station bereit");
  remote::RemoteServer server(station);
  server.SetLogHook([&station](const std::string& line) {
    station.Log(line);
    std::printf("LOG %s\n", line.c_str());
    std::fflush(stdout);
  });
  station.OnVoiceOnset = [] {
    std::printf("VOICEON\n");
    std::fflush(stdout);
  };
  station.OnKeying = [](bool keyed) {
    std::printf("KEYED %d\n", keyed ? 1 : 0);
    std::fflush(stdout);
  };
  remote::RemoteConfig cfg;
  cfg.address = address;
  cfg.port = port;
  // A light cost by default: the tests log in many times; the station itself uses the default.
  const remote::ScryptCost light{uint64_t{1} << costLog2, 8, 1};
  if (idleMs > 0) cfg.idleMs = idleMs;
  if (lifetimeMs > 0) cfg.lifetimeMs = lifetimeMs;
  if (headMs > 0) cfg.headTimeoutMs = headMs;
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

  QTimer receiver;
  receiver.setTimerType(Qt::PreciseTimer);
  QObject::connect(&receiver, &QTimer::timeout, [&station] {
    station.ReceiveUntil(std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
  });
  receiver.start(10);

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
      } else if (line.rfind("dtmf ", 0) == 0) {
        station.ReceiveDtmf(line.substr(5));
      } else if (line == "endcall") {
        station.EndCall();
      } else if (line.rfind("password ", 0) == 0) {
        server.SetPasswords(remote::HashPassword(line.substr(9), light), cfg.listenerHash);
      } else if (line == "sessions") {
        std::printf("SESSIONS %d %d %d %d\n", server.Sessions(), server.Pages(),
                    server.Connections(), server.Evicted());
        std::fflush(stdout);
      } else if (line == "drop") {
        station.DropRemote();
      } else if (line == "state") {
        const auto s = station.State();
        std::printf("STATE %d %d %d\n", s.channel, s.tx ? 1 : 0, station.upCount);
        std::fflush(stdout);
      } else if (line.rfind("voice ", 0) == 0) {
        const std::string file = line.substr(6);
        const size_t had = station.voice.size();
        if (file != "-") {
          WriteWave(file, station.voice);
          station.voice.clear();
        }
        std::printf("VOICE %zu %lld %d\n", had, static_cast<long long>(station.voiceDropped),
                    station.voiceCuts);
        std::fflush(stdout);
      } else if (line == "quit") {
        QCoreApplication::quit();
      }
    }
  });
  return QCoreApplication::exec();
}
