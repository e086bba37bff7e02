#pragma once

#include <gtest/gtest.h>

#include <string>

#include "harness/port_arrangements.h"

/// A test fixture for tests that run commands on a private /dev/ttyS0. The
/// build registers them only where one can be made (elsewhere they are listed
/// as skipped, with the reason), so here each fails, with the reason, when none
/// can. The check is made once per suite.
class PrivatePortTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { unavailable_ = new std::string(private_port_unavailable()); }
  static void TearDownTestSuite() {
    delete unavailable_;
    unavailable_ = nullptr;
  }
  void SetUp() override {
    if (!unavailable_->empty()) FAIL() << "no private /dev/ttyS0 here: " << *unavailable_;
  }

 private:
  static inline std::string* unavailable_ = nullptr;
};
