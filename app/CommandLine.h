// The station's command line, in the usual GNU form. Options with two dashes are ours; options
// with one dash (-platform, -display, -style, ...) and their values belong to Qt and pass through.
// Thread: main thread, before the application object exists (so --help needs no display).
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace app {

struct TCommandLine {
  bool simulator = false;
  bool headless = false;  // --headless: no window, no display (see app/Headless.h)
  // --remote-password / --remote-listener-password: the host configuration key to set.
  std::string passwordKey;
  // >= 0: the program ends at once with this code after printing `out` (standard output) or
  // `err` (standard error, one line).
  int exitCode = -1;
  std::string out, err;
};

TCommandLine ParseCommandLine(int argc, const char* const* argv);

// The program `--headless` runs in place of this one: kanalo-headless beside the running
// executable (the build tree) or in ../libexec/kanalo/ (installed), as the guardian is found;
// KANALO_HEADLESS names another. Empty when there is none.
std::string HeadlessProgram();

// Asks for a password twice (without echo where `in` is a terminal), stores its scrypt hash as
// `key` in the configuration file at `confPath`; returns the exit code. Lines are read from `in`,
// prompts and errors go to `out`.
int StoreRemotePassword(const std::string& key, const std::string& confPath, std::FILE* in,
                        std::FILE* out);

// What both programs (the window's and kanalo-headless) do before any station exists: print what
// the command line asked for (--help, --version, --list-radios, an option's error) or store a
// remote password. The exit code; nullopt when a station is to run.
std::optional<int> RunWithoutStation(const TCommandLine& cmd);

}  // namespace app
