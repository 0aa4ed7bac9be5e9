#include "emu/usb/DescriptorParser.h"

namespace emu::usb {

ParsedConfiguration ParseConfiguration(const UCHAR* bytes, size_t length) {
  ParsedConfiguration parsed;
  size_t offset = 0;
  while (offset < length) {
    size_t left = length - offset;
    if (left < 2) {
      parsed.broken = "a single byte is left at offset " + std::to_string(offset);
      break;
    }
    UCHAR bLength = bytes[offset];
    if (bLength < 2 || bLength > left) {
      parsed.broken = "the descriptor at offset " + std::to_string(offset) + " has bLength " +
                      std::to_string(bLength) + " with " + std::to_string(left) + " bytes left";
      break;
    }
    DescriptorRef ref{offset, bytes + offset, bLength, bytes[offset + 1]};
    parsed.descriptors.push_back(ref);
    // A short interface descriptor is listed too: it still ends the endpoints of the one
    // before it, though FindInterface never returns it.
    if (ref.type == USB_INTERFACE_DESCRIPTOR_TYPE)
      parsed.interfaces.push_back(InterfaceRef{ref, {}});
    else if (ref.type == USB_ENDPOINT_DESCRIPTOR_TYPE && !parsed.interfaces.empty())
      parsed.interfaces.back().endpoints.push_back(ref);
    offset += bLength;
  }
  return parsed;
}

const InterfaceRef* FindInterface(const ParsedConfiguration& parsed, UCHAR number, UCHAR alternate) {
  for (const InterfaceRef& candidate : parsed.interfaces) {
    const DescriptorRef& d = candidate.descriptor;
    if (d.length >= kInterfaceDescriptorLength && d.bytes[2] == number && d.bytes[3] == alternate)
      return &candidate;
  }
  return nullptr;
}

const DescriptorRef* FirstEndpoint(const InterfaceRef& interface, UCHAR type, bool in) {
  for (const DescriptorRef& endpoint : interface.endpoints)
    if (endpoint.length >= kEndpointDescriptorLength && (endpoint.bytes[3] & 3) == type &&
        ((endpoint.bytes[2] & 0x80) != 0) == in)
      return &endpoint;
  return nullptr;
}

}  // namespace emu::usb
