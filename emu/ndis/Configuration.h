// An open configuration handle: what NdisReadConfiguration and NdisReadNetworkAddress gave
// the driver stays valid until NdisCloseConfiguration, as on the platform.
#pragma once

#include <platform.h>

#include <deque>
#include <string>
#include <vector>

namespace emu::ndis {

class Miniport;

struct ConfigurationHandle {
  Miniport* miniport;
  std::deque<NDIS_CONFIGURATION_PARAMETER> parameters;  // deques: addresses stay put
  std::deque<std::u16string> strings;
  std::deque<std::vector<UCHAR>> addresses;
};

}  // namespace emu::ndis
