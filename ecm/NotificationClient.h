// The notification pipe's client: hands each completed interrupt read to its device, and has
// the pipe repair itself after a failed read unless the device is gone.
#pragma once

#include <platform.h>

#include "transfer/PipeClients.h"

class EcmDevice;

class NotificationClient : public ReadPipeClient {
 public:
  explicit NotificationClient(EcmDevice* owner) : Owner(owner) {}

  IRQL_AT_MOST_DISPATCH VOID OnReadComplete(TransferBuffer* buffer) override;
  // Runs under the pipe's clientLock, which ScheduleRecovery expects held.
  IRQL_DISPATCH VOID OnReadError(NTSTATUS status, BOOLEAN deviceGone) override;

  EcmDevice* Owner;
};
