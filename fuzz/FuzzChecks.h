// What every fuzz target counts as a finding: a failed check of its own, or anything the
// emulator's verifier or leak check reports once the input has run. A finding aborts, so
// libFuzzer keeps the input that caused it.
#pragma once

#include <functional>

#include "emu/kernel/Kernel.h"

[[noreturn]] void Finding(const char* what);

// Checks that the kernel is clean, shuts it down and fails on every violation it recorded
// that 'excused' (when given) does not excuse.
void EndKernel(emu::Kernel& kernel, const std::function<bool(const emu::Violation&)>& excused = nullptr);
