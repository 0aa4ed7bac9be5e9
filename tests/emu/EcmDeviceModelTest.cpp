// The simulated ECM function on its own, as the bus drives it: how OUT packets become frames
// (the one-byte termination included), what it says on its interrupt endpoint and when, how
// it takes the packet filter, and which frames from its wire reach the host.
#include <gtest/gtest.h>

#include "EcmDescriptors.h"
#include "ShippedProfiles.h"
#include "emu/devices/EcmFunction.h"
#include "emu/devices/EcmPacketFilter.h"

namespace {

using namespace ecm_descriptors;
using namespace emu::devices;

const MacAddress kHost = {0x02, 0xEC, 0x0D, 0xE0, 0x00, 0x01};  // the built-in device's MAC string
const MacAddress kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};
const MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const MacAddress kMulticast = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};

Bytes Pattern(size_t length, UCHAR seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<UCHAR>(seed + i);
  return bytes;
}

Bytes EthernetFrame(const MacAddress& destination, const MacAddress& source, size_t length = 60) {
  Bytes frame(destination.begin(), destination.end());
  frame.insert(frame.end(), source.begin(), source.end());
  frame.resize(length, 0x5A);
  return frame;
}

// One OUT transfer as the bus hands it to the device.
void Out(FrameRecorder& recorder, const Bytes& data, USHORT packet) {
  recorder.Serve(emu::usb::TransferRequest{kDataOutEndpoint, packet, static_cast<ULONG>(data.size()), data.data()});
}

// The next transfer an IN endpoint sends, or none.
std::optional<Bytes> Next(FrameSource& source) {
  std::optional<emu::usb::TransferResult> result = source.Serve(emu::usb::TransferRequest{0x81, 16, 1536, nullptr});
  if (!result) return std::nullopt;
  return result->data;
}

// The function with its data interface running, as after the driver's selection.
void StartData(EcmFunction& device) {
  ASSERT_TRUE(device.SetConfiguration(1));
  ASSERT_TRUE(device.SetInterface(1, 1));
}

TEST(EcmDeviceModelTest, TerminationByteIsTakenOffOnlyAfterWholePackets) {
  FrameRecorder recorder(1472);
  Bytes padded = Pattern(128, 1);
  padded.push_back(0x00);
  Out(recorder, padded, 64);
  Bytes unpadded = Pattern(127, 2);
  unpadded.back() = 0x00;
  Out(recorder, unpadded, 64);     // short anyway: its zero is data
  Out(recorder, Bytes{0x00}, 64);  // an empty frame's termination: no frame
  Bytes longest = Pattern(1472, 3);
  longest.push_back(0x00);
  Out(recorder, longest, 64);  // the byte needs no room of the frame's own
  std::vector<ReceivedFrame> frames = recorder.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].bytes, Pattern(128, 1));
  EXPECT_TRUE(frames[0].terminationByte);
  EXPECT_EQ(frames[1].bytes, unpadded);
  EXPECT_FALSE(frames[1].terminationByte);
  EXPECT_EQ(frames[2].bytes.size(), 1472u);
  EXPECT_FALSE(frames[2].truncated);
  EXPECT_TRUE(frames[2].terminationByte);
}

TEST(EcmDeviceModelTest, LinkIsNotifiedWhenTheDataInterfaceRunsAndOnEachChange) {
  EcmFunction device;
  ASSERT_TRUE(device.SetConfiguration(1));
  EXPECT_EQ(device.NotificationIn().Queued(), 0u) << "alternate setting 0 carries no data";
  ASSERT_TRUE(device.SetInterface(1, 1));
  EXPECT_EQ(Next(device.NotificationIn()), (Bytes{0xA1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Next(device.NotificationIn()),
            (Bytes{0xA1, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0xE1, 0xF5, 0x05, 0x00, 0xE1, 0xF5, 0x05}));
  device.SetSpeed(2000, 500);
  device.SetLink(false);
  EXPECT_EQ(device.NotificationIn().Queued(), 2u);
  ASSERT_TRUE(device.SetInterface(1, 0));
  device.SetLink(true);
  EXPECT_EQ(device.NotificationIn().Queued(), 2u) << "nothing while the data interface is idle";
  ASSERT_TRUE(device.SetConfiguration(0));
  EXPECT_EQ(device.NotificationIn().Queued(), 0u) << "deconfigured, it forgets what it had not sent";
  device.SetNotifications(false);
  StartData(device);
  EXPECT_EQ(device.NotificationIn().Queued(), 0u);
}

TEST(EcmDeviceModelTest, NotificationLongerThanThePacketGoesInSeveralTransfers) {
  EcmFunction device(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()}), 64, 8)));
  StartData(device);
  EXPECT_EQ(Next(device.NotificationIn())->size(), 8u) << "the connection";
  EXPECT_EQ(Next(device.NotificationIn()), (Bytes{0xA1, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00}));
  EXPECT_EQ(Next(device.NotificationIn()), (Bytes{0x00, 0xE1, 0xF5, 0x05, 0x00, 0xE1, 0xF5, 0x05}));
  EXPECT_FALSE(Next(device.NotificationIn()).has_value());
}

TEST(EcmDeviceModelTest, PacketFilterIsRecordedRefusedOrStalledWhenMisaddressed) {
  EcmFunction device;
  StartData(device);
  UCHAR none = 0;
  emu::usb::SetupPacket set{0x21, kSetEthernetPacketFilter, 0x0C, 0, 0};
  EXPECT_FALSE(device.ClassOrVendorRequest(set, &none).stall);
  EXPECT_EQ(device.packetFilter(), 0x0C);
  emu::usb::SetupPacket toData{0x21, kSetEthernetPacketFilter, 0x1F, 1, 0};
  EXPECT_TRUE(device.ClassOrVendorRequest(toData, &none).stall) << "addressed to the data interface";
  device.RefusePacketFilter(true);
  set.wValue = 0x01;
  EXPECT_TRUE(device.ClassOrVendorRequest(set, &none).stall);
  EXPECT_EQ(device.packetFilter(), 0x0C) << "a refused filter is not applied";
  EXPECT_EQ(device.packetFilterRequests(), (std::vector<USHORT>{0x0C, 0x01}));
}

TEST(EcmDeviceModelTest, FilterPassesFramesByDestination) {
  const Bytes toHost = EthernetFrame(kHost, kPeer);
  const Bytes toPeer = EthernetFrame(kPeer, kHost);
  const Bytes broadcast = EthernetFrame(kBroadcast, kPeer);
  const Bytes multicast = EthernetFrame(kMulticast, kPeer);
  const std::optional<MacAddress> host = kHost;
  EXPECT_TRUE(PacketFilterPasses(kFilterDirected, toHost, host));
  EXPECT_FALSE(PacketFilterPasses(kFilterDirected, toHost, std::nullopt)) << "no station address known";
  EXPECT_FALSE(PacketFilterPasses(kFilterDirected | kFilterBroadcast | kFilterAllMulticast, toPeer, host));
  EXPECT_TRUE(PacketFilterPasses(kFilterPromiscuous, toPeer, host));
  EXPECT_TRUE(PacketFilterPasses(kFilterBroadcast, broadcast, host));
  EXPECT_FALSE(PacketFilterPasses(kFilterMulticast | kFilterAllMulticast | kFilterDirected, broadcast, host));
  EXPECT_TRUE(PacketFilterPasses(kFilterMulticast, multicast, host));
  EXPECT_TRUE(PacketFilterPasses(kFilterAllMulticast, multicast, host));
  EXPECT_FALSE(PacketFilterPasses(kFilterBroadcast | kFilterDirected, multicast, host));
  EXPECT_FALSE(PacketFilterPasses(0, toHost, host));
}

TEST(EcmDeviceModelTest, WireDeliversThroughTheFilterWhileTheLinkIsUp) {
  EcmFunction device;
  EXPECT_FALSE(device.DeliverFromWire(EthernetFrame(kHost, kPeer))) << "the data interface is idle";
  StartData(device);
  EXPECT_TRUE(device.DeliverFromWire(EthernetFrame(kHost, kPeer))) << "everything passes before a filter is set";
  UCHAR none = 0;
  device.ClassOrVendorRequest({0x21, kSetEthernetPacketFilter, kFilterDirected, 0, 0}, &none);
  EXPECT_TRUE(device.DeliverFromWire(EthernetFrame(kHost, kPeer)));
  EXPECT_FALSE(device.DeliverFromWire(EthernetFrame(kBroadcast, kPeer)));
  device.SetLink(false);
  EXPECT_FALSE(device.DeliverFromWire(EthernetFrame(kHost, kPeer)));
  device.SetLink(true);
  device.SetHostAddress(kPeer);
  EXPECT_FALSE(device.DeliverFromWire(EthernetFrame(kHost, kPeer))) << "the address the test set wins";
  EXPECT_EQ(device.DataIn().Queued(), 2u);
  EXPECT_EQ(device.wireFramesDropped(), 4u);
}

TEST(EcmDeviceModelTest, HostAddressIsLearnedFromWhatTheHostSendsWithoutAMacString) {
  EcmFunction device(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(0)}))));
  StartData(device);
  EXPECT_FALSE(device.hostAddress().has_value());
  Out(device.DataOut(), EthernetFrame(kPeer, kHost, 100), 512);
  EXPECT_EQ(device.hostAddress(), kHost);
}

TEST(EcmDeviceModelTest, EchoAnswersEachFrameToItsSenderAndAWireHearsEveryFrame) {
  EcmFunction device;
  StartData(device);
  device.EchoWire();
  Out(device.DataOut(), EthernetFrame(kPeer, kHost, 100), 512);
  EXPECT_EQ(Next(device.DataIn()), EthernetFrame(kHost, kPeer, 100));
  std::vector<Bytes> wire;
  device.ConnectWire([&wire](const Bytes& frame) { wire.push_back(frame); });
  Out(device.DataOut(), EthernetFrame(kBroadcast, kHost, 70), 512);
  EXPECT_EQ(wire, std::vector<Bytes>{EthernetFrame(kBroadcast, kHost, 70)});
  EXPECT_EQ(device.DataIn().Queued(), 0u);
  device.DisconnectWire();
  Out(device.DataOut(), EthernetFrame(kPeer, kHost, 80), 512);
  EXPECT_EQ(wire.size(), 1u);
  EXPECT_EQ(device.DataOut().Frames().size(), 3u) << "every frame is recorded whatever the wire";
}

// On a composite device frames to the other function's endpoint never reach the wire.
TEST(EcmDeviceModelTest, OtherFunctionsFramesStayOffTheWire) {
  ProfileLoad load = LoadProfileFile(ShippedProfilePath("composite-vendor"));
  ASSERT_TRUE(load.ok) << load.error;
  EcmFunction device(load.profile);
  StartData(device);
  std::vector<Bytes> wire;
  device.ConnectWire([&wire](const Bytes& frame) { wire.push_back(frame); });
  Bytes frame = EthernetFrame(kPeer, kHost, 100);
  device.Out(0x03).Serve(emu::usb::TransferRequest{0x03, 512, static_cast<ULONG>(frame.size()), frame.data()});
  EXPECT_TRUE(wire.empty());
  EXPECT_EQ(device.DataOut().Frames().size(), 0u);
  EXPECT_EQ(device.Out(0x03).Frames().size(), 1u);
}

// The same endpoint addresses with other sizes in a second configuration: selected, it is
// that configuration's segment size and interrupt packets the device works with.
TEST(EcmDeviceModelTest, EachConfigurationBringsItsOwnEndpointLimits) {
  DeviceProfile profile = EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(3, 1514)}), 512, 16));
  profile.configurations[1] =
      Configuration(2, {CommunicationInterface(), HeaderAndUnion(), EthernetNetworking(3, 200), NotifyEndpoint(8),
                        DataInterface(64)},
                    2);
  EcmFunction device(profile);
  ASSERT_TRUE(device.SetConfiguration(2));
  ASSERT_TRUE(device.SetInterface(1, 1));
  EXPECT_EQ(Next(device.NotificationIn())->size(), 8u) << "the connection in one 8-byte packet";
  EXPECT_EQ(Next(device.NotificationIn())->size(), 8u) << "the speed change in two";
  Bytes frame = Pattern(300, 4);
  frame.back() = 0x5A;
  Out(device.DataOut(), frame, 64);
  std::vector<ReceivedFrame> frames = device.DataOut().Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].truncated) << "longer than this configuration's 200-byte segment";
  EXPECT_EQ(frames[0].bytes.size(), 200u);

  ASSERT_TRUE(device.SetConfiguration(1));
  Out(device.DataOut(), frame, 512);
  EXPECT_FALSE(device.DataOut().Frames().back().truncated) << "the first configuration takes 1514 bytes";
}

// A buffer of whole packets ends its transfer when full, and the frame goes on in the next;
// a bulk frame of whole packets still owes its zero-length packet. Interrupt pieces owe none,
// and a buffer that ends inside a packet gets the whole frame (the bus calls it babble).
TEST(EcmDeviceModelTest, FrameLongerThanABufferOfWholePacketsGoesOnInTheNextTransfer) {
  struct Case {
    const char* what;
    USBD_PIPE_TYPE type;
    ULONG room;
    size_t frame;
    std::vector<size_t> transfers;
  };
  const Case cases[] = {
      {"bulk, longer", UsbdPipeTypeBulk, 1536, 1600, {1536, 64}},
      {"bulk, two buffers and the zero-length packet", UsbdPipeTypeBulk, 1536, 3072, {1536, 1536, 0}},
      {"bulk, shorter and whole packets", UsbdPipeTypeBulk, 1536, 1024, {1024}},
      {"interrupt, exactly full", UsbdPipeTypeInterrupt, 512, 512, {512}},
      {"bulk, buffer ends inside a packet", UsbdPipeTypeBulk, 1500, 1600, {1600}},
  };
  for (const Case& c : cases) {
    FrameSource source([] {});
    source.Queue(Pattern(c.frame, 1));
    source.Queue(Pattern(10, 2));  // the next frame starts a transfer of its own
    Bytes joined;
    for (size_t expected : c.transfers) {
      std::optional<emu::usb::TransferResult> result =
          source.Serve(emu::usb::TransferRequest{kDataInEndpoint, 512, c.room, nullptr, c.type});
      ASSERT_TRUE(result.has_value()) << c.what;
      EXPECT_EQ(result->data.size(), expected) << c.what;
      joined.insert(joined.end(), result->data.begin(), result->data.end());
    }
    EXPECT_EQ(joined, Pattern(c.frame, 1)) << c.what;
    EXPECT_EQ(source.Queued(), 1u) << c.what;
  }
}

// An endpoint NAKs exactly while it has nothing left to send: before the first frame, once
// the last one (its zero-length packet included) went out, and after it forgets its frames.
TEST(EcmDeviceModelTest, EndpointNaksOnlyWhenNothingIsLeftToSend) {
  int wakes = 0;
  FrameSource source([&wakes] { ++wakes; });
  auto serve = [&source] {
    return source.Serve(emu::usb::TransferRequest{kDataInEndpoint, 512, 1024, nullptr, UsbdPipeTypeBulk});
  };
  EXPECT_FALSE(serve().has_value()) << "nothing queued";
  source.Queue(Pattern(1024, 1));
  EXPECT_EQ(wakes, 1);
  std::optional<emu::usb::TransferResult> whole = serve();
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->data.size(), 1024u);
  std::optional<emu::usb::TransferResult> terminator = serve();
  ASSERT_TRUE(terminator.has_value()) << "the frame still owes its zero-length packet";
  EXPECT_TRUE(terminator->data.empty());
  EXPECT_FALSE(serve().has_value()) << "the frame is gone";
  source.Queue(Pattern(10, 2));
  source.Queue(Pattern(20, 3));
  source.Clear();
  EXPECT_FALSE(serve().has_value()) << "cleared";
  source.Queue(Pattern(30, 4));
  std::optional<emu::usb::TransferResult> after = serve();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->data, Pattern(30, 4));
  EXPECT_EQ(source.Queued(), 0u);
  EXPECT_FALSE(serve().has_value());
}

}  // namespace
