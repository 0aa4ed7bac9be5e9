#include "emu/realusb/LibusbStatus.h"

#include <libusb.h>

namespace emu::realusb {

USBD_STATUS UsbdStatusForTransfer(int transferStatus) {
  switch (transferStatus) {
    case LIBUSB_TRANSFER_COMPLETED: return USBD_STATUS_SUCCESS;
    case LIBUSB_TRANSFER_STALL: return USBD_STATUS_STALL_PID;
    case LIBUSB_TRANSFER_OVERFLOW: return USBD_STATUS_BABBLE_DETECTED;
    case LIBUSB_TRANSFER_NO_DEVICE: return USBD_STATUS_DEVICE_GONE;
    case LIBUSB_TRANSFER_CANCELLED: return USBD_STATUS_CANCELED;
    case LIBUSB_TRANSFER_TIMED_OUT: return USBD_STATUS_TIMEOUT;
    default: return USBD_STATUS_DEV_NOT_RESPONDING;  // CRC, bit stuffing, no handshake
  }
}

USBD_STATUS UsbdStatusForError(int error) {
  switch (error) {
    case LIBUSB_SUCCESS: return USBD_STATUS_SUCCESS;
    case LIBUSB_ERROR_PIPE: return USBD_STATUS_STALL_PID;
    case LIBUSB_ERROR_OVERFLOW: return USBD_STATUS_BABBLE_DETECTED;
    case LIBUSB_ERROR_NO_DEVICE: return USBD_STATUS_DEVICE_GONE;
    case LIBUSB_ERROR_TIMEOUT: return USBD_STATUS_TIMEOUT;
    case LIBUSB_ERROR_INTERRUPTED: return USBD_STATUS_CANCELED;
    case LIBUSB_ERROR_NO_MEM: return USBD_STATUS_INSUFFICIENT_RESOURCES;
    case LIBUSB_ERROR_INVALID_PARAM: return USBD_STATUS_INVALID_PARAMETER;
    default: return USBD_STATUS_DEV_NOT_RESPONDING;
  }
}

}  // namespace emu::realusb
