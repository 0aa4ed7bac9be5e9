// GET_DESCRIPTOR requests, and the two string requests built on them.
#include "support/Memory.h"
#include "support/PoolTags.h"
#include "usb/DescriptorBuffer.h"
#include "usb/UsbTarget.h"

namespace {

constexpr ULONG kStringBlockLength = 256;  // the largest a string descriptor can be (bLength is a byte)
constexpr ULONG kStringHeaderLength = 2;   // bLength and bDescriptorType before the characters

// 16-bit units behind the string header in a descriptor of 'received' bytes, at most 'limit'.
ULONG StringUnits(ULONG received, ULONG limit) {
  if (received > kStringBlockLength) received = kStringBlockLength;
  if (received < 2 * sizeof(WCHAR)) return 0;
  ULONG units = (received - kStringHeaderLength) / sizeof(WCHAR);
  return units < limit ? units : limit;
}

}  // namespace

NTSTATUS UsbTarget::GetDescriptor(UCHAR descriptorType, UCHAR index, USHORT languageId, PVOID buffer,
                                  ULONG length, PULONG bytesReceived, ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  if (bytesReceived) *bytesReceived = 0;
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBufferLength = length;
  request.TransferBuffer = buffer;
  request.Index = index;
  request.DescriptorType = descriptorType;
  request.LanguageId = languageId;
  NTSTATUS status = SubmitUrb(&urb, timeoutMs);
  if (status == STATUS_SUCCESS && bytesReceived) *bytesReceived = request.TransferBufferLength;
  return status;
}

NTSTATUS UsbTarget::GetConfigurationDescriptor(UCHAR index, PVOID buffer, ULONG length, PULONG bytesReceived,
                                               ULONG timeoutMs) {
  return GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, 0, buffer, length, bytesReceived, timeoutMs);
}

NTSTATUS UsbTarget::GetStringDescriptor(UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                                        PULONG bytesReceived, ULONG timeoutMs) {
  return GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, languageId, buffer, length, bytesReceived, timeoutMs);
}

NTSTATUS UsbTarget::GetString(UCHAR index, USHORT languageId, PWCHAR text, ULONG capacity, ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  if (capacity < 2) return STATUS_INVALID_PARAMETER;
  text[0] = 0;
  DescriptorBuffer scratch;
  // The host controller writes the answer at DISPATCH_LEVEL: the block must be resident.
  if (!scratch.AllocateBytes(NonPagedPool, kStringBlockLength, kTagStringScratch, TRUE))
    return STATUS_INSUFFICIENT_RESOURCES;
  ULONG received = 0;
  NTSTATUS status = GetStringDescriptor(index, languageId, scratch.bytes, scratch.length, &received, timeoutMs);
  if (status != STATUS_SUCCESS) return status;
  // Only the byte count decides; the descriptor's own bLength and type are not looked at.
  ULONG count = StringUnits(received, capacity - 1);
  RtlCopyMemory(text, scratch.bytes + kStringHeaderLength, count * sizeof(WCHAR));
  text[count] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS UsbTarget::GetLanguageIds(PUSHORT ids, ULONG capacity, PULONG count, ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  if (count) *count = 0;
  UCHAR block[kStringBlockLength];
  ULONG received = 0;
  NTSTATUS status = GetStringDescriptor(0, 0, block, sizeof block, &received, timeoutMs);
  if (status != STATUS_SUCCESS) return status;
  ULONG found = StringUnits(received, capacity);
  RtlCopyMemory(ids, block + kStringHeaderLength, found * sizeof(USHORT));
  if (count) *count = found;
  return STATUS_SUCCESS;
}
