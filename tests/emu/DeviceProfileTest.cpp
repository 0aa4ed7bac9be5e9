// The profile loader refuses malformed files with the line and the reason; the checker
// describes odd descriptors without refusing them.
#include <gtest/gtest.h>

#include <string>

#include "ShippedProfiles.h"
#include "emu/devices/DeviceProfile.h"

using emu::devices::CheckProfile;
using emu::devices::DefaultEcmProfile;
using emu::devices::DeviceProfile;
using emu::devices::ParseProfile;
using emu::devices::ProfileLoad;

namespace {

const std::string kDevice = "device: 12 01 00 02 02 00 00 40 09 12 01 4e 00 01 01 02 04 01\n";

std::string Refusal(const std::string& text) {
  ProfileLoad load = ParseProfile(text);
  EXPECT_FALSE(load.ok) << text;
  return load.error;
}

TEST(DeviceProfileTest, ShippedProfilesLoad) {
  for (const char* name : {"hs-basic", "fs-second-config", "no-mac-jumbo", "composite-vendor"}) {
    ProfileLoad load = emu::devices::LoadProfileFile(ShippedProfilePath(name));
    EXPECT_TRUE(load.ok) << name << ": " << load.error;
  }
  ProfileLoad secondConfig = emu::devices::LoadProfileFile(ShippedProfilePath("fs-second-config"));
  EXPECT_EQ(secondConfig.profile.configurations.size(), 2u);
  EXPECT_EQ(secondConfig.profile.strings.at(5)[0], 0x1a);
}

TEST(DeviceProfileTest, MalformedLinesAreRefusedWithLineAndReason) {
  EXPECT_EQ(Refusal(kDevice + "# fine\n\nconfig 0: 09 02 0a 00 01 01 00 80 32\n"),
            "line 4: configuration has 9 bytes but wTotalLength says 10");
  EXPECT_EQ(Refusal(kDevice + "string 1: 06 03 41 00 4g 00\n"), "line 2: '4g' is not a hexadecimal byte");
  EXPECT_EQ(Refusal(kDevice + "string 1: 06 03 41 00\n"), "line 2: string descriptor has 4 bytes but bLength says 6");
  EXPECT_EQ(Refusal(kDevice + "string 1: 04 03 41 00\nstring 1: 04 03 42 00\n"), "line 3: string 1 appears twice");
  EXPECT_EQ(Refusal(kDevice + "interface 0: 09 04\n"), "line 2: unknown keyword 'interface'");
  EXPECT_EQ(Refusal(kDevice + "config 256: 09 02 09 00 00 01 00 80 32\n"), "line 2: config needs an index from 0 to 255");
  EXPECT_EQ(Refusal(kDevice + "string 2 04 03 41 00\n"), "line 2: expected 'keyword: bytes'");
  EXPECT_EQ(Refusal("device: 12 01 00 02\n"), "line 1: device descriptor has 4 bytes, 18 expected");
  EXPECT_EQ(Refusal(kDevice + kDevice), "line 2: second device line");
  EXPECT_EQ(Refusal("string 0: 04 03 09 04\n"), "line 1: the profile has no device line");
  EXPECT_EQ(Refusal(kDevice + "string 0: 04 03 09 04\n"), "line 2: the profile has no config line");
  EXPECT_EQ(Refusal(kDevice + "config 0: 09 04 09 00 00 01 00 80 32\n"), "line 2: configuration descriptor type is not 2");
  EXPECT_EQ(emu::devices::LoadProfileFile(ShippedProfilePath("absent")).error,
            ShippedProfilePath("absent") + ": cannot be read");
}

TEST(DeviceProfileTest, BuiltInDeviceDrawsNoNotes_ShippedOneOnlyItsMissingSerialString) {
  EXPECT_EQ(CheckProfile(DefaultEcmProfile()), std::vector<std::string>{});
  EXPECT_EQ(CheckProfile(emu::devices::LoadProfileFile(ShippedProfilePath("hs-basic")).profile),
            std::vector<std::string>{"device: string 4 is named but missing"});
}

TEST(DeviceProfileTest, OddButLegalDescriptorsLoadAndAreDescribed) {
  // bNumInterfaces 2 with one interface, which claims two endpoints and has one.
  ProfileLoad load = ParseProfile(kDevice +
                                  "config 0: 09 02 19 00 02 01 00 80 32 09 04 00 00 02 ff 00 00 00 07 05 81 02 40 00 00\n");
  ASSERT_TRUE(load.ok) << load.error;
  std::vector<std::string> notes = CheckProfile(load.profile);
  auto has = [&notes](const std::string& text) {
    for (const std::string& note : notes)
      if (note.find(text) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(has("config 0: interface 0 alternate 0 claims 2 endpoints and is followed by 1"));
  EXPECT_TRUE(has("config 0: bNumInterfaces is 2 but 1 interfaces have an alternate setting 0"));
  EXPECT_TRUE(has("config 0: the first interface is not a CDC ECM communication interface"));
  EXPECT_TRUE(has("device: string 1 is named but missing"));
}

TEST(DeviceProfileTest, BrokenDescriptorChainIsDescribed) {
  DeviceProfile profile = DefaultEcmProfile();
  profile.configurations[0][9] = 1;  // the communication interface's bLength
  std::vector<std::string> notes = CheckProfile(profile);
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes[0], "config 0: the descriptor at offset 9 has bLength 1 with 71 bytes left; what follows is never seen");
}

}  // namespace
