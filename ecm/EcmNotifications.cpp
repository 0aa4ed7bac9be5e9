// What the device says on its interrupt endpoint: NETWORK_CONNECTION and
// CONNECTION_SPEED_CHANGE reach the adapter, anything else is dropped. Each transfer is
// parsed on its own; a notification split over several is not put together again, but the
// rest of a split speed change is not read as a notification of its own either: its rate
// bytes could look like a NETWORK_CONNECTION (a downlink rate of 65536 bit/s reads as
// "connected").
#include "ecm/EcmDevice.h"
#include "ecm/FrameCursor.h"

namespace {

constexpr UCHAR kNetworkConnection = 0x00;
constexpr UCHAR kConnectionSpeedChange = 0x2A;
constexpr ULONG kNotificationHeaderLength = 8;
constexpr ULONG kSpeedChangeLength = 16;
constexpr USHORT kConnected = 1;

USHORT ReadUshort(const UCHAR* bytes) { return static_cast<USHORT>(bytes[0] | bytes[1] << 8); }

ULONG ReadUlong(const UCHAR* bytes) {
  return static_cast<ULONG>(bytes[0]) | static_cast<ULONG>(bytes[1]) << 8 | static_cast<ULONG>(bytes[2]) << 16 |
         static_cast<ULONG>(bytes[3]) << 24;
}

}  // namespace

BOOLEAN EcmDevice::EndsOnPacketBoundary(ULONG received) const {
  USHORT packet = NotificationPipe.pipeInfo.MaximumPacketSize;
  return packet != 0 && received % packet == 0;
}

VOID NotificationClient::OnReadComplete(TransferBuffer* buffer) { Owner->OnNotification(buffer); }

VOID NotificationClient::OnReadError(NTSTATUS, BOOLEAN deviceGone) {
  // Delivered in order like the reads: the rest of a split notification is lost with the
  // failed one, and the restarted pipe begins afresh.
  Owner->NotificationRemainder = 0;
  // Nothing is read again from a device that is gone.
  if (!deviceGone) Owner->NotificationPipe.ScheduleRecovery();
}

VOID EcmDevice::OnNotification(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  ULONG received = buffer->length;
  OpenFrameCursor(buffer, received);
  const UCHAR* notification = buffer->cursorStart;
  if (NotificationRemainder != 0) {
    NotificationRemainder = received < NotificationRemainder ? NotificationRemainder - received : 0;
  } else if (received >= kNotificationHeaderLength) {
    UCHAR code = notification[1];
    if (code == kNetworkConnection) {
      Sink->OnLinkStateChanged(ReadUshort(notification + 2) == kConnected ? TRUE : FALSE);
    } else if (code == kConnectionSpeedChange && received >= kSpeedChangeLength) {
      Sink->OnLinkSpeedChanged(ReadUlong(notification + 8), ReadUlong(notification + 12));
    } else if (code == kConnectionSpeedChange && EndsOnPacketBoundary(received)) {
      // Only a piece of whole packets is continued in the next transfer; a short one ended it.
      NotificationRemainder = kSpeedChangeLength - received;
    }
  }
  buffer->ReturnToPool();
  NotificationPipe.ResumeReads();
}
