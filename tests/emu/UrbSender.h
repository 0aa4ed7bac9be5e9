// Sends URBs to the emulated bus as a function driver would, and records how each IRP ended.
#pragma once

#include <platform.h>

#include <gtest/gtest.h>

#include "emu/kernel/Kernel.h"

struct SentUrb {
  PIRP irp = nullptr;
  NTSTATUS returned = 0;  // what IofCallDriver returned
  bool completed = false;
  NTSTATUS status = 0;  // the IRP's final status
  KIRQL completionIrql = 0;
  int order = 0;  // rises with every completion recorded in the process
};

inline NTSTATUS NTAPI RecordUrbCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* sent = static_cast<SentUrb*>(context);
  EXPECT_FALSE(sent->completed) << "completed twice";
  sent->completed = true;
  sent->status = irp->IoStatus.Status;
  sent->completionIrql = KeGetCurrentIrql();
  static int completions = 0;
  sent->order = ++completions;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the URB down in a new IRP and, unless told to hold on, lets the bus's DPC run and
// frees the completed IRP.
inline void SendUrb(PDEVICE_OBJECT lower, URB& urb, SentUrb& sent, bool runPending = true) {
  sent.irp = IoAllocateIrp(lower->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(sent.irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(sent.irp, RecordUrbCompletion, &sent, TRUE, TRUE, TRUE);
  sent.returned = IofCallDriver(lower, sent.irp);
  if (!runPending) return;
  emu::Kernel::Current().RunPending();
  if (sent.completed) {
    IoFreeIrp(sent.irp);
    sent.irp = nullptr;
  }
}

inline URB DescriptorUrb(UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBuffer = buffer;
  request.TransferBufferLength = length;
  request.DescriptorType = type;
  request.Index = index;
  request.LanguageId = language;
  return urb;
}

inline URB TransferUrb(USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb.UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = sizeof transfer;
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipe;
  transfer.TransferFlags = flags;
  transfer.TransferBuffer = buffer;
  transfer.TransferBufferLength = length;
  return urb;
}
