// Checks the driver states in code: execution level on entry, state invariants and lock
// classes. The emulator's verifier enforces them; the i386 build compiles them away.
#pragma once

#include "kernel.h"

void EmuCheckIrql(KIRQL level, bool exact, const char* routine);
void EmuVerify(bool condition, const char* expression, const char* file, int line);
void EmuNameLockClass(const void* lock, const char* className);

#define CHECK_IRQL_PASSIVE() EmuCheckIrql(PASSIVE_LEVEL, true, __func__)
#define CHECK_IRQL_DISPATCH() EmuCheckIrql(DISPATCH_LEVEL, true, __func__)
#define CHECK_IRQL_AT_MOST_DISPATCH() EmuCheckIrql(DISPATCH_LEVEL, false, __func__)
#define DRIVER_VERIFY(condition) EmuVerify((condition), #condition, __FILE__, __LINE__)
#define NAME_LOCK_CLASS(lock, className) EmuNameLockClass((lock), (className))
