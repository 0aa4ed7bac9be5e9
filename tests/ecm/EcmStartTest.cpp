// Bring-up of the ECM function: which devices it accepts, what it learns from them (address,
// segment size, endpoints), what a failing step leaves configured, and the way down.
#include <array>

#include "ChangingConfigurationDevice.h"
#include "EcmTest.h"
#include "ShippedProfiles.h"
#include "usb/UsbTarget.h"

namespace {

using namespace ecm_descriptors;
using emu::usb::ControlFault;
using Mac = std::array<UCHAR, 6>;

constexpr NTSTATUS kUnsuccessful = STATUS_UNSUCCESSFUL;

class EcmStartTest : public EcmTest {
 protected:
  // The address the device supplied, or none.
  std::optional<Mac> Address() {
    Mac mac{};
    if (!device->GetMacAddress(mac.data())) return std::nullopt;
    return mac;
  }
};

TEST_F(EcmStartTest, BuiltInDeviceComesUpWithItsAddressSegmentSizeAndThreeConfiguredPipes) {
  EXPECT_EQ(device->GetMaxSegmentSize(), 1514u) << "before Start";
  settings.RxBuffers = 7;
  settings.TxBuffers = 9;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Address(), (Mac{0x02, 0xEC, 0x0D, 0xE0, 0x00, 0x01}));
  EXPECT_EQ(device->GetMaxSegmentSize(), 1514u);
  EXPECT_EQ(device->CommunicationInterfaceNumber, 0);
  EXPECT_EQ(model().alternateSetting(1), 1) << "the data interface runs";
  EXPECT_EQ(device->NotificationPipe.pipeInfo.EndpointAddress, kNotifyEndpoint);
  EXPECT_EQ(device->NotificationPipe.pool.createdCount, 1u);
  EXPECT_EQ(device->NotificationPipe.pool.bufferDataLength, 16u) << "the interrupt endpoint's packet";
  EXPECT_EQ(device->BulkInPipe.pipeInfo.EndpointAddress, kDataInEndpoint);
  EXPECT_EQ(device->BulkInPipe.pool.createdCount, 7u);
  EXPECT_EQ(device->BulkOutPipe.pipeInfo.EndpointAddress, kDataOutEndpoint);
  EXPECT_EQ(device->BulkOutPipe.pool.createdCount, 9u);
  EXPECT_EQ(device->BulkOutPipe.pool.bufferDataLength, 1536u);
  EXPECT_FALSE(device->CanSend()) << "configured, not started";
  EXPECT_EQ(bus().PendingIrps(), 0u);
}

TEST_F(EcmStartTest, ConfigurationIndexFromTheSettingsPicksTheConfigurationRead) {
  Plug(emu::devices::LoadProfileFile(ShippedProfilePath("fs-second-config"))
           .profile);
  EXPECT_EQ(Start(), kUnsuccessful) << "index 0 is the vendor configuration";
  device->Stop();
  ReplaceDevice();
  settings.ConfigurationIndex = 0x301;  // only the low byte counts
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(model().configurationValue(), 2);
  EXPECT_EQ(device->NotificationPipe.pool.bufferDataLength, 8u);
  EXPECT_EQ(Address(), (Mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F})) << "lower-case letters";
}

TEST_F(EcmStartTest, FirstInterfaceMustBeTheEcmOneEvenWhenItFollows) {
  Plug(EcmProfile(Configuration(
      2, {DataInterface(), CommunicationInterface(), HeaderAndUnion(), EthernetNetworking(), NotifyEndpoint()})));
  EXPECT_EQ(Start(), kUnsuccessful);
  EXPECT_FALSE(bus().Configured());
  EXPECT_EQ(StringRequests(), 0u);
}

TEST_F(EcmStartTest, EthernetDescriptorIsFoundAfterTheDataInterfaceAndOtherSubtypesAreSkipped) {
  Plug(EcmProfile(Configuration(2, {CommunicationInterface(), HeaderAndUnion(), NotifyEndpoint(), DataInterface(),
                                    EthernetNetworking(3, 1400)})));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(device->GetMaxSegmentSize(), 1400u);
  EXPECT_TRUE(Address().has_value());
}

// wMaxSegmentSize sits at offset 8: a shorter descriptor of the subtype is passed over (its
// "size" would be the next descriptor's bytes), a device with only such a one is refused.
TEST_F(EcmStartTest, EthernetDescriptorShorterThanItsFieldsIsNotUsed) {
  Plug(EcmProfile(
      EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(3, 1400, 9), EthernetNetworking(3, 1200, 10)}))));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(device->GetMaxSegmentSize(), 1200u);
  device->Stop();
  ReplaceDevice();
  Plug(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(3, 1400, 9)}))));
  EXPECT_EQ(Start(), kUnsuccessful);
  EXPECT_EQ(device->GetMaxSegmentSize(), 1514u);
  EXPECT_FALSE(bus().Configured());
}

TEST_F(EcmStartTest, DeviceWithoutMacStringAsksForNoString) {
  Plug(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(0)}))));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(StringRequests(), 0u);
  Mac untouched{1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(device->GetMacAddress(untouched.data()));
  EXPECT_EQ(untouched, (Mac{1, 2, 3, 4, 5, 6}));
}

struct MacCase {
  const char* text;
  std::optional<Mac> address;
};

// The string is read into 13 characters: longer ones are cut to 12 and parsed; each pair must
// be two hexadecimal digits. Group and all-zero addresses cannot be the adapter's own and
// count as not supplied.
TEST_F(EcmStartTest, MacStringsAreParsedOrRefused) {
  const MacCase cases[] = {
      {"0011AAbbCCdd", Mac{0x00, 0x11, 0xAA, 0xBB, 0xCC, 0xDD}},
      {"0011AABBCCD", std::nullopt},
      {"021122334455667788", Mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {"0011ZZ334455", std::nullopt},
      // Pairs the platform's conversion would read in part, with a blank or with a sign.
      {"001G22334455", std::nullopt},
      {"00 1AABBCCDD", std::nullopt},
      {"00+1AABBCCDD", std::nullopt},
      {"00-1AABBCCDD", std::nullopt},
      {"0111AABBCCDD", std::nullopt},
      {"FFFFFFFFFFFF", std::nullopt},
      {"000000000000", std::nullopt},
  };
  for (const MacCase& c : cases) {
    Plug(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()})), c.text));
    ASSERT_EQ(Start(), STATUS_SUCCESS) << c.text;
    EXPECT_EQ(Address(), c.address) << c.text;
    device->Stop();
    ReplaceDevice();
  }
}

TEST_F(EcmStartTest, FailedLanguageListStillAsksForTheMacStringInLanguageZero) {
  bus().InjectFault(
      ControlFault::Stall(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).Detail(USB_STRING_DESCRIPTOR_TYPE).Times(1));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  std::vector<USHORT> languages;
  for (const emu::usb::BusRequest& request : RequestsOf(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE))
    if (request.setup && request.setup->wValue == (USB_STRING_DESCRIPTOR_TYPE << 8 | kMacStringIndex))
      languages.push_back(request.setup->wIndex);
  EXPECT_EQ(languages, std::vector<USHORT>{0});
  EXPECT_FALSE(Address().has_value()) << "the device offers its string in 0x0409 only";
}

TEST_F(EcmStartTest, MissingInterruptEndpointDeconfiguresAndFails) {
  Plug(EcmProfile(
      Configuration(2, {CommunicationInterface(0), HeaderAndUnion(), EthernetNetworking(), DataInterface()})));
  EXPECT_EQ(Start(), kUnsuccessful);
  EXPECT_EQ(Deconfigures(), 1u);
  EXPECT_FALSE(bus().Configured());
  EXPECT_EQ(device->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(Deconfigures(), 1u) << "nothing left to deconfigure";
}

TEST_F(EcmStartTest, PoolThatCannotBeFilledDeconfiguresAndFails) {
  kernel().faults().FailTag(kTagTransferBuffer, true);
  EXPECT_EQ(Start(), kUnsuccessful);
  EXPECT_EQ(Deconfigures(), 1u);
  kernel().faults().FailTag(kTagTransferBuffer, false);
}

TEST_F(EcmStartTest, MissingDataInterfaceLeavesTheDeviceConfiguredUntilStop) {
  Plug(EcmProfile(
      Configuration(1, {CommunicationInterface(), HeaderAndUnion(), EthernetNetworking(), NotifyEndpoint()})));
  EXPECT_EQ(Start(), kUnsuccessful);
  EXPECT_TRUE(bus().Configured());
  EXPECT_EQ(device->Stop(), STATUS_SUCCESS);
  EXPECT_FALSE(bus().Configured());
}

// Selecting alternate setting 1 moves the data interface's record behind the vendor
// interface's: a look-up in any interface would take the vendor function's endpoints.
TEST_F(EcmStartTest, CompositeDeviceTakesThePipesOfItsOwnInterfaces) {
  Plug(emu::devices::LoadProfileFile(ShippedProfilePath("composite-vendor"))
           .profile);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(device->NotificationPipe.pipeInfo.EndpointAddress, 0x81);
  EXPECT_EQ(device->BulkInPipe.pipeInfo.EndpointAddress, 0x82);
  EXPECT_EQ(device->BulkOutPipe.pipeInfo.EndpointAddress, 0x02);
}

// A malformed device whose vendor interface reuses one of the function's bulk endpoint
// addresses, as a control pipe, and comes before the data interface's record: binding by
// address would take the vendor's pipe, whose every transfer the bus refuses.
TEST_F(EcmStartTest, AnEndpointAddressAnEarlierInterfaceUsesIsRefused) {
  for (UCHAR shared : {kDataInEndpoint, kDataOutEndpoint}) {
    Bytes vendor = Join({Interface(2, 0, 1, 0xFF), Endpoint(shared, 0, 16)});
    Plug(EcmProfile(Configuration(3, {CommunicationInterface(), HeaderAndUnion(), EthernetNetworking(),
                                      NotifyEndpoint(), DataInterface(), vendor})));
    EXPECT_EQ(Start(), kUnsuccessful) << "endpoint " << int(shared);
    EXPECT_FALSE(bus().Configured());
    EXPECT_FALSE(TookViolation("urb"));
    ReplaceDevice();
  }
}

// Another function's data-class interface comes first: the communication interface's Union
// names the data interface to take; without a usable one the first data interface serves.
TEST_F(EcmStartTest, UnionNamesTheDataInterfaceElseTheFirstDataInterfaceServes) {
  auto dataInterface = [](UCHAR number, UCHAR in, UCHAR out) {
    return Join({Interface(number, 0, 0, 0x0A), Interface(number, 1, 2, 0x0A), Endpoint(in, 2, 512),
                 Endpoint(out, 2, 512)});
  };
  struct Case {
    const char* what;
    UCHAR subordinate;
    UCHAR in;
  };
  for (const Case& c :
       {Case{"the Union's data interface", 2, kDataInEndpoint}, Case{"a Union naming no data interface", 3, 0x83}}) {
    Bytes header = {5, 0x24, 0x00, 0x10, 0x01};
    Bytes unionDescriptor = {5, 0x24, 0x06, 0x00, c.subordinate};
    Bytes vendor = Interface(3, 0, 0, 0xFF);
    Plug(EcmProfile(Configuration(4, {CommunicationInterface(), header, unionDescriptor, EthernetNetworking(),
                                      NotifyEndpoint(), dataInterface(1, 0x83, 0x03),
                                      dataInterface(2, kDataInEndpoint, kDataOutEndpoint), vendor})));
    ASSERT_EQ(Start(), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(device->BulkInPipe.pipeInfo.EndpointAddress, c.in) << c.what;
    EXPECT_EQ(device->BulkOutPipe.pipeInfo.EndpointAddress, c.in & 0x7F) << c.what;
    EXPECT_EQ(model().alternateSetting(c.in == kDataInEndpoint ? 2 : 1), 1) << c.what;
    ASSERT_EQ(device->Stop(), STATUS_SUCCESS);
    ReplaceDevice();
  }
}

// A full read whose wTotalLength differs from its header's: the driver's walk and the bus
// driver's (by wTotalLength, selecting the configuration) cover the same bytes. Claiming
// less, the bytes past the claim hold an interface the bus driver would never see.
TEST_F(EcmStartTest, FullReadClaimingOtherThanItsHeaderSelectsWhatBothWalksSee) {
  Bytes configuration = emu::devices::DefaultEcmProfile().configurations.at(0);
  Bytes claimsMore = configuration;
  claimsMore[2] = static_cast<UCHAR>(claimsMore[2] + 100);
  Bytes trailing = Join({configuration, Interface(5, 0, 0, 0xFF)});
  Bytes headerWithTrailing = trailing;
  headerWithTrailing[2] = static_cast<UCHAR>(trailing.size());
  struct Case {
    const char* what;
    Bytes header;
    Bytes full;
  };
  for (const Case& c : {Case{"claims more", configuration, claimsMore},
                        Case{"claims less than it sent", headerWithTrailing, trailing}}) {
    bench.Plug(std::make_unique<ChangingConfigurationDevice>(c.header, c.full));
    ASSERT_EQ(Start(), STATUS_SUCCESS) << c.what;
    EXPECT_TRUE(bus().Configured()) << c.what;
    ASSERT_EQ(device->Stop(), STATUS_SUCCESS);
    ReplaceDevice();
  }
}

TEST_F(EcmStartTest, CommunicationInterfaceWithoutInterruptDoesNotBorrowAnotherFunctions) {
  Bytes vendor = Join({Interface(2, 0, 1, 0xFF), Endpoint(0x84, 3, 16)});
  Plug(EcmProfile(
      Configuration(3, {CommunicationInterface(0), HeaderAndUnion(), EthernetNetworking(), DataInterface(), vendor})));
  EXPECT_EQ(Start(), kUnsuccessful);
  EXPECT_EQ(Deconfigures(), 1u);
}

TEST_F(EcmStartTest, StopOnANeverConfiguredDeviceSendsNothing) {
  EXPECT_EQ(device->Stop(), STATUS_SUCCESS);
  EXPECT_TRUE(bus().Requests().empty());
  EXPECT_EQ(device->ClosePipes(), STATUS_SUCCESS) << "closing unconfigured pipes is harmless too";
  EXPECT_TRUE(bus().Requests().empty());
}

TEST_F(EcmStartTest, StopDeconfiguresOnceAndASecondStopIsHarmless) {
  Open();
  EXPECT_EQ(device->ClosePipes(), STATUS_SUCCESS);
  EXPECT_EQ(bus().PendingIrps(), 0u);
  EXPECT_EQ(device->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(Deconfigures(), 1u);
  EXPECT_EQ(device->ClosePipes(), STATUS_SUCCESS);
  EXPECT_EQ(device->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(Deconfigures(), 1u);
}

// The pipes go while the target still leads to the device: their reads are aborted rather
// than waited for without end.
TEST_F(EcmStartTest, DestroyingADeviceWithOpenPipesAbortsTheirReads) {
  Open();
  EXPECT_EQ(bus().QueuedTransfers(kDataInEndpoint), settings.RxBuffers);
  device->Destroy(kDestroyFreeMemory);
  device = nullptr;
  EXPECT_EQ(bus().PendingIrps(), 0u);
  EXPECT_EQ(RequestsOf(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u) << "destruction deconfigures nothing";
}

TEST_F(EcmStartTest, DestructionWaitsForATransferThatOutlastedTheClose) {
  Open();
  ASSERT_TRUE(bus().CompleteTransfer(bus().Transfers(kDataInEndpoint).at(0).id,
                                     emu::usb::TransferResult::Data(TestFrame(60, 1)), emu::usb::When::Dpc, 20000));
  device->ClosePipes();
  EXPECT_EQ(kernel().NowMs(), 5000u) << "the bulk-in drain gave up";
  device->Stop();
  device->Destroy(kDestroyFreeMemory);
  device = nullptr;
  EXPECT_EQ(kernel().NowMs(), 20000u);
  EXPECT_EQ(bus().PendingIrps(), 0u);
  EXPECT_TRUE(sink.received.empty()) << "a closed pipe delivers nothing";
}

}  // namespace
