// Reading a configuration descriptor in two steps, and the bounded walk over its bytes.
#include "usb/DescriptorBuffer.h"

#include "support/Memory.h"
#include "support/PoolTags.h"

namespace {

constexpr ULONG kConfigurationHeaderLength = 9;
constexpr USHORT kLargestConfiguration = 4096;

ULONG MinimumLengthOf(UCHAR type) {
  if (type == USB_INTERFACE_DESCRIPTOR_TYPE) return kInterfaceFieldsLength;
  if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) return kEndpointFieldsLength;
  return 2;
}

}  // namespace

NTSTATUS DescriptorBuffer::ReadConfigurationDescriptor(UsbTarget& target, UCHAR index, POOL_TYPE poolType,
                                                       ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  Discard();
  UCHAR header[kConfigurationHeaderLength];
  ULONG received = 0;
  NTSTATUS status = target.GetConfigurationDescriptor(index, header, sizeof header, &received, timeoutMs);
  if (status != STATUS_SUCCESS) return status;
  if (received != kConfigurationHeaderLength) return STATUS_INVALID_BLOCK_LENGTH;
  USHORT totalLength = static_cast<USHORT>(header[2] | header[3] << 8);
  // In 16 bits 0 to 8 wrap around to large values: one comparison keeps 9 to 4096.
  if (static_cast<USHORT>(totalLength - kConfigurationHeaderLength) >
      kLargestConfiguration - kConfigurationHeaderLength)
    return STATUS_INVALID_PARAMETER;
  if (!AllocateBytes(poolType, totalLength, kTagDescriptors, TRUE)) return STATUS_INSUFFICIENT_RESOURCES;
  status = target.GetConfigurationDescriptor(index, bytes, length, &received, timeoutMs);
  if (status != STATUS_SUCCESS) {
    Discard();
    return status;
  }
  // A shorter answer is accepted; the walk sees only what came.
  if (received < length) length = received;
  if (length < kConfigurationHeaderLength) {
    Discard();
    return STATUS_INVALID_BLOCK_LENGTH;
  }
  // The bus driver walks the descriptor by its own wTotalLength when the configuration is
  // selected, and the second answer may claim more or less than the first, or than it sent:
  // both walks must cover the same bytes, all of them read.
  ULONG claimed = bytes[2] | bytes[3] << 8;
  if (claimed < kConfigurationHeaderLength) {
    Discard();
    return STATUS_INVALID_PARAMETER;
  }
  if (claimed < length) length = claimed;
  bytes[2] = static_cast<UCHAR>(length);
  bytes[3] = static_cast<UCHAR>(length >> 8);
  return STATUS_SUCCESS;
}

PUCHAR DescriptorBuffer::AllocateBytes(POOL_TYPE poolType, ULONG byteCount, ULONG tag, BOOLEAN zero) {
  Discard();
  bytes = static_cast<PUCHAR>(AllocatePool(poolType, byteCount, tag, zero));
  if (bytes) length = byteCount;
  return bytes;
}

void DescriptorBuffer::Discard() {
  if (bytes) FreePool(bytes);
  bytes = nullptr;
  length = 0;
}

BOOLEAN DescriptorBuffer::IsUsable(const UCHAR* position) const {
  if (!bytes || length == 0 || !position) return FALSE;
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(bytes);
  ULONG_PTR at = reinterpret_cast<ULONG_PTR>(position);
  if (at < start || at - start >= length) return FALSE;
  ULONG left = length - static_cast<ULONG>(at - start);
  return left >= 2 && position[0] >= 2 && position[0] <= left;
}

PUCHAR DescriptorBuffer::NextDescriptor(const UCHAR* position) const {
  if (!IsUsable(position)) return nullptr;
  return const_cast<PUCHAR>(position) + position[0];
}

PUCHAR DescriptorBuffer::FindInterfaceDescriptor(const UCHAR* start, LONG number, LONG alternate,
                                                 LONG interfaceClass, LONG subclass, LONG protocol) const {
  const ULONG fields = kInterfaceFieldsLength;
  for (PUCHAR p = FindFrom(start ? start : bytes, USB_INTERFACE_DESCRIPTOR_TYPE, fields); p;
       p = FindFrom(NextDescriptor(p), USB_INTERFACE_DESCRIPTOR_TYPE, fields)) {
    if (FilterMatches(number, p[2]) && FilterMatches(alternate, p[3]) && FilterMatches(interfaceClass, p[5]) &&
        FilterMatches(subclass, p[6]) && FilterMatches(protocol, p[7]))
      return p;
  }
  return nullptr;
}

PUCHAR DescriptorBuffer::FindDescriptor(const UCHAR* start, UCHAR type) const {
  return FindDescriptor(start, type, MinimumLengthOf(type));
}

PUCHAR DescriptorBuffer::FindDescriptor(const UCHAR* start, UCHAR type, ULONG minimumLength) const {
  return FindFrom(start ? start : bytes, type, minimumLength);
}

PUCHAR DescriptorBuffer::FindFrom(const UCHAR* p, UCHAR type, ULONG minimumLength) const {
  for (; IsUsable(p); p = NextDescriptor(p)) {
    // A descriptor too short for the fields its finder reads is no match: the fields would
    // lie in the next descriptor or past the buffer.
    if (p[1] == type && p[0] >= minimumLength) return const_cast<PUCHAR>(p);
  }
  return nullptr;
}
