#include <gtest/gtest.h>

#include "usb/StringHelpers.h"

namespace {

TEST(StringHelpersTest, WideCopyOfCountThreeKeepsTwoCharactersAndTerminates) {
  WCHAR destination[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(CopyWideStringBounded(destination, u"ABCDEF", 3), 2u);
  EXPECT_EQ(std::u16string(destination), u"AB");
  EXPECT_EQ(destination[3], u'#');
  EXPECT_EQ(CopyWideStringBounded(destination, u"Z", 3), 1u);
  EXPECT_EQ(std::u16string(destination), u"Z");
  EXPECT_EQ(WideStringLength(u"02EC0DE00001"), 12u);
}

TEST(StringHelpersTest, CountOneTerminatesOnlyAndCountZeroWritesNothing) {
  CHAR destination[2] = {'#', '#'};
  EXPECT_EQ(CopyStringBounded(destination, "out", 1), 0u);
  EXPECT_EQ(destination[0], 0);
  destination[0] = '#';
  EXPECT_EQ(CopyStringBounded(destination, "out", 0), 0u);
  EXPECT_EQ(destination[0], '#');
  CHAR label[8];
  EXPECT_EQ(CopyStringBounded(label, "in ", 8), 3u);
  EXPECT_STREQ(label, "in ");
}

}  // namespace
