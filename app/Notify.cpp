#include "app/Notify.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace app {

namespace {
constexpr char kPrivateBus[] = "kanalo-notify";
QString& BusAddress() {
  static QString a;
  return a;
}
}  // namespace

void SetNotificationBusAddress(const QString& address) {
  if (!BusAddress().isEmpty()) QDBusConnection::disconnectFromBus(kPrivateBus);
  BusAddress() = address;
  if (!address.isEmpty()) QDBusConnection::connectToBus(address, kPrivateBus);
}

bool SendDesktopNotification(const QString& summary, const QString& body) {
  QDBusConnection bus =
      BusAddress().isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(kPrivateBus);
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                     "/org/freedesktop/Notifications",
                                                     "org.freedesktop.Notifications", "Notify");
  QVariantMap hints;
  hints.insert("category", QString("im.received"));
  hints.insert("desktop-entry", QString("kanalo"));
  call << QString("Kanalo") << uint(0) << QString("kanalo") << summary << body << QStringList()
       << hints << int(-1);
  // No reply is awaited: the service may be missing or slow, and neither is the operator's
  // concern.
  call.setAutoStartService(true);
  return bus.send(call);
}

}  // namespace app
