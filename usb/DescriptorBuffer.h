// The bytes of a configuration descriptor read from the device, and a walk over them that
// never reads past the end: neither past the buffer nor past a descriptor's own bLength.
#pragma once

#include <platform.h>

#include "support/Annotations.h"
#include "usb/UsbTarget.h"

// Bytes a descriptor must hold for the fields the searches read from it: an interface up to
// bInterfaceProtocol (offset 7), an endpoint up to bInterval (offset 6).
constexpr ULONG kInterfaceFieldsLength = 8;
constexpr ULONG kEndpointFieldsLength = 7;

// A search filter: a negative one matches any value.
inline bool FilterMatches(LONG filter, UCHAR value) { return filter < 0 || static_cast<ULONG>(filter) == value; }

class DescriptorBuffer {
 public:
  DescriptorBuffer() : bytes(nullptr), length(0) {}
  ~DescriptorBuffer() { Discard(); }
  DescriptorBuffer(const DescriptorBuffer&) = delete;
  DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;

  // Reads the 9-byte header, then the wTotalLength bytes of configuration 'index'.
  IRQL_PASSIVE NTSTATUS ReadConfigurationDescriptor(UsbTarget& target, UCHAR index, POOL_TYPE poolType,
                                                    ULONG timeoutMs);
  // Discards what is held, then allocates; the length is set only on success.
  IRQL_AT_MOST_DISPATCH PUCHAR AllocateBytes(POOL_TYPE poolType, ULONG byteCount, ULONG tag, BOOLEAN zero);
  IRQL_AT_MOST_DISPATCH void Discard();

  // A position starts a descriptor that lies wholly inside the buffer.
  BOOLEAN IsUsable(const UCHAR* position) const;
  PUCHAR NextDescriptor(const UCHAR* position) const;
  // The first interface descriptor from start (null: the first byte), start included, whose
  // number, alternate setting, class, subclass and protocol equal each non-negative filter.
  PUCHAR FindInterfaceDescriptor(const UCHAR* start, LONG number, LONG alternate, LONG interfaceClass,
                                 LONG subclass, LONG protocol) const;
  // The first descriptor from start, start included, of the type. The two-argument form
  // skips interface and endpoint descriptors too short for their fields; a caller that reads
  // fields of another type states how many bytes it reads.
  PUCHAR FindDescriptor(const UCHAR* start, UCHAR type) const;
  PUCHAR FindDescriptor(const UCHAR* start, UCHAR type, ULONG minimumLength) const;

  PUCHAR bytes;  // owned, from ExAllocatePoolWithTag; null when empty
  ULONG length;  // valid bytes; 0 when empty

 private:
  // The walk from p (null: nothing to walk) to the first match.
  PUCHAR FindFrom(const UCHAR* p, UCHAR type, ULONG minimumLength) const;
};
