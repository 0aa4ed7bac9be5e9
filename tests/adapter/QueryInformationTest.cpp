// Every query OID: with a buffer one byte short, InvalidLength and the length needed; with an
// exact one, the value and the length written. Values are made distinctive first.
#include "StartedAdapterTest.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes Ulong(ULONG value) {
  Bytes bytes(4);
  memcpy(bytes.data(), &value, 4);
  return bytes;
}

const ULONG kListed[] = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010107, 0x00010108,
    0x00010109, 0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D, 0x0001010E, 0x0001010F, 0x00010110,
    0x00010111, 0x00010112, 0x00010113, 0x00010114, 0x00010115, 0x00010116, 0x00020101, 0x00020102,
    0x00020103, 0x00020104, 0x00020105, 0x01010101, 0x01010102, 0x01010103, 0x01010104, 0x01010105,
    0x01020101, 0x01020102, 0x01020103, 0xFD010100, 0xFD010101, 0xFD010102,
};

class QueryInformationTest : public StartedAdapterTest {
 protected:
  void SetUp() override {
    miniport.registry().SetInteger("RxBuffers", 7);
    miniport.registry().SetInteger("TxBuffers", 9);
    prepareDevice = [](FakeNetworkDevice& d) {
      d.hasMac = true;
      memcpy(d.mac, kMac, 6);
    };
    StartedAdapterTest::SetUp();
  }
  static constexpr UCHAR kMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  static constexpr UCHAR kGroups[12] = {0x01, 0, 0x5E, 0, 0, 1, 0x01, 0, 0x5E, 0x7F, 0xFF, 0xFA};
};

TEST_F(QueryInformationTest, EveryAnsweredOidRefusesAShortBufferAndFillsAnExactOne) {
  adapter->OnLinkSpeedChanged(2000, 500);
  adapter->OnLinkStateChanged(TRUE);
  ASSERT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER, 0x0B), NDIS_STATUS_SUCCESS);
  Bytes groups(kGroups, kGroups + 12);
  ULONG read, needed;
  ASSERT_EQ(miniport.SetInformation(OID_802_3_MULTICAST_LIST, groups, &read, &needed), NDIS_STATUS_SUCCESS);
  Packet sent = NewPacket(Pattern(60, 1));
  miniport.SendPackets({sent->packet()});
  device->DeliverFrame(Pattern(61, 2));
  device->DeliverFrame(Pattern(62, 3));
  device->DeliverFrame(Pattern(10, 4));
  kernel().RunPending();

  Bytes supported(reinterpret_cast<const UCHAR*>(kListed), reinterpret_cast<const UCHAR*>(kListed) + sizeof kListed);
  Bytes description = {'N', 'D', 'I', 'S', ' ', 'A', 'd', 'a', 'p', 't', 'e', 'r', 0};
  Bytes mac(kMac, kMac + 6);
  const std::pair<NDIS_OID, Bytes> answers[] = {
      {OID_GEN_SUPPORTED_LIST, supported},
      {OID_GEN_HARDWARE_STATUS, Ulong(0)},
      {OID_GEN_MEDIA_SUPPORTED, Ulong(0)},
      {OID_GEN_MEDIA_IN_USE, Ulong(0)},
      {OID_GEN_MAXIMUM_LOOKAHEAD, Ulong(1500)},
      {OID_GEN_MAXIMUM_FRAME_SIZE, Ulong(1500)},
      {OID_GEN_LINK_SPEED, Ulong(5)},
      {OID_GEN_TRANSMIT_BUFFER_SPACE, Ulong(1500 * 9)},
      {OID_GEN_RECEIVE_BUFFER_SPACE, Ulong(1500 * 7)},
      {OID_GEN_TRANSMIT_BLOCK_SIZE, Ulong(1514)},
      {OID_GEN_RECEIVE_BLOCK_SIZE, Ulong(1514)},
      {OID_GEN_VENDOR_ID, {0x00, 0x11, 0x22, 0x00}},
      {OID_GEN_VENDOR_DESCRIPTION, description},
      {OID_GEN_CURRENT_PACKET_FILTER, Ulong(0x0B)},
      {OID_GEN_CURRENT_LOOKAHEAD, Ulong(1500)},
      {OID_GEN_DRIVER_VERSION, {0x01, 0x05}},
      {OID_GEN_MAXIMUM_TOTAL_SIZE, Ulong(1514)},
      {OID_GEN_MAC_OPTIONS, Ulong(0x0F)},
      {OID_GEN_MEDIA_CONNECT_STATUS, Ulong(0)},
      {OID_GEN_MAXIMUM_SEND_PACKETS, Ulong(9)},
      {OID_GEN_VENDOR_DRIVER_VERSION, Ulong(0x00010010)},
      {OID_GEN_XMIT_OK, Ulong(1)},
      {OID_GEN_RCV_OK, Ulong(2)},
      {OID_GEN_XMIT_ERROR, Ulong(0)},
      {OID_GEN_RCV_ERROR, Ulong(1)},
      {OID_GEN_RCV_NO_BUFFER, Ulong(0)},
      {OID_802_3_PERMANENT_ADDRESS, mac},
      {OID_802_3_CURRENT_ADDRESS, mac},
      {OID_802_3_MULTICAST_LIST, groups},
      {OID_802_3_MAXIMUM_LIST_SIZE, Ulong(8)},
      {OID_802_3_MAC_OPTIONS, Ulong(0)},
      {OID_802_3_RCV_ERROR_ALIGNMENT, Ulong(0)},
      {OID_802_3_XMIT_ONE_COLLISION, Ulong(0)},
      {OID_802_3_XMIT_MORE_COLLISIONS, Ulong(0)},
      {OID_PNP_CAPABILITIES, Bytes(12, 0)},
      {OID_PNP_QUERY_POWER, {}},
  };
  ASSERT_EQ(std::size(answers), 36u) << "the 38 listed but the two only set";
  for (const auto& [oid, expected] : answers) {
    SCOPED_TRACE(testing::Message() << std::hex << "OID 0x" << oid);
    ULONG length = static_cast<ULONG>(expected.size());
    ULONG written = 0xDEAD, needed = 0xBEEF;
    if (length > 0) {
      Bytes shortBuffer(length - 1, 0xA5);
      EXPECT_EQ(miniport.QueryInformation(oid, shortBuffer, &written, &needed), NDIS_STATUS_INVALID_LENGTH);
      EXPECT_EQ(needed, length);
      EXPECT_EQ(written, 0xDEADu);
      EXPECT_EQ(shortBuffer, Bytes(length - 1, 0xA5)) << "nothing copied";
    }
    Bytes exact(length, 0xA5);
    needed = 0xBEEF;
    EXPECT_EQ(miniport.QueryInformation(oid, exact, &written, &needed), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(written, length);
    EXPECT_EQ(needed, 0xBEEFu);
    EXPECT_EQ(exact, expected);
  }
}

TEST_F(QueryInformationTest, ALongerBufferGetsOnlyTheAnswer) {
  Bytes buffer(10, 0xA5);
  ULONG written = 0, needed = 0;
  EXPECT_EQ(miniport.QueryInformation(OID_GEN_DRIVER_VERSION, buffer, &written, &needed), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(buffer, (Bytes{0x01, 0x05, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}));
  EXPECT_EQ(miniport.QueryInformation(OID_802_3_MULTICAST_LIST, buffer, &written, &needed), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(written, 0u) << "no addresses set";
}

TEST_F(QueryInformationTest, SetOnlyAndUnknownOidsAreNotSupportedAndWriteNoCount) {
  for (NDIS_OID oid : std::vector<NDIS_OID>{OID_GEN_PROTOCOL_OPTIONS, OID_PNP_SET_POWER, 0x00010199, 0x01010106}) {
    Bytes buffer(200, 0xA5);
    ULONG written = 0xDEAD, needed = 0xBEEF;
    EXPECT_EQ(miniport.QueryInformation(oid, buffer, &written, &needed), NDIS_STATUS_NOT_SUPPORTED) << oid;
    EXPECT_EQ(written, 0xDEADu);
    EXPECT_EQ(needed, 0xBEEFu);
  }
  EXPECT_TRUE(device->calls.empty()) << "no query reaches the device";
}

}  // namespace
