// Desktop notifications through the freedesktop Notifications service on the session bus.
// Without a session bus, or without anyone serving notifications, nothing is shown and nothing is
// reported: a notification is a courtesy, never an error. The call does not wait for an answer,
// so a hung notification service cannot stall the window.
// Thread: main thread.
#pragma once

#include <QString>

namespace app {

// Sends one notification; false when no bus was there to take it.
bool SendDesktopNotification(const QString& summary, const QString& body);

// Tests: the bus notifications go to (a private one); empty for the session bus again.
void SetNotificationBusAddress(const QString& address);

}  // namespace app
