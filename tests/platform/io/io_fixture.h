// A booted machine per test case; the test body runs as the emulated thread "app".
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include "tarvel/io.h"
#include "tarvel/kernel.h"

namespace tarvel::io::testing {

class IoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kernel::Boot();
  }
  void TearDown() override {
    if (kernel::Booted()) kernel::Shutdown();
  }
};

// Runs body on a freshly booted machine under the random policy with the given seed.
template <class Body>
void UnderSeed(std::uint64_t seed, Body&& body) {
  if (kernel::Booted()) kernel::Shutdown();
  kernel::BootOptions options;
  options.policy = kernel::Policy::Random;
  options.seed = seed;
  options.switchProbability = 0.5;
  kernel::Boot(options);
  body();
  kernel::Shutdown();
}

}  // namespace tarvel::io::testing
