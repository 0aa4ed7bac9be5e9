// Watching the URBs that cross the emulated bus, as a capture on the host controller would:
// each URB once as it arrives and once as its IRP completes, tied together by the IRP.
#pragma once

#include <platform.h>

#include <cstddef>
#include <optional>

#include "emu/usb/UsbFunction.h"

namespace emu::usb {

struct UrbSubmission {
  const void* irp = nullptr;          // the same in the completion
  USHORT function = 0;                // URB_FUNCTION_*
  std::optional<SetupPacket> setup;   // what goes over the default control pipe, made up for a selection
  std::optional<UCHAR> endpoint;      // pipe requests and transfers
  USBD_PIPE_TYPE pipeType = UsbdPipeTypeControl;  // transfers: bulk or interrupt
  const UCHAR* data = nullptr;        // OUT data of a transfer or control request
  size_t length = 0;
};

struct UrbCompletion {
  const void* irp = nullptr;
  USHORT function = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  const UCHAR* data = nullptr;  // what the URB's buffer holds now: IN data, OUT data moved
  size_t length = 0;
};

class BusObserver {
 public:
  virtual ~BusObserver() = default;
  // Under the bus lock, in arrival order: must be quick and call nothing of the bus.
  virtual void OnUrbSubmitted(const UrbSubmission& submission) = 0;
  // Without the bus lock, just before the IRP completes, from any thread.
  virtual void OnUrbCompleted(const UrbCompletion& completion) = 0;
};

}  // namespace emu::usb
