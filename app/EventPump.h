// Our message queue (rtl/Messages.h) rides on Qt's event loop.
//
// A post into an empty queue schedules one pump. A pump schedules the next one before it
// dispatches whenever something is waiting: a handler may open a modal box whose nested loop
// runs for minutes, and the messages queued behind it (the 100 ms tick among them) must go on
// being dispatched from inside that loop. Without this, a box opened from a posted message
// while a tick waited stopped the station's polling until the box closed.
// Thread: main thread.
#pragma once

namespace app {

void InstallQtEventPump();

}  // namespace app
