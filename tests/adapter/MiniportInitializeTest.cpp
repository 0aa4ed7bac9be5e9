// MiniportInitialize end to end on the emulated library: the failing steps, their status and
// their error-log entries in order.
#include "NdisTest.h"
#include "UsbDeviceBench.h"
#include "adapter/ErrorLog.h"
#include "driver/MiniportDriver.h"
#include "support/PoolTags.h"

namespace {

using emu::ndis::ErrorLogEntry;
using emu::ndis::MiniportState;
using Log = std::vector<ErrorLogEntry>;

class MiniportInitializeTest : public NdisTest {
 protected:
  void SetUp() override {
    LoadDriver();
    Attach(miniport);
  }
  // The device object below NDIS's is the emulated bus's for the simulated device.
  void Attach(emu::ndis::Miniport& each) {
    each.deviceStack().physical = usb.Pdo();
    each.deviceStack().lower = usb.Pdo();
  }
  UsbDeviceBench usb;
  emu::ndis::Miniport& miniport = library().AddMiniport();
};

TEST_F(MiniportInitializeTest, ArrayWithoutEthernetFailsWithUnsupportedMedia) {
  EXPECT_EQ(miniport.Initialize({NdisMedium802_5, NdisMediumFddi}), NDIS_STATUS_UNSUPPORTED_MEDIA);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xC0010019, {}}}));
  EXPECT_FALSE(miniport.attributes().has_value());
}

TEST_F(MiniportInitializeTest, EmptyArrayFailsWithUnsupportedMedia) {
  EXPECT_EQ(miniport.Initialize({}), NDIS_STATUS_UNSUPPORTED_MEDIA);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xC0010019, {}}}));
}

TEST_F(MiniportInitializeTest, SelectsTheFirstEthernetEntry) {
  ASSERT_EQ(miniport.Initialize({NdisMedium802_5, NdisMedium802_3, NdisMedium802_3}), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(miniport.selectedMedium(), 1u);
  miniport.Halt();
}

TEST_F(MiniportInitializeTest, AdapterAllocationFailureIsLoggedAndReportedAsResources) {
  kernel().faults().FailTag(kTagAdapter, true);
  EXPECT_EQ(miniport.Initialize(), NDIS_STATUS_RESOURCES);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070301, {}}}));
}

TEST_F(MiniportInitializeTest, ConfigurationFailureReturnsItsStatusAfterBothEntries) {
  miniport.FailOpenConfiguration(NDIS_STATUS_RESOURCES);
  EXPECT_EQ(miniport.Initialize(), NDIS_STATUS_RESOURCES);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070302, {}}, {0xE0070303, {2}}}));
  EXPECT_FALSE(miniport.attributes().has_value());
}

TEST_F(MiniportInitializeTest, EachMissingDeviceObjectFailsAfterTheAttributesAreSet) {
  for (int missing = 0; missing < 3; ++missing) {
    emu::ndis::Miniport& each = library().AddMiniport();
    Attach(each);
    emu::ndis::DeviceStack& stack = each.deviceStack();
    PDEVICE_OBJECT* objects[] = {&stack.physical, &stack.functional, &stack.lower};
    *objects[missing] = nullptr;
    EXPECT_EQ(each.Initialize(), NDIS_STATUS_FAILURE) << missing;
    EXPECT_EQ(each.errorLog(), (Log{{0xE0070303, {4}}, {0xE0070303, {2}}})) << missing;
    ASSERT_TRUE(each.attributes().has_value());
    EXPECT_EQ(each.attributes()->flags, 0xE0u);
    EXPECT_EQ(each.attributes()->checkForHangSeconds, 0u);
    EXPECT_EQ(each.attributes()->interfaceType, NdisInterfaceInternal);
  }
}

TEST_F(MiniportInitializeTest, AFailedDescriptorReadReturnsItsStatusAfterBothEntries) {
  usb.bus().InjectFault(emu::usb::ControlFault::Fail(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                                     STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(miniport.Initialize(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070303, {3}}, {0xE0070303, {2}}}));
  EXPECT_EQ(miniport.state(), MiniportState::Failed);
  EXPECT_TRUE(TheMiniportDriver->Adapters.IsEmpty());
}

TEST_F(MiniportInitializeTest, AConfigurationWithoutAnEcmInterfaceFails) {
  usb.PlugConfiguration({0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x32,   // configuration
                         0x09, 0x04, 0x00, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x00,   // data interface only
                         0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00,
                         0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00});
  Attach(miniport);
  EXPECT_EQ(miniport.Initialize(), NDIS_STATUS_FAILURE);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070303, {1}}, {0xE0070303, {2}}}));
}

// The low byte of ConfigurationIndex picks the descriptor: the device has no configuration 5.
TEST_F(MiniportInitializeTest, TheLowByteOfConfigurationIndexSelectsTheDescriptorRead) {
  miniport.registry().SetInteger("ConfigurationIndex", 0x105);
  EXPECT_NE(miniport.Initialize(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(miniport.errorLog().front(), (ErrorLogEntry{0xE0070303, {3}}));
}

TEST_F(MiniportInitializeTest, NoMemoryForTheEcmDeviceFailsAsAMissingInterface) {
  kernel().faults().FailTag(kTagEcmDevice, true);
  EXPECT_EQ(miniport.Initialize(), NDIS_STATUS_FAILURE);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070303, {1}}, {0xE0070303, {2}}}));
  EXPECT_EQ(miniport.state(), MiniportState::Failed);
}

class BringUpTest : public MiniportInitializeTest {};

TEST_F(BringUpTest, DefaultSegmentSizeAndSettingsGiveTheDefaultSizes) {
  FakeNetworkDevice* device = nullptr;
  Adapter* adapter = StartAdapter(miniport, &device);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->MaximumTotalSize, 1514u);
  EXPECT_EQ(adapter->MaximumLookahead, 1500u);
  EXPECT_EQ(adapter->TransmitBufferSpace, 6000u);
  EXPECT_EQ(adapter->ReceiveBufferSpace, 6000u);
  EXPECT_EQ(adapter->HardwareStatus, NdisHardwareStatusReady);
  EXPECT_EQ(adapter->LinkSpeed, 250000u);
  EXPECT_TRUE(adapter->SendEnabled);
  EXPECT_TRUE(adapter->ReceiveEnabled);
  EXPECT_TRUE(adapter->Initialized);
  EXPECT_EQ(device->calls, (std::vector<std::string>{"Start", "GetMaxSegmentSize", "OpenPipes", "GetMacAddress"}));
  EXPECT_EQ(device->started.functionalDevice, miniport.functionalDevice());
  EXPECT_EQ(device->started.physicalDevice, usb.Pdo());
  EXPECT_EQ(device->started.lowerDevice, usb.Pdo());
  EXPECT_EQ(device->started.sink, static_cast<DeviceEventSink*>(adapter));
  EXPECT_EQ(device->started.settings, &adapter->Settings);
  EXPECT_EQ(device->started.adapterLock, &adapter->Lock);
  miniport.Halt();
}

// A device may report its speed as soon as its pipes open: the default must not overwrite it.
TEST_F(BringUpTest, SpeedTheDeviceReportsWhileItsPipesOpenIsKept) {
  Adapter* adapter = StartAdapter(miniport, nullptr, [](FakeNetworkDevice& d) {
    d.onOpen = [&d] { d.started.sink->OnLinkSpeedChanged(54000000, 54000000); };
  });
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->LinkSpeed, 540000u);
  miniport.Halt();
}

TEST_F(BringUpTest, AFailedStartReturnsItsStatusAfterBothEntries) {
  Adapter* adapter =
      StartAdapter(miniport, nullptr, [](FakeNetworkDevice& d) { d.startStatus = STATUS_INVALID_DEVICE_STATE; });
  EXPECT_EQ(adapter, nullptr);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070303, {5}}, {0xE0070303, {2}}}));
}

TEST_F(BringUpTest, SegmentSizeOf14FailsWithTheSizeLogged) {
  Adapter* adapter = StartAdapter(miniport, nullptr, [](FakeNetworkDevice& d) { d.maxSegmentSize = 14; });
  EXPECT_EQ(adapter, nullptr);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070303, {6, 14}}, {0xE0070303, {2}}}));
}

TEST_F(BringUpTest, SegmentSizeOf15LeavesOneByteOfLookahead) {
  miniport.registry().SetInteger("RxBuffers", 7);
  miniport.registry().SetInteger("TxBuffers", 9);
  Adapter* adapter = StartAdapter(miniport, nullptr, [](FakeNetworkDevice& d) { d.maxSegmentSize = 15; });
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->MaximumLookahead, 1u);
  EXPECT_EQ(adapter->TransmitBufferSpace, 9u);
  EXPECT_EQ(adapter->ReceiveBufferSpace, 7u);
  miniport.Halt();
}

// The send path keeps a 1536-byte buffer's last byte free: NDIS is told of no longer frame,
// so every frame it may send goes out.
TEST_F(BringUpTest, ASegmentSizeAboveWhatASendBufferCarriesIsCappedAt1535) {
  for (ULONG announced : {1535u, 1536u, 2048u, 65535u}) {
    emu::ndis::Miniport& each = library().AddMiniport();
    Attach(each);
    FakeNetworkDevice* device = nullptr;
    Adapter* adapter = StartAdapter(each, &device, [announced](FakeNetworkDevice& d) { d.maxSegmentSize = announced; });
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->MaximumTotalSize, 1535u) << announced;
    EXPECT_EQ(adapter->MaximumLookahead, 1521u);
    EXPECT_EQ(adapter->TransmitBufferSpace, 1521u * 4);
    EXPECT_EQ(adapter->ReceiveBufferSpace, 1521u * 4);
    std::vector<UCHAR> largest(adapter->MaximumTotalSize, 0x5A);
    emu::ndis::ProtocolPacket packet(largest);
    each.SendPackets({packet.packet()});
    EXPECT_EQ(device->submittedFrames, std::vector<std::vector<UCHAR>>{largest}) << "the largest frame advertised fits";
    each.Halt();
  }
}

TEST_F(BringUpTest, OpenPipesFailureReturnsItsStatusWithoutAnEntryOfItsOwn) {
  Adapter* adapter = StartAdapter(miniport, nullptr, [](FakeNetworkDevice& d) { d.openStatus = STATUS_DEVICE_NOT_CONNECTED; });
  EXPECT_EQ(adapter, nullptr);
  EXPECT_EQ(miniport.errorLog(), (Log{{0xE0070303, {2}}}));
}

TEST_F(BringUpTest, TheDevicesAddressWinsOverTheRegistrysAndIsAlsoCurrent) {
  miniport.registry().SetString("NetworkAddress", u"021122334455");
  Adapter* adapter = StartAdapter(miniport, nullptr, [](FakeNetworkDevice& d) {
    d.hasMac = true;
    const UCHAR mac[6] = {0x00, 0x11, 0xAA, 0xBB, 0xCC, 0xDD};
    memcpy(d.mac, mac, 6);
  });
  ASSERT_NE(adapter, nullptr);
  const UCHAR expected[6] = {0x00, 0x11, 0xAA, 0xBB, 0xCC, 0xDD};
  EXPECT_EQ(memcmp(adapter->PermanentAddress, expected, 6), 0);
  EXPECT_EQ(memcmp(adapter->CurrentAddress, expected, 6), 0);
  miniport.Halt();
}

TEST_F(BringUpTest, WithoutADeviceAddressTheRegistrysIsUsed) {
  miniport.registry().SetString("NetworkAddress", u"021122334455");
  Adapter* adapter = StartAdapter(miniport);
  ASSERT_NE(adapter, nullptr);
  const UCHAR expected[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(memcmp(adapter->PermanentAddress, expected, 6), 0);
  EXPECT_EQ(memcmp(adapter->CurrentAddress, expected, 6), 0);
  miniport.Halt();
}

TEST_F(BringUpTest, WithNoAddressAnywhereTheBuiltInOneIsBothPermanentAndCurrent) {
  Adapter* adapter = StartAdapter(miniport);
  ASSERT_NE(adapter, nullptr);
  const UCHAR expected[6] = {0xAE, 0xDE, 0x48, 0x02, 0x01, 0x00};
  EXPECT_EQ(memcmp(adapter->PermanentAddress, expected, 6), 0);
  EXPECT_EQ(memcmp(adapter->CurrentAddress, expected, 6), 0);
  miniport.Halt();
}

TEST_F(BringUpTest, StartsDisconnectedWhateverDefaultMediaStateSays) {
  miniport.registry().SetInteger("DefaultMediaState", 1);
  Adapter* adapter = StartAdapter(miniport);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->MediaState, NdisMediaStateDisconnected);
  miniport.Halt();
}

}  // namespace
