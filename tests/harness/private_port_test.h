#pragma once

#include <gtest/gtest.h>

#include <string>

#include "harness/port_arrangements.h"

/// A test fixture for tests that run commands on a private /dev/ttyS0: each
/// is skipped, with the reason, where none can be made (neither root nor user
/// namespaces). The check is made once per test program.
class PrivatePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const std::string unavailable = private_port_unavailable();
    if (!unavailable.empty()) GTEST_SKIP() << "no private /dev/ttyS0: " << unavailable;
  }
};
