// A device profile: the raw descriptors of a USB device, as a user writes them from
// `lsusb -v`. The text form has one descriptor per line:
//   device: 12 01 00 02 ...        the 18-byte device descriptor
//   config N: 09 02 50 00 ...      all wTotalLength bytes of configuration index N
//   string N: 04 03 09 04          string descriptor N, bLength and type first
// with '#' starting a comment. A malformed file is refused with "line N: reason"; descriptors
// that are legal, however odd, are kept, and CheckProfile describes what looks wrong.
#pragma once

#include <platform.h>

#include <map>
#include <string>
#include <vector>

namespace emu::devices {

using Bytes = std::vector<UCHAR>;

struct DeviceProfile {
  Bytes device;
  std::map<UCHAR, Bytes> configurations;  // by configuration index
  std::map<UCHAR, Bytes> strings;         // by string index; 0 holds the language IDs
};

struct ProfileLoad {
  bool ok = false;
  DeviceProfile profile;
  std::string error;  // "line N: reason" when refused
};

ProfileLoad ParseProfile(const std::string& text);
ProfileLoad LoadProfileFile(const std::string& path);

// The built-in device: a high-speed CDC ECM function.
DeviceProfile DefaultEcmProfile();

// What a user would want to know about the descriptors: broken descriptor chains, counts
// that disagree, a missing ECM function or MAC string. Empty when nothing looks wrong.
std::vector<std::string> CheckProfile(const DeviceProfile& profile);

}  // namespace emu::devices
