// The road to the USB device: the next-lower device object (every request goes to it) and
// the physical device object, with synchronous requests that wait with a time-out and the
// asynchronous submission the pipes use. No lock and no state beyond the two pointers:
// every request keeps its URB, IRP and event in the caller's frame.
#pragma once

#include <platform.h>

#include "support/Annotations.h"
#include "support/Memory.h"

// The URB status set before every submission; a request that was never sent keeps it.
constexpr USBD_STATUS kUsbdStatusNotSent = static_cast<USBD_STATUS>(0xFFFFFFFFu);

class UsbTarget {
 public:
  UsbTarget() : LowerDevice(nullptr), PhysicalDevice(nullptr) {}
  virtual void Destroy(ULONG flags) { DestroyObject(this, flags); }  // deleting destructor
  ~UsbTarget() = default;

  // Sends the URB down in an IRP of its own and waits; time-out in ms, 0 waits without limit.
  IRQL_PASSIVE NTSTATUS SubmitUrb(PURB urb, ULONG timeoutMs);
  // Sends the URB in the caller's IRP; the outcome arrives through the completion routine,
  // which must return STATUS_MORE_PROCESSING_REQUIRED.
  IRQL_AT_MOST_DISPATCH NTSTATUS SubmitUrbAsync(PURB urb, PIRP irp, PIO_COMPLETION_ROUTINE completion,
                                                PVOID context);
  IRQL_PASSIVE NTSTATUS Deconfigure(ULONG timeoutMs, USBD_STATUS* usbdStatus);
  IRQL_PASSIVE NTSTATUS GetDescriptor(UCHAR descriptorType, UCHAR index, USHORT languageId, PVOID buffer,
                                      ULONG length, PULONG bytesReceived, ULONG timeoutMs);
  IRQL_PASSIVE NTSTATUS GetConfigurationDescriptor(UCHAR index, PVOID buffer, ULONG length,
                                                   PULONG bytesReceived, ULONG timeoutMs);
  IRQL_PASSIVE NTSTATUS GetStringDescriptor(UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                                            PULONG bytesReceived, ULONG timeoutMs);
  IRQL_PASSIVE NTSTATUS GetString(UCHAR index, USHORT languageId, PWCHAR text, ULONG capacity,
                                  ULONG timeoutMs);
  IRQL_PASSIVE NTSTATUS GetLanguageIds(PUSHORT ids, ULONG capacity, PULONG count, ULONG timeoutMs);
  IRQL_PASSIVE NTSTATUS ClassOrVendorRequest(USHORT function, UCHAR request, USHORT value, USHORT index,
                                             ULONG transferFlags, PVOID buffer, PMDL mdl, ULONG length,
                                             PULONG bytesMoved, ULONG timeoutMs, USBD_STATUS* usbdStatus);
  // A pipe request (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL or URB_FUNCTION_ABORT_PIPE) on the
  // pipe's handle: the body of a pipe's ResetPipe and AbortPipe. The URB's status goes to
  // usbdStatus when given, whatever the result.
  IRQL_PASSIVE NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipeHandle, ULONG timeoutMs,
                                    USBD_STATUS* usbdStatus);

  // Completion routine of SubmitUrb: wakes the waiting caller and keeps the IRP, which the
  // caller frees.
  static NTSTATUS NTAPI WakeWaiter(PDEVICE_OBJECT device, PIRP irp, PVOID event);

  PDEVICE_OBJECT LowerDevice;     // every IRP goes here; its StackSize sizes the IRPs
  PDEVICE_OBJECT PhysicalDevice;  // kept for the owner; no request uses it

 private:
  IRQL_PASSIVE NTSTATUS CallAndWait(PIRP irp, ULONG timeoutMs);
};
