// SELECT_CONFIGURATION in two steps (build the request and the records, then send it and
// take the bus driver's answer into the records), clearing the configuration, and release.
#include "usb/ConfigurationSelector.h"

#include "support/Memory.h"
#include "support/PoolTags.h"

namespace {

constexpr ULONG kNumInterfacesOffset = 4;
constexpr ULONG kConfigurationValueOffset = 5;

}  // namespace

ConfigurationSelector::ConfigurationSelector()
    : interfaceList(nullptr),
      interfaceListEnd(nullptr),
      selectConfigurationRequest(nullptr),
      selectInterfaceRequest(nullptr),
      records(LINK_OFFSET(InterfaceRecord, link)),
      configured(0),
      configurationHandle(nullptr),
      configurationValue(0) {}

ConfigurationSelector::~ConfigurationSelector() {
  ReleaseAll();
  descriptorCopy.Discard();
}

NTSTATUS ConfigurationSelector::SelectConfiguration(UsbTarget& target, UCHAR index, ULONG timeoutMs,
                                                    ULONG maximumTransferSize) {
  NTSTATUS status = BuildSelectConfiguration(target, index, timeoutMs, maximumTransferSize);
  if (status != STATUS_SUCCESS) return status;
  return SubmitSelectConfiguration(target, timeoutMs);
}

NTSTATUS ConfigurationSelector::BuildSelectConfiguration(UsbTarget& target, UCHAR index, ULONG timeoutMs,
                                                         ULONG maximumTransferSize) {
  CHECK_IRQL_PASSIVE();
  ReleaseAll();
  NTSTATUS status = descriptorCopy.ReadConfigurationDescriptor(target, index, NonPagedPool, timeoutMs);
  if (status != STATUS_SUCCESS) return status;
  // The allocation holds wTotalLength (at least 9) bytes, zero beyond a short answer.
  ULONG interfaces = descriptorCopy.bytes[kNumInterfacesOffset];
  interfaceList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      AllocatePool(NonPagedPool, (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), kTagDescriptors, TRUE));
  if (!interfaceList) return FailBuild(STATUS_INSUFFICIENT_RESOURCES);
  interfaceListEnd = interfaceList + interfaces;

  ULONG filled = 0;
  for (PUCHAR p = descriptorCopy.FindInterfaceDescriptor(nullptr, -1, 0, -1, -1, -1); p;) {
    if (filled == interfaces) return FailBuild(STATUS_BAD_DESCRIPTOR_FORMAT);
    interfaceList[filled++].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
    PUCHAR next = descriptorCopy.NextDescriptor(p);
    p = next ? descriptorCopy.FindInterfaceDescriptor(next, -1, 0, -1, -1, -1) : nullptr;
  }
  if (filled < interfaces) return FailBuild(STATUS_BAD_DESCRIPTOR_FORMAT);

  selectConfigurationRequest = USBD_CreateConfigurationRequestEx(
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptorCopy.bytes), interfaceList);
  if (!selectConfigurationRequest) return FailBuild(STATUS_INSUFFICIENT_RESOURCES);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry != interfaceListEnd; ++entry) {
    if (!entry->Interface || !entry->InterfaceDescriptor) return FailBuild(STATUS_UNSUCCESSFUL);
    if (!AddInterfaceRecord(entry->Interface, reinterpret_cast<PUCHAR>(entry->InterfaceDescriptor),
                            maximumTransferSize))
      return FailBuild(STATUS_INSUFFICIENT_RESOURCES);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ConfigurationSelector::FailBuild(NTSTATUS status) {
  ReleaseAll();
  return status;
}

NTSTATUS ConfigurationSelector::SubmitSelectConfiguration(UsbTarget& target, ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  if (!selectConfigurationRequest) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = MatchRecordsToRequest(Pass::SettingsToRequest);
  if (status != STATUS_SUCCESS) return status;
  status = target.SubmitUrb(selectConfigurationRequest, timeoutMs);
  if (status != STATUS_SUCCESS) return status;  // request and records stay for ReleaseAll
  status = MatchRecordsToRequest(Pass::AnswerToRecords);
  if (status != STATUS_SUCCESS) return status;
  configured = 1;
  configurationHandle = selectConfigurationRequest->UrbSelectConfiguration.ConfigurationHandle;
  configurationValue = descriptorCopy.bytes[kConfigurationValueOffset];
  ExFreePoolWithTag(selectConfigurationRequest, 0);
  selectConfigurationRequest = nullptr;
  FreePool(interfaceList);
  interfaceList = interfaceListEnd = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS ConfigurationSelector::MatchRecordsToRequest(Pass pass) {
  PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList;
  for (InterfaceRecord* record = records.Next(nullptr); record; record = records.Next(record), ++entry) {
    if (!entry || entry >= interfaceListEnd || !entry->Interface ||
        entry->Interface->Length != record->information->Length)
      return STATUS_UNSUCCESSFUL;
    if (pass == Pass::SettingsToRequest)
      CopyPipeSettings(record->information, entry->Interface);
    else
      RtlCopyMemory(record->information, entry->Interface, entry->Interface->Length);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ConfigurationSelector::ClearConfiguration(UsbTarget& target, BOOLEAN send, ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  if (!configured) return STATUS_SUCCESS;
  NTSTATUS status = send ? target.Deconfigure(timeoutMs, nullptr) : STATUS_SUCCESS;
  // The state is cleared even when the request failed: the device is no longer ours to use.
  RemoveAllInterfaceRecords();
  configured = 0;
  configurationHandle = nullptr;
  configurationValue = 0;
  return status;
}

void ConfigurationSelector::ReleaseAll() {
  RemoveAllInterfaceRecords();
  if (selectInterfaceRequest) FreePool(selectInterfaceRequest);
  selectInterfaceRequest = nullptr;
  if (selectConfigurationRequest) ExFreePoolWithTag(selectConfigurationRequest, 0);
  selectConfigurationRequest = nullptr;
  if (interfaceList) FreePool(interfaceList);
  interfaceList = interfaceListEnd = nullptr;
  descriptorCopy.Discard();
}
