// The simulated CDC ECM function, control side: it answers its descriptors from a profile,
// takes SET_CONFIGURATION and SET_INTERFACE for what its descriptors hold, and records the
// Ethernet packet filter. Everything else on the control pipe is stalled. The bus calls it
// under its own lock.
#pragma once

#include <map>
#include <optional>

#include "emu/devices/DeviceProfile.h"
#include "emu/usb/UsbFunction.h"

namespace emu::devices {

constexpr UCHAR kSetEthernetPacketFilter = 0x43;

class EcmFunction : public usb::UsbFunction {
 public:
  explicit EcmFunction(DeviceProfile profile = DefaultEcmProfile());

  std::optional<std::vector<UCHAR>> Descriptor(UCHAR type, UCHAR index, USHORT languageId) override;
  bool SetConfiguration(UCHAR value) override;
  bool SetInterface(UCHAR number, UCHAR alternate) override;
  usb::ControlAnswer ClassOrVendorRequest(const usb::SetupPacket& setup, UCHAR* data) override;

  const DeviceProfile& profile() const { return profile_; }
  UCHAR configurationValue() const { return configurationValue_; }
  // The selected alternate setting of an interface; none while unconfigured.
  std::optional<UCHAR> alternateSetting(UCHAR interfaceNumber) const;
  std::optional<USHORT> packetFilter() const { return packetFilter_; }

 private:
  const Bytes* ActiveConfiguration() const;
  const Bytes* FindConfiguration(UCHAR value) const;  // by bConfigurationValue
  bool LanguageOffered(USHORT languageId) const;

  DeviceProfile profile_;
  UCHAR configurationValue_ = 0;
  std::map<UCHAR, UCHAR> alternates_;  // by interface number, while configured
  std::optional<USHORT> packetFilter_;
};

}  // namespace emu::devices
