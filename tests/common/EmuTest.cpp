#include "EmuTest.h"

EmuTest::EmuTest(emu::Mode mode) : kernel_(std::make_unique<emu::Kernel>(mode)) {}

void EmuTest::TearDown() {
  kernel_->RunPending();
  kernel_->CheckClean("at the end of the test");
  kernel_->Shutdown();
  for (const emu::Violation& v : kernel_->verifier().Take()) ADD_FAILURE() << v.ToString();
  kernel_.reset();
}

std::vector<emu::Violation> EmuTest::TakeViolations() { return kernel_->verifier().Take(); }

bool EmuTest::TookViolation(const std::string& rule, const std::string& text) {
  bool found = false;
  for (const emu::Violation& v : TakeViolations())
    found |= v.rule == rule && v.message.find(text) != std::string::npos;
  return found;
}
