#include "app/CommandLine.h"

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
    "      --simulator   connect COM1 to the built-in simulator of the box, the radio and a\n"
    "                    band with a few stations, with a virtual sound card and mixer\n"
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
    if (a == "--simulator") {
      c.simulator = true;
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

}  // namespace app
