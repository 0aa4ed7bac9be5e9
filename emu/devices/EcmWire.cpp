// The wire behind the device: where the frames the host sends go, and which frames from the
// wire reach the host through the packet filter.
#include <algorithm>

#include "emu/devices/EcmFunction.h"
#include "emu/devices/EcmPacketFilter.h"

namespace emu::devices {
namespace {

constexpr size_t kAddressLength = 6;

bool IsStation(const MacAddress& address) {
  return !(address[0] & 1) && std::any_of(address.begin(), address.end(), [](UCHAR b) { return b != 0; });
}

// A peer that answers each unicast frame to its sender.
Bytes Reflect(Bytes frame) {
  if (frame.size() >= 2 * kAddressLength && !(frame[0] & 1))
    std::swap_ranges(frame.begin(), frame.begin() + kAddressLength, frame.begin() + kAddressLength);
  return frame;
}

}  // namespace

void EcmFunction::RefusePacketFilter(bool refuse) {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  refuseFilter_ = refuse;
}

void EcmFunction::IgnoreControlRequests(bool ignore) {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  ignoreControl_ = ignore;
}

std::optional<USHORT> EcmFunction::packetFilter() const {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  return packetFilter_;
}

std::vector<USHORT> EcmFunction::packetFilterRequests() const {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  return filterRequests_;
}

void EcmFunction::SetHostAddress(const MacAddress& address) {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  setHostAddress_ = address;
}

std::optional<MacAddress> EcmFunction::hostAddress() const {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  return HostAddressLocked();
}

std::optional<MacAddress> EcmFunction::HostAddressLocked() const {
  if (setHostAddress_) return setHostAddress_;
  if (ownAddress_) return ownAddress_;
  return learnedHostAddress_;
}

std::optional<MacAddress> EcmFunction::OwnAddress(const EcmLayout& layout) const {
  auto string = profile_.strings.find(layout.macStringIndex);
  if (!layout.macStringIndex || string == profile_.strings.end()) return std::nullopt;
  std::optional<MacAddress> own = ParseMacString(string->second);
  if (own && !IsStation(*own)) return std::nullopt;
  return own;
}

void EcmFunction::ConnectWire(std::function<void(const Bytes&)> wire) {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  wire_ = std::move(wire);
  wireMode_ = WireMode::Connected;
}

void EcmFunction::EchoWire() {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  wire_ = nullptr;
  wireMode_ = WireMode::Echo;
}

void EcmFunction::DisconnectWire() {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  wire_ = nullptr;
  wireMode_ = WireMode::Recorded;
}

size_t EcmFunction::wireFramesDropped() const {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  return wireDropped_;
}

bool EcmFunction::DeliverFromWire(Bytes frame) {
  UCHAR endpoint = 0;
  {
    std::lock_guard<emu::InternalMutex> guard(stateMutex_);
    USHORT filter = packetFilter_.value_or(kDefaultPacketFilter);
    bool passes = dataRunning_ && linkUp_ && PacketFilterPasses(filter, frame, HostAddressLocked());
    if (!passes) {
      ++wireDropped_;
      return false;
    }
    endpoint = layout_.dataInEndpoint;
  }
  In(endpoint).Queue(std::move(frame));
  return true;
}

void EcmFunction::OnFrameFromHost(UCHAR endpoint, const ReceivedFrame& frame) {
  WireMode mode;
  std::function<void(const Bytes&)> wire;
  {
    std::lock_guard<emu::InternalMutex> guard(stateMutex_);
    if (endpoint != layout_.dataOutEndpoint) return;  // another function's endpoint
    if (frame.bytes.size() >= 2 * kAddressLength) {
      MacAddress source;
      std::copy_n(frame.bytes.begin() + kAddressLength, kAddressLength, source.begin());
      if (IsStation(source)) learnedHostAddress_ = source;
    }
    if (!dataRunning_ || !linkUp_) return;  // nothing crosses a wire that is down
    mode = wireMode_;
    wire = wire_;
  }
  if (mode == WireMode::Connected && wire) wire(frame.bytes);
  if (mode == WireMode::Echo) DeliverFromWire(Reflect(frame.bytes));
}

}  // namespace emu::devices
