// The simulated CDC ECM function. Control side: it answers its descriptors from a profile,
// takes SET_CONFIGURATION and SET_INTERFACE for what its descriptors hold, and records the
// Ethernet packet filter (or refuses it, as an optional request may be); everything else on
// the control pipe is stalled. Data side: every IN endpoint of the profile has a FrameSource
// a test (or a wire) feeds, every OUT endpoint a FrameRecorder that packetises as the hardware
// does. Link side: it reports its link and speed on the interrupt endpoint when the host
// selects alternate setting 1 of the data interface, and on every change while it runs.
//
// The bus calls it under its own lock; the test-facing operations may be called from any
// thread without it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "emu/devices/DeviceProfile.h"
#include "emu/devices/EcmEndpoints.h"
#include "emu/devices/EcmLayout.h"
#include "emu/kernel/InternalLock.h"
#include "emu/usb/UsbFunction.h"

namespace emu::devices {

constexpr UCHAR kSetEthernetPacketFilter = 0x43;
constexpr ULONG kDefaultBitRate = 100000000;  // 100 Mbit/s each way until a test says otherwise

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
  // The first endpoint of the kind in configuration index 0.
  FrameSource& BulkIn();
  FrameRecorder& BulkOut();
  FrameSource& InterruptIn();
  // The ECM function's own endpoints: those of the selected configuration, or before any
  // selection those of the first configuration that holds the function.
  FrameSource& DataIn();
  FrameRecorder& DataOut();
  FrameSource& NotificationIn();
  EcmLayout Layout() const;  // of the configuration selected now
  // Off: the OUT endpoints keep no frames (Frames() stays as it is); the wire hears them all
  // the same. For runs too long to keep every frame the host sent.
  void RecordHostFrames(bool record);

  // Link. Each change is notified at once while the data interface runs (NETWORK_CONNECTION,
  // CONNECTION_SPEED_CHANGE); a notification longer than the interrupt endpoint's packets
  // goes in several transfers, one packet each. Frames pass the wire only while the link is up.
  void SetLink(bool connected);
  void SetSpeed(ULONG downlinkBitRate, ULONG uplinkBitRate);
  void SetNotifications(bool enabled);  // false: the interrupt endpoint stays silent

  // Packet filter.
  void RefusePacketFilter(bool refuse);              // stall SET_ETHERNET_PACKET_FILTER
  void IgnoreControlRequests(bool ignore);           // NAK the filter request for ever
  std::optional<USHORT> packetFilter() const;        // the last one accepted
  std::vector<USHORT> packetFilterRequests() const;  // every one received, refused ones too

  // The host's station address, which "directed" frames must carry: the one a test sets, else
  // the device's own MAC string when it holds a station address, else the source address of
  // the last frame the host sent.
  void SetHostAddress(const MacAddress& address);
  std::optional<MacAddress> hostAddress() const;

  // The wire behind the device. Frames the host sends are always recorded on the data OUT
  // endpoint; a connected wire hears each (on the bus's thread, under its lock: it may call
  // DeliverFromWire, nothing else of the bus); an echo sends each back with destination and
  // source swapped (group destinations unchanged).
  void ConnectWire(std::function<void(const Bytes&)> wire);
  void EchoWire();
  void DisconnectWire();
  // A frame arriving from the wire: queued for the host when the data interface runs, the link
  // is up and the packet filter passes it. False (and counted) otherwise.
  bool DeliverFromWire(Bytes frame);
  size_t wireFramesDropped() const;

  const DeviceProfile& profile() const { return profile_; }
  UCHAR configurationValue() const { return configurationValue_; }
  // The selected alternate setting of an interface; none while unconfigured.
  std::optional<UCHAR> alternateSetting(UCHAR interfaceNumber) const;

 private:
  enum class WireMode { Recorded, Connected, Echo };

  void CreateEndpoints();
  // The endpoints take the limits the selected configuration gives them: the same address
  // may take other sizes in another configuration.
  void ApplyLimitsOf(const Bytes& configuration);
  UCHAR FirstEndpoint(UCHAR attributes, bool in) const;
  const Bytes* ActiveConfiguration() const;
  const Bytes* FindConfiguration(UCHAR value) const;   // by bConfigurationValue
  EcmLayout LayoutOf(UCHAR configurationValue) const;  // 0: before any selection
  void SetLayoutLocked(const EcmLayout& layout);
  // The station address in the layout's MAC string, if it holds one.
  std::optional<MacAddress> OwnAddress(const EcmLayout& layout) const;
  std::optional<MacAddress> HostAddressLocked() const;
  bool LanguageOffered(USHORT languageId) const;
  // Queues a notification on the layout's interrupt endpoint, one packet per transfer.
  void Notify(const EcmLayout& layout, const Bytes& notification);
  void NotifyLink(const EcmLayout& layout, bool connected);
  void NotifySpeed(const EcmLayout& layout, ULONG downlink, ULONG uplink);
  void OnFrameFromHost(UCHAR endpoint, const ReceivedFrame& frame);

  DeviceProfile profile_;
  // Under the bus lock.
  UCHAR configurationValue_ = 0;
  std::map<UCHAR, UCHAR> alternates_;                          // by interface number, while configured
  std::map<UCHAR, std::unique_ptr<FrameSource>> sources_;      // fixed after construction
  std::map<UCHAR, std::unique_ptr<FrameRecorder>> recorders_;  // likewise

  // stateMutex_ guards the fields below. Taken after the bus lock, before an endpoint's lock;
  // never held while queueing onto an endpoint (which may take the bus lock).
  mutable emu::InternalMutex stateMutex_;
  EcmLayout layout_;          // of the selected configuration
  std::optional<MacAddress> ownAddress_;  // OwnAddress(layout_): read once, not per frame
  bool dataRunning_ = false;  // the data interface is at alternate setting 1
  bool linkUp_ = true;
  ULONG downlinkBitRate_ = kDefaultBitRate;
  ULONG uplinkBitRate_ = kDefaultBitRate;
  bool notifications_ = true;
  bool refuseFilter_ = false;
  bool ignoreControl_ = false;
  std::optional<USHORT> packetFilter_;
  std::vector<USHORT> filterRequests_;
  std::optional<MacAddress> setHostAddress_;
  std::optional<MacAddress> learnedHostAddress_;
  WireMode wireMode_ = WireMode::Recorded;
  std::function<void(const Bytes&)> wire_;
  size_t wireDropped_ = 0;
};

}  // namespace emu::devices
