// The one main of every test executable.

#include <gtest/gtest.h>

#include "harness.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifndef QEV_TESTS_AS_ROOT
  // A user namespace of our own, in which network namespaces may be made
  // even when not started as root.
  qevtest::enterUserNamespace();
#endif
  return RUN_ALL_TESTS();
}
