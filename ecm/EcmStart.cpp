// Bring-up: the ECM communication interface first in the configuration, its Ethernet
// Networking descriptor, the MAC string, the configuration with alternate setting 1 of the
// data interface, and the three pipes configured (not yet started).
#include "ecm/EcmDevice.h"

namespace {

constexpr LONG kAny = -1;
constexpr UCHAR kCommunicationClass = 0x02;
constexpr UCHAR kEcmSubclass = 0x06;
constexpr UCHAR kNoProtocol = 0x00;
constexpr LONG kDataClass = 0x0A;
constexpr UCHAR kDataAlternateSetting = 1;
constexpr UCHAR kClassSpecificInterface = 0x24;
constexpr UCHAR kEthernetNetworking = 0x0F;
constexpr UCHAR kUnion = 0x06;
constexpr UCHAR kUnionFieldsLength = 5;  // up to bSubordinateInterface0
// Up to wMaxSegmentSize (offset 8): a shorter descriptor's fields would lie in the next one.
constexpr ULONG kEthernetNetworkingFieldsLength = 10;
constexpr ULONG kMaximumTransferSize = 4096;

BOOLEAN IsEcmCommunicationInterface(const UCHAR* descriptor) {
  return descriptor[5] == kCommunicationClass && descriptor[6] == kEcmSubclass && descriptor[7] == kNoProtocol;
}

}  // namespace

NTSTATUS EcmDevice::Start(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT physicalDevice, PDEVICE_OBJECT lowerDevice,
                          DeviceEventSink* sink, AdapterSettings* settings, SpinLock* adapterLock) {
  CHECK_IRQL_PASSIVE();
  DeviceObject = functionalDevice;
  Target.PhysicalDevice = physicalDevice;
  Target.LowerDevice = lowerDevice;
  Sink = sink;
  Settings = settings;
  AdapterLock = adapterLock;

  UCHAR configurationIndex = static_cast<UCHAR>(Settings->ConfigurationIndex);
  NTSTATUS status = ConfigurationDescriptor.ReadConfigurationDescriptor(Target, configurationIndex, NonPagedPool,
                                                                        kEcmControlTimeoutMs);
  if (!NT_SUCCESS(status)) return status;
  // The function must be the configuration's first interface, whatever follows it.
  PUCHAR communication = ConfigurationDescriptor.FindInterfaceDescriptor(nullptr, kAny, kAny, kAny, kAny, kAny);
  if (!communication || !IsEcmCommunicationInterface(communication)) return STATUS_UNSUCCESSFUL;
  CommunicationInterfaceNumber = communication[2];
  EthernetDescriptor = FindEthernetDescriptor(communication);
  if (!EthernetDescriptor) return STATUS_UNSUCCESSFUL;
  UCHAR macStringIndex = EthernetDescriptor[3];
  if (macStringIndex != 0) ReadMacAddress(macStringIndex);

  status = Selector.SelectConfiguration(Target, configurationIndex, kEcmControlTimeoutMs, kMaximumTransferSize);
  if (!NT_SUCCESS(status)) return status;
  // From here a failure leaves the device configured until Stop, except when a pipe fails.
  UCHAR dataInterfaceNumber = 0;
  status = SelectDataInterface(&dataInterfaceNumber);
  if (!NT_SUCCESS(status)) return status;
  return ConfigurePipes(dataInterfaceNumber);
}

// The first Ethernet Networking descriptor after the communication interface, anywhere in
// the rest of the configuration, that is long enough for its fields.
PUCHAR EcmDevice::FindEthernetDescriptor(const UCHAR* communicationInterface) const {
  const UCHAR* from = ConfigurationDescriptor.NextDescriptor(communicationInterface);
  // A search given no start would begin at the first byte again, so the walk ends with null.
  while (from) {
    PUCHAR found =
        ConfigurationDescriptor.FindDescriptor(from, kClassSpecificInterface, kEthernetNetworkingFieldsLength);
    if (!found || found[2] == kEthernetNetworking) return found;
    from = ConfigurationDescriptor.NextDescriptor(found);
  }
  return nullptr;
}

// The Union descriptor among the communication interface's own descriptors (those before the
// next interface descriptor): its first subordinate interface, or kAny.
LONG EcmDevice::FindUnionSubordinate(const UCHAR* communicationInterface) const {
  for (const UCHAR* d = ConfigurationDescriptor.NextDescriptor(communicationInterface);
       d && ConfigurationDescriptor.IsUsable(d); d = ConfigurationDescriptor.NextDescriptor(d)) {
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d[1] == kClassSpecificInterface && d[0] >= kUnionFieldsLength && d[2] == kUnion) return d[4];
  }
  return kAny;
}

// On a composite device another function's data interface may come first: the one the Union
// names is taken when it is a data interface, else the first one of the configuration.
NTSTATUS EcmDevice::SelectDataInterface(UCHAR* dataInterfaceNumber) {
  PUCHAR communication = ConfigurationDescriptor.FindInterfaceDescriptor(nullptr, kAny, kAny, kAny, kAny, kAny);
  LONG subordinate = FindUnionSubordinate(communication);
  PUSBD_INTERFACE_INFORMATION data =
      subordinate == kAny ? nullptr : Selector.FindInterface(subordinate, kAny, kDataClass, kAny, kAny);
  if (!data) data = Selector.FindInterface(kAny, kAny, kDataClass, kAny, kAny);
  if (!data) return STATUS_UNSUCCESSFUL;
  // Preparing replaces the record the lookup pointed into.
  *dataInterfaceNumber = data->InterfaceNumber;
  NTSTATUS status =
      Selector.PrepareSelectInterface(Target, *dataInterfaceNumber, kDataAlternateSetting, kMaximumTransferSize);
  if (!NT_SUCCESS(status)) return status;
  return Selector.SubmitSelectInterface(Target, kEcmControlTimeoutMs);
}

// A pipe is bound by its endpoint address. Where an earlier interface of the configuration
// uses the same address (a malformed device), binding would take that interface's pipe,
// perhaps of another type, whose every transfer the bus refuses: no such pipe is taken.
PUSBD_PIPE_INFORMATION EcmDevice::FindBindablePipe(ULONG pipeType, BOOLEAN in, LONG interfaceNumber, LONG alternate) {
  PUSBD_PIPE_INFORMATION pipe = Selector.FindPipe(pipeType, in, interfaceNumber, alternate);
  return pipe && Selector.FindPipeByAddress(pipe->EndpointAddress) == pipe ? pipe : nullptr;
}

// The notification pipe comes from the communication interface and the bulk pipes from the
// data interface's alternate setting 1: on a composite device another function's endpoints
// of the same kinds may come first in the records.
NTSTATUS EcmDevice::ConfigurePipes(UCHAR dataInterfaceNumber) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PUSBD_PIPE_INFORMATION pipe = FindBindablePipe(UsbdPipeTypeInterrupt, TRUE, CommunicationInterfaceNumber, kAny);
  if (pipe)
    status = NotificationPipe.Configure(Target, Selector, pipe->EndpointAddress, DeviceObject, &NotificationClient, 1,
                                        pipe->MaximumPacketSize);
  if (NT_SUCCESS(status)) {
    pipe = FindBindablePipe(UsbdPipeTypeBulk, TRUE, dataInterfaceNumber, kDataAlternateSetting);
    status = pipe ? BulkInPipe.Configure(Target, Selector, pipe->EndpointAddress, DeviceObject, this,
                                         Settings->RxBuffers, kFrameBufferSize)
                  : STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) {
    pipe = FindBindablePipe(UsbdPipeTypeBulk, FALSE, dataInterfaceNumber, kDataAlternateSetting);
    status = pipe ? BulkOutPipe.Configure(Target, Selector, pipe->EndpointAddress, DeviceObject, this,
                                          Settings->TxBuffers, kFrameBufferSize)
                  : STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) return status;
  // Nothing that was configured can serve: give the configuration back (when there is one).
  Selector.ClearConfiguration(Target, TRUE, kEcmControlTimeoutMs);
  return STATUS_UNSUCCESSFUL;
}
