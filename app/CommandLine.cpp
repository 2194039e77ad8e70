#include "app/CommandLine.h"

#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/Host.h"
#include "radio/HamlibRadio.h"
#include "remote/Password.h"

#ifndef KANALO_VERSION
#define KANALO_VERSION "0"
#endif

namespace app {

namespace {
constexpr int kExitUsage = 2;

const char* const kHelp =
    "Usage: kanalo [OPTION]... [QT-OPTION]...\n"
    "Remote-control station for a CB radio behind a KVR-100 interface box.\n"
    "\n"
    "      --remote-password  set the password of the browser front (asked twice, stored\n"
    "                    as a salted scrypt hash in kanalo.conf) and exit\n"
    "      --remote-listener-password  set the password of a listener (may watch and\n"
    "                    listen, never control or transmit) and exit\n"
    "      --simulator   connect COM1 to the built-in simulator of the box, the radio and a\n"
    "                    band with a few stations, with a virtual sound card and mixer\n"
    "      --headless    run without a window or display (rig control and the browser\n"
    "                    front are the fronts; messages go to standard error and the log)\n"
    "      --list-radios  list the radio models the installed Hamlib knows (for\n"
    "                    radio = hamlib and hamlib.model in kanalo.conf) and exit\n"
    "      --help        display this help and exit\n"
    "      --version     output version information and exit\n"
    "\n"
    "Options with one dash (-platform NAME, -display DISPLAY, -style STYLE, ...) go to Qt.\n"
    "\n"
    "Settings and data live in ~/Kanalo/ (default.kvr, S_Meter.bmp, the cues and the mailbox\n"
    "recordings); serial ports, sound devices and network control in\n"
    "~/.config/kanalo/kanalo.conf. See kanalo(1).\n";
}  // namespace

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine c;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i] ? argv[i] : "";
    if (a == "--help") {
      c.exitCode = 0;
      c.out = kHelp;
      return c;
    }
    if (a == "--version") {
      c.exitCode = 0;
      c.out = std::string("kanalo ") + KANALO_VERSION + "\n";
      return c;
    }
    if (a == "--list-radios") {
      c.exitCode = 0;
      for (const auto& [number, name] : radio::THamlibRig::Models())
        c.out += std::to_string(number) + "\t" + name + "\n";
      return c;
    }
    if (a == "--simulator") {
      c.simulator = true;
    } else if (a == "--headless") {
      c.headless = true;
    } else if (a == "--remote-password") {
      c.passwordKey = "remote.password";
    } else if (a == "--remote-listener-password") {
      c.passwordKey = "remote.listener_password";
    } else if (a == "--") {
      break;
    } else if (a.rfind("--", 0) == 0) {
      c.exitCode = kExitUsage;
      c.err = "kanalo: unrecognized option '" + a + "' (try 'kanalo --help')\n";
      return c;
    }
    // Everything else is Qt's (or a value of a Qt option).
  }
  return c;
}

namespace {

// One line from `in`, without its line end; echo is off while reading when `in` is a terminal.
bool ReadSecret(std::FILE* in, std::string& line) {
  const int fd = fileno(in);
  termios old{};
  const bool tty = isatty(fd) && tcgetattr(fd, &old) == 0;
  if (tty) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  line.clear();
  int ch;
  bool any = false;
  while ((ch = std::fgetc(in)) != EOF && ch != '\n') {
    any = true;
    if (line.size() < 1024) line += static_cast<char>(ch);
  }
  if (tty) tcsetattr(fd, TCSAFLUSH, &old);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any || ch == '\n';
}

}  // namespace

int StoreRemotePassword(const std::string& key, const std::string& confPath, std::FILE* in,
                        std::FILE* out) {
  std::string first, second;
  std::fputs("Neues Passwort (mindestens 8 Zeichen): ", out);
  std::fflush(out);
  if (!ReadSecret(in, first)) return kExitUsage;
  std::fputs("Passwort wiederholen: ", out);
  std::fflush(out);
  if (!ReadSecret(in, second)) return kExitUsage;
  int code = 0;
  if (first != second) {
    std::fputs("kanalo: Die Passwörter sind verschieden, nichts gespeichert.\n", out);
    code = 1;
  } else if (first.size() < 8) {
    std::fputs("kanalo: Ein Passwort braucht mindestens 8 Zeichen, nichts gespeichert.\n", out);
    code = 1;
  } else {
    const std::string hash = remote::HashPassword(first);
    const std::string error = hash.empty() ? "Der Hash konnte nicht berechnet werden."
                                           : platform::HostConfig::StoreKey(confPath, key, hash);
    if (!error.empty()) {
      std::fprintf(out, "kanalo: %s\n", error.c_str());
      code = 1;
    } else {
      std::fprintf(out, "kanalo: %s in %s gespeichert.\n", key.c_str(), confPath.c_str());
    }
  }
  std::fill(first.begin(), first.end(), '\0');
  std::fill(second.begin(), second.end(), '\0');
  return code;
}

std::string HeadlessProgram() {
  auto executable = [](const std::string& path) { return ::access(path.c_str(), X_OK) == 0; };
  if (const char* env = std::getenv("KANALO_HEADLESS"); env && *env)
    return executable(env) ? env : std::string();
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  for (const char* rel : {"kanalo-headless", "../libexec/kanalo/kanalo-headless"})
    if (executable(dir + rel)) return dir + rel;
  return {};
}

std::optional<int> RunWithoutStation(const TCommandLine& cmd) {
  if (cmd.exitCode >= 0) {
    std::fputs(cmd.out.c_str(), stdout);
    std::fputs(cmd.err.c_str(), stderr);
    return cmd.exitCode;
  }
  if (!cmd.passwordKey.empty())
    return StoreRemotePassword(cmd.passwordKey, platform::HostConfig::DefaultPath(), stdin, stdout);
  return std::nullopt;
}

}  // namespace app
