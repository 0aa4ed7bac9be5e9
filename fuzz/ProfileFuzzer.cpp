// One input is the text of a device profile, as a user hands it to `ecmemu --profile`. A
// finding: a sanitizer report; a profile accepted whose descriptors break the rules the
// parser promises (an 18-byte device descriptor, configurations as long as their
// wTotalLength, strings as long as their bLength, each of its type), or that does not read
// back the same from the text it prints as; a refusal without "line N: reason"; or, for an
// accepted profile, anything the verifier or leak check finds while the driver is brought up
// on the device it describes and halted, as `ecmemu run` does.
#include <cstdio>
#include <string>

#include "DriverBench.h"
#include "emu/devices/DeviceProfile.h"

namespace {

using emu::devices::Bytes;
using emu::devices::DeviceProfile;

std::string Line(const std::string& head, const Bytes& bytes) {
  std::string line = head + ":";
  char hex[4];
  for (UCHAR byte : bytes) {
    std::snprintf(hex, sizeof hex, " %02x", byte);
    line += hex;
  }
  return line + "\n";
}

std::string Text(const DeviceProfile& profile) {
  std::string text = Line("device", profile.device);
  for (const auto& [index, bytes] : profile.configurations) text += Line("config " + std::to_string(index), bytes);
  for (const auto& [index, bytes] : profile.strings) text += Line("string " + std::to_string(index), bytes);
  return text;
}

void CheckAccepted(const DeviceProfile& profile) {
  const Bytes& device = profile.device;
  if (device.size() != 18 || device[0] != 18 || device[1] != USB_DEVICE_DESCRIPTOR_TYPE)
    Finding("an accepted device descriptor is malformed");
  if (profile.configurations.empty()) Finding("a profile without configurations was accepted");
  for (const auto& [index, bytes] : profile.configurations)
    if (bytes.size() < 4 || bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE || bytes.size() != size_t(bytes[2] | bytes[3] << 8))
      Finding("an accepted configuration disagrees with its wTotalLength or type");
  for (const auto& [index, bytes] : profile.strings)
    if (bytes.size() < 2 || bytes[0] != bytes.size() || bytes[1] != USB_STRING_DESCRIPTOR_TYPE)
      Finding("an accepted string disagrees with its bLength or type");
  emu::devices::ProfileLoad again = emu::devices::ParseProfile(Text(profile));
  if (!again.ok || again.profile.device != device || again.profile.configurations != profile.configurations ||
      again.profile.strings != profile.strings)
    Finding("the profile does not read back the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  emu::devices::ProfileLoad load = emu::devices::ParseProfile(std::string(reinterpret_cast<const char*>(data), size));
  if (!load.ok) {
    if (load.error.rfind("line ", 0) != 0 || load.error.find(": ") == std::string::npos)
      Finding("a refusal does not say its line and reason");
    return 0;
  }
  CheckAccepted(load.profile);
  emu::devices::CheckProfile(load.profile);
  DriverBench bench(load.profile);
  bench.Initialize();
  bench.Finish();
  return 0;
}
