// A real USB device behind the emulated bus, reached through libusb. The device is taken from
// the kernel for the run (its interfaces' kernel drivers detached, the interfaces claimed) and
// given back afterwards with its configuration as it was. Control requests run synchronously
// under the bus lock; bulk and interrupt transfers are submitted as they arrive, several per
// endpoint, and end in the order the host controller completes them. A device that goes away
// ends what it had with USBD_STATUS_DEVICE_GONE and says so once through the gone callback.
#pragma once

#include <platform.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emu/realusb/DeviceSelector.h"
#include "emu/usb/UsbFunction.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace emu::realusb {

class RealDevice : public usb::UsbFunction {
 public:
  // Null, with the reason in *error, when no such device can be opened. Without 'take' the
  // kernel keeps the interfaces: enough for reading descriptors.
  static std::unique_ptr<RealDevice> Open(const DeviceSelector& selector, bool take, std::string* error);
  ~RealDevice() override;

  // "0525:a4a2 at 1-1, full speed"
  const std::string& description() const { return description_; }
  // What was done to take the device from the kernel, and to give it back (for the report).
  std::vector<std::string> notes();
  // Called once, from the completion thread, when the device is found gone.
  void SetOnGone(std::function<void()> onGone);
  bool gone() const { return gone_; }
  // Ends the device's part in the run: cancels what is in flight and waits for it, stops the
  // threads. Before the bus goes; the destructor gives the device back.
  void Close();

  std::optional<std::vector<UCHAR>> Descriptor(UCHAR type, UCHAR index, USHORT languageId) override;
  bool SetConfiguration(UCHAR value) override;
  bool SetInterface(UCHAR number, UCHAR alternate) override;
  usb::ControlAnswer ClassOrVendorRequest(const usb::SetupPacket& setup, UCHAR* data) override;
  USBD_STATUS ControlFailure() override { return controlFailure_; }
  void ClearHalt(UCHAR endpointAddress) override;
  bool QueuesTransfers() const override { return true; }
  void StartTransfer(uint64_t id, const usb::TransferRequest& request) override;
  void StopTransfer(uint64_t id) override;

 private:
  // A transfer on the wire, owned here from submission to its callback.
  struct Flight {
    uint64_t id;
    libusb_transfer* transfer;
    std::vector<UCHAR> buffer;  // the device reads or writes this, never the driver's memory
    bool in;
    bool stopped = false;       // the bus ended it: its outcome is nobody's
    RealDevice* owner = nullptr;
  };
  struct Ending {
    uint64_t id;
    usb::TransferResult result;
  };

  RealDevice(libusb_context* context, libusb_device_handle* handle, std::string description);
  // Detaches kernel drivers from and claims every interface of the configuration (0: none).
  bool TakeInterfaces(UCHAR configurationValue);
  void ReleaseInterfaces();
  bool ControlFailed(int error);  // records why, and whether the device may be gone; always false
  void SuspectGone();
  static void OnTransferDone(libusb_transfer* transfer);
  void Ended(Flight* flight);
  void Post(Ending ending);
  void EventMain();
  void CompletionMain();
  // Whether the device answers at all: a killed transfer also ends as if it were gone.
  bool Answers();
  static bool MayMeanGone(USBD_STATUS status);
  // Asks the device, once it may be gone; runs the gone callback when it is. endingsMutex_
  // is held on entry and on return, not while the device is asked or the callback runs.
  void CheckGoneLocked(std::unique_lock<std::mutex>& guard);

  libusb_context* context_;
  libusb_device_handle* handle_;
  const std::string description_;
  int originalConfiguration_ = 0;
  // Touched under the bus lock only, or by Open and the destructor.
  std::set<int> claimed_;
  std::set<int> detached_;     // interfaces whose kernel driver is given back at the end
  USBD_STATUS controlFailure_ = USBD_STATUS_STALL_PID;

  std::mutex flightsMutex_;  // guards flights_ and notes_; taken under the bus lock, never around a bus call
  std::map<uint64_t, std::unique_ptr<Flight>> flights_;
  std::condition_variable flightsEmpty_;
  std::vector<std::string> notes_;

  std::mutex endingsMutex_;  // guards endings_, onGone_, suspectGone_, closing_; a leaf
  std::condition_variable endingsReady_;
  std::deque<Ending> endings_;
  std::function<void()> onGone_;
  bool suspectGone_ = false;  // a request failed as if the device were gone: the completion thread checks
  bool closing_ = false;
  bool goneHandled_ = false;  // the gone callback has run or runs now

  std::atomic<bool> gone_{false};
  std::atomic<bool> stopEvents_{false};
  std::thread events_;      // runs libusb's event handling: callbacks only queue endings
  std::thread completion_;  // hands endings to the bus, which completes the IRPs
};

}  // namespace emu::realusb
