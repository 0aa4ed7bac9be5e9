// The bus driver's side of each URB, under the bus lock: checks the request as the real bus
// driver would, plays it to the device, fills the URB in and says how the IRP ends. The IRPs
// themselves (pending, cancel, completion) are the Bus's.
#pragma once

#include <platform.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emu/usb/ControlFaults.h"
#include "emu/usb/DescriptorParser.h"
#include "emu/usb/UrbFault.h"
#include "emu/usb/UsbFunction.h"

namespace emu::usb {

enum class Disposition {
  Complete,       // ends with 'status' (at once when refused, else as the bus completes)
  Delayed,        // ends with 'status' after delayMs of (virtual) time, unless cancelled first
  NeverAnswered,  // the device does not answer: pending until cancelled
  Queued,         // a transfer waiting on its pipe
};

struct Outcome {
  Disposition disposition = Disposition::Complete;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  NTSTATUS irpStatus = STATUS_SUCCESS;
  bool refused = false;          // failed the bus driver's checks: completed inside the call
  uintptr_t pipe = 0;            // Queued: the pipe's handle
  ULONG delayMs = 0;             // Delayed
  std::vector<uintptr_t> closed;  // pipes whose queued transfers end now (abort, reselection)
  uint64_t number = 0;            // the URB's number on the bus
  std::optional<UrbFaultKind> transferFault;  // Queued: the armed fault the transfer meets
  bool deviceGone = false;        // an armed fault unplugged the device as this URB arrived
};

// One request that reached the bus, in arrival order.
struct BusRequest {
  USHORT function;
  USBD_STATUS status;  // USBD_STATUS_PENDING while not answered or queued
  std::optional<SetupPacket> setup;  // what went over the default control pipe, if anything
  UCHAR endpoint = 0;                // pipe requests and transfers
  uint64_t number = 0;               // every URB is numbered, logged or not
};

struct OpenPipe {
  UCHAR interfaceNumber;
  UCHAR endpointAddress;
  USBD_PIPE_TYPE type;
  USHORT maximumPacketSize;
  UCHAR interval;       // bInterval
  bool halted = false;  // a transfer stalled; cleared by a pipe reset
};

class UrbServer {
 public:
  explicit UrbServer(UsbFunction& function);

  Outcome Serve(URB& urb);
  ControlFaults& faults() { return faults_; }
  // The URB of that number is answered with the fault (replaces one armed before). A fault
  // that cannot reach the request (an abort never reaches the device, an OUT transfer has no
  // answer to shorten) leaves it as it is.
  void ArmUrbFault(const UrbFault& fault) { armed_ = fault; }
  uint64_t urbsNumbered() const { return numbered_; }
  // Transfers queued on a pipe, asked by a pipe reset (a busy pipe is not reset).
  void SetQueuedCounter(std::function<size_t(uintptr_t)> counter) { queuedOn_ = std::move(counter); }
  // Surprise removal: every request from now on fails.
  void Unplug();

  bool configured() const { return configurationHandle_ != 0; }
  UCHAR configurationValue() const { return configured() ? configuration_[kConfigurationValueOffset] : 0; }
  const std::map<uintptr_t, OpenPipe>& pipes() const { return pipes_; }
  OpenPipe* FindPipe(uintptr_t handle);  // null when no open pipe has the handle
  const std::vector<BusRequest>& requests() const { return requests_; }
  const BusRequest& lastServed() const { return lastServed_; }  // logged or not
  // Off: bulk and interrupt transfers are served but not logged (a long run keeps no record
  // per frame); every other request still is.
  void RecordTransfers(bool record) { recordTransfers_ = record; }

 private:
  Outcome GetDescriptor(URB& urb);
  Outcome ClassOrVendor(URB& urb);
  Outcome SelectConfiguration(URB& urb);
  Outcome Deconfigure(URB& urb);
  Outcome SelectInterface(URB& urb);
  Outcome PipeRequest(URB& urb);
  Outcome Transfer(URB& urb);

  // A URB the real bus driver would refuse: reported to the verifier as the driver's fault.
  Outcome Refuse(USBD_STATUS status, const std::string& why);
  // Refuses a URB whose Hdr.Length is not its structure's size.
  std::optional<Outcome> CheckLength(const URB& urb, size_t expected, const char* what);
  // A well-formed request the device or configuration cannot serve.
  static Outcome Fail(USBD_STATUS status);
  // The injected fault for a control request, if one hits it.
  std::optional<Outcome> Fault(USHORT function, int detail);
  // The armed URB fault that hits the control request being served, if any.
  std::optional<Outcome> UrbFaultOutcome(USHORT function, int detail);
  bool ShortensAnswer() const { return hit_ == UrbFaultKind::ShortAnswer; }
  // Checks a transfer's buffer fields; on success 'data' is where its bytes are.
  std::optional<Outcome> CheckBuffer(PVOID buffer, PMDL mdl, ULONG length, UCHAR*& data);
  // The host controller moves 'length' bytes at 'data' when the device answers, at
  // DISPATCH_LEVEL: they must be resident, and inside the driver's allocation when they lie
  // in one.
  std::optional<Outcome> CheckResident(const UCHAR* data, size_t length, const char* what);
  uintptr_t NewHandle();
  // Opens the pipes of a matched interface and writes handles and pipe information back.
  void OpenInterface(PUSBD_INTERFACE_INFORMATION information, const InterfaceRef& interface);
  std::vector<uintptr_t> ClosePipes(int interfaceNumber);  // -1: every pipe
  // Back to unconfigured; returns the pipes it closed.
  std::vector<uintptr_t> Unconfigure();

  static constexpr size_t kConfigurationValueOffset = 5;  // bConfigurationValue

  UsbFunction& function_;
  ControlFaults faults_;
  std::function<size_t(uintptr_t)> queuedOn_;
  bool unplugged_ = false;
  uintptr_t configurationHandle_ = 0;    // 0 while unconfigured
  std::vector<UCHAR> configuration_;     // the descriptor the selection was made with
  std::map<uintptr_t, OpenPipe> pipes_;  // by pipe handle
  uintptr_t lastHandle_ = 0;
  std::vector<BusRequest> requests_;
  BusRequest lastServed_{};
  bool recordTransfers_ = true;
  std::optional<SetupPacket> setup_;  // of the request being served, for the log
  UCHAR endpoint_ = 0;                // likewise
  ULONG delayMs_ = 0;                 // likewise: a Delay fault hit it
  std::optional<UrbFault> armed_;
  uint64_t numbered_ = 0;             // URBs served so far
  std::optional<UrbFaultKind> hit_;   // the armed fault, on the URB of its number
};

}  // namespace emu::usb
