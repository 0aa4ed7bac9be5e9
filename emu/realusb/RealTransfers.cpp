// Bulk and interrupt transfers on the device: submitted as the bus hands them over, each with
// a buffer of its own so that a transfer the bus has ended can never write into memory the
// driver got back; libusb's callbacks only queue the endings, and a thread of this device
// hands them to the bus, because the bus may hold its lock while it waits for libusb.
#include <libusb.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "emu/realusb/LibusbStatus.h"
#include "emu/realusb/RealDevice.h"

namespace emu::realusb {
namespace {

constexpr int kEventSliceUs = 100000;  // how soon the event thread notices a stop
constexpr unsigned kProbeTimeoutMs = 1000;
// A device just pulled out fails its requests before the hub has reported it gone: a failed
// probe is tried again, a little later, before the device counts as present.
constexpr int kProbeAttempts = 10;
constexpr auto kProbePause = std::chrono::milliseconds(100);

}  // namespace

void RealDevice::StartTransfer(uint64_t id, const usb::TransferRequest& request) {
  auto flight = std::make_unique<Flight>();
  flight->id = id;
  flight->in = (request.endpoint & LIBUSB_ENDPOINT_IN) != 0;
  flight->buffer.resize(request.length);
  if (!flight->in && request.length) std::memcpy(flight->buffer.data(), request.data, request.length);
  flight->transfer = libusb_alloc_transfer(0);
  flight->owner = this;
  // usbfs turns a bulk request on an interrupt endpoint into an interrupt one; a zero length
  // goes out as a zero-length packet.
  libusb_fill_bulk_transfer(flight->transfer, handle_, request.endpoint, flight->buffer.data(),
                            static_cast<int>(request.length), OnTransferDone, flight.get(), 0);
  std::lock_guard<std::mutex> guard(flightsMutex_);
  int rc = libusb_submit_transfer(flight->transfer);
  if (rc != 0) {
    libusb_free_transfer(flight->transfer);
    // Never inside the bus's call: the ending goes the way every other one does.
    Post(Ending{id, usb::TransferResult::Status(UsbdStatusForError(rc))});
    if (rc == LIBUSB_ERROR_NO_DEVICE) SuspectGone();
    return;
  }
  flights_[id] = std::move(flight);
}

void RealDevice::StopTransfer(uint64_t id) {
  std::lock_guard<std::mutex> guard(flightsMutex_);
  auto it = flights_.find(id);
  if (it == flights_.end()) return;
  it->second->stopped = true;
  libusb_cancel_transfer(it->second->transfer);
}

void RealDevice::OnTransferDone(libusb_transfer* transfer) {
  Flight* flight = static_cast<Flight*>(transfer->user_data);
  flight->owner->Ended(flight);
}

void RealDevice::Ended(Flight* flight) {
  libusb_transfer* transfer = flight->transfer;
  USBD_STATUS status = UsbdStatusForTransfer(transfer->status);
  usb::TransferResult result = usb::TransferResult::Status(status);
  auto actual = static_cast<size_t>(transfer->actual_length);
  if (flight->in)
    result.data.assign(flight->buffer.begin(), flight->buffer.begin() + static_cast<ptrdiff_t>(actual));
  else
    result.moved = static_cast<ULONG>(actual);
  std::lock_guard<std::mutex> guard(flightsMutex_);
  if (!flight->stopped) Post(Ending{flight->id, std::move(result)});
  if (MayMeanGone(status)) SuspectGone();
  libusb_free_transfer(transfer);
  flights_.erase(flight->id);
  if (flights_.empty()) flightsEmpty_.notify_all();
}

void RealDevice::Post(Ending ending) {
  std::lock_guard<std::mutex> guard(endingsMutex_);
  endings_.push_back(std::move(ending));
  endingsReady_.notify_one();
}

void RealDevice::SuspectGone() {
  std::lock_guard<std::mutex> guard(endingsMutex_);
  suspectGone_ = true;
  endingsReady_.notify_one();
}

void RealDevice::SetOnGone(std::function<void()> onGone) {
  std::lock_guard<std::mutex> guard(endingsMutex_);
  onGone_ = std::move(onGone);
}

void RealDevice::EventMain() {
  while (!stopEvents_) {
    timeval slice{0, kEventSliceUs};
    libusb_handle_events_timeout_completed(context_, &slice, nullptr);
  }
}

bool RealDevice::Answers() {
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    uint8_t status[2];
    int rc = libusb_control_transfer(handle_, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_STATUS, 0, 0, status,
                                     sizeof status, kProbeTimeoutMs);
    if (rc >= 0) return true;
    if (rc == LIBUSB_ERROR_NO_DEVICE) return false;
    std::this_thread::sleep_for(kProbePause);
  }
  return true;  // there, but failing: its transfers end with the bus's errors
}

void RealDevice::CompletionMain() {
  std::unique_lock<std::mutex> guard(endingsMutex_);
  while (true) {
    endingsReady_.wait(guard, [this] { return closing_ || suspectGone_ || !endings_.empty(); });
    if (closing_) return;
    if (!endings_.empty()) {
      Ending ending = std::move(endings_.front());
      endings_.pop_front();
      // A device pulled out fails what it had with bus errors before it is known to be
      // gone; the platform completes all of it as gone, so the removal comes first.
      if (MayMeanGone(ending.result.status)) CheckGoneLocked(guard);
      guard.unlock();
      Finish(ending.id, ending.result);
      guard.lock();
      continue;
    }
    suspectGone_ = false;
    CheckGoneLocked(guard);
  }
}

bool RealDevice::MayMeanGone(USBD_STATUS status) {
  return status == USBD_STATUS_DEVICE_GONE || status == USBD_STATUS_DEV_NOT_RESPONDING;
}

void RealDevice::CheckGoneLocked(std::unique_lock<std::mutex>& guard) {
  if (goneHandled_) return;
  guard.unlock();
  bool gone = !Answers();
  guard.lock();
  if (!gone) return;
  goneHandled_ = true;
  std::function<void()> onGone = onGone_;
  guard.unlock();
  if (onGone) onGone();
  // Only now: whoever waits for the removal finds the bus's part done.
  gone_ = true;
  guard.lock();
}

}  // namespace emu::realusb
