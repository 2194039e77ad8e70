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

#include "rtl/Dialogs.h"

namespace app {

std::shared_ptr<rtl::IDialogs> HeadlessDialogs(std::FILE* journal);

}  // namespace app
