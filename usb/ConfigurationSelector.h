// Selection of a configuration and of alternate settings, with one InterfaceRecord per
// interface holding what the bus driver returned (handles and pipe information), and the
// lookups that the pipes and the ECM function make in them. No lock: it is used at
// PASSIVE_LEVEL from one bring-up or tear-down path at a time.
#pragma once

#include <platform.h>
#include <stddef.h>

#include "support/Annotations.h"
#include "support/IntrusiveList.h"
#include "usb/DescriptorBuffer.h"
#include "usb/UsbTarget.h"

// One allocation: the head below, then the interface information copy (as long as its own
// Length says) right behind it.
struct InterfaceRecord {
  ListLink link;                            // on ConfigurationSelector::records
  PUCHAR interfaceDescriptor;               // inside the selector's descriptor copy
  PUSBD_INTERFACE_INFORMATION information;  // the copy behind this head
};

class ConfigurationSelector {
 public:
  ConfigurationSelector();
  ~ConfigurationSelector();
  ConfigurationSelector(const ConfigurationSelector&) = delete;
  ConfigurationSelector& operator=(const ConfigurationSelector&) = delete;

  IRQL_PASSIVE NTSTATUS SelectConfiguration(UsbTarget& target, UCHAR index, ULONG timeoutMs,
                                            ULONG maximumTransferSize);
  IRQL_PASSIVE NTSTATUS BuildSelectConfiguration(UsbTarget& target, UCHAR index, ULONG timeoutMs,
                                                 ULONG maximumTransferSize);
  IRQL_PASSIVE NTSTATUS SubmitSelectConfiguration(UsbTarget& target, ULONG timeoutMs);
  IRQL_PASSIVE NTSTATUS PrepareSelectInterface(UsbTarget& target, UCHAR interfaceNumber, UCHAR alternateSetting,
                                               ULONG maximumTransferSize);
  IRQL_PASSIVE NTSTATUS SubmitSelectInterface(UsbTarget& target, ULONG timeoutMs);
  // Deconfigures (sending the request when 'send') and drops the records; nothing happens
  // when not configured.
  IRQL_PASSIVE NTSTATUS ClearConfiguration(UsbTarget& target, BOOLEAN send, ULONG timeoutMs);
  // Frees every allocation; configured, the handle and the value stay as they are.
  void ReleaseAll();

  // Lookups in the records, in list order; a negative filter matches anything. The results
  // stay valid until their record is dropped.
  PUSBD_INTERFACE_INFORMATION FindInterface(LONG number, LONG alternate, LONG interfaceClass, LONG subclass,
                                            LONG protocol);
  PUSBD_PIPE_INFORMATION FindPipe(ULONG pipeType, BOOLEAN in, LONG number, LONG alternate);
  PUSBD_PIPE_INFORMATION FindPipeByAddress(UCHAR endpointAddress);

  BOOLEAN AddInterfaceRecord(PUSBD_INTERFACE_INFORMATION information, PUCHAR interfaceDescriptor,
                             ULONG maximumTransferSize);
  InterfaceRecord* FindInterfaceRecord(UCHAR interfaceNumber);
  BOOLEAN RemoveInterfaceRecord(UCHAR interfaceNumber);
  void RemoveAllInterfaceRecords();

  DescriptorBuffer descriptorCopy;           // the configuration being selected
  PUSBD_INTERFACE_LIST_ENTRY interfaceList;  // bNumInterfaces + 1 entries, the last all zero
  PUSBD_INTERFACE_LIST_ENTRY interfaceListEnd;
  PURB selectConfigurationRequest;  // from USBD_CreateConfigurationRequestEx; freed once sent
  PURB selectInterfaceRequest;      // prepared, not yet sent
  IntrusiveListOf<InterfaceRecord> records;  // in order of creation
  UCHAR configured;
  USBD_CONFIGURATION_HANDLE configurationHandle;
  UCHAR configurationValue;

 private:
  // Undoes a failed build: everything it allocated goes.
  NTSTATUS FailBuild(NTSTATUS status);
  // Checks records against the request's interface informations and, per pass, moves pipe
  // settings into the request or the bus driver's answer into the records.
  enum class Pass { SettingsToRequest, AnswerToRecords };
  NTSTATUS MatchRecordsToRequest(Pass pass);
};

// An interface information without its pipes (16 bytes on i386).
constexpr ULONG kInterfaceInformationHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

// The pipes an interface information holds: its NumberOfPipes, never more than its Length
// has room for.
ULONG PipeCountOf(const USBD_INTERFACE_INFORMATION* information);
// MaximumTransferSize and PipeFlags of each pipe, as the caller chose them, into a request
// (both informations have the same Length).
void CopyPipeSettings(const USBD_INTERFACE_INFORMATION* from, PUSBD_INTERFACE_INFORMATION to);
