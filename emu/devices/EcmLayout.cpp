#include "emu/devices/EcmLayout.h"

#include <optional>

#include "emu/usb/DescriptorParser.h"

namespace emu::devices {
namespace {

constexpr UCHAR kClassSpecificInterface = 0x24;
constexpr UCHAR kEthernetNetworking = 0x0F;
constexpr UCHAR kEthernetNetworkingFields = 10;  // up to wMaxSegmentSize
constexpr UCHAR kBulk = 2;
constexpr UCHAR kInterrupt = 3;
constexpr UCHAR kUnion = 0x06;
constexpr UCHAR kUnionFields = 5;  // up to bSubordinateInterface0

// The subordinate interface of the Union descriptor among the communication interface's own
// descriptors (those before the next interface descriptor), if it has one.
std::optional<UCHAR> UnionSubordinate(const usb::ParsedConfiguration& parsed, size_t communicationOffset) {
  for (const usb::DescriptorRef& d : parsed.descriptors) {
    if (d.offset <= communicationOffset) continue;
    if (d.type == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d.type == kClassSpecificInterface && d.length >= kUnionFields && d.bytes[2] == kUnion) return d.bytes[4];
  }
  return std::nullopt;
}

}  // namespace

EcmLayout FindEcmLayout(const Bytes& configuration) {
  EcmLayout layout;
  usb::ParsedConfiguration parsed = usb::ParseConfiguration(configuration.data(), configuration.size());
  std::optional<UCHAR> subordinate;
  for (const usb::InterfaceRef& interface : parsed.interfaces) {
    const usb::DescriptorRef& d = interface.descriptor;
    if (d.length < usb::kInterfaceDescriptorLength) continue;
    if (!layout.found && d.bytes[5] == 0x02 && d.bytes[6] == 0x06) {
      layout.found = true;
      layout.communicationInterface = d.bytes[2];
      subordinate = UnionSubordinate(parsed, d.offset);
      if (const usb::DescriptorRef* notify = usb::FirstEndpoint(interface, kInterrupt, true)) {
        layout.notificationEndpoint = notify->bytes[2];
        layout.notificationPacketSize = static_cast<USHORT>(notify->bytes[4] | notify->bytes[5] << 8);
      }
    }
  }
  // The Union's data interface when it names one that serves, else the first that serves.
  for (bool unionOnly : {true, false}) {
    for (const usb::InterfaceRef& interface : parsed.interfaces) {
      const usb::DescriptorRef& d = interface.descriptor;
      if (layout.dataInEndpoint || d.length < usb::kInterfaceDescriptorLength) continue;
      if (d.bytes[5] != 0x0A || d.bytes[3] != 1 || (unionOnly && d.bytes[2] != subordinate)) continue;
      const usb::DescriptorRef* in = usb::FirstEndpoint(interface, kBulk, true);
      const usb::DescriptorRef* out = usb::FirstEndpoint(interface, kBulk, false);
      if (in && out) {
        layout.dataInterface = d.bytes[2];
        layout.dataInEndpoint = in->bytes[2];
        layout.dataOutEndpoint = out->bytes[2];
      }
    }
  }
  for (const usb::DescriptorRef& d : parsed.descriptors)
    if (d.type == kClassSpecificInterface && d.length >= kEthernetNetworkingFields &&
        d.bytes[2] == kEthernetNetworking) {
      layout.macStringIndex = d.bytes[3];
      layout.maximumSegment = d.bytes[8] | d.bytes[9] << 8;
      break;
    }
  return layout;
}

std::optional<MacAddress> ParseMacString(const Bytes& stringDescriptor) {
  constexpr size_t kCharacters = 12;
  if (stringDescriptor.size() < 2 + 2 * kCharacters) return std::nullopt;
  MacAddress address{};
  for (size_t i = 0; i < kCharacters; ++i) {
    UCHAR low = stringDescriptor[2 + 2 * i];
    if (stringDescriptor[3 + 2 * i] != 0) return std::nullopt;
    int digit = low >= '0' && low <= '9'   ? low - '0'
                : low >= 'a' && low <= 'f' ? low - 'a' + 10
                : low >= 'A' && low <= 'F' ? low - 'A' + 10
                                           : -1;
    if (digit < 0) return std::nullopt;
    address[i / 2] = static_cast<UCHAR>(address[i / 2] << 4 | digit);
  }
  return address;
}

}  // namespace emu::devices
