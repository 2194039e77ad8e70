// Test entry: pins the main thread for the message queue before any test starts.
#include <gtest/gtest.h>

#include "rtl/Messages.h"

int main(int argc, char** argv) {
  rtl::MainThreadId();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
