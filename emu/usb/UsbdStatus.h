// How the bus driver turns a URB's USBD status into the IRP's NTSTATUS.
#pragma once

#include <platform.h>

namespace emu::usb {

// Malformed requests (invalid function, parameter, pipe handle) map to
// STATUS_INVALID_PARAMETER, a cancelled request to STATUS_CANCELLED, a gone device to
// STATUS_DEVICE_NOT_CONNECTED, lack of resources to STATUS_INSUFFICIENT_RESOURCES, and every
// other error (stalls, transaction errors, refused configurations) to STATUS_UNSUCCESSFUL.
NTSTATUS IrpStatusFor(USBD_STATUS status);

}  // namespace emu::usb
