// The bring-up of one adapter, in order. Each failing step writes its error-log entry and
// the sequence stops with that step's status.
#include "adapter/Adapter.h"
#include "adapter/ErrorLog.h"
#include "ecm/EcmDevice.h"
#include "support/PoolTags.h"
#include "usb/DescriptorBuffer.h"

namespace {

constexpr ULONG kAttributeFlags =
    NDIS_ATTRIBUTE_DESERIALIZE | NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND | NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK;
constexpr ULONG kControlTimeoutMs = 500;
constexpr LONG kAny = -1;
constexpr LONG kCommunicationClass = 0x02;
constexpr LONG kEcmSubclass = 0x06;
constexpr LONG kNoProtocol = 0x00;
constexpr ULONG kLargestFrame = kFrameBufferSize - 1;

}  // namespace

NDIS_STATUS Adapter::StartDevice(NDIS_HANDLE wrapperConfigurationContext) {
  CHECK_IRQL_PASSIVE();
  NDIS_STATUS status = ReadSettings(wrapperConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorSettings, 0);
    return status;
  }
  NdisMSetAttributesEx(MiniportAdapterHandle, this, 0, kAttributeFlags, NdisInterfaceInternal);
  status = GetDeviceObjects();
  if (status != NDIS_STATUS_SUCCESS) return status;
  // Only the search needs the descriptor; the device reads its own copy when it starts.
  DescriptorBuffer descriptor;
  status = CreateDevice(descriptor);
  if (status == NDIS_STATUS_SUCCESS) status = BringUpDevice();
  if (status != NDIS_STATUS_SUCCESS) {
    // MiniportInitialize destroys the adapter with its device. A device that got as far as a
    // configuration gives it back first: nobody would drive it afterwards. Stop sends nothing
    // to a device that is not configured; the pipes were never opened or were closed again,
    // but frames that arrived before they closed wait in the receive queue.
    if (Device) {
      {
        SpinLockGuard guard(Lock);
        ReleaseReceiveQueueLocked();
      }
      Device->Stop();
    }
    ForgetDeviceObjects();
  }
  return status;
}

NDIS_STATUS Adapter::GetDeviceObjects() {
  PDEVICE_OBJECT physicalDevice = nullptr;
  PDEVICE_OBJECT lowerDevice = nullptr;
  NdisMGetDeviceProperty(MiniportAdapterHandle, &physicalDevice, &FunctionalDevice, &lowerDevice, nullptr,
                         nullptr);
  if (!physicalDevice || !FunctionalDevice || !lowerDevice) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 1, kStartNoDeviceObject);
    return NDIS_STATUS_FAILURE;
  }
  Target.LowerDevice = lowerDevice;
  Target.PhysicalDevice = physicalDevice;
  return NDIS_STATUS_SUCCESS;
}

void Adapter::ForgetDeviceObjects() {
  Target.LowerDevice = nullptr;
  Target.PhysicalDevice = nullptr;
}

// Reads the configuration descriptor selected by ConfigurationIndex and creates the device
// when it holds an ECM communication interface, wherever in the configuration.
NDIS_STATUS Adapter::CreateDevice(DescriptorBuffer& descriptor) {
  CHECK_IRQL_PASSIVE();
  NTSTATUS status = descriptor.ReadConfigurationDescriptor(Target, static_cast<UCHAR>(Settings.ConfigurationIndex),
                                                           NonPagedPool, kControlTimeoutMs);
  if (status != STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 1, kStartDescriptorRead);
    return status;
  }
  if (descriptor.FindInterfaceDescriptor(nullptr, kAny, kAny, kCommunicationClass, kEcmSubclass, kNoProtocol))
    Device = new (NonPagedPool, kTagEcmDevice) EcmDevice();
  if (!Device) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 1, kStartNoEcmInterface);
    return NDIS_STATUS_FAILURE;
  }
  return NDIS_STATUS_SUCCESS;
}

// Starts the device created; sizes, pipes and address follow.
NDIS_STATUS Adapter::BringUpDevice() {
  CHECK_IRQL_PASSIVE();
  NTSTATUS status = Device->Start(FunctionalDevice, Target.PhysicalDevice, Target.LowerDevice, this, &Settings, &Lock);
  if (!NT_SUCCESS(status)) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 1, kStartDeviceStart);
    return status;
  }
  // The device reports the link once its pipes run; whatever the registry said, the adapter
  // starts disconnected.
  MediaState = NdisMediaStateDisconnected;
  ULONG segmentSize = Device->GetMaxSegmentSize();
  if (segmentSize <= kEthernetHeaderSize) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 2, kStartSegmentSize, segmentSize);
    return NDIS_STATUS_FAILURE;
  }
  // NDIS is told no larger frame than a send buffer carries: the send path keeps a buffer's
  // last byte free and drops a longer frame, so a device announcing more (2048, say) gets
  // the 1535 bytes that can really go out, with lookahead and buffer spaces to match.
  MaximumTotalSize = segmentSize < kLargestFrame ? segmentSize : kLargestFrame;
  ULONG payload = MaximumTotalSize - kEthernetHeaderSize;
  TransmitBufferSpace = payload * Settings.TxBuffers;
  ReceiveBufferSpace = payload * Settings.RxBuffers;
  MaximumLookahead = payload;
  // The default speed goes first: the device may report its own as soon as the pipes open.
  LinkSpeed = 250000;
  status = Device->OpenPipes();
  if (!NT_SUCCESS(status)) return status;
  // A valid address from the device wins over the registry's and the built-in one.
  Device->GetMacAddress(PermanentAddress);
  HardwareStatus = NdisHardwareStatusReady;
  RtlZeroMemory(PnpCapabilities, sizeof PnpCapabilities);
  RtlCopyMemory(CurrentAddress, PermanentAddress, kMacAddressLength);
  SpinLockGuard guard(Lock);
  SendEnabled = TRUE;
  ReceiveEnabled = TRUE;
  return NDIS_STATUS_SUCCESS;
}
