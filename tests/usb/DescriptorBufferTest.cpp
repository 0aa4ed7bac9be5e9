// Reading a configuration descriptor, and the bounded walk over it: lengths the device
// reports are bounded before use, and nothing is read past a descriptor or the buffer.
#include "UsbTest.h"

#include "ChangingConfigurationDevice.h"

#include <cstring>

#include "support/PoolTags.h"
#include "usb/DescriptorBuffer.h"

using emu::devices::Bytes;
using emu::usb::ControlFault;

namespace {

// A configuration of 'total' bytes: a header claiming 'total', then filler descriptors.
Bytes ConfigurationOf(size_t total, size_t claimed) {
  Bytes bytes(total, 0);
  const UCHAR header[9] = {9, 2, static_cast<UCHAR>(claimed), static_cast<UCHAR>(claimed >> 8), 0, 1, 0, 0x80, 50};
  std::memcpy(bytes.data(), header, std::min<size_t>(total, 9));
  for (size_t at = 9; at + 2 <= total; at += 2) bytes[at] = 2, bytes[at + 1] = 0x30;
  return bytes;
}

class DescriptorBufferTest : public UsbTest {
 protected:
  void TearDown() override {
    buffer.Discard();
    UsbTest::TearDown();
  }
  NTSTATUS Read() { return buffer.ReadConfigurationDescriptor(target, 0, NonPagedPool, 500); }
  // Holds exactly these bytes, in a block of their size, so a read past them is caught.
  void Hold(const Bytes& bytes) {
    ASSERT_NE(buffer.AllocateBytes(NonPagedPool, static_cast<ULONG>(bytes.size()), kTagDescriptors, FALSE), nullptr);
    std::memcpy(buffer.bytes, bytes.data(), bytes.size());
  }
  DescriptorBuffer buffer;
};

TEST_F(DescriptorBufferTest, DefaultDeviceConfigurationIsReadWhole) {
  EXPECT_EQ(Read(), STATUS_SUCCESS);
  EXPECT_EQ(buffer.length, 80u);
  EXPECT_EQ(buffer.bytes[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(RequestCount(), 2u) << "the header, then wTotalLength bytes";
  EXPECT_EQ(bus().Requests()[1].setup->wLength, 80);
}

TEST_F(DescriptorBufferTest, TotalLengthIsBoundedToNineThrough4096) {
  struct Case {
    size_t total;
    NTSTATUS expected;
  };
  for (Case c : {Case{8, STATUS_INVALID_PARAMETER}, Case{9, STATUS_SUCCESS}, Case{4096, STATUS_SUCCESS},
                 Case{4097, STATUS_INVALID_PARAMETER}, Case{0, STATUS_INVALID_PARAMETER}}) {
    PlugConfiguration(ConfigurationOf(std::max<size_t>(c.total, 9), c.total));
    EXPECT_EQ(Read(), c.expected) << "wTotalLength " << c.total;
    EXPECT_EQ(buffer.length, c.expected == STATUS_SUCCESS ? c.total : 0u);
  }
}

TEST_F(DescriptorBufferTest, HeaderReadOfOtherThanNineBytesIsRefused) {
  PlugConfiguration(ConfigurationOf(8, 8));
  EXPECT_EQ(Read(), STATUS_INVALID_BLOCK_LENGTH);
  EXPECT_EQ(buffer.bytes, nullptr);
}

// A device whose full answer claims more or less than its header did (or than it sent)
// leaves a descriptor whose own wTotalLength is the length walked, and within the bytes
// read: the bus driver, selecting the configuration, walks by that field and sees what the
// driver saw, inside the allocation.
TEST_F(DescriptorBufferTest, StoredTotalLengthIsTheLengthWalkedAndWasRead) {
  struct Case {
    const char* what;
    Bytes header;
    Bytes full;
    NTSTATUS status;
    ULONG length;
  };
  for (const Case& c :
       {Case{"short full read", ConfigurationOf(80, 80), ConfigurationOf(40, 80), STATUS_SUCCESS, 40},
        Case{"full read claims more", ConfigurationOf(60, 60), ConfigurationOf(60, 200), STATUS_SUCCESS, 60},
        Case{"full read claims less", ConfigurationOf(60, 60), ConfigurationOf(60, 30), STATUS_SUCCESS, 30},
        Case{"full read claims less than a header", ConfigurationOf(60, 60), ConfigurationOf(60, 5),
             STATUS_INVALID_PARAMETER, 0},
        Case{"full read shorter than a header", ConfigurationOf(60, 60), ConfigurationOf(5, 60),
             STATUS_INVALID_BLOCK_LENGTH, 0}}) {
    Plug(std::make_unique<ChangingConfigurationDevice>(c.header, c.full));
    EXPECT_EQ(Read(), c.status) << c.what;
    EXPECT_EQ(buffer.length, c.length) << c.what;
    if (c.status != STATUS_SUCCESS) {
      EXPECT_EQ(buffer.bytes, nullptr) << c.what;
      continue;
    }
    EXPECT_EQ(ULONG(buffer.bytes[2] | buffer.bytes[3] << 8), buffer.length) << c.what;
  }
}

TEST_F(DescriptorBufferTest, FailureOfTheFullReadLeavesTheBufferEmpty) {
  bus().InjectFault(ControlFault::Stall(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).Skip(1).Times(1));
  EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(buffer.bytes, nullptr);
  EXPECT_EQ(buffer.length, 0u);
  kernel().faults().FailTag(kTagDescriptors, true);
  EXPECT_EQ(Read(), STATUS_INSUFFICIENT_RESOURCES);
  kernel().faults().FailTag(kTagDescriptors, false);
}

TEST_F(DescriptorBufferTest, BrokenLengthEndsEveryWalk) {
  const Bytes interface = {9, 4, 1, 0, 0, 0x0A, 0, 0, 0};
  for (Bytes breaker : {Bytes{0, 0x24}, Bytes{1, 0x24}, Bytes{0x40, 0x24}}) {
    Bytes bytes = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    bytes.insert(bytes.end(), breaker.begin(), breaker.end());
    bytes.insert(bytes.end(), interface.begin(), interface.end());
    Hold(bytes);
    EXPECT_EQ(buffer.FindInterfaceDescriptor(nullptr, -1, -1, -1, -1, -1), nullptr) << int(breaker[0]);
    EXPECT_EQ(buffer.FindDescriptor(nullptr, 0x24), nullptr);
    EXPECT_EQ(buffer.NextDescriptor(buffer.bytes + 9), nullptr);
  }
}

TEST_F(DescriptorBufferTest, SearchStartedOnAMatchReturnsThatDescriptor) {
  ASSERT_EQ(Read(), STATUS_SUCCESS);
  PUCHAR communication = buffer.FindInterfaceDescriptor(nullptr, -1, -1, 2, 6, 0);
  ASSERT_NE(communication, nullptr);
  EXPECT_EQ(communication - buffer.bytes, 9);
  EXPECT_EQ(buffer.FindInterfaceDescriptor(communication, 0, 0, -1, -1, -1), communication);
  PUCHAR data = buffer.FindInterfaceDescriptor(buffer.NextDescriptor(communication), -1, -1, 0x0A, -1, -1);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[3], 0) << "alternate setting 0 comes first";
  PUCHAR second = buffer.FindInterfaceDescriptor(buffer.NextDescriptor(data), -1, -1, 0x0A, -1, -1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second[3], 1);
  EXPECT_EQ(buffer.FindInterfaceDescriptor(nullptr, 1, 2, -1, -1, -1), nullptr);
}

// Descriptors too short for the fields the searches read must never match: at the end of
// the buffer those fields would lie beyond it.
TEST_F(DescriptorBufferTest, InterfaceTooShortForItsFieldsDoesNotMatch) {
  Hold({9, 2, 14, 0, 1, 1, 0, 0x80, 50, 5, 4, 0, 0, 0});
  EXPECT_EQ(buffer.FindInterfaceDescriptor(nullptr, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(buffer.FindDescriptor(nullptr, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
  EXPECT_TRUE(buffer.IsUsable(buffer.bytes + 9)) << "it is still walked over";
  Hold({9, 2, 25, 0, 1, 1, 0, 0x80, 50, 7, 4, 3, 0, 0, 2, 6, 9, 4, 4, 0, 0, 2, 6, 0, 0});
  PUCHAR found = buffer.FindInterfaceDescriptor(nullptr, -1, -1, 2, 6, -1);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found[2], 4) << "the short one is skipped, the full one after it found";
  Hold({9, 2, 17, 0, 1, 1, 0, 0x80, 50, 8, 4, 0, 0, 0, 2, 6, 0});
  EXPECT_NE(buffer.FindInterfaceDescriptor(nullptr, 0, 0, 2, 6, 0), nullptr) << "8 bytes hold every field read";
}

TEST_F(DescriptorBufferTest, EndpointAndClassDescriptorsTooShortDoNotMatch) {
  Hold({9, 2, 15, 0, 1, 1, 0, 0x80, 50, 6, 5, 0x81, 2, 0, 2});
  EXPECT_EQ(buffer.FindDescriptor(nullptr, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  Hold({9, 2, 27, 0, 1, 1, 0, 0x80, 50, 5, 0x24, 0x0F, 3, 0, 13, 0x24, 0x0F, 3, 0, 0, 0, 0, 0xEA, 5, 0, 0, 0});
  PUCHAR ethernet = buffer.FindDescriptor(nullptr, 0x24, 10);
  ASSERT_NE(ethernet, nullptr);
  EXPECT_EQ(ethernet - buffer.bytes, 14) << "a caller reading through offset 9 skips the 5-byte one";
  EXPECT_EQ(buffer.FindDescriptor(nullptr, 0x24) - buffer.bytes, 9);
}

TEST_F(DescriptorBufferTest, PositionsOutsideTheBufferAreNotUsable) {
  ASSERT_EQ(Read(), STATUS_SUCCESS);
  EXPECT_FALSE(buffer.IsUsable(nullptr));
  EXPECT_FALSE(buffer.IsUsable(buffer.bytes + buffer.length));
  EXPECT_FALSE(buffer.IsUsable(buffer.bytes - 1));
  EXPECT_FALSE(buffer.IsUsable(buffer.bytes + buffer.length - 1)) << "one byte left holds no descriptor";
  buffer.Discard();
  EXPECT_FALSE(buffer.IsUsable(buffer.bytes));
  EXPECT_EQ(buffer.NextDescriptor(nullptr), nullptr);
}

}  // namespace
