#include "emu/devices/EcmPacketFilter.h"

#include <algorithm>

namespace emu::devices {

bool PacketFilterPasses(USHORT filter, const Bytes& frame, const std::optional<MacAddress>& station) {
  if (filter & kFilterPromiscuous) return true;
  if (frame.size() < 6) return false;  // no destination to judge by
  const UCHAR* destination = frame.data();
  bool broadcast = std::all_of(destination, destination + 6, [](UCHAR b) { return b == 0xFF; });
  if (broadcast) return (filter & kFilterBroadcast) != 0;
  if (destination[0] & 1) return (filter & (kFilterMulticast | kFilterAllMulticast)) != 0;
  return (filter & kFilterDirected) && station && std::equal(station->begin(), station->end(), destination);
}

}  // namespace emu::devices
