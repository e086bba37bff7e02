#pragma once

#include <gtest/gtest.h>

#include <string>

#include "harness/port_arrangements.h"

/// For tests that run commands on a private /dev/ttyS0: each skips, with the
/// reason, where none can be made (checked once per test program).
class PrivatePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const std::string unavailable = private_port_unavailable();
    if (!unavailable.empty()) GTEST_SKIP() << "no private /dev/ttyS0: " << unavailable;
  }
};
