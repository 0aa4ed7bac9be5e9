// USBD_CreateConfigurationRequestEx as the platform's USBD.SYS builds it: one pool block
// sized for every listed interface and its endpoints, the select-configuration header, and per
// list entry an interface information with Length, InterfaceNumber, AlternateSetting and
// NumberOfPipes taken from the interface descriptor and each pipe's MaximumTransferSize set to
// the default; the entry's Interface pointer is set to it. The caller frees the block.
#include <cstring>

#include "emu/kernel/Kernel.h"
#include "support/PoolTags.h"

namespace {

constexpr ULONG kDefaultMaximumTransferSize = 4096;  // USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE
constexpr ULONG kUsbdTag = MakePoolTag('U', 'S', 'B', 'D');

}  // namespace

extern "C" {

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  size_t interfaces = 0;
  size_t pipes = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    ++interfaces;
    pipes += entry->InterfaceDescriptor->bNumEndpoints;
  }
  size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes);
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
  if (!urb) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(size);
  urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto information = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    information->InterfaceNumber = descriptor->bInterfaceNumber;
    information->AlternateSetting = descriptor->bAlternateSetting;
    information->NumberOfPipes = descriptor->bNumEndpoints;
    for (ULONG i = 0; i < information->NumberOfPipes; ++i)
      information->Pipes[i].MaximumTransferSize = kDefaultMaximumTransferSize;
    entry->Interface = information;
    information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(information) +
                                                                information->Length);
  }
  return urb;
}

}  // extern "C"
