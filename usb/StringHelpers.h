// Bounded copies of terminated strings, 8-bit and 16-bit.
#pragma once

#include <platform.h>

// Characters before the terminating zero.
ULONG WideStringLength(const WCHAR* text);
// Copy characters while fewer than count - 1 are copied and the source has not ended, then
// terminate; count is the destination's capacity including the terminator. Returns the
// characters copied. A count of 0 leaves the destination untouched.
ULONG CopyStringBounded(CHAR* destination, const CHAR* source, ULONG count);
ULONG CopyWideStringBounded(WCHAR* destination, const WCHAR* source, ULONG count);
