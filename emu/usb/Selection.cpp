// SELECT_CONFIGURATION and SELECT_INTERFACE: the request is checked against the configuration
// descriptor it names, played to the device, and only then are pipes opened and the handles
// and pipe information written back. A refused selection leaves the old state as it was.
#include <cstddef>

#include "emu/usb/DescriptorParser.h"
#include "emu/usb/UrbServer.h"

namespace emu::usb {
namespace {

constexpr size_t kConfigurationHeaderLength = 9;
constexpr size_t kInterfaceInformationHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

// One interface information of a request, matched to its descriptor.
struct InterfacePlan {
  PUSBD_INTERFACE_INFORMATION information;
  const InterfaceRef* interface;
};

// Checks an interface information against the configuration: the interface and alternate
// setting exist, the information has room for every endpoint, and the descriptor has them.
USBD_STATUS Match(const ParsedConfiguration& parsed, PUSBD_INTERFACE_INFORMATION information,
                  const InterfaceRef*& matched) {
  matched = FindInterface(parsed, information->InterfaceNumber, information->AlternateSetting);
  if (!matched) return USBD_STATUS_INTERFACE_NOT_FOUND;
  UCHAR endpoints = matched->descriptor.bytes[4];
  if (information->Length < GET_USBD_INTERFACE_SIZE(endpoints)) return USBD_STATUS_BUFFER_TOO_SMALL;
  if (information->NumberOfPipes != endpoints) return USBD_STATUS_INVALID_PARAMETER;
  if (matched->endpoints.size() < endpoints) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  for (UCHAR i = 0; i < endpoints; ++i)
    if (matched->endpoints[i].length < kEndpointDescriptorLength)
      return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  return USBD_STATUS_SUCCESS;
}

// Whether an interface information of 'length' bytes at 'offset' fits a URB of 'urbLength'.
bool FitsInUrb(size_t offset, size_t urbLength, const UCHAR* urb) {
  if (offset + kInterfaceInformationHead > urbLength) return false;
  auto information = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(urb + offset);
  return information->Length >= kInterfaceInformationHead && offset + information->Length <= urbLength;
}

}  // namespace

Outcome UrbServer::SelectConfiguration(URB& urb) {
  struct _URB_SELECT_CONFIGURATION& select = urb.UrbSelectConfiguration;
  const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  if (select.Hdr.Length < head)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "select-configuration request with Hdr.Length " +
                                                     std::to_string(select.Hdr.Length) + ", at least " +
                                                     std::to_string(head) + " needed");
  if (!select.ConfigurationDescriptor) return Deconfigure(urb);

  const UCHAR* given = reinterpret_cast<const UCHAR*>(select.ConfigurationDescriptor);
  USHORT totalLength = static_cast<USHORT>(given[2] | given[3] << 8);
  if (given[0] < kConfigurationHeaderLength || given[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      totalLength < kConfigurationHeaderLength)
    return Fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
  if (auto refused = CheckResident(given, totalLength, "the configuration descriptor's wTotalLength")) return *refused;
  // The bus driver keeps its own copy: the caller may free its descriptor afterwards.
  std::vector<UCHAR> copy(given, given + totalLength);
  ParsedConfiguration parsed = ParseConfiguration(copy.data(), copy.size());

  auto* bytes = reinterpret_cast<UCHAR*>(&urb);
  std::vector<InterfacePlan> plans;
  size_t offset = head;
  for (UCHAR i = 0; i < copy[4]; ++i) {
    if (!FitsInUrb(offset, select.Hdr.Length, bytes))
      return Refuse(USBD_STATUS_INVALID_PARAMETER, "select-configuration request of " +
                                                       std::to_string(select.Hdr.Length) +
                                                       " bytes has no room for interface " + std::to_string(i) +
                                                       " of " + std::to_string(copy[4]));
    auto information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes + offset);
    for (const InterfacePlan& earlier : plans)
      if (earlier.information->InterfaceNumber == information->InterfaceNumber)
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    const InterfaceRef* matched = nullptr;
    USBD_STATUS status = Match(parsed, information, matched);
    if (status != USBD_STATUS_SUCCESS) return Fail(status);
    plans.push_back(InterfacePlan{information, matched});
    offset += information->Length;
  }

  setup_ = SetupPacket{0x00, 0x09, copy[kConfigurationValueOffset], 0, 0};  // SET_CONFIGURATION
  if (auto faulted = Fault(URB_FUNCTION_SELECT_CONFIGURATION, -1)) return *faulted;
  // A device that is gone says so; any other refusal is the configuration's.
  auto failed = [this] {
    USBD_STATUS why = function_.ControlFailure();
    return Fail(why == USBD_STATUS_DEVICE_GONE ? why : USBD_STATUS_SET_CONFIG_FAILED);
  };
  if (!function_.SetConfiguration(copy[kConfigurationValueOffset])) return failed();
  for (const InterfacePlan& plan : plans)
    if (plan.information->AlternateSetting != 0 &&
        !function_.SetInterface(plan.information->InterfaceNumber, plan.information->AlternateSetting))
      return failed();

  Outcome outcome;
  outcome.closed = Unconfigure();
  configuration_ = std::move(copy);
  configurationHandle_ = NewHandle();
  select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configurationHandle_);
  for (const InterfacePlan& plan : plans) OpenInterface(plan.information, *plan.interface);
  return outcome;
}

Outcome UrbServer::Deconfigure(URB& urb) {
  setup_ = SetupPacket{0x00, 0x09, 0, 0, 0};  // SET_CONFIGURATION 0
  if (auto faulted = Fault(URB_FUNCTION_SELECT_CONFIGURATION, -1)) return *faulted;
  function_.SetConfiguration(0);
  Outcome outcome;
  outcome.closed = Unconfigure();
  return outcome;
}

std::vector<uintptr_t> UrbServer::Unconfigure() {
  configuration_.clear();
  configurationHandle_ = 0;
  return ClosePipes(-1);
}

Outcome UrbServer::SelectInterface(URB& urb) {
  struct _URB_SELECT_INTERFACE& select = urb.UrbSelectInterface;
  const size_t head = offsetof(struct _URB_SELECT_INTERFACE, Interface);
  if (!FitsInUrb(head, select.Hdr.Length, reinterpret_cast<UCHAR*>(&urb)))
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "select-interface request whose Hdr.Length " +
                                                     std::to_string(select.Hdr.Length) +
                                                     " does not hold its interface information");
  if (!configured() || reinterpret_cast<uintptr_t>(select.ConfigurationHandle) != configurationHandle_)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "select-interface request with a configuration handle "
                                                 "that is not the current configuration's");
  ParsedConfiguration parsed = ParseConfiguration(configuration_.data(), configuration_.size());
  const InterfaceRef* matched = nullptr;
  USBD_STATUS status = Match(parsed, &select.Interface, matched);
  if (status != USBD_STATUS_SUCCESS) return Fail(status);
  setup_ = SetupPacket{0x01, 0x0B, select.Interface.AlternateSetting, select.Interface.InterfaceNumber, 0};
  if (auto faulted = Fault(URB_FUNCTION_SELECT_INTERFACE, -1)) return *faulted;
  if (!function_.SetInterface(select.Interface.InterfaceNumber, select.Interface.AlternateSetting))
    return Fail(function_.ControlFailure());
  Outcome outcome;
  outcome.closed = ClosePipes(select.Interface.InterfaceNumber);
  OpenInterface(&select.Interface, *matched);
  return outcome;
}

void UrbServer::OpenInterface(PUSBD_INTERFACE_INFORMATION information, const InterfaceRef& interface) {
  const UCHAR* d = interface.descriptor.bytes;
  information->Class = d[5];
  information->SubClass = d[6];
  information->Protocol = d[7];
  information->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(NewHandle());
  for (ULONG i = 0; i < information->NumberOfPipes; ++i) {
    const UCHAR* e = interface.endpoints[i].bytes;
    USBD_PIPE_INFORMATION& pipe = information->Pipes[i];
    pipe.EndpointAddress = e[2];
    pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e[3] & 3);
    pipe.MaximumPacketSize = static_cast<USHORT>(e[4] | e[5] << 8);
    pipe.Interval = e[6];
    uintptr_t pipeHandle = NewHandle();
    pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipeHandle);
    pipes_[pipeHandle] = OpenPipe{information->InterfaceNumber, pipe.EndpointAddress, pipe.PipeType,
                                  pipe.MaximumPacketSize, pipe.Interval};
  }
}

std::vector<uintptr_t> UrbServer::ClosePipes(int interfaceNumber) {
  std::vector<uintptr_t> closed;
  for (auto it = pipes_.begin(); it != pipes_.end();) {
    if (interfaceNumber >= 0 && it->second.interfaceNumber != interfaceNumber) {
      ++it;
      continue;
    }
    closed.push_back(it->first);
    it = pipes_.erase(it);
  }
  return closed;
}

}  // namespace emu::usb
