// SELECT_INTERFACE: prepare the request and a fresh record for the new alternate setting,
// then send it and take the bus driver's answer into that record.
#include <stddef.h>

#include "support/Memory.h"
#include "support/PoolTags.h"
#include "usb/ConfigurationSelector.h"

namespace {

constexpr ULONG kNumEndpointsOffset = 4;
// The request without its pipes (36 bytes on i386).
constexpr ULONG kSelectInterfaceHead = offsetof(struct _URB_SELECT_INTERFACE, Interface.Pipes);

}  // namespace

NTSTATUS ConfigurationSelector::PrepareSelectInterface(UsbTarget&, UCHAR interfaceNumber, UCHAR alternateSetting,
                                                       ULONG maximumTransferSize) {
  CHECK_IRQL_PASSIVE();
  if (!configured) return STATUS_INVALID_DEVICE_STATE;
  if (selectInterfaceRequest) FreePool(selectInterfaceRequest);
  selectInterfaceRequest = nullptr;
  PUCHAR descriptor = descriptorCopy.FindInterfaceDescriptor(nullptr, interfaceNumber, alternateSetting, -1, -1, -1);
  if (!descriptor) return STATUS_NO_SUCH_MEMBER;
  ULONG endpoints = descriptor[kNumEndpointsOffset];
  ULONG size = kSelectInterfaceHead + endpoints * sizeof(USBD_PIPE_INFORMATION);
  auto request = static_cast<PURB>(AllocatePool(NonPagedPool, size, kTagDescriptors, TRUE));
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  struct _URB_SELECT_INTERFACE& select = request->UrbSelectInterface;
  select.Hdr.Length = static_cast<USHORT>(size);
  select.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  select.ConfigurationHandle = configurationHandle;
  select.Interface.Length = static_cast<USHORT>(kInterfaceInformationHead + endpoints * sizeof(USBD_PIPE_INFORMATION));
  select.Interface.InterfaceNumber = interfaceNumber;
  select.Interface.AlternateSetting = alternateSetting;
  select.Interface.NumberOfPipes = endpoints;
  RemoveInterfaceRecord(interfaceNumber);
  if (!AddInterfaceRecord(&select.Interface, descriptor, maximumTransferSize)) {
    FreePool(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  selectInterfaceRequest = request;
  return STATUS_SUCCESS;
}

NTSTATUS ConfigurationSelector::SubmitSelectInterface(UsbTarget& target, ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  if (!configured) return STATUS_INVALID_DEVICE_STATE;
  if (!selectInterfaceRequest) return STATUS_UNSUCCESSFUL;
  PUSBD_INTERFACE_INFORMATION requested = &selectInterfaceRequest->UrbSelectInterface.Interface;
  InterfaceRecord* record = FindInterfaceRecord(requested->InterfaceNumber);
  if (record) {
    if (record->information->Length != requested->Length) return STATUS_UNSUCCESSFUL;
    CopyPipeSettings(record->information, requested);
  }
  NTSTATUS status = target.SubmitUrb(selectInterfaceRequest, timeoutMs);
  if (status != STATUS_SUCCESS) return status;  // stays prepared
  // Nothing else touches the records meanwhile; the answer must still fit the record.
  if (record) {
    if (record->information->Length != requested->Length) return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(record->information, requested, requested->Length);
  }
  FreePool(selectInterfaceRequest);
  selectInterfaceRequest = nullptr;
  return STATUS_SUCCESS;
}
