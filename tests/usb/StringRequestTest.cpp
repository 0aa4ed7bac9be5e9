// String and language-ID requests: how many characters come back, and what is left untouched.
#include "UsbTest.h"

#include "support/PoolTags.h"

using emu::devices::Bytes;
using emu::devices::DefaultEcmProfile;
using emu::devices::DeviceProfile;
using emu::usb::ControlFault;

namespace {

constexpr USHORT kEnglish = 0x0409;

class StringRequestTest : public UsbTest {
 protected:
  // The built-in device with extra strings.
  void PlugStrings(std::map<UCHAR, Bytes> strings) {
    DeviceProfile profile = DefaultEcmProfile();
    for (auto& [index, bytes] : strings) profile.strings[index] = bytes;
    Plug(profile);
  }
  std::u16string Read(UCHAR index, ULONG capacity, NTSTATUS expected = STATUS_SUCCESS, USHORT language = kEnglish) {
    std::vector<WCHAR> text(capacity + 1, u'#');
    EXPECT_EQ(target.GetString(index, language, text.data(), capacity, 500), expected);
    EXPECT_EQ(text[capacity], u'#') << "written past the capacity";
    return std::u16string(text.data());
  }
};

TEST_F(StringRequestTest, MacStringIsReadInTheDevicesLanguage) {
  EXPECT_EQ(Read(3, 13), u"02EC0DE00001");
}

TEST_F(StringRequestTest, DescriptorsOfTwoOrThreeBytesGiveAnEmptyString) {
  PlugStrings({{4, {0x02, 0x03}}, {5, {0x03, 0x03, 0x41}}});
  EXPECT_EQ(Read(4, 13), u"");
  EXPECT_EQ(Read(5, 13), u"");
}

TEST_F(StringRequestTest, OddByteCountDropsTheTrailingHalfCharacter) {
  PlugStrings({{4, {0x07, 0x03, 0x41, 0x00, 0x42, 0x00, 0x43}}});
  EXPECT_EQ(Read(4, 13), u"AB");
}

TEST_F(StringRequestTest, LongStringIsCutToCapacityLessOne) {
  EXPECT_EQ(Read(3, 5), u"02EC");
  EXPECT_EQ(Read(3, 2), u"0");
}

TEST_F(StringRequestTest, CapacityBelowTwoIsRefusedWithTheBufferUntouched) {
  WCHAR text[2] = {u'x', u'y'};
  EXPECT_EQ(target.GetString(3, kEnglish, text, 1, 500), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(text[0], u'x');
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(StringRequestTest, ScratchBlockShortageFailsBeforeAnythingIsSent) {
  kernel().faults().FailTag(kTagStringScratch, true);
  WCHAR text[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(target.GetString(3, kEnglish, text, 4, 500), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(text[0], 0) << "the text is emptied before the scratch block is asked for";
  EXPECT_EQ(RequestCount(), 0u);
  kernel().faults().FailTag(kTagStringScratch, false);
}

TEST_F(StringRequestTest, LanguageTheDeviceDoesNotOfferIsStalledAndTheTextStaysEmpty) {
  EXPECT_EQ(Read(3, 13, STATUS_UNSUCCESSFUL, 0x0407), u"");
}

TEST_F(StringRequestTest, LanguageIdsBeyondCapacityAreDropped) {
  PlugStrings({{0, {0x0A, 0x03, 0x09, 0x04, 0x07, 0x04, 0x0C, 0x04, 0x11, 0x04}}});
  USHORT ids[3] = {};
  ULONG count = 99;
  EXPECT_EQ(target.GetLanguageIds(ids, 2, &count, 500), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(ids[0], 0x0409);
  EXPECT_EQ(ids[1], 0x0407);
  EXPECT_EQ(ids[2], 0) << "no terminator, nothing past the capacity";
}

TEST_F(StringRequestTest, LanguageListOfTwoBytesGivesNoIds) {
  PlugStrings({{0, {0x02, 0x03}}});
  USHORT ids[2] = {0x1111, 0x2222};
  ULONG count = 99;
  EXPECT_EQ(target.GetLanguageIds(ids, 2, &count, 500), STATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(ids[0], 0x1111);
}

TEST_F(StringRequestTest, LanguageListRequestFailureIsReturnedWithCountZero) {
  bus().InjectFault(ControlFault::Stall(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE));
  USHORT ids[2];
  ULONG count = 99;
  EXPECT_EQ(target.GetLanguageIds(ids, 2, &count, 500), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(count, 0u);
}

}  // namespace
