// One endpoint pipe of the selected configuration. It sends TransferBuffers down to the bus
// driver, any number at a time, and hands each completed one to OnTransferComplete one at a
// time and strictly in submission order, whatever order and processor they complete on.
// Delivery runs in the completion routine; a completion that beats its submitter is delivered
// from the pipe's DPC (or, in deferred mode, from a work item). A disabled pipe sends completed
// transfers straight back to their pools; a drained one has nothing in flight.
#pragma once

#include <platform.h>

#include "support/Annotations.h"
#include "support/CountedEvent.h"
#include "support/DeferredCall.h"
#include "support/IntrusiveList.h"
#include "support/KSpinLockGuard.h"
#include "transfer/TransferBuffer.h"
#include "usb/ConfigurationSelector.h"
#include "usb/UsbTarget.h"

constexpr ULONG kPipeRequestTimeoutMs = 500;  // each reset and abort request

class UsbPipe {
 public:
  explicit UsbPipe(BOOLEAN input);
  virtual void Destroy(ULONG flags);  // deleting destructor
  // A completed transfer, in submission order, with no pipe lock held; the buffer belongs to
  // the callee from here. This version gives it back to its pool.
  IRQL_AT_MOST_DISPATCH virtual VOID OnTransferComplete(TransferBuffer* buffer);
  // Waits until nothing of the pipe is in flight or running (see WaitUntilIdle).
  ~UsbPipe();
  UsbPipe(const UsbPipe&) = delete;
  UsbPipe& operator=(const UsbPipe&) = delete;

  // STATUS_UNSUCCESSFUL when the selected configuration has no such endpoint (nothing changes).
  IRQL_PASSIVE NTSTATUS Bind(UsbTarget& usbTarget, ConfigurationSelector& selector, UCHAR endpointAddress);
  IRQL_PASSIVE VOID Unbind();
  // Accepted only while not running; deferred delivery needs a device for its work items.
  IRQL_AT_MOST_DISPATCH NTSTATUS SetDeliveryMode(BOOLEAN deferred, PDEVICE_OBJECT deviceObject);
  IRQL_AT_MOST_DISPATCH NTSTATUS Enable();  // STATUS_UNSUCCESSFUL while unbound
  IRQL_AT_MOST_DISPATCH VOID Disable();
  // Sends the buffer (its URB filled) down; TRUE when sent. FALSE when disabled: the buffer is
  // back in its pool then. Never delivers anything inside its own call chain.
  IRQL_AT_MOST_DISPATCH BOOLEAN Submit(TransferBuffer* buffer);
  // Disables the pipe and aborts until nothing is in flight (step-ms waits, total-ms budget),
  // then waits as long again for deliveries; STATUS_IO_TIMEOUT when either runs out, with the
  // transfers still in flight left to come home through their completion routines.
  IRQL_PASSIVE NTSTATUS AbortAndDrain(ULONG totalMs, ULONG stepMs);
  // Every buffer still on the outstanding list back to its pool.
  IRQL_AT_MOST_DISPATCH VOID ReturnOutstanding();
  // Synchronous pipe requests; STATUS_INTERNAL_ERROR and nothing sent while unbound.
  IRQL_PASSIVE NTSTATUS ResetPipe(ULONG timeoutMs, USBD_STATUS* usbdStatus);
  IRQL_PASSIVE NTSTATUS AbortPipe(ULONG timeoutMs, USBD_STATUS* usbdStatus);
  // For release: disables the pipe and waits, without a time limit but aborting again every
  // step, until no transfer is in flight and no delivery is queued or running.
  IRQL_PASSIVE VOID WaitUntilIdle();

  static NTSTATUS NTAPI TransferCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
  static VOID NTAPI DeliveryDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  static VOID DeliveryWorkRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);

  UsbTarget* target;                // null while unbound
  USBD_PIPE_INFORMATION pipeInfo;   // as the bus driver returned it; zero while unbound
  CHAR label[8];                    // "in " or "out", for diagnosis
  BOOLEAN isInput;
  // lock: guards running, deferredDelivery, deliveryQueued, delivering, deliveryDevice,
  // outstandingList, inFlight, every change of activity, the counters and the two flags of each
  // buffer on the list. Taken after a BufferedPipe's clientLock, before a pool's lock and
  // deliveryCall's lock; never held across a call out of the pipe.
  BOOLEAN running;
  BOOLEAN deferredDelivery;
  BOOLEAN deliveryQueued;  // a run of deliveryCall is queued and has not taken the lock yet
  BOOLEAN delivering;
  KSPIN_LOCK lock;
  IntrusiveListOf<TransferBuffer> outstandingList;  // in submission order
  ULONG inFlight;  // submitted transfers whose completion routine has not run
  // Transfers from submission until both their completion routine and their submitter are done
  // with them, plus delivery DPCs and work items from queueing to the end of their run. Changed
  // only under lock, so the count read under lock is the truth and the event merely wakes waiters.
  CountedEvent activity;
  KDPC dpc;
  DeferredCall deliveryCall;        // deferred mode
  PDEVICE_OBJECT deliveryDevice;
  ULONG racedToWorkItem;            // diagnostic counters, under lock, never read by the pipe
  ULONG racedToDpc;
  ULONG reentries;
  ULONG emptyPasses;
  ULONG multiPasses;

 protected:
  // Zeroes the URB area and fills it as a bulk or interrupt transfer on this pipe.
  VOID FillTransferUrb(TransferBuffer* buffer, ULONG transferFlags, ULONG length, PMDL mdl);

 private:
  IRQL_PASSIVE NTSTATUS PipeRequest(USHORT function, ULONG timeoutMs, USBD_STATUS* usbdStatus);
  // One delivery pass over the head of the list; drops the lock around each delivery.
  VOID DeliverCompletedLocked(KSpinLockGuard& guard);
  VOID QueueDpcDeliveryLocked();
  VOID QueueDeferredDeliveryLocked();
  // A transfer that is done while the pipe is disabled goes home undelivered.
  VOID ReturnUndeliveredLocked(TransferBuffer* buffer);
  // After a drain gave up: buffers that completed but will never be delivered go home.
  VOID ReturnFinishedLocked();
  ULONG InFlight();
  // TRUE once activity reaches 0 within the budget, deciding on the count under lock.
  BOOLEAN WaitForActivityToEnd(ULONG totalMs, ULONG stepMs);
};
