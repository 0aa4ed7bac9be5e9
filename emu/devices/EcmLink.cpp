// The device's link as it reports it: NETWORK_CONNECTION and CONNECTION_SPEED_CHANGE on the
// interrupt endpoint, split into packets as the endpoint carries them.
#include <algorithm>

#include "emu/devices/EcmFunction.h"

namespace emu::devices {
namespace {

constexpr UCHAR kClassInterfaceIn = 0xA1;
constexpr UCHAR kNetworkConnection = 0x00;
constexpr UCHAR kConnectionSpeedChange = 0x2A;

void PutUlong(Bytes& bytes, ULONG value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<UCHAR>(value >> shift));
}

}  // namespace

void EcmFunction::SetLink(bool connected) {
  EcmLayout layout;
  bool notify = false;
  {
    std::lock_guard<emu::InternalMutex> guard(stateMutex_);
    linkUp_ = connected;
    notify = dataRunning_ && notifications_;
    layout = layout_;
  }
  if (notify) NotifyLink(layout, connected);
}

void EcmFunction::SetSpeed(ULONG downlinkBitRate, ULONG uplinkBitRate) {
  EcmLayout layout;
  bool notify = false;
  {
    std::lock_guard<emu::InternalMutex> guard(stateMutex_);
    downlinkBitRate_ = downlinkBitRate;
    uplinkBitRate_ = uplinkBitRate;
    notify = dataRunning_ && notifications_;
    layout = layout_;
  }
  if (notify) NotifySpeed(layout, downlinkBitRate, uplinkBitRate);
}

void EcmFunction::SetNotifications(bool enabled) {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  notifications_ = enabled;
}

void EcmFunction::NotifyLink(const EcmLayout& layout, bool connected) {
  Notify(layout, Bytes{kClassInterfaceIn, kNetworkConnection, static_cast<UCHAR>(connected ? 1 : 0), 0,
                       layout.communicationInterface, 0, 0, 0});
}

void EcmFunction::NotifySpeed(const EcmLayout& layout, ULONG downlink, ULONG uplink) {
  Bytes notification{kClassInterfaceIn, kConnectionSpeedChange, 0, 0, layout.communicationInterface, 0, 8, 0};
  PutUlong(notification, downlink);
  PutUlong(notification, uplink);
  Notify(layout, notification);
}

void EcmFunction::Notify(const EcmLayout& layout, const Bytes& notification) {
  if (!layout.notificationEndpoint) return;
  FrameSource& source = In(layout.notificationEndpoint);
  size_t packet = layout.notificationPacketSize ? layout.notificationPacketSize : notification.size();
  for (size_t offset = 0; offset < notification.size(); offset += packet) {
    size_t end = std::min(offset + packet, notification.size());
    source.Queue(Bytes(notification.begin() + static_cast<std::ptrdiff_t>(offset),
                       notification.begin() + static_cast<std::ptrdiff_t>(end)));
  }
}

}  // namespace emu::devices
