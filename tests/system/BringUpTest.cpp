// The driver bringing up real (emulated) ECM devices: the shipped profiles, the address the
// adapter ends up with, its sizes, and every failing step with its error-log entries and
// nothing left allocated.
#include "SystemTest.h"
#include "adapter/ErrorLog.h"
#include "support/PoolTags.h"

namespace {

using namespace ecm_descriptors;
using emu::ndis::ErrorLogEntry;
using emu::usb::ControlFault;
using Log = std::vector<ErrorLogEntry>;

struct ProfileCase {
  const char* profile;  // shipped profile, or "" for the built-in device
  ULONG configurationIndex;
  Mac address;
  ULONG maximumTotalSize;
};

class ProfileBringUpTest : public SystemTest, public ::testing::WithParamInterface<ProfileCase> {};

// Each comes up with its address and sizes, reports its link, and one frame each way goes
// through the ECM function's own endpoints.
TEST_P(ProfileBringUpTest, ComesUpAndCarriesAFrameEachWay) {
  const ProfileCase& c = GetParam();
  if (*c.profile) Plug(ShippedProfile(c.profile));
  miniport.registry().SetInteger("ConfigurationIndex", c.configurationIndex);
  ASSERT_NE(Initialize(), nullptr) << c.profile;
  EXPECT_EQ(PermanentAddress(), c.address);
  EXPECT_EQ(QueryAddress(OID_802_3_CURRENT_ADDRESS), c.address);
  ULONG payload = c.maximumTotalSize - 14;
  EXPECT_EQ(QueryUlong(OID_GEN_MAXIMUM_TOTAL_SIZE), c.maximumTotalSize);
  EXPECT_EQ(QueryUlong(OID_GEN_MAXIMUM_LOOKAHEAD), payload);
  EXPECT_EQ(QueryUlong(OID_GEN_TRANSMIT_BUFFER_SPACE), payload * 4);
  EXPECT_EQ(QueryUlong(OID_GEN_RECEIVE_BUFFER_SPACE), payload * 4);
  EXPECT_EQ(QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS), ULONG{NdisMediaStateConnected}) << "reported at selection";
  EXPECT_TRUE(miniport.statusIndications().empty()) << "before initialization ended: nothing indicated";

  Bytes out = EthernetFrame(100, kPeer, c.address, 1);
  Send({out});
  kernel().RunPending();
  EXPECT_EQ(DeviceFrames(), std::vector<Bytes>{out});
  Bytes in = EthernetFrame(90, c.address, kPeer, 2);
  ASSERT_TRUE(usb.device().DeliverFromWire(in));
  kernel().RunPending();
  EXPECT_EQ(Received(), std::vector<Bytes>{in});
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ProfileBringUpTest,
    ::testing::Values(ProfileCase{"", 0, kBuiltInAddress, 1514},
                      ProfileCase{"hs-basic", 0, {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30}, 1514},
                      ProfileCase{"fs-second-config", 1, {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, 1514},
                      ProfileCase{"no-mac-jumbo", 0, kDefaultAddress, 1535},
                      ProfileCase{"composite-vendor", 0, {0x02, 0xC0, 0xFF, 0xEE, 0x00, 0x01}, 1514}),
    [](const ::testing::TestParamInfo<ProfileCase>& info) {
      std::string name = *info.param.profile ? info.param.profile : "built-in";
      for (char& ch : name)
        if (ch == '-') ch = '_';
      return name;
    });

class SystemBringUpTest : public SystemTest {};

TEST_F(SystemBringUpTest, TheDeviceAddressWinsOverNetworkAddress) {
  miniport.registry().SetString("NetworkAddress", u"021122334455");
  ASSERT_NE(Initialize(), nullptr);
  EXPECT_EQ(PermanentAddress(), kBuiltInAddress);
}

TEST_F(SystemBringUpTest, WithoutADeviceAddressNetworkAddressIsTaken) {
  Plug(ShippedProfile("no-mac-jumbo"));
  miniport.registry().SetString("NetworkAddress", u"021122334455");
  ASSERT_NE(Initialize(), nullptr);
  EXPECT_EQ(PermanentAddress(), (Mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

// The device's string holds a group address: not the adapter's, so the registry's serves.
TEST_F(SystemBringUpTest, AGroupAddressFromTheDeviceIsNotTaken) {
  Plug(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()})), "0300DEADBEEF"));
  miniport.registry().SetString("NetworkAddress", u"021122334455");
  ASSERT_NE(Initialize(), nullptr);
  EXPECT_EQ(PermanentAddress(), (Mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

TEST_F(SystemBringUpTest, ReadsAndBuffersFollowTheRegistryAndCarryABurst) {
  for (ULONG buffers : {2u, 128u}) {
    emu::ndis::Miniport& each = library().AddMiniport();
    UsbDeviceBench device;
    each.deviceStack().physical = device.Pdo();
    each.deviceStack().lower = device.Pdo();
    each.registry().SetInteger("RxBuffers", buffers);
    each.registry().SetInteger("TxBuffers", buffers);
    ASSERT_EQ(each.Initialize(), NDIS_STATUS_SUCCESS);
    kernel().RunPending();
    EXPECT_EQ(device.bus().QueuedTransfers(kDataInEndpoint), buffers);
    auto* started = static_cast<Adapter*>(each.context());
    EXPECT_EQ(started->TransmitBufferSpace, 1500 * buffers);
    EXPECT_EQ(started->ReceiveBufferSpace, 1500 * buffers);

    // Three buffers' worth each way in one go: the rest waits for a buffer and follows.
    std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> packets;
    std::vector<PNDIS_PACKET> batch;
    std::vector<Bytes> sent, delivered;
    for (ULONG i = 0; i < 3 * buffers; ++i) {
      sent.push_back(EthernetFrame(60 + i, kPeer, kBuiltInAddress, static_cast<UCHAR>(i)));
      packets.push_back(std::make_unique<emu::ndis::ProtocolPacket>(sent.back()));
      batch.push_back(packets.back()->packet());
      delivered.push_back(EthernetFrame(70 + i, kBuiltInAddress, kPeer, static_cast<UCHAR>(i)));
      ASSERT_TRUE(device.device().DeliverFromWire(delivered.back()));
    }
    each.SendPackets(batch);
    kernel().RunPending();
    std::vector<Bytes> arrived, indicated;
    for (const emu::devices::ReceivedFrame& frame : device.device().DataOut().Frames()) arrived.push_back(frame.bytes);
    for (const emu::ndis::ReceivedFrame& frame : each.protocol().frames()) indicated.push_back(frame.Bytes());
    EXPECT_EQ(arrived, sent) << buffers;
    EXPECT_EQ(indicated, delivered) << buffers;
    each.Halt();
  }
}

// Each failing step of the bring-up: its status, its log entries, and nothing of the adapter
// left allocated (the driver record stays until unload).
struct FailureCase {
  const char* step;
  std::function<void(UsbDeviceBench&, emu::ndis::Miniport&, emu::Kernel&)> arrange;
  NDIS_STATUS status;
  Log log;
};

TEST_F(SystemBringUpTest, EveryFailingStepLogsAndLeavesNothingAllocated) {
  auto configuration = [](Bytes bytes) {
    return [bytes](UsbDeviceBench& device, emu::ndis::Miniport&, emu::Kernel&) { device.PlugConfiguration(bytes); };
  };
  const Bytes ecm = Join({HeaderAndUnion(), EthernetNetworking()});
  const FailureCase cases[] = {
      {"descriptor read",
       [](UsbDeviceBench& d, emu::ndis::Miniport&, emu::Kernel&) {
         d.bus().InjectFault(ControlFault::Fail(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, STATUS_DEVICE_NOT_CONNECTED,
                                                USBD_STATUS_DEV_NOT_RESPONDING));
       },
       STATUS_DEVICE_NOT_CONNECTED,
       {{0xE0070303, {3}}, {0xE0070303, {2}}}},
      {"no ECM interface",
       configuration(Configuration(1, {DataInterface()})),
       NDIS_STATUS_FAILURE,
       {{0xE0070303, {1}}, {0xE0070303, {2}}}},
      {"ECM interface not first",
       configuration(Configuration(2, {DataInterface(), CommunicationInterface(), ecm, NotifyEndpoint()})),
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {5}}, {0xE0070303, {2}}}},
      {"no Ethernet descriptor",
       configuration(EcmConfiguration(HeaderAndUnion())),
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {5}}, {0xE0070303, {2}}}},
      {"configuration refused",
       [](UsbDeviceBench& d, emu::ndis::Miniport&, emu::Kernel&) {
         d.bus().InjectFault(
             ControlFault::Fail(URB_FUNCTION_SELECT_CONFIGURATION, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
       },
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {5}}, {0xE0070303, {2}}}},
      {"no data interface",
       configuration(Configuration(1, {CommunicationInterface(), ecm, NotifyEndpoint()})),
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {5}}, {0xE0070303, {2}}}},
      {"no interrupt endpoint",
       configuration(Configuration(2, {CommunicationInterface(0), ecm, DataInterface()})),
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {5}}, {0xE0070303, {2}}}},
      {"segment size 14",
       configuration(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(kMacStringIndex, 14)}))),
       NDIS_STATUS_FAILURE,
       {{0xE0070303, {6, 14}}, {0xE0070303, {2}}}},
      {"pipes do not open",
       [](UsbDeviceBench& d, emu::ndis::Miniport& m, emu::Kernel&) {
         m.registry().SetInteger("SendClearEpHaltOnStart", 1);
         d.bus().InjectFault(ControlFault::Fail(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, STATUS_UNSUCCESSFUL,
                                                USBD_STATUS_STALL_PID)
                                 .Skip(1));
       },
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {2}}}},
      {"pipes do not open after a frame arrived",
       [](UsbDeviceBench& d, emu::ndis::Miniport& m, emu::Kernel&) {
         m.registry().SetInteger("SendClearEpHaltOnStart", 1);
         d.device().DataIn().Queue(EthernetFrame(60, kBuiltInAddress, kPeer, 3));  // read as bulk-in starts
         d.bus().InjectFault(ControlFault::Fail(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, STATUS_UNSUCCESSFUL,
                                                USBD_STATUS_STALL_PID)
                                 .Skip(2));
       },
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {2}}}},
      {"no memory for the device",
       [](UsbDeviceBench&, emu::ndis::Miniport&, emu::Kernel& k) { k.faults().FailTag(kTagEcmDevice, true); },
       NDIS_STATUS_FAILURE,
       {{0xE0070303, {1}}, {0xE0070303, {2}}}},
      {"no memory for the buffers",
       [](UsbDeviceBench&, emu::ndis::Miniport&, emu::Kernel& k) { k.faults().FailTag(kTagTransferBuffer, true); },
       STATUS_UNSUCCESSFUL,
       {{0xE0070303, {5}}, {0xE0070303, {2}}}},
  };
  size_t driverOnly = kernel().pool().Outstanding();
  for (const FailureCase& c : cases) {
    emu::ndis::Miniport& each = library().AddMiniport();
    UsbDeviceBench device;
    c.arrange(device, each, kernel());
    each.deviceStack().physical = device.Pdo();
    each.deviceStack().lower = device.Pdo();
    EXPECT_EQ(each.Initialize(), c.status) << c.step;
    kernel().faults().FailTag(kTagEcmDevice, false);
    kernel().faults().FailTag(kTagTransferBuffer, false);
    kernel().RunPending();
    EXPECT_EQ(each.errorLog(), c.log) << c.step;
    EXPECT_EQ(each.state(), emu::ndis::MiniportState::Failed) << c.step;
    EXPECT_EQ(kernel().pool().Outstanding(), driverOnly) << c.step;
    EXPECT_EQ(device.bus().PendingIrps(), 0u) << c.step;
    EXPECT_FALSE(device.bus().Configured()) << c.step << ": the device is given its configuration back";
  }
}

}  // namespace
