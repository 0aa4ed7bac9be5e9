// The emulator's own bounded reading of a configuration descriptor (not the driver's): the
// bus uses it to open pipes, the device model to answer SET_INTERFACE, the profile checker
// to describe a user's descriptors.
#pragma once

#include <platform.h>

#include <string>
#include <vector>

namespace emu::usb {

struct DescriptorRef {
  size_t offset;  // from the start of the configuration descriptor
  const UCHAR* bytes;
  UCHAR length;  // bLength
  UCHAR type;
};

struct InterfaceRef {
  DescriptorRef descriptor;
  std::vector<DescriptorRef> endpoints;  // endpoint descriptors before the next interface
};

struct ParsedConfiguration {
  std::vector<DescriptorRef> descriptors;  // in order, up to the first broken one
  std::vector<InterfaceRef> interfaces;
  std::string broken;  // why the walk stopped early; empty when it reached the end
};

// Walks 'length' bytes; never reads past them or past a descriptor's bLength.
ParsedConfiguration ParseConfiguration(const UCHAR* bytes, size_t length);

// The interface descriptor with the number and alternate setting, or null.
const InterfaceRef* FindInterface(const ParsedConfiguration& parsed, UCHAR number, UCHAR alternate);

// The interface's first whole endpoint descriptor of the transfer type (bmAttributes bits
// 0-1) and direction, or null.
const DescriptorRef* FirstEndpoint(const InterfaceRef& interface, UCHAR type, bool in);

constexpr UCHAR kInterfaceDescriptorLength = 9;
constexpr UCHAR kEndpointDescriptorLength = 7;

}  // namespace emu::usb
