// The station's command line, in the usual GNU form. Options with two dashes are ours; options
// with one dash (-platform, -display, -style, ...) and their values belong to Qt and pass through.
// Thread: main thread, before the application object exists (so --help needs no display).
#pragma once

#include <string>

namespace app {

struct TCommandLine {
  bool simulator = false;
  // >= 0: the program ends at once with this code after printing `out` (standard output) or
  // `err` (standard error, one line).
  int exitCode = -1;
  std::string out, err;
};

TCommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace app
