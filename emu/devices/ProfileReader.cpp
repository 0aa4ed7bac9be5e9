#include "emu/devices/ProfileReader.h"

#include <cstdio>
#include <set>

#include "emu/usb/DescriptorParser.h"

namespace emu::devices {
namespace {

constexpr UCHAR kDeviceType = 1, kConfigurationType = 2, kStringType = 3, kInterfaceType = 4;
constexpr UCHAR kClassSpecificInterface = 0x24, kEthernetNetworking = 0x0F;
constexpr size_t kDeviceLength = 18;
constexpr USHORT kLanguageFallback = 0x0409;

std::string HexLine(const Bytes& bytes) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
    text += byte;
  }
  return text;
}

// The string indexes the descriptors name: the device's three, each configuration's and
// interface's, and the MAC address string of an Ethernet Networking descriptor.
std::set<UCHAR> NamedStrings(const DeviceProfile& profile) {
  std::set<UCHAR> named{profile.device[14], profile.device[15], profile.device[16]};
  for (const auto& [index, bytes] : profile.configurations) {
    usb::ParsedConfiguration parsed = usb::ParseConfiguration(bytes.data(), bytes.size());
    for (const usb::DescriptorRef& d : parsed.descriptors) {
      if (d.type == kConfigurationType && d.length >= 7) named.insert(d.bytes[6]);
      if (d.type == kInterfaceType && d.length >= 9) named.insert(d.bytes[8]);
      if (d.type == kClassSpecificInterface && d.length >= 4 && d.bytes[2] == kEthernetNetworking)
        named.insert(d.bytes[3]);
    }
  }
  named.erase(0);
  return named;
}

}  // namespace

bool ReadProfile(usb::UsbFunction& device, DeviceProfile* profile, std::string* error) {
  std::optional<Bytes> descriptor = device.Descriptor(kDeviceType, 0, 0);
  if (!descriptor || descriptor->size() < kDeviceLength) {
    *error = "the device did not give its 18-byte device descriptor";
    return false;
  }
  profile->device.assign(descriptor->begin(), descriptor->begin() + kDeviceLength);
  UCHAR configurations = profile->device[17];
  for (UCHAR index = 0; index < configurations; ++index) {
    std::optional<Bytes> configuration = device.Descriptor(kConfigurationType, index, 0);
    if (!configuration || configuration->size() < 4) {
      *error = "the device did not give its configuration descriptor " + std::to_string(index);
      return false;
    }
    size_t total = static_cast<size_t>((*configuration)[2] | (*configuration)[3] << 8);
    if (configuration->size() > total) configuration->resize(total);
    profile->configurations[index] = *configuration;
  }
  // Strings are optional: a device without a language list has none to give.
  std::optional<Bytes> languages = device.Descriptor(kStringType, 0, 0);
  if (!languages || languages->size() < 2) return true;
  profile->strings[0] = *languages;
  USHORT language = languages->size() >= 4 ? static_cast<USHORT>((*languages)[2] | (*languages)[3] << 8)
                                           : kLanguageFallback;
  for (UCHAR index : NamedStrings(*profile))
    if (std::optional<Bytes> string = device.Descriptor(kStringType, index, language); string && string->size() >= 2)
      profile->strings[index] = *string;
  return true;
}

std::string FormatProfile(const DeviceProfile& profile, const std::string& heading) {
  std::string text = "# " + heading + "\n";
  text += "device: " + HexLine(profile.device) + "\n";
  for (const auto& [index, bytes] : profile.configurations)
    text += "config " + std::to_string(index) + ": " + HexLine(bytes) + "\n";
  for (const auto& [index, bytes] : profile.strings)
    text += "string " + std::to_string(index) + ": " + HexLine(bytes) + "\n";
  return text;
}

}  // namespace emu::devices
