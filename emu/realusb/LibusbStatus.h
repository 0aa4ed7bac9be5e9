// How the outcome of a libusb request becomes the URB and IRP status the platform's bus driver
// reports for the same thing on the wire.
#pragma once

#include <platform.h>

namespace emu::realusb {

// A bulk or interrupt transfer's completion status (enum libusb_transfer_status).
USBD_STATUS UsbdStatusForTransfer(int transferStatus);
// A failed synchronous request or submission (enum libusb_error, negative).
USBD_STATUS UsbdStatusForError(int error);

}  // namespace emu::realusb
