// The bring-up of one adapter, in order. Each failing step writes its error-log entry and
// the sequence stops with that step's status.
#include "adapter/Adapter.h"
#include "adapter/ErrorLog.h"
#include "ecm/NetworkDevice.h"

namespace {

constexpr ULONG kAttributeFlags =
    NDIS_ATTRIBUTE_DESERIALIZE | NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND | NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK;

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
  status = CreateDevice();
  if (status == NDIS_STATUS_SUCCESS) status = BringUpDevice();
  // Neither Stop nor ClosePipes is called on the way out: MiniportInitialize destroys the
  // adapter with its device.
  if (status != NDIS_STATUS_SUCCESS) ForgetDeviceObjects();
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

// Reads the configuration descriptor selected by ConfigurationIndex, looks for an ECM
// communication interface, creates the device for it and starts it.
NDIS_STATUS Adapter::CreateDevice() {
  CHECK_IRQL_PASSIVE();
  // FIXME: the descriptor read, the interface search and the ECM device come with the USB
  // side; until then no device can be created and every initialization ends here.
  NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 1, kStartDescriptorRead);
  return NDIS_STATUS_NOT_SUPPORTED;
}

// Device is started; sizes, pipes and address follow.
NDIS_STATUS Adapter::BringUpDevice() {
  CHECK_IRQL_PASSIVE();
  // The device reports the link once its pipes run; whatever the registry said, the adapter
  // starts disconnected.
  MediaState = NdisMediaStateDisconnected;
  MaximumTotalSize = Device->GetMaxSegmentSize();
  if (MaximumTotalSize <= kEthernetHeaderSize) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 2, kStartSegmentSize, MaximumTotalSize);
    return NDIS_STATUS_FAILURE;
  }
  ULONG payload = MaximumTotalSize - kEthernetHeaderSize;
  TransmitBufferSpace = payload * Settings.TxBuffers;
  ReceiveBufferSpace = payload * Settings.RxBuffers;
  MaximumLookahead = payload;
  NTSTATUS status = Device->OpenPipes();
  if (!NT_SUCCESS(status)) return status;
  // A valid address from the device wins over the registry's and the built-in one.
  Device->GetMacAddress(PermanentAddress);
  HardwareStatus = NdisHardwareStatusReady;
  RtlZeroMemory(PnpCapabilities, sizeof PnpCapabilities);
  RtlCopyMemory(CurrentAddress, PermanentAddress, kMacAddressLength);
  LinkSpeed = 250000;
  SpinLockGuard guard(Lock);
  SendEnabled = TRUE;
  ReceiveEnabled = TRUE;
  return NDIS_STATUS_SUCCESS;
}
