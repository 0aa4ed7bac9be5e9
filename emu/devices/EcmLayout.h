// Where the ECM function lies in one configuration of a device: its communication and data
// interfaces, their endpoints, its Ethernet Networking descriptor's fields. The device model
// reads it from the descriptors it answers, as the device's firmware knows it.
#pragma once

#include <platform.h>

#include <array>
#include <optional>

#include "emu/devices/DeviceProfile.h"

namespace emu::devices {

using MacAddress = std::array<UCHAR, 6>;

struct EcmLayout {
  bool found = false;  // a communication interface of the ECM subclass
  UCHAR communicationInterface = 0;
  UCHAR dataInterface = 0;         // the Union's data interface, else the first with bulk IN and OUT at alternate 1
  UCHAR notificationEndpoint = 0;  // 0: the communication interface has no interrupt IN
  USHORT notificationPacketSize = 0;
  UCHAR dataInEndpoint = 0;  // 0 when there is no such data interface
  UCHAR dataOutEndpoint = 0;
  size_t maximumSegment = 1514;  // wMaxSegmentSize, or the Ethernet maximum without one
  UCHAR macStringIndex = 0;      // iMACAddress
};

EcmLayout FindEcmLayout(const Bytes& configuration);

// The twelve hexadecimal characters of a MAC string descriptor, as an address; none when the
// string is not that.
std::optional<MacAddress> ParseMacString(const Bytes& stringDescriptor);

}  // namespace emu::devices
