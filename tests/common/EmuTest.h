// Base fixture: every test runs on a fresh emulated kernel, and ends with the verifier's
// verdict: no violation may be left that the test did not take and check itself.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emu/kernel/Kernel.h"

class EmuTest : public ::testing::Test {
 protected:
  explicit EmuTest(emu::Mode mode = emu::Mode::Deterministic);
  void TearDown() override;

  emu::Kernel& kernel() { return *kernel_; }
  // Takes the violations recorded so far, so the test can check them.
  std::vector<emu::Violation> TakeViolations();
  // Takes the violations and says whether one of the rule mentions the text.
  bool TookViolation(const std::string& rule, const std::string& text = "");

 private:
  std::unique_ptr<emu::Kernel> kernel_;
};

class ThreadedEmuTest : public EmuTest {
 protected:
  ThreadedEmuTest() : EmuTest(emu::Mode::Threaded) {}
};
