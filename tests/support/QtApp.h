// The one Qt application object of a test binary, made the first time a test needs it:
// QCoreApplication for sockets and timers, QApplication where widgets are drawn.
#pragma once

#include <QCoreApplication>

namespace testsupport {

template <class App>
void EnsureQtApplication() {
  static int argc = 1;
  static char name[] = "kanalo-test";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new App(argc, argv);
}

}  // namespace testsupport
