// The URBs of the emulated bus written to a USBPcap capture as they happen, and the frames the
// driver sends on bulk OUT pipes to an Ethernet capture. Attached before the driver loads, the
// capture holds the whole enumeration, so Wireshark knows the interfaces when traffic starts.
#pragma once

#include <map>
#include <mutex>

#include "emu/capture/UsbCapture.h"
#include "emu/kernel/InternalLock.h"
#include "emu/usb/BusObserver.h"

namespace emu::capture {

class BusCapture : public usb::BusObserver {
 public:
  // Either capture may be null; both must outlive this object's time on the bus.
  BusCapture(UsbCapture* usb, EthernetCapture* ethernet) : usb_(usb), ethernet_(ethernet) {}

  void OnUrbSubmitted(const usb::UrbSubmission& submission) override;
  void OnUrbCompleted(const usb::UrbCompletion& completion) override;

 private:
  enum class Kind { Control, Transfer, IrpInfo };
  // What the completion record needs of its submission.
  struct Submitted {
    Kind kind;
    uint8_t endpoint;
    TransferType type;
    bool in;
  };

  UsbCapture* usb_;
  EthernetCapture* ethernet_;
  emu::InternalMutex mutex_;  // guards pending_; taken under the bus lock, takes only the files' locks
  std::map<const void*, Submitted> pending_;
};

}  // namespace emu::capture
