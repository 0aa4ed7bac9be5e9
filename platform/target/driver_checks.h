// The checks the driver states in code. The emulator enforces them; here they compile to
// nothing: no code and no strings in the image. sizeof keeps the operands "used" without
// evaluating them, so a variable or parameter read only by a check draws no warning.
#pragma once

#define CHECK_IRQL_PASSIVE() ((void)0)
#define CHECK_IRQL_DISPATCH() ((void)0)
#define CHECK_IRQL_AT_MOST_DISPATCH() ((void)0)
#define DRIVER_VERIFY(condition) ((void)sizeof(!(condition)))
#define NAME_LOCK_CLASS(lock, className) ((void)sizeof(lock), (void)sizeof(className))
