// The PnP manager's side of a device that leaves the bus by itself: NDIS tells the adapter
// with NdisDevicePnPEventSurpriseRemoved from a system worker thread, once the adapter runs
// (never while MiniportInitialize or MiniportHalt does).
#pragma once

#include <platform.h>

#include <mutex>

#include "emu/ndis/Miniport.h"
#include "emu/kernel/Scheduler.h"

namespace ecmemu {

class RemovalNotice {
 public:
  RemovalNotice() = default;
  RemovalNotice(const RemovalNotice&) = delete;
  RemovalNotice& operator=(const RemovalNotice&) = delete;

  // The device left; from any context at or below DISPATCH_LEVEL.
  void DeviceLeft();
  // Initialization succeeded: a removal already seen, or seen later, is told to the adapter.
  void AdapterRunning(emu::ndis::Miniport& miniport);
  // Halt begins: nothing is told from now on.
  void AdapterHalting();
  bool deviceLeft();
  bool told();

 private:
  static VOID NTAPI Tell(PDEVICE_OBJECT device, PVOID context);
  void QueueLocked();

  std::mutex mutex_;  // guards everything below
  emu::ndis::Miniport* running_ = nullptr;  // while the adapter may be told
  bool left_ = false;
  bool queued_ = false;
  bool told_ = false;
  _IO_WORKITEM item_{nullptr, Tell, this, DelayedWorkQueue, false};
};

}  // namespace ecmemu
