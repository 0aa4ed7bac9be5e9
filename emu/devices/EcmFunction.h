// The simulated CDC ECM function. Control side: it answers its descriptors from a profile,
// takes SET_CONFIGURATION and SET_INTERFACE for what its descriptors hold, and records the
// Ethernet packet filter; everything else on the control pipe is stalled. Data side: every
// IN endpoint of the profile has a FrameSource a test (or a wire) feeds, every OUT endpoint a
// FrameRecorder that packetises as the hardware does. The bus calls it under its own lock.
#pragma once

#include <map>
#include <memory>
#include <optional>

#include "emu/devices/DeviceProfile.h"
#include "emu/devices/EcmEndpoints.h"
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
  std::optional<usb::TransferResult> ServeTransfer(const usb::TransferRequest& request) override;

  // The endpoints by bEndpointAddress (any configuration of the profile); they stay for the
  // device's life, so a test may feed them before the driver selects anything.
  FrameSource& In(UCHAR endpointAddress);
  FrameRecorder& Out(UCHAR endpointAddress);
  // The first endpoint of the kind in configuration index 0: the ECM data and notification
  // endpoints of a usual device.
  FrameSource& BulkIn();
  FrameRecorder& BulkOut();
  FrameSource& InterruptIn();

  const DeviceProfile& profile() const { return profile_; }
  UCHAR configurationValue() const { return configurationValue_; }
  // The selected alternate setting of an interface; none while unconfigured.
  std::optional<UCHAR> alternateSetting(UCHAR interfaceNumber) const;
  std::optional<USHORT> packetFilter() const { return packetFilter_; }

 private:
  void CreateEndpoints();
  UCHAR FirstEndpoint(UCHAR attributes, bool in) const;
  const Bytes* ActiveConfiguration() const;
  const Bytes* FindConfiguration(UCHAR value) const;  // by bConfigurationValue
  bool LanguageOffered(USHORT languageId) const;

  DeviceProfile profile_;
  UCHAR configurationValue_ = 0;
  std::map<UCHAR, UCHAR> alternates_;  // by interface number, while configured
  std::optional<USHORT> packetFilter_;
  std::map<UCHAR, std::unique_ptr<FrameSource>> sources_;      // fixed after construction
  std::map<UCHAR, std::unique_ptr<FrameRecorder>> recorders_;  // likewise
};

}  // namespace emu::devices
