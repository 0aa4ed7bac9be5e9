// The records of the selected interfaces: creation from an interface information and the
// endpoint descriptors that follow its interface descriptor, removal, and the lookups.
#include <stddef.h>

#include "support/Memory.h"
#include "support/PoolTags.h"
#include "usb/ConfigurationSelector.h"

namespace {

constexpr UCHAR kEndpointDirectionIn = 0x80;

}  // namespace

ULONG PipeCountOf(const USBD_INTERFACE_INFORMATION* information) {
  ULONG room = information->Length < kInterfaceInformationHead
                   ? 0
                   : (information->Length - kInterfaceInformationHead) / sizeof(USBD_PIPE_INFORMATION);
  return information->NumberOfPipes < room ? information->NumberOfPipes : room;
}

void CopyPipeSettings(const USBD_INTERFACE_INFORMATION* from, PUSBD_INTERFACE_INFORMATION to) {
  ULONG pipes = PipeCountOf(to);
  for (ULONG i = 0; i < pipes; ++i) {
    to->Pipes[i].MaximumTransferSize = from->Pipes[i].MaximumTransferSize;
    to->Pipes[i].PipeFlags = from->Pipes[i].PipeFlags;
  }
}

BOOLEAN ConfigurationSelector::AddInterfaceRecord(PUSBD_INTERFACE_INFORMATION information,
                                                  PUCHAR interfaceDescriptor, ULONG maximumTransferSize) {
  // A Length without room for every pipe would have the pipes written past the copy.
  if (PipeCountOf(information) != information->NumberOfPipes) return FALSE;
  PVOID memory = AllocatePool(NonPagedPool, sizeof(InterfaceRecord) + information->Length, kTagDescriptors, TRUE);
  if (!memory) return FALSE;
  InterfaceRecord* record = new (memory) InterfaceRecord();
  record->interfaceDescriptor = interfaceDescriptor;
  record->information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record + 1);
  RtlCopyMemory(record->information, information, information->Length);

  // Endpoints are taken in order from whatever follows, even past the next interface.
  ULONG filled = 0;
  for (PUCHAR cursor = interfaceDescriptor; cursor && filled < information->NumberOfPipes;) {
    PUCHAR endpoint = descriptorCopy.FindDescriptor(cursor, USB_ENDPOINT_DESCRIPTOR_TYPE);
    if (!endpoint) break;
    USBD_PIPE_INFORMATION& pipe = record->information->Pipes[filled++];
    pipe.EndpointAddress = endpoint[2];
    pipe.MaximumPacketSize = static_cast<USHORT>(endpoint[4] | endpoint[5] << 8);
    pipe.Interval = endpoint[6];
    pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint[3] & 3);
    pipe.MaximumTransferSize = maximumTransferSize;
    cursor = descriptorCopy.NextDescriptor(endpoint);
  }
  if (filled != information->NumberOfPipes) {
    FreePool(record);
    return FALSE;
  }
  records.InsertTail(record);
  return TRUE;
}

InterfaceRecord* ConfigurationSelector::FindInterfaceRecord(UCHAR interfaceNumber) {
  for (InterfaceRecord* record = records.Next(nullptr); record; record = records.Next(record))
    if (record->information->InterfaceNumber == interfaceNumber) return record;
  return nullptr;
}

BOOLEAN ConfigurationSelector::RemoveInterfaceRecord(UCHAR interfaceNumber) {
  InterfaceRecord* record = FindInterfaceRecord(interfaceNumber);
  if (!record) return FALSE;
  records.Remove(record);
  FreePool(record);
  return TRUE;
}

void ConfigurationSelector::RemoveAllInterfaceRecords() {
  while (InterfaceRecord* record = records.PopHead()) FreePool(record);
}

PUSBD_INTERFACE_INFORMATION ConfigurationSelector::FindInterface(LONG number, LONG alternate, LONG interfaceClass,
                                                                 LONG subclass, LONG protocol) {
  for (InterfaceRecord* record = records.Next(nullptr); record; record = records.Next(record)) {
    PUSBD_INTERFACE_INFORMATION information = record->information;
    if (FilterMatches(number, information->InterfaceNumber) &&
        FilterMatches(alternate, information->AlternateSetting) && FilterMatches(interfaceClass, information->Class) &&
        FilterMatches(subclass, information->SubClass) && FilterMatches(protocol, information->Protocol))
      return information;
  }
  return nullptr;
}

PUSBD_PIPE_INFORMATION ConfigurationSelector::FindPipe(ULONG pipeType, BOOLEAN in, LONG number, LONG alternate) {
  for (InterfaceRecord* record = records.Next(nullptr); record; record = records.Next(record)) {
    PUSBD_INTERFACE_INFORMATION information = record->information;
    if (!FilterMatches(number, information->InterfaceNumber) || !FilterMatches(alternate, information->AlternateSetting))
      continue;
    ULONG pipes = PipeCountOf(information);
    for (ULONG i = 0; i < pipes; ++i) {
      PUSBD_PIPE_INFORMATION pipe = &information->Pipes[i];
      bool pipeIn = (pipe->EndpointAddress & kEndpointDirectionIn) != 0;
      if (static_cast<ULONG>(pipe->PipeType) == pipeType && pipeIn == (in != FALSE)) return pipe;
    }
  }
  return nullptr;
}

PUSBD_PIPE_INFORMATION ConfigurationSelector::FindPipeByAddress(UCHAR endpointAddress) {
  for (InterfaceRecord* record = records.Next(nullptr); record; record = records.Next(record)) {
    ULONG pipes = PipeCountOf(record->information);
    for (ULONG i = 0; i < pipes; ++i)
      if (record->information->Pipes[i].EndpointAddress == endpointAddress) return &record->information->Pipes[i];
  }
  return nullptr;
}
