// What may happen to a running adapter between the requests or notifications a target
// fuzzes, as NDIS, the device and the bus may make it happen: time passing, or only the work
// due now running, a link flap or a speed change on the device, a reset, a power cycle
// through D3, a failed transfer on one of the function's endpoints, or a surprise removal.
// The input picks which, and its details. Nothing runs between two steps unless a step lets
// it, so work the driver queued may still wait when the next request or change comes.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include "DriverBench.h"

class StateChanges {
 public:
  explicit StateChanges(DriverBench& bench) : bench_(bench) {}

  void Next(FuzzedDataProvider& input);
  // NDIS's view: the adapter was asked to a low power state and not back to D0 yet.
  bool asleep() const { return asleep_; }
  bool removed() const { return removed_; }
  // Sets the device power state as NDIS does, only from D0 to another state and back.
  NDIS_STATUS SetPower(ULONG state);

 private:
  void Reset();
  void FailTransfer(FuzzedDataProvider& input);

  DriverBench& bench_;
  bool asleep_ = false;
  bool removed_ = false;
};
