// Pool tags, four ASCII letters as they read in memory.
#pragma once

#include <platform.h>

constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<UCHAR>(a)) | static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 | static_cast<ULONG>(static_cast<UCHAR>(d)) << 24;
}

constexpr ULONG kTagDriverRecord = MakePoolTag('M', 'p', 'D', 'r');
constexpr ULONG kTagAdapter = MakePoolTag('M', 'p', 'A', 'd');
constexpr ULONG kTagEcmDevice = MakePoolTag('E', 'C', 'M', 'C');
constexpr ULONG kTagTransferBuffer = MakePoolTag('U', 'B', 'U', 'F');
constexpr ULONG kTagUrb = MakePoolTag('U', 'r', 'b', 'B');
constexpr ULONG kTagDataArea = MakePoolTag('M', 'M', 'B', 'f');
constexpr ULONG kTagDescriptors = MakePoolTag('U', 's', 'b', 'C');
constexpr ULONG kTagStringScratch = MakePoolTag('K', 'n', 'K', 'n');

static_assert(kTagDriverRecord == 0x7244704D, "tag bytes read MpDr in memory");
