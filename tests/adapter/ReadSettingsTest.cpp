// The registry keywords and NetworkAddress as ReadSettings keeps them.
#include <cstring>

#include "NdisTest.h"
#include "support/PoolTags.h"

namespace {

struct Read {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  AdapterSettings settings;
  NDIS_MEDIA_STATE mediaState = NdisMediaStateDisconnected;
  UCHAR address[6] = {};
};

class ReadSettingsTest : public NdisTest {
 protected:
  void SetUp() override { LoadDriver(); }

  // Reads the settings in an initialization of the adapter, which then fails on purpose.
  Read ReadWith(const std::function<void(emu::ndis::Registry&)>& fill) {
    emu::ndis::Miniport& miniport = library().AddMiniport();
    fill(miniport.registry());
    Read read;
    miniport.InitializeWith([&](NDIS_HANDLE handle, NDIS_HANDLE configuration) {
      Adapter* adapter = new (NonPagedPool, kTagAdapter) Adapter(handle);
      read.status = adapter->ReadSettings(configuration);
      read.settings = adapter->Settings;
      read.mediaState = adapter->MediaState;
      memcpy(read.address, adapter->PermanentAddress, 6);
      adapter->Destroy(kDestroyFreeMemory);
      return NDIS_STATUS_FAILURE;
    });
    return read;
  }
  Read ReadInteger(const char* keyword, ULONG value) {
    return ReadWith([&](emu::ndis::Registry& r) { r.SetInteger(keyword, value); });
  }
  Read ReadAddress(const std::u16string& text) {
    return ReadWith([&](emu::ndis::Registry& r) { r.SetString("NetworkAddress", text); });
  }
  static bool Is(const UCHAR* address, std::initializer_list<UCHAR> bytes) {
    return memcmp(address, std::data(bytes), 6) == 0;
  }
};

TEST_F(ReadSettingsTest, WithoutKeywordsTheDefaultsStay) {
  Read read = ReadWith([](emu::ndis::Registry&) {});
  EXPECT_EQ(read.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(read.settings.RxBuffers, 4u);
  EXPECT_EQ(read.settings.TxBuffers, 4u);
  EXPECT_EQ(read.settings.OneByteTermination, 0u);
  EXPECT_EQ(read.settings.ConfigurationIndex, 0u);
  EXPECT_EQ(read.settings.SendClearEpHaltOnStart, 0u);
  EXPECT_EQ(read.mediaState, NdisMediaStateDisconnected);
  EXPECT_TRUE(Is(read.address, {0xAE, 0xDE, 0x48, 0x02, 0x01, 0x00}));
}

TEST_F(ReadSettingsTest, BufferCountsAreKeptBetween2And128) {
  const std::pair<ULONG, ULONG> cases[] = {{0, 2}, {1, 2}, {2, 2}, {77, 77}, {128, 128}, {129, 128}, {0xFFFFFFFF, 128}};
  for (auto [value, kept] : cases) {
    EXPECT_EQ(ReadInteger("RxBuffers", value).settings.RxBuffers, kept) << value;
    EXPECT_EQ(ReadInteger("TxBuffers", value).settings.TxBuffers, kept) << value;
  }
}

TEST_F(ReadSettingsTest, OneByteTerminationAbove1Becomes1) {
  EXPECT_EQ(ReadInteger("OneByteTermination", 0).settings.OneByteTermination, 0u);
  EXPECT_EQ(ReadInteger("OneByteTermination", 1).settings.OneByteTermination, 1u);
  EXPECT_EQ(ReadInteger("OneByteTermination", 5).settings.OneByteTermination, 1u);
}

TEST_F(ReadSettingsTest, ConfigurationIndexAndClearHaltAreStoredAsRead) {
  EXPECT_EQ(ReadInteger("ConfigurationIndex", 0x101).settings.ConfigurationIndex, 0x101u);
  EXPECT_EQ(ReadInteger("SendClearEpHaltOnStart", 0x80000001).settings.SendClearEpHaltOnStart, 0x80000001u);
}

TEST_F(ReadSettingsTest, DefaultMediaStateZeroIsDisconnectedAnythingElseConnected) {
  EXPECT_EQ(ReadInteger("DefaultMediaState", 0).mediaState, NdisMediaStateDisconnected);
  EXPECT_EQ(ReadInteger("DefaultMediaState", 2).mediaState, NdisMediaStateConnected);
}

// Values the advanced property page writes are strings: NDIS converts them in base 10.
TEST_F(ReadSettingsTest, StringValuesAreReadAsDecimalAndUnreadableOnesLeaveTheDefault) {
  Read read = ReadWith([](emu::ndis::Registry& r) {
    r.SetString("RxBuffers", u"16");
    r.SetString("TxBuffers", u"many");
    r.SetString("ConfigurationIndex", u"10");
  });
  EXPECT_EQ(read.settings.RxBuffers, 16u);
  EXPECT_EQ(read.settings.TxBuffers, 4u);
  EXPECT_EQ(read.settings.ConfigurationIndex, 10u);
}

TEST_F(ReadSettingsTest, KeywordsAreFoundWhateverTheirCase) {
  EXPECT_EQ(ReadInteger("rxbuffers", 9).settings.RxBuffers, 9u);
}

TEST_F(ReadSettingsTest, AnIndividualNetworkAddressIsTaken) {
  EXPECT_TRUE(Is(ReadAddress(u"021122334455").address, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_TRUE(Is(ReadAddress(u"00aAbBcCdDeE").address, {0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));
}

TEST_F(ReadSettingsTest, GroupAllOnesAllZerosWrongLengthAndMalformedAddressesAreIgnored) {
  const char16_t* refused[] = {u"01005E000001", u"FFFFFFFFFFFF", u"000000000000", u"0211223344", u"02112233445566",
                               u"02-11-22-33-44-55", u"02:11:22:33:44:55", u"02112233445", u"", u"02112233445G"};
  for (const char16_t* text : refused)
    EXPECT_TRUE(Is(ReadAddress(text).address, {0xAE, 0xDE, 0x48, 0x02, 0x01, 0x00}))
        << std::string(text, text + std::char_traits<char16_t>::length(text));
}

TEST_F(ReadSettingsTest, AnIntegerNetworkAddressIsIgnored) {
  Read read = ReadWith([](emu::ndis::Registry& r) { r.SetInteger("NetworkAddress", 0x02112233); });
  EXPECT_TRUE(Is(read.address, {0xAE, 0xDE, 0x48, 0x02, 0x01, 0x00}));
}

TEST_F(ReadSettingsTest, AFailedOpenReturnsItsStatus) {
  emu::ndis::Miniport& miniport = library().AddMiniport();
  miniport.FailOpenConfiguration(NDIS_STATUS_RESOURCES);
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  miniport.InitializeWith([&](NDIS_HANDLE handle, NDIS_HANDLE configuration) {
    Adapter* adapter = new (NonPagedPool, kTagAdapter) Adapter(handle);
    status = adapter->ReadSettings(configuration);
    adapter->Destroy(kDestroyFreeMemory);
    return NDIS_STATUS_FAILURE;
  });
  EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
}

}  // namespace
