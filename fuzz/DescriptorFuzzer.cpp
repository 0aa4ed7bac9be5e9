// One input is what a device answers when its configuration descriptor is read: its first
// byte says how many of the bytes after it answer the 9-byte header read, and the rest is the
// answer to the full read. The device alternates between the two answers, as one that
// changes its mind between the reads does (the seeds give the same answer to both). The
// driver reads the configuration through the emulated bus, walks it, searches it as the
// adapter and the ECM function do, and selects the configuration and the data interface's
// alternate setting 1 with the selector, then looks its pipes up. A finding is a sanitizer
// report, a descriptor returned that does not lie whole inside the bytes read, or anything
// the emulator's verifier reports.
#include <algorithm>

#include "FuzzChecks.h"
#include "emu/devices/EcmFunction.h"
#include "emu/usb/Bus.h"
#include "usb/ConfigurationSelector.h"
#include "usb/DescriptorBuffer.h"

namespace {

constexpr ULONG kTimeoutMs = 500;
constexpr ULONG kTransferSize = 4096;
constexpr ULONG kEthernetFieldsLength = 10;  // through wMaxSegmentSize at offset 8

using emu::devices::Bytes;

// The built-in device with 'full' as its configuration index 0, whose configuration
// descriptor requests get 'header' and the configuration by turns, 'header' first.
class TwoAnswerDevice : public emu::devices::EcmFunction {
 public:
  TwoAnswerDevice(Bytes header, Bytes full) : EcmFunction(WithConfiguration(std::move(full))), header_(std::move(header)) {}

  std::optional<std::vector<UCHAR>> Descriptor(UCHAR type, UCHAR index, USHORT languageId) override {
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && configurationRequests_++ % 2 == 0) return header_;
    return EcmFunction::Descriptor(type, index, languageId);
  }

 private:
  static emu::devices::DeviceProfile WithConfiguration(Bytes configuration) {
    emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile();
    profile.configurations[0] = std::move(configuration);
    return profile;
  }

  Bytes header_;
  unsigned configurationRequests_ = 0;  // under the bus lock
};

// A search result must be a whole descriptor inside the valid bytes, long enough for the
// fields its caller reads, of the type asked for.
void ExpectInside(const DescriptorBuffer& buffer, const UCHAR* p, ULONG fields, UCHAR type) {
  if (!p) return;
  if (p < buffer.bytes || p >= buffer.bytes + buffer.length) Finding("a search returned a position outside the bytes");
  ULONG left = static_cast<ULONG>(buffer.bytes + buffer.length - p);
  if (p[0] < fields || p[0] > left || p[1] != type) Finding("a search returned a descriptor too short or overrunning");
}

void WalkAndSearch(UsbTarget& target) {
  DescriptorBuffer buffer;
  if (buffer.ReadConfigurationDescriptor(target, 0, NonPagedPool, kTimeoutMs) != STATUS_SUCCESS) return;
  ULONG steps = 0;
  for (PUCHAR p = buffer.bytes; buffer.IsUsable(p); p = buffer.NextDescriptor(p))
    if (++steps > buffer.length / 2) Finding("the walk does not end");
  // The adapter's check and the ECM function's bring-up.
  PUCHAR communication = buffer.FindInterfaceDescriptor(nullptr, -1, -1, -1, -1, -1);
  ExpectInside(buffer, communication, kInterfaceFieldsLength, USB_INTERFACE_DESCRIPTOR_TYPE);
  ExpectInside(buffer, buffer.FindInterfaceDescriptor(nullptr, -1, -1, 2, 6, 0), kInterfaceFieldsLength,
               USB_INTERFACE_DESCRIPTOR_TYPE);
  // A null start means the first byte, so each continuation stops when there is no next.
  for (PUCHAR at = communication ? buffer.NextDescriptor(communication) : nullptr; at;) {
    PUCHAR p = buffer.FindDescriptor(at, 0x24, kEthernetFieldsLength);
    ExpectInside(buffer, p, kEthernetFieldsLength, 0x24);
    if (!p) break;
    if (p[2] == 0x0F) {
      volatile USHORT maxSegmentSize = static_cast<USHORT>(p[8] | p[9] << 8);  // as GetMaxSegmentSize reads it
      (void)maxSegmentSize;
      break;
    }
    at = buffer.NextDescriptor(p);
  }
  for (PUCHAR at = buffer.bytes; at;) {
    PUCHAR p = buffer.FindDescriptor(at, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ExpectInside(buffer, p, kEndpointFieldsLength, USB_ENDPOINT_DESCRIPTOR_TYPE);
    at = p ? buffer.NextDescriptor(p) : nullptr;
  }
  for (PUCHAR p = buffer.FindInterfaceDescriptor(nullptr, -1, 0, -1, -1, -1); p;) {
    ExpectInside(buffer, p, kInterfaceFieldsLength, USB_INTERFACE_DESCRIPTOR_TYPE);
    PUCHAR next = buffer.NextDescriptor(p);
    p = next ? buffer.FindInterfaceDescriptor(next, -1, 0, -1, -1, -1) : nullptr;
  }
}

void LookUpPipes(ConfigurationSelector& selector) {
  for (ULONG type = 0; type < 4; ++type)
    for (BOOLEAN in : {FALSE, TRUE}) {
      PUSBD_PIPE_INFORMATION pipe = selector.FindPipe(type, in, -1, -1);
      if (pipe && !selector.FindPipeByAddress(pipe->EndpointAddress)) Finding("a pipe found by type is not found by address");
    }
}

void Select(UsbTarget& target) {
  ConfigurationSelector selector;
  selector.SelectConfiguration(target, 0, kTimeoutMs, kTransferSize);
  LookUpPipes(selector);  // the records of a build whose submission failed too
  if (selector.configured) {
    if (PUSBD_INTERFACE_INFORMATION data = selector.FindInterface(-1, -1, 0x0A, -1, -1)) {
      if (selector.PrepareSelectInterface(target, data->InterfaceNumber, 1, kTransferSize) == STATUS_SUCCESS)
        selector.SubmitSelectInterface(target, kTimeoutMs);
      LookUpPipes(selector);
    }
    selector.ClearConfiguration(target, TRUE, kTimeoutMs);
  }
}

// The platform's USBD_CreateConfigurationRequestEx keeps only 16 bits of the request's size:
// a configuration whose interfaces claim that many endpoints is refused by the bus driver.
bool TruncatedRequest(const emu::Violation& violation) {
  return violation.rule == "urb" && violation.message.find("has no room for interface") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t headerLength = std::min<size_t>(data[0], size - 1);
  emu::Kernel kernel;
  {
    TwoAnswerDevice device(Bytes(data + 1, data + 1 + headerLength), Bytes(data + 1 + headerLength, data + size));
    emu::usb::Bus bus(device);
    UsbTarget target;
    target.LowerDevice = bus.Pdo();
    WalkAndSearch(target);
    Select(target);
    kernel.RunPending();
    if (bus.PendingIrps() != 0) Finding("an IRP is left pending on the bus");
  }
  EndKernel(kernel, TruncatedRequest);
  return 0;
}
