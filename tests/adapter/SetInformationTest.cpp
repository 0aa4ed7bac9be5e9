// Sets: their length rules, what reaches the device, and power changes that pend until the
// device has closed or reopened its pipes and then complete exactly once.
#include "StartedAdapterTest.h"

namespace {

using Bytes = std::vector<UCHAR>;

class SetInformationTest : public StartedAdapterTest {
 protected:
  NDIS_STATUS Set(NDIS_OID oid, Bytes buffer) {
    read = 0xDEAD;
    needed = 0xBEEF;
    return miniport.SetInformation(oid, buffer, &read, &needed);
  }
  Bytes QueryMulticastList() {
    Bytes buffer(48);
    ULONG written = 0, unused = 0;
    EXPECT_EQ(miniport.QueryInformation(OID_802_3_MULTICAST_LIST, buffer, &written, &unused), NDIS_STATUS_SUCCESS);
    buffer.resize(written);
    return buffer;
  }
  static Bytes Groups(size_t count) { return Pattern(6 * count, 0x41); }

  ULONG read = 0;
  ULONG needed = 0;
};

TEST_F(SetInformationTest, ThePacketFilterNeedsFourBytesAndGoesToTheDevice) {
  EXPECT_EQ(Set(OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0}), NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(needed, 4u);
  EXPECT_EQ(read, 0xDEADu);
  EXPECT_TRUE(device->packetFilters.empty());
  EXPECT_EQ(Set(OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0, 0, 0xFF, 0xFF}), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(needed, 0xBEEFu);
  EXPECT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER, 0xFFFFFFFF), NDIS_STATUS_SUCCESS) << "any bits are accepted";
  EXPECT_EQ(device->packetFilters, (std::vector<ULONG>{0x0B, 0xFFFFFFFF}));
  EXPECT_EQ(QueryUlong(OID_GEN_CURRENT_PACKET_FILTER), 0xFFFFFFFFu);
}

TEST_F(SetInformationTest, LookaheadAndProtocolOptionsAreAcceptedAndIgnored) {
  for (NDIS_OID oid : {OID_GEN_CURRENT_LOOKAHEAD, OID_GEN_PROTOCOL_OPTIONS}) {
    EXPECT_EQ(Set(oid, {1, 2, 3}), NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(Set(oid, {100, 0, 0, 0}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(read, 4u);
  }
  EXPECT_EQ(QueryUlong(OID_GEN_CURRENT_LOOKAHEAD), 1500u);
  EXPECT_TRUE(device->calls.empty());
}

TEST_F(SetInformationTest, MulticastListsOf0And48And60BytesAreKeptUpToEightAnd7BytesRefused) {
  ASSERT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER, 0x02), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(Set(OID_802_3_MULTICAST_LIST, Groups(8)), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(read, 48u);
  EXPECT_EQ(QueryMulticastList(), Groups(8));
  EXPECT_EQ(Set(OID_802_3_MULTICAST_LIST, Pattern(7, 1)), NDIS_STATUS_INVALID_DATA);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(read, 0xDEADu);
  EXPECT_EQ(QueryMulticastList(), Groups(8)) << "list and count untouched";
  EXPECT_EQ(device->packetFilters.size(), 2u) << "nothing reached the device";
  Bytes ten = Pattern(60, 0x51);
  EXPECT_EQ(Set(OID_802_3_MULTICAST_LIST, ten), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(read, 48u);
  EXPECT_EQ(QueryMulticastList(), Bytes(ten.begin(), ten.begin() + 48)) << "cut to eight";
  EXPECT_EQ(Set(OID_802_3_MULTICAST_LIST, {}), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(QueryMulticastList().empty());
  // Every accepted list sends the unchanged filter again.
  EXPECT_EQ(device->packetFilters, (std::vector<ULONG>{0x02, 0x02, 0x02, 0x02}));
}

TEST_F(SetInformationTest, OtherOidsAreNotSupportedWithNothingNeeded) {
  for (NDIS_OID oid : std::vector<NDIS_OID>{OID_GEN_LINK_SPEED, OID_802_3_CURRENT_ADDRESS, 0xFF000001}) {
    EXPECT_EQ(Set(oid, Bytes(8)), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(read, 0xDEADu);
  }
}

TEST_F(SetInformationTest, APowerStateNeedsExactlyFourBytes) {
  for (size_t length : {0, 3, 8}) {
    EXPECT_EQ(Set(OID_PNP_SET_POWER, Bytes(length, 0)), NDIS_STATUS_INVALID_DATA);
    EXPECT_EQ(needed, 0u);
  }
  EXPECT_TRUE(device->calls.empty());
}

// Packets sent while the pipes are closed wait, and go out once D0 has reopened them.
TEST_F(SetInformationTest, D3AndD0PendUntilThePipesAreClosedAndReopenedAndCompleteOnce) {
  EXPECT_EQ(SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD3), NDIS_STATUS_PENDING);
  EXPECT_EQ(device->calls, Calls{"PowerDown"});
  EXPECT_TRUE(miniport.setCompletions().empty());
  kernel().RunPending();
  EXPECT_EQ(device->calls, (Calls{"PowerDown", "ClosePipes"}));
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  Packet asleep = NewPacket(Pattern(90, 1));
  miniport.SendPackets({asleep->packet()});
  EXPECT_TRUE(miniport.sendCompletions().empty());
  EXPECT_EQ(SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD0), NDIS_STATUS_PENDING);
  kernel().RunPending();
  EXPECT_EQ(device->calls, (Calls{"PowerDown", "ClosePipes", "PowerUp", "OpenPipes"}));
  EXPECT_EQ(miniport.setCompletions().size(), 2u);
  EXPECT_EQ(device->submittedFrames, std::vector<Bytes>{Pattern(90, 1)});
  EXPECT_TRUE(device->DeliverFrame(Pattern(60, 2))) << "reads are out again";
}

TEST_F(SetInformationTest, AFailedReopenStillCompletesD0WithSuccess) {
  EXPECT_EQ(SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD3), NDIS_STATUS_PENDING);
  kernel().RunPending();
  device->openStatus = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD0), NDIS_STATUS_PENDING);
  kernel().RunPending();
  EXPECT_EQ(miniport.setCompletions(), (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS}));
}

// Without a work item the pipes stay as they are, and the set still completes, once.
TEST_F(SetInformationTest, APowerChangeThatCannotBeQueuedCompletesAtOnceWithSuccess) {
  kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
  EXPECT_EQ(SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD3), NDIS_STATUS_PENDING);
  kernel().RunPending();
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(device->calls, Calls{"PowerDown"});
  Packet packet = NewPacket(Pattern(60, 1));
  miniport.SendPackets({packet->packet()});
  EXPECT_EQ(device->submittedFrames.size(), 1u) << "the pipes are still open";
  EXPECT_EQ(QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS), 1u) << "the next request is taken";
}

// The stop forgets a power change not yet started and cancels the request timer: the set
// must still complete, once.
TEST_F(SetInformationTest, ASurpriseRemovalBeforeThePowerChangeRanCompletesTheSetOnce) {
  EXPECT_EQ(SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD3), NDIS_STATUS_PENDING);
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  kernel().RunPending();
  EXPECT_EQ(miniport.setCompletions().size(), 1u);
  EXPECT_EQ(device->calls, (Calls{"PowerDown", "ClosePipes", "Stop"})) << "the power change never ran";
}

TEST_F(SetInformationTest, AHaltWhileAPowerChangeIsPendingCompletesItOnce) {
  EXPECT_EQ(SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD3), NDIS_STATUS_PENDING);
  miniport.Halt();  // the library reports a set left pending
  EXPECT_EQ(miniport.setCompletions().size(), 1u);
}

}  // namespace
