// The emulated USB bus driver below one plugged-in device: the device's physical device
// object, which a function driver reaches as its next-lower device object. It takes
// IRP_MJ_INTERNAL_DEVICE_CONTROL / IOCTL_INTERNAL_USB_SUBMIT_URB, refuses malformed URBs at
// once as the real bus driver does, and completes the rest as the hardware would: later, from
// its DPC (or inside the call, when a test asks), or never, for requests the device does not
// answer and transfers waiting on their pipe; those are cancellable.
#pragma once

#include <platform.h>

#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "emu/usb/UrbServer.h"

namespace emu::usb {

enum class CompletionMode { Deferred, Inline };

class Bus {
 public:
  explicit Bus(UsbFunction& function);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // The device's PDO (StackSize 1): the next-lower device object of the driver above.
  PDEVICE_OBJECT Pdo() { return &pdo_; }

  void SetCompletionMode(CompletionMode mode);
  void InjectFault(const ControlFault& fault);
  void ClearFaults();
  // Surprise removal: held IRPs end with STATUS_DEVICE_NOT_CONNECTED, new ones fail at once.
  void Unplug();

  bool Configured();
  UCHAR ConfigurationValue();
  std::vector<BusRequest> Requests();  // what reached the bus, in order
  size_t PendingIrps();                // IRPs the bus holds now
  size_t QueuedTransfers(UCHAR endpointAddress);

 private:
  enum class HeldAs { Completing, Delayed, NeverAnswered, Transfer };
  struct Held {
    PIRP irp;
    HeldAs as;
    uintptr_t pipe;       // Transfer
    USBD_STATUS status;   // Completing, Delayed
    NTSTATUS irpStatus;   // Completing, Delayed
    uint64_t dueMs;       // Delayed: kernel time of the answer
  };

  static NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI CompletionDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  static VOID NTAPI DelayDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  // Arms the delay timer for the earliest delayed answer.
  void ArmDelayTimerLocked();
  NTSTATUS Dispatch(PIRP irp);
  // Marks the IRP pending and keeps it, cancellable; false when it was cancelled already
  // and the caller must complete it as cancelled.
  bool HoldLocked(const Held& held);
  // Takes the held IRPs the predicate selects and that no cancel routine has claimed.
  template <class Predicate>
  std::vector<Held> TakeLocked(Predicate selects);
  std::vector<Held> TakeTransfersLocked(const std::vector<uintptr_t>& pipes);
  static void Complete(PIRP irp, USBD_STATUS status, NTSTATUS irpStatus);
  static void CompleteAll(const std::vector<Held>& taken, USBD_STATUS status, NTSTATUS irpStatus);

  std::mutex mutex_;  // guards server_, held_ and mode_; no IRP is completed under it
  UrbServer server_;
  std::list<Held> held_;
  CompletionMode mode_ = CompletionMode::Deferred;
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT pdo_{};
  KDPC completionDpc_{};
  KTIMER delayTimer_{};
  KDPC delayDpc_{};
};

}  // namespace emu::usb
