// Configuration and interface selection against the emulated bus: what the records hold
// afterwards, what a failed step leaves behind, and the order of the lookups.
#include "UsbTest.h"

#include "support/PoolTags.h"
#include "usb/ConfigurationSelector.h"

using emu::devices::Bytes;
using emu::usb::ControlFault;

namespace {

constexpr ULONG kTransferSize = 4096;
const Bytes kHeader = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};

// A configuration from descriptors, with wTotalLength and bNumInterfaces filled in.
Bytes Configuration(UCHAR interfaces, std::initializer_list<Bytes> descriptors) {
  Bytes bytes = kHeader;
  for (const Bytes& d : descriptors) bytes.insert(bytes.end(), d.begin(), d.end());
  bytes[2] = static_cast<UCHAR>(bytes.size());
  bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
  bytes[4] = interfaces;
  return bytes;
}
Bytes Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR interfaceClass = 0xFF) {
  return {9, 4, number, alternate, endpoints, interfaceClass, 0, 0, 0};
}
Bytes Endpoint(UCHAR address, UCHAR type, USHORT packet = 64) {
  return {7, 5, address, type, static_cast<UCHAR>(packet), static_cast<UCHAR>(packet >> 8), 0};
}

class ConfigurationSelectorTest : public UsbTest {
 protected:
  void TearDown() override {
    selector.ReleaseAll();
    selector.descriptorCopy.Discard();
    UsbTest::TearDown();
  }
  NTSTATUS Select() { return selector.SelectConfiguration(target, 0, 500, kTransferSize); }
  NTSTATUS SelectDataAlternateOne() {
    NTSTATUS status = selector.PrepareSelectInterface(target, 1, 1, kTransferSize);
    return status == STATUS_SUCCESS ? selector.SubmitSelectInterface(target, 500) : status;
  }
  // The selector holds nothing: every allocation of a failed build is gone.
  void ExpectEmpty() {
    EXPECT_EQ(selector.descriptorCopy.bytes, nullptr);
    EXPECT_EQ(selector.interfaceList, nullptr);
    EXPECT_EQ(selector.selectConfigurationRequest, nullptr);
    EXPECT_TRUE(selector.records.IsEmpty());
    EXPECT_EQ(kernel().pool().Outstanding(), 0u);
  }
  ConfigurationSelector selector;
};

TEST_F(ConfigurationSelectorTest, BuiltInDeviceGetsItsThreePipes) {
  ASSERT_EQ(Select(), STATUS_SUCCESS);
  EXPECT_TRUE(selector.configured);
  EXPECT_EQ(selector.configurationValue, 1);
  EXPECT_NE(selector.configurationHandle, nullptr);
  EXPECT_EQ(selector.selectConfigurationRequest, nullptr) << "freed once sent";
  PUSBD_INTERFACE_INFORMATION data = selector.FindInterface(-1, -1, 0x0A, -1, -1);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->InterfaceNumber, 1);
  EXPECT_EQ(data->NumberOfPipes, 0u);
  ASSERT_EQ(SelectDataAlternateOne(), STATUS_SUCCESS);
  EXPECT_EQ(bench.device().alternateSetting(1), 1);

  PUSBD_PIPE_INFORMATION interrupt = selector.FindPipe(UsbdPipeTypeInterrupt, TRUE, -1, -1);
  PUSBD_PIPE_INFORMATION bulkIn = selector.FindPipe(UsbdPipeTypeBulk, TRUE, -1, -1);
  PUSBD_PIPE_INFORMATION bulkOut = selector.FindPipe(UsbdPipeTypeBulk, FALSE, -1, -1);
  ASSERT_TRUE(interrupt && bulkIn && bulkOut);
  EXPECT_EQ(interrupt->EndpointAddress, 0x81);
  EXPECT_EQ(interrupt->MaximumPacketSize, 16);
  EXPECT_EQ(interrupt->Interval, 8);
  EXPECT_EQ(bulkIn->EndpointAddress, 0x82);
  EXPECT_EQ(bulkIn->MaximumPacketSize, 512);
  EXPECT_EQ(bulkIn->MaximumTransferSize, kTransferSize);
  EXPECT_EQ(bulkOut->EndpointAddress, 0x02);
  EXPECT_EQ(selector.FindPipeByAddress(0x82), bulkIn);
  EXPECT_EQ(selector.FindPipeByAddress(0x03), nullptr);
  EXPECT_EQ(selector.records.Next(nullptr)->information->InterfaceNumber, 0) << "the reselected interface is last";

  // The handles are the bus's: a pipe request on one goes through.
  USBD_STATUS usbd = 0;
  EXPECT_EQ(target.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bulkIn->PipeHandle, 500, &usbd),
            STATUS_SUCCESS);
  EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
}

TEST_F(ConfigurationSelectorTest, PacketFilterReachesTheConfiguredDevice) {
  ASSERT_EQ(Select(), STATUS_SUCCESS);
  USBD_STATUS usbd = 0;
  EXPECT_EQ(target.ClassOrVendorRequest(URB_FUNCTION_CLASS_INTERFACE, 0x43, 0x000E, 0, 0, nullptr, nullptr, 0,
                                        nullptr, 500, &usbd),
            STATUS_SUCCESS);
  EXPECT_EQ(bench.device().packetFilter(), 0x000E);
}

TEST_F(ConfigurationSelectorTest, InterfaceCountOtherThanClaimedIsABadFormat) {
  PlugConfiguration(Configuration(2, {Interface(0, 0, 0), Interface(0, 1, 0)}));
  EXPECT_EQ(Select(), STATUS_BAD_DESCRIPTOR_FORMAT);
  ExpectEmpty();
  PlugConfiguration(Configuration(2, {Interface(0, 0, 0), Interface(1, 0, 0), Interface(2, 0, 0)}));
  EXPECT_EQ(Select(), STATUS_BAD_DESCRIPTOR_FORMAT);
  ExpectEmpty();
  EXPECT_EQ(bus().Requests().size(), 2u) << "only the two descriptor reads went out";
}

TEST_F(ConfigurationSelectorTest, MissingEndpointDescriptorsFailTheBuild) {
  PlugConfiguration(Configuration(1, {Interface(0, 0, 2), Endpoint(0x81, 2)}));
  EXPECT_EQ(Select(), STATUS_INSUFFICIENT_RESOURCES);
  ExpectEmpty();
}

TEST_F(ConfigurationSelectorTest, InterfaceShortOfItsOwnEndpointsBorrowsTheNextOnes) {
  PlugConfiguration(Configuration(2, {Interface(0, 0, 2), Endpoint(0x81, 2), Interface(1, 0, 1), Endpoint(0x02, 2)}));
  ASSERT_EQ(selector.BuildSelectConfiguration(target, 0, 500, kTransferSize), STATUS_SUCCESS);
  PUSBD_PIPE_INFORMATION borrowed = selector.FindPipe(UsbdPipeTypeBulk, FALSE, 0, -1);
  ASSERT_NE(borrowed, nullptr);
  EXPECT_EQ(borrowed->EndpointAddress, 0x02);
  EXPECT_EQ(selector.FindPipe(UsbdPipeTypeBulk, FALSE, 1, -1)->EndpointAddress, 0x02);
  // The bus driver, which takes endpoints only up to the next interface, refuses it.
  EXPECT_EQ(selector.SubmitSelectConfiguration(target, 500), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bus().Requests().back().status, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
  EXPECT_FALSE(selector.configured);
  EXPECT_NE(selector.selectConfigurationRequest, nullptr) << "kept for ReleaseAll";
}

TEST_F(ConfigurationSelectorTest, SelectInterfaceBeforeConfigurationOrForAMissingAlternate) {
  EXPECT_EQ(selector.PrepareSelectInterface(target, 1, 1, kTransferSize), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(selector.SubmitSelectInterface(target, 500), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(Select(), STATUS_SUCCESS);
  EXPECT_EQ(selector.SubmitSelectInterface(target, 500), STATUS_UNSUCCESSFUL) << "nothing prepared";
  EXPECT_EQ(selector.PrepareSelectInterface(target, 1, 7, kTransferSize), STATUS_NO_SUCH_MEMBER);
  EXPECT_NE(selector.FindInterface(1, 0, -1, -1, -1), nullptr) << "the old record stays";
}

TEST_F(ConfigurationSelectorTest, FailedSelectInterfaceStaysPreparedForAnotherTry) {
  ASSERT_EQ(Select(), STATUS_SUCCESS);
  bus().InjectFault(ControlFault::Stall(URB_FUNCTION_SELECT_INTERFACE).Times(1));
  ASSERT_EQ(selector.PrepareSelectInterface(target, 1, 1, kTransferSize), STATUS_SUCCESS);
  EXPECT_EQ(selector.SubmitSelectInterface(target, 500), STATUS_UNSUCCESSFUL);
  EXPECT_NE(selector.selectInterfaceRequest, nullptr);
  EXPECT_EQ(selector.SubmitSelectInterface(target, 500), STATUS_SUCCESS);
  EXPECT_NE(selector.FindPipe(UsbdPipeTypeBulk, TRUE, 1, 1)->PipeHandle, nullptr);
}

TEST_F(ConfigurationSelectorTest, FindPipeTakesTheEarlierRecordThenTheEarlierPipe) {
  PlugConfiguration(Configuration(2, {Interface(0, 0, 2), Endpoint(0x83, 2), Endpoint(0x84, 2), Interface(1, 0, 1),
                                      Endpoint(0x81, 2)}));
  ASSERT_EQ(Select(), STATUS_SUCCESS);
  EXPECT_EQ(selector.FindPipe(UsbdPipeTypeBulk, TRUE, -1, -1)->EndpointAddress, 0x83);
  EXPECT_EQ(selector.FindPipe(UsbdPipeTypeBulk, TRUE, 1, -1)->EndpointAddress, 0x81);
  EXPECT_EQ(selector.FindPipe(UsbdPipeTypeBulk, TRUE, -1, 1), nullptr);
  EXPECT_EQ(selector.FindPipe(UsbdPipeTypeBulk, FALSE, -1, -1), nullptr);
}

TEST_F(ConfigurationSelectorTest, ClearingWhenNotConfiguredSendsNothing) {
  EXPECT_EQ(selector.ClearConfiguration(target, TRUE, 500), STATUS_SUCCESS);
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(ConfigurationSelectorTest, ClearingDropsTheStateEvenWhenTheDeviceFails) {
  ASSERT_EQ(Select(), STATUS_SUCCESS);
  bus().InjectFault(ControlFault::NeverAnswer(URB_FUNCTION_SELECT_CONFIGURATION));
  EXPECT_EQ(selector.ClearConfiguration(target, TRUE, 500), STATUS_IO_TIMEOUT);
  EXPECT_FALSE(selector.configured);
  EXPECT_EQ(selector.configurationHandle, nullptr);
  EXPECT_EQ(selector.configurationValue, 0);
  EXPECT_TRUE(selector.records.IsEmpty());
  EXPECT_NE(selector.descriptorCopy.bytes, nullptr) << "the descriptor copy stays until released";
}

TEST_F(ConfigurationSelectorTest, FailedSubmissionLeavesTheBuildForReleaseAll) {
  bus().InjectFault(ControlFault::Stall(URB_FUNCTION_SELECT_CONFIGURATION));
  EXPECT_EQ(Select(), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(selector.configured);
  EXPECT_NE(selector.selectConfigurationRequest, nullptr);
  EXPECT_FALSE(selector.records.IsEmpty());
  selector.ReleaseAll();
  ExpectEmpty();
}

TEST_F(ConfigurationSelectorTest, ShortagesDuringTheBuildLeaveNothingAllocated) {
  kernel().faults().FailTag(MakePoolTag('U', 'S', 'B', 'D'), true);
  EXPECT_EQ(Select(), STATUS_INSUFFICIENT_RESOURCES) << "no request from USBD_CreateConfigurationRequestEx";
  ExpectEmpty();
  kernel().faults().FailTag(MakePoolTag('U', 'S', 'B', 'D'), false);
  // The descriptor copy, the list, the request, then the two records: each fails in turn.
  for (int n = 1; n <= 5; ++n) {
    kernel().faults().FailNth(emu::FaultPoint::Pool, n);
    EXPECT_EQ(Select(), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    ExpectEmpty();
  }
  EXPECT_EQ(Select(), STATUS_SUCCESS);
}

TEST_F(ConfigurationSelectorTest, ConfigurationWithoutInterfacesIsSelected) {
  PlugConfiguration(Configuration(0, {}));
  EXPECT_EQ(Select(), STATUS_SUCCESS);
  EXPECT_TRUE(selector.configured);
  EXPECT_EQ(selector.FindInterface(-1, -1, -1, -1, -1), nullptr);
}

}  // namespace
