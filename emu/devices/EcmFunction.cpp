#include "emu/devices/EcmFunction.h"

#include <cstdio>
#include <cstdlib>

#include "emu/usb/DescriptorParser.h"

namespace emu::devices {
namespace {

constexpr size_t kConfigurationValueOffset = 5;
constexpr UCHAR kClassInterfaceOut = 0x21;
constexpr UCHAR kEndpointIn = 0x80;
constexpr UCHAR kBulk = 2;
constexpr UCHAR kInterrupt = 3;

// The bEndpointAddress of every endpoint the configuration describes.
std::vector<UCHAR> EndpointAddresses(const Bytes& configuration) {
  std::vector<UCHAR> addresses;
  usb::ParsedConfiguration parsed = usb::ParseConfiguration(configuration.data(), configuration.size());
  for (const usb::InterfaceRef& interface : parsed.interfaces)
    for (const usb::DescriptorRef& endpoint : interface.endpoints)
      if (endpoint.length >= usb::kEndpointDescriptorLength) addresses.push_back(endpoint.bytes[2]);
  return addresses;
}

}  // namespace

EcmFunction::EcmFunction(DeviceProfile profile) : profile_(std::move(profile)) {
  CreateEndpoints();
  SetLayoutLocked(LayoutOf(0));
}

void EcmFunction::CreateEndpoints() {
  for (const auto& [index, bytes] : profile_.configurations) {
    size_t maximumSegment = FindEcmLayout(bytes).maximumSegment;
    for (UCHAR address : EndpointAddresses(bytes)) {
      if (address & kEndpointIn) {
        if (!sources_.count(address)) sources_[address] = std::make_unique<FrameSource>([this] { Wake(); });
      } else if (!recorders_.count(address)) {
        recorders_[address] = std::make_unique<FrameRecorder>(maximumSegment);
        recorders_[address]->SetFrameHandler(
            [this, address](const ReceivedFrame& frame) { OnFrameFromHost(address, frame); });
      }
    }
  }
}

void EcmFunction::ApplyLimitsOf(const Bytes& configuration) {
  size_t maximumSegment = FindEcmLayout(configuration).maximumSegment;
  for (UCHAR address : EndpointAddresses(configuration))
    if (!(address & kEndpointIn)) recorders_.at(address)->SetMaximumFrame(maximumSegment);
}

std::optional<usb::TransferResult> EcmFunction::ServeTransfer(const usb::TransferRequest& request) {
  if (request.endpoint & kEndpointIn) {
    auto source = sources_.find(request.endpoint);
    if (source != sources_.end()) return source->second->Serve(request);
  } else {
    auto recorder = recorders_.find(request.endpoint);
    if (recorder != recorders_.end()) return recorder->second->Serve(request);
  }
  return std::nullopt;
}

FrameSource& EcmFunction::In(UCHAR endpointAddress) { return *sources_.at(endpointAddress); }

FrameRecorder& EcmFunction::Out(UCHAR endpointAddress) { return *recorders_.at(endpointAddress); }

FrameSource& EcmFunction::BulkIn() { return In(FirstEndpoint(kBulk, true)); }

FrameRecorder& EcmFunction::BulkOut() { return Out(FirstEndpoint(kBulk, false)); }

FrameSource& EcmFunction::InterruptIn() { return In(FirstEndpoint(kInterrupt, true)); }

FrameSource& EcmFunction::DataIn() { return In(Layout().dataInEndpoint); }

FrameRecorder& EcmFunction::DataOut() { return Out(Layout().dataOutEndpoint); }

FrameSource& EcmFunction::NotificationIn() { return In(Layout().notificationEndpoint); }

void EcmFunction::RecordHostFrames(bool record) {
  for (auto& [address, recorder] : recorders_) recorder->KeepFrames(record);
}

EcmLayout EcmFunction::Layout() const {
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  return layout_;
}

EcmLayout EcmFunction::LayoutOf(UCHAR configurationValue) const {
  if (configurationValue) {
    const Bytes* configuration = FindConfiguration(configurationValue);
    return configuration ? FindEcmLayout(*configuration) : EcmLayout{};
  }
  for (const auto& [index, bytes] : profile_.configurations) {
    EcmLayout layout = FindEcmLayout(bytes);
    if (layout.found) return layout;
  }
  return EcmLayout{};
}

void EcmFunction::SetLayoutLocked(const EcmLayout& layout) {
  layout_ = layout;
  ownAddress_ = OwnAddress(layout);
}

UCHAR EcmFunction::FirstEndpoint(UCHAR attributes, bool in) const {
  auto first = profile_.configurations.find(0);
  if (first != profile_.configurations.end()) {
    usb::ParsedConfiguration parsed = usb::ParseConfiguration(first->second.data(), first->second.size());
    for (const usb::InterfaceRef& interface : parsed.interfaces)
      if (const usb::DescriptorRef* endpoint = usb::FirstEndpoint(interface, attributes, in))
        return endpoint->bytes[2];
  }
  std::fprintf(stderr, "the device profile's configuration 0 has no %s %s endpoint\n",
               attributes == kBulk ? "bulk" : "interrupt", in ? "IN" : "OUT");
  std::abort();
}

std::optional<std::vector<UCHAR>> EcmFunction::Descriptor(UCHAR type, UCHAR index, USHORT languageId) {
  if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) return profile_.device;
  if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    auto found = profile_.configurations.find(index);
    if (found != profile_.configurations.end()) return found->second;
  }
  if (type == USB_STRING_DESCRIPTOR_TYPE) {
    auto found = profile_.strings.find(index);
    // String 0 is the language list, asked with language 0; the others exist per language.
    if (found != profile_.strings.end() && (index == 0 || LanguageOffered(languageId))) return found->second;
  }
  return std::nullopt;
}

bool EcmFunction::LanguageOffered(USHORT languageId) const {
  auto list = profile_.strings.find(0);
  if (list == profile_.strings.end()) return true;  // a device without a list answers any language
  const Bytes& ids = list->second;
  for (size_t i = 2; i + 1 < ids.size(); i += 2)
    if ((ids[i] | ids[i + 1] << 8) == languageId) return true;
  return false;
}

bool EcmFunction::SetConfiguration(UCHAR value) {
  const Bytes* chosen = value ? FindConfiguration(value) : nullptr;
  if (value != 0 && !chosen) return false;  // stalled: the device stays as it was
  alternates_.clear();
  configurationValue_ = value;
  EcmLayout previous;
  {
    std::lock_guard<emu::InternalMutex> guard(stateMutex_);
    previous = layout_;
    SetLayoutLocked(LayoutOf(value));
    dataRunning_ = false;
  }
  // A device that is reset or deconfigured forgets the notifications it had not sent.
  if (previous.notificationEndpoint) In(previous.notificationEndpoint).Clear();
  if (!chosen) return true;
  ApplyLimitsOf(*chosen);
  usb::ParsedConfiguration parsed = usb::ParseConfiguration(chosen->data(), chosen->size());
  for (const usb::InterfaceRef& interface : parsed.interfaces)
    if (interface.descriptor.length >= usb::kInterfaceDescriptorLength)
      alternates_.emplace(interface.descriptor.bytes[2], 0);
  return true;
}

bool EcmFunction::SetInterface(UCHAR number, UCHAR alternate) {
  const Bytes* configuration = ActiveConfiguration();
  if (!configuration) return false;
  usb::ParsedConfiguration parsed = usb::ParseConfiguration(configuration->data(), configuration->size());
  if (!usb::FindInterface(parsed, number, alternate)) return false;
  alternates_[number] = alternate;
  EcmLayout layout;
  bool announce = false;
  bool connected = false;
  ULONG downlink = 0;
  ULONG uplink = 0;
  {
    std::lock_guard<emu::InternalMutex> guard(stateMutex_);
    if (!layout_.dataInEndpoint || number != layout_.dataInterface) return true;
    dataRunning_ = alternate == 1;
    announce = dataRunning_ && notifications_;
    layout = layout_;
    connected = linkUp_;
    downlink = downlinkBitRate_;
    uplink = uplinkBitRate_;
  }
  // With its data interface running the device tells the host its link at once.
  if (announce) {
    NotifyLink(layout, connected);
    NotifySpeed(layout, downlink, uplink);
  }
  return true;
}

usb::ControlAnswer EcmFunction::ClassOrVendorRequest(const usb::SetupPacket& setup, UCHAR* data) {
  constexpr usb::ControlAnswer kStall{true, 0};
  if (!ActiveConfiguration() || setup.bmRequestType != kClassInterfaceOut ||
      setup.bRequest != kSetEthernetPacketFilter || setup.wLength != 0)
    return kStall;
  std::lock_guard<emu::InternalMutex> guard(stateMutex_);
  if (ignoreControl_) return usb::ControlAnswer{false, 0, true};
  // Addressed to the communication interface, or not understood.
  if (!layout_.found || setup.wIndex != layout_.communicationInterface) return kStall;
  filterRequests_.push_back(setup.wValue);
  if (refuseFilter_) return kStall;
  packetFilter_ = setup.wValue;
  return usb::ControlAnswer{false, 0};
}

std::optional<UCHAR> EcmFunction::alternateSetting(UCHAR interfaceNumber) const {
  auto found = alternates_.find(interfaceNumber);
  if (found == alternates_.end()) return std::nullopt;
  return found->second;
}

const Bytes* EcmFunction::ActiveConfiguration() const {
  if (configurationValue_ == 0) return nullptr;
  return FindConfiguration(configurationValue_);
}

const Bytes* EcmFunction::FindConfiguration(UCHAR value) const {
  for (const auto& [index, bytes] : profile_.configurations)
    if (bytes.size() > kConfigurationValueOffset && bytes[kConfigurationValueOffset] == value) return &bytes;
  return nullptr;
}

}  // namespace emu::devices
