// The ECM packet filter as the device model applies it to frames it delivers to the host.
// The host never sends a multicast list (the device announces no multicast filters), so
// "multicast" passes every group address, as a device without multicast filters must.
#pragma once

#include <platform.h>

#include <optional>

#include "emu/devices/DeviceProfile.h"
#include "emu/devices/EcmLayout.h"

namespace emu::devices {

constexpr USHORT kFilterPromiscuous = 0x01;
constexpr USHORT kFilterAllMulticast = 0x02;
constexpr USHORT kFilterDirected = 0x04;
constexpr USHORT kFilterBroadcast = 0x08;
constexpr USHORT kFilterMulticast = 0x10;
// Until the host sets a filter the device passes everything it would pass promiscuously.
constexpr USHORT kDefaultPacketFilter = kFilterPromiscuous | kFilterAllMulticast | kFilterDirected | kFilterBroadcast;

// Whether a frame from the wire reaches the host. Directed frames pass only when the host's
// station address is known and is their destination.
bool PacketFilterPasses(USHORT filter, const Bytes& frame, const std::optional<MacAddress>& station);

}  // namespace emu::devices
