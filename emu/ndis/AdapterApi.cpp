// What a miniport tells NDIS about its adapter: attributes, the error log, status and receive
// indications, and the completion of sends, resets and requests.
#include <cstdarg>

#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"

using emu::ndis::Library;
using emu::ndis::Miniport;

namespace {

Miniport* Find(NDIS_HANDLE handle, const char* function) {
  if (emu::CurrentContext().irql > DISPATCH_LEVEL)
    emu::Kernel::Current().verifier().Report("irql", std::string(function) + " above DISPATCH_LEVEL");
  return Library::Current().FindMiniport(handle, function);
}

}  // namespace

extern "C" {

VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                                UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                NDIS_INTERFACE_TYPE AdapterType) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMSetAttributesEx"))
    miniport->OnSetAttributes({MiniportAdapterContext, CheckForHangTimeInSeconds, AttributeFlags, AdapterType});
}

VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle, PDEVICE_OBJECT* PhysicalDeviceObject,
                                  PDEVICE_OBJECT* FunctionalDeviceObject, PDEVICE_OBJECT* NextDeviceObject,
                                  PCM_RESOURCE_LIST* AllocatedResources,
                                  PCM_RESOURCE_LIST* AllocatedResourcesTranslated) {
  Miniport* miniport = Find(MiniportAdapterHandle, "NdisMGetDeviceProperty");
  if (!miniport) return;
  miniport->RequireNotHalted("NdisMGetDeviceProperty");
  const emu::ndis::DeviceStack& stack = miniport->deviceStack();
  if (PhysicalDeviceObject) *PhysicalDeviceObject = stack.physical;
  if (FunctionalDeviceObject) *FunctionalDeviceObject = stack.functional;
  if (NextDeviceObject) *NextDeviceObject = stack.lower;
  // A USB device has no bus resources.
  if (AllocatedResources) *AllocatedResources = nullptr;
  if (AllocatedResourcesTranslated) *AllocatedResourcesTranslated = nullptr;
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues,
                            ...) {
  Miniport* miniport = Find(NdisAdapterHandle, "NdisWriteErrorLogEntry");
  if (!miniport) return;
  emu::ndis::ErrorLogEntry entry{ErrorCode, {}};
  va_list values;
  va_start(values, NumberOfErrorValues);
  for (ULONG i = 0; i < NumberOfErrorValues; ++i) entry.values.push_back(va_arg(values, ULONG));
  va_end(values);
  miniport->OnErrorLog(std::move(entry));
}

VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                               UINT StatusBufferSize) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMIndicateStatus")) miniport->OnStatus(GeneralStatus);
}

VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMIndicateStatusComplete"))
    miniport->OnIndication("NdisMIndicateStatusComplete");
}

VOID NTAPI NdisMEthIndicateReceive(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportReceiveContext,
                                   PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                   UINT LookaheadBufferSize, UINT PacketSize) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMEthIndicateReceive"))
    miniport->OnReceive(MiniportReceiveContext, HeaderBuffer, HeaderBufferSize, LookaheadBuffer, LookaheadBufferSize,
                        PacketSize);
}

VOID NTAPI NdisMEthIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMEthIndicateReceiveComplete"))
    miniport->OnReceiveComplete();
}

VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMSendComplete")) miniport->OnSendComplete(Packet, Status);
}

VOID NTAPI NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status, BOOLEAN AddressingReset) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMResetComplete"))
    miniport->OnResetComplete(Status, AddressingReset);
}

VOID NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
  if (Miniport* miniport = Find(MiniportAdapterHandle, "NdisMSetInformationComplete")) miniport->OnSetComplete(Status);
}

}  // extern "C"
