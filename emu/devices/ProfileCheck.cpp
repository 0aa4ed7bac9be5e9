// Notes on a profile's descriptors for the person who wrote it. Nothing here refuses a
// profile: odd but legal devices are what the driver must be tried against.
#include <set>

#include "emu/devices/DeviceProfile.h"
#include "emu/devices/EcmLayout.h"
#include "emu/usb/DescriptorParser.h"

namespace emu::devices {
namespace {

using usb::DescriptorRef;
using usb::InterfaceRef;
using usb::ParsedConfiguration;

// Twelve hexadecimal characters and nothing more.
bool IsMacText(const Bytes& string) { return string.size() == 2 + 2 * 12 && ParseMacString(string); }

void CheckInterfaces(const std::string& where, const Bytes& bytes, const ParsedConfiguration& parsed,
                     std::vector<std::string>& notes) {
  std::set<UCHAR> alternateZero;
  for (const InterfaceRef& interface : parsed.interfaces) {
    const DescriptorRef& d = interface.descriptor;
    if (d.length < usb::kInterfaceDescriptorLength) {
      notes.push_back(where + "interface descriptor at offset " + std::to_string(d.offset) + " has bLength " +
                      std::to_string(d.length) + ", 9 expected");
      continue;
    }
    if (d.bytes[3] == 0) alternateZero.insert(d.bytes[2]);
    if (interface.endpoints.size() != d.bytes[4])
      notes.push_back(where + "interface " + std::to_string(d.bytes[2]) + " alternate " + std::to_string(d.bytes[3]) +
                      " claims " + std::to_string(d.bytes[4]) + " endpoints and is followed by " +
                      std::to_string(interface.endpoints.size()));
    for (const DescriptorRef& e : interface.endpoints)
      if (e.length < usb::kEndpointDescriptorLength)
        notes.push_back(where + "endpoint descriptor at offset " + std::to_string(e.offset) + " has bLength " +
                        std::to_string(e.length) + ", 7 expected");
  }
  if (bytes.size() > 4 && alternateZero.size() != bytes[4])
    notes.push_back(where + "bNumInterfaces is " + std::to_string(bytes[4]) + " but " +
                    std::to_string(alternateZero.size()) + " interfaces have an alternate setting 0");
}

void CheckEcm(const std::string& where, const DeviceProfile& profile, const ParsedConfiguration& parsed,
              std::vector<std::string>& notes) {
  const InterfaceRef* first = parsed.interfaces.empty() ? nullptr : &parsed.interfaces.front();
  if (!first || first->descriptor.length < usb::kInterfaceDescriptorLength || first->descriptor.bytes[5] != 0x02 ||
      first->descriptor.bytes[6] != 0x06 || first->descriptor.bytes[7] != 0x00)
    notes.push_back(where + "the first interface is not a CDC ECM communication interface (02/06/00)");
  const DescriptorRef* ethernet = nullptr;
  for (const DescriptorRef& d : parsed.descriptors)
    if (!ethernet && d.type == 0x24 && d.length >= 3 && d.bytes[2] == 0x0F) ethernet = &d;
  if (!ethernet) {
    notes.push_back(where + "no Ethernet Networking functional descriptor (24 0F)");
  } else if (ethernet->length < 13) {
    notes.push_back(where + "the Ethernet Networking functional descriptor has bLength " +
                    std::to_string(ethernet->length) + ", 13 expected");
  } else if (ethernet->bytes[3] != 0) {
    auto mac = profile.strings.find(ethernet->bytes[3]);
    if (mac == profile.strings.end() || !IsMacText(mac->second))
      notes.push_back(where + "MAC address string " + std::to_string(ethernet->bytes[3]) +
                      " is missing or not 12 hexadecimal characters");
  }
  bool interruptIn = false, bulkIn = false, bulkOut = false;
  for (const InterfaceRef& interface : parsed.interfaces)
    for (const DescriptorRef& e : interface.endpoints) {
      if (e.length < usb::kEndpointDescriptorLength) continue;
      interruptIn |= (e.bytes[3] & 3) == 3 && (e.bytes[2] & 0x80);
      bool dataAlternateOne = interface.descriptor.length >= usb::kInterfaceDescriptorLength &&
                              interface.descriptor.bytes[5] == 0x0A && interface.descriptor.bytes[3] == 1;
      bulkIn |= dataAlternateOne && (e.bytes[3] & 3) == 2 && (e.bytes[2] & 0x80);
      bulkOut |= dataAlternateOne && (e.bytes[3] & 3) == 2 && !(e.bytes[2] & 0x80);
    }
  if (!interruptIn) notes.push_back(where + "no interrupt IN endpoint");
  if (!bulkIn || !bulkOut)
    notes.push_back(where + "no data interface (0A) whose alternate setting 1 has bulk IN and bulk OUT");
}

}  // namespace

std::vector<std::string> CheckProfile(const DeviceProfile& profile) {
  std::vector<std::string> notes;
  if (profile.device.size() >= 18) {
    if (profile.device[17] != profile.configurations.size())
      notes.push_back("device: bNumConfigurations is " + std::to_string(profile.device[17]) + " but the profile has " +
                      std::to_string(profile.configurations.size()));
    for (int field = 14; field <= 16; ++field)
      if (profile.device[field] && !profile.strings.count(profile.device[field]))
        notes.push_back("device: string " + std::to_string(profile.device[field]) + " is named but missing");
  }
  if (!profile.strings.empty() && !profile.strings.count(0))
    notes.push_back("strings without string 0 (the language list)");
  for (const auto& [index, bytes] : profile.configurations) {
    std::string where = "config " + std::to_string(index) + ": ";
    ParsedConfiguration parsed = usb::ParseConfiguration(bytes.data(), bytes.size());
    if (!parsed.broken.empty()) notes.push_back(where + parsed.broken + "; what follows is never seen");
    CheckInterfaces(where, bytes, parsed, notes);
    CheckEcm(where, profile, parsed, notes);
  }
  return notes;
}

}  // namespace emu::devices
