// The one QApplication of a test binary, made the first time a test needs widgets.
#pragma once

#include <QApplication>

namespace testsupport {

inline void EnsureQApplication() {
  static int argc = 1;
  static char name[] = "kanalo-test";
  static char* argv[] = {name, nullptr};
  if (!qApp) new QApplication(argc, argv);
}

}  // namespace testsupport
