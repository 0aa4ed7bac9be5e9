// The emulated USB bus driver below one plugged-in device: the device's physical device
// object, which a function driver reaches as its next-lower device object. It takes
// IRP_MJ_INTERNAL_DEVICE_CONTROL / IOCTL_INTERNAL_USB_SUBMIT_URB, refuses malformed URBs at
// once as the real bus driver does, and completes the rest as the hardware would: later, from
// its DPC (or inside the call, when a test asks), or never, for requests the device does not
// answer; those are cancellable.
//
// Bulk and interrupt transfers queue per pipe. The oldest undecided one of a pipe goes to
// the device model, which answers it or keeps it waiting (NAK) until it has something; a
// test can script the next transfers of an endpoint, hold an endpoint so only the test
// decides, and end any waiting transfer in any order. A stall or a transaction error halts
// the pipe, as the host controller does: transfers that arrive afterwards fail with
// USBD_STATUS_ENDPOINT_HALTED until a pipe reset, which the bus refuses while the pipe still
// has transfers. An abort cancels every undecided transfer of
// the pipe; removal ends everything with a status the platform uses (RemovalStatus.h).
//
// By default the device answers at once. A timed bus (SetTiming) plays the transfers the
// device model answers through the host controller's schedule instead (BusSchedule.h), on the
// kernel's clock; scripts, faults and a test's word still decide at once there.
#pragma once

#include <platform.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "emu/kernel/InternalLock.h"
#include "emu/usb/BusObserver.h"
#include "emu/usb/BusSchedule.h"
#include "emu/usb/RemovalStatus.h"
#include "emu/usb/Transfers.h"
#include "emu/usb/UrbServer.h"

namespace emu::usb {

enum class CompletionMode { Deferred, Inline };

class Bus : private ScheduleClient {
 public:
  explicit Bus(UsbFunction& function);
  ~Bus() override;
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // The device's PDO (StackSize 1): the next-lower device object of the driver above.
  PDEVICE_OBJECT Pdo() { return &pdo_; }

  void SetCompletionMode(CompletionMode mode);
  // Sees every URB from now on (null: none); it must outlive its time on the bus.
  void SetObserver(BusObserver* observer) { observer_ = observer; }
  void InjectFault(const ControlFault& fault);
  void ClearFaults();
  // Surprise removal: held IRPs end with the status given, new ones fail at once as gone.
  void Unplug(const RemovalStatus& status = kDeviceGone);
  // Every URB is numbered as it arrives, from 1; the one of the fault's number is answered by
  // it (UrbFault.h). A DeviceGone fault unplugs the device, and then calls the handler, if one
  // is set, outside the bus lock in the context of the URB's sender.
  void AnswerUrb(const UrbFault& fault);
  void SetUnplugHandler(std::function<void()> handler);
  uint64_t UrbsNumbered();

  bool Configured();
  UCHAR ConfigurationValue();
  std::vector<BusRequest> Requests();  // what reached the bus, in order
  // Off: transfers are left out of Requests(), for runs too long to log every frame.
  void RecordTransfers(bool record);
  size_t PendingIrps();                // IRPs the bus holds now

  // Data side. Endpoints are bEndpointAddress values; scripts and holds stay with the address
  // across selections, a halt stays with the pipe.
  size_t QueuedTransfers(UCHAR endpointAddress);                 // undecided transfers
  std::vector<QueuedTransfer> Transfers(UCHAR endpointAddress);  // the same, oldest first
  // Ends a waiting transfer as the test says, in any order; false when it is not waiting.
  bool CompleteTransfer(uint64_t id, const TransferResult& result, When when = When::Dpc, ULONG delayMs = 0);
  // The next transfers that reach the device on the endpoint end so, oldest first, before the
  // device model is asked; entries apply at once to transfers already waiting.
  void ScriptTransfers(UCHAR endpointAddress, std::vector<ScriptedTransfer> entries);
  size_t ScriptedLeft(UCHAR endpointAddress);
  // While held, the device model is not asked about the endpoint's transfers; releasing the
  // hold offers the waiting ones to it again.
  void HoldEndpoint(UCHAR endpointAddress, bool hold);
  bool Halted(UCHAR endpointAddress);  // of the endpoint's open pipe

  // Keeps USB time from now on (BusTimed.cpp); set it before the driver sends any transfer. Not
  // for a device that queues transfers itself: a real one keeps its own time.
  void SetTiming(const BusTiming& timing);
  std::optional<BusTiming> Timing();
  // Bulk payload bytes that crossed a timed bus, IN and OUT.
  std::pair<uint64_t, uint64_t> BulkBytes();

 private:
  // OnBus: the device answered a transfer of a timed bus; it completes at the host
  // controller's interrupt after its last packet.
  enum class HeldAs { Completing, Delayed, NeverAnswered, Transfer, OnBus };
  struct Held {
    PIRP irp;
    HeldAs as;
    uintptr_t pipe;       // transfers (undecided or decided)
    USBD_STATUS status;   // Completing, Delayed
    NTSTATUS irpStatus;   // Completing, Delayed
    uint64_t dueMs;       // Delayed: kernel time of the answer
    uint64_t id = 0;      // transfers
    UCHAR endpoint = 0;   // transfers
    uint64_t number = 0;  // the URB's number on the bus
    std::optional<UrbFaultKind> fault = std::nullopt;  // transfers: the armed fault it meets
    bool started = false; // handed to a device that queues transfers itself, not finished by it
  };
  using HeldList = std::list<Held>;

  static NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI CompletionDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  static VOID NTAPI DelayDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  // Arms the delay timer for the earliest delayed answer.
  void ArmDelayTimerLocked();
  NTSTATUS Dispatch(PIRP irp);
  // What serving one request under the lock left to do once the lock is dropped.
  struct Served {
    Outcome outcome;
    std::vector<Held> closed;   // transfers the request ended (cancelled)
    std::vector<Held> decided;  // transfers that end inside this call
    bool completeNow = false;   // the request itself
    bool held = false;
  };
  Served ServeLocked(PIRP irp);
  // Marks the IRP pending and keeps it, cancellable; false when it was cancelled already
  // and the caller must complete it as cancelled.
  bool HoldLocked(const Held& held);
  // Takes the held IRPs the predicate selects and that no cancel routine has claimed.
  template <class Predicate>
  std::vector<Held> TakeLocked(Predicate selects);
  std::vector<Held> TakeTransfersLocked(const std::vector<uintptr_t>& pipes);
  // The answered transfers of a timed bus, in the order of the ids; one gone already is skipped.
  std::vector<Held> TakeOnBusLocked(const std::vector<uint64_t>& ids);
  // The device is gone: every held IRP is taken, to end with USBD_STATUS_DEVICE_GONE.
  std::vector<Held> UnplugLocked();
  // The same, for a removal met by a URB: they end from the completion DPC.
  void EndHeldAsGoneLocked();
  // Decides the head transfer by its armed fault; false when it keeps it waiting for ever.
  bool DecideByFaultLocked(HeldList::iterator it, std::vector<Held>& now);
  void Complete(PIRP irp, USBD_STATUS status, NTSTATUS irpStatus);
  void CompleteAll(const std::vector<Held>& taken, USBD_STATUS status, NTSTATUS irpStatus);
  void CompleteEach(const std::vector<Held>& taken);  // each with its own status
  // The observer's view of a URB as the server has just served it, and as it completes
  // (BusObservation.cpp).
  void NoteSubmittedLocked(PIRP irp, const Outcome& outcome);
  void NoteCompleted(PIRP irp, USBD_STATUS status);

  // Data side (BusTransfers.cpp). 'now' collects the transfers to complete once the lock is
  // dropped, in the context that decided them.
  // Called by the device (Wake): offers the waiting transfers to it again.
  void OnDeviceWake();
  // Decides every waiting transfer that can be decided now, oldest first per pipe.
  void OfferLocked(std::vector<Held>& now);
  // Whether the oldest waiting transfer of its pipe got an answer from a script or the device.
  bool OfferHeadLocked(HeldList::iterator it, std::vector<Held>& now);
  // A transfer that arrives at a halted pipe fails; true when it did.
  bool FailIfHaltedLocked(HeldList::iterator it, std::vector<Held>& now);
  // Writes the result into the URB and settles when the IRP ends.
  void DecideLocked(HeldList::iterator it, const TransferResult& result, When when, ULONG delayMs,
                    std::vector<Held>& now);
  void WriteResultLocked(HeldList::iterator it, const TransferResult& result);
  // The device model's answer to the transfer, or none (NAK).
  std::optional<TransferResult> AskDeviceLocked(HeldList::iterator it, const OpenPipe& pipe);
  When DeviceAnswerWhenLocked() const;
  // Hands a new transfer to a device that queues transfers itself.
  void StartIfQueuedByDeviceLocked(HeldList::iterator it);
  // A transfer that leaves the list by another way than the device's answer: the device and
  // the schedule let go of it.
  void StopStartedLocked(const Held& held);

  // Timed bus (BusTimed.cpp). The schedule asks the device as the packets go.
  std::optional<ULONG> Answer(uint64_t id) override;
  bool Deliver(uint64_t id) override;
  void ScheduleLocked(HeldList::iterator it);
  // The transfer the schedule asks about, when the device may be asked about it now.
  HeldList::iterator ScheduledTransferLocked(uint64_t id);
  void ArmFrameTimerLocked();
  static VOID NTAPI FrameDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);

  // Marks the calling thread as inside this bus while it may call the device, so that a Wake
  // from the device is left to the offer that follows instead of taking mutex_ again.
  class DeviceCall {
   public:
    explicit DeviceCall(const Bus* bus) : previous_(inside_) { inside_ = bus; }
    ~DeviceCall() { inside_ = previous_; }

   private:
    const Bus* previous_;
  };
  static thread_local const Bus* inside_;

  emu::InternalMutex mutex_;  // guards everything below but the kernel objects; no IRP is completed under it
  UrbServer server_;
  HeldList held_;
  CompletionMode mode_ = CompletionMode::Deferred;
  uint64_t lastTransferId_ = 0;
  std::map<UCHAR, std::deque<ScriptedTransfer>> scripts_;  // by endpoint address
  std::set<UCHAR> heldEndpoints_;
  // An offer's pass: pipes whose oldest undecided transfer keeps waiting (a member, so that
  // a pass allocates nothing).
  std::vector<uintptr_t> waitingPipes_;
  std::function<void()> unplugHandler_;
  std::unique_ptr<BusSchedule> schedule_;  // null: the device answers at once
  UsbFunction& function_;
  std::atomic<BusObserver*> observer_{nullptr};
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT pdo_{};
  KDPC completionDpc_{};
  KTIMER delayTimer_{};
  KDPC delayDpc_{};
  KTIMER frameTimer_{};
  KDPC frameDpc_{};
};

}  // namespace emu::usb
