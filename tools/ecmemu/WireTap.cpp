#include "tools/ecmemu/WireTap.h"

#include <chrono>
#include <thread>

namespace ecmemu {
namespace {

// The device tells nobody when the driver drains its queue: the reader looks again this soon.
// With kDeviceQueue frames waiting, the driver is kept busy well beyond that.
constexpr auto kDeviceQueuePoll = std::chrono::milliseconds(1);

}  // namespace

WireTap::~WireTap() { Stop(); }

void WireTap::Start() {
  // On the bus's thread with its lock held: a copy into the writer's queue, no system call.
  device_.ConnectWire([this](const emu::devices::Bytes& frame) {
    ++fromDriver_;
    writer_.Post(frame.data(), frame.size());
  });
  StartReading();
}

void WireTap::Stop() {
  StopReading();
  device_.DisconnectWire();
  writer_.Stop();
}

WireTapCounts WireTap::counts() {
  WireTapCounts counts;
  counts.fromDriver = fromDriver_;
  counts.written = writer_.counts();
  counts.read = read_;
  counts.delivered = delivered_;
  counts.refused = refused_;
  return counts;
}

bool WireTap::WaitForRoom() {
  while (!stopping() && device_.DataIn().Queued() >= kDeviceQueue) std::this_thread::sleep_for(kDeviceQueuePoll);
  return !stopping();
}

void WireTap::Take(std::vector<uint8_t>& frame) {
  ++read_;
  ++(device_.DeliverFromWire(std::move(frame)) ? delivered_ : refused_);
}

}  // namespace ecmemu
