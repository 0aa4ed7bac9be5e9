// The built-in device, written as a profile so it passes the same loader as a user's.
#include <cstdio>
#include <cstdlib>

#include "emu/devices/DeviceProfile.h"

namespace emu::devices {
namespace {

// One descriptor a line; the configuration's line is split into C++ literals that join.
const char kDefaultProfile[] =
    "# High-speed CDC ECM: communication interface 0 (02/06/00) with header, union and Ethernet\n"
    "# Networking functional descriptors (MAC string 3, wMaxSegmentSize 1514) and a 16-byte\n"
    "# interrupt IN endpoint; data interface 1 (0A) with an empty alternate setting 0 and bulk\n"
    "# IN and OUT of 512 bytes in alternate setting 1.\n"
    "device: 12 01 00 02 02 00 00 40 09 12 01 00 00 01 01 02 00 01\n"
    "config 0: 09 02 50 00 02 01 00 c0 32"
    "  09 04 00 00 01 02 06 00 00  05 24 00 10 01  05 24 06 00 01"
    "  0d 24 0f 03 00 00 00 00 ea 05 00 00 00  07 05 81 03 10 00 08"
    "  09 04 01 00 00 0a 00 00 00"
    "  09 04 01 01 02 0a 00 00 00  07 05 82 02 00 02 00  07 05 02 02 00 02 00\n"
    "string 0: 04 03 09 04\n"
    "string 1: 0e 03 65 00 63 00 6d 00 65 00 6d 00 75 00\n"
    "string 2: 1a 03 45 00 6d 00 75 00 6c 00 61 00 74 00 65 00 64 00 20 00 45 00 43 00 4d 00\n"
    "string 3: 1a 03 30 00 32 00 45 00 43 00 30 00 44 00 45 00 30 00 30 00 30 00 30 00 31 00\n";

}  // namespace

DeviceProfile DefaultEcmProfile() {
  ProfileLoad load = ParseProfile(kDefaultProfile);
  if (!load.ok) {
    std::fprintf(stderr, "built-in device profile: %s\n", load.error.c_str());
    std::abort();
  }
  return load.profile;
}

}  // namespace emu::devices
