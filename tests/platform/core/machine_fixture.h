// A booted machine per test case; the test body runs as the emulated thread "app".
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include "tarvel/kernel.h"

namespace tarvel::kernel::testing {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Boot(Options());
  }
  void TearDown() override {
    if (Booted()) Shutdown();
  }
  virtual BootOptions Options() { return {}; }
};

inline LARGE_INTEGER Relative(VirtualTime t) {
  LARGE_INTEGER value;
  value.QuadPart = -t;
  return value;
}

}  // namespace tarvel::kernel::testing
