// The station without a window, for the computer at the mast: `kanalo --headless`.
//
// The same station runs on Qt's offscreen platform and never shows its window; rig control and
// the browser front are its fronts. What the window would show in a box goes to standard error
// (the journal under systemd) and, for errors and warnings, to the station's log; a box that
// asks something gets the answer that changes nothing (Cancel, No), an input box or file dialog
// is cancelled.
// Thread: main thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "rtl/Dialogs.h"

namespace app {

std::shared_ptr<rtl::IDialogs> HeadlessDialogs(std::FILE* journal);

// The port a headless station opens at start besides the saved one: COM1 when the settings name
// no port ("COM1"/"COM2") and kanalo.conf maps COM1 (`com1Target` non-empty); empty otherwise.
// Without it a fresh install, or a damaged settings file reset to its defaults, would stay
// unconnected with no window to connect it from.
std::string HeadlessStartPort(const std::string& savedPort, const std::string& com1Target);

}  // namespace app
