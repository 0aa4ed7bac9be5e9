// The error-log entries an adapter writes while it initializes: the codes, and the value
// that tells which step of the bring-up failed.
#pragma once

#include <platform.h>

constexpr NDIS_ERROR_CODE kErrorUnsupportedMedium = 0xC0010019;
constexpr NDIS_ERROR_CODE kErrorAdapterAllocation = 0xE0070301;
constexpr NDIS_ERROR_CODE kErrorSettings = 0xE0070302;
constexpr NDIS_ERROR_CODE kErrorStart = 0xE0070303;

// The first value of a kErrorStart entry.
enum StartFailure : ULONG {
  kStartNoEcmInterface = 1,
  kStartDeviceFailed = 2,
  kStartDescriptorRead = 3,
  kStartNoDeviceObject = 4,
  kStartDeviceStart = 5,
  kStartSegmentSize = 6,  // the second value is the size
};
