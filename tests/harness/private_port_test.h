#pragma once

#include <gtest/gtest.h>

#include <string>

#include "harness/port_arrangements.h"

/// A test fixture for tests that run commands on a private /dev/ttyS0. The
/// build registers them only where one can be made (elsewhere they are listed
/// as skipped, with the reason), so here each fails, with the reason, when none
/// can. The check is made once per test program.
class PrivatePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const std::string unavailable = private_port_unavailable();
    if (!unavailable.empty()) FAIL() << "no private /dev/ttyS0 here: " << unavailable;
  }
};
