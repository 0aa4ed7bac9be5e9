// What an adapter may take as its own Ethernet address.
#pragma once

#include <platform.h>

constexpr ULONG kStationAddressLength = 6;

// Neither a group address (bit 0 of the first byte, which also covers all ones) nor all zeros.
inline BOOLEAN IsStationAddress(const UCHAR* address) {
  if (address[0] & 1) return FALSE;
  for (ULONG i = 0; i < kStationAddressLength; ++i)
    if (address[i]) return TRUE;
  return FALSE;
}
