// The bus driver's side of selection and of the pipes it opens: the request built by
// USBD_CreateConfigurationRequestEx, what the bus writes back, what it refuses, and how pipe
// requests and transfers treat the pipes of the current selection.
#include "EmuTest.h"
#include "UrbSender.h"
#include "UsbDeviceBench.h"

#include <cstring>

using emu::devices::Bytes;
using emu::usb::ControlFault;

namespace {

class UsbSelectionTest : public EmuTest {
 protected:
  UsbSelectionTest() : configuration(bench.device().profile().configurations.at(0)) {}
  void TearDown() override {
    if (request) ExFreePoolWithTag(request, 0);
    EmuTest::TearDown();
  }
  // The request for the alternate-0 interfaces at these offsets of the configuration.
  PURB Build(std::initializer_list<size_t> interfaceOffsets) {
    std::memset(list, 0, sizeof list);
    size_t i = 0;
    for (size_t offset : interfaceOffsets)
      list[i++].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(&configuration[offset]);
    request = USBD_CreateConfigurationRequestEx(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data()),
                                                list);
    return request;
  }
  SentUrb Send(URB& urb) {
    SentUrb sent;
    SendUrb(bench.Pdo(), urb, sent);
    return sent;
  }
  // Configures the built-in device and selects alternate setting 1 of the data interface;
  // returns the bulk IN pipe's handle.
  USBD_PIPE_HANDLE SelectDataPipes() {
    Send(*Build({9, 48}));
    URB urb = SelectInterfaceUrb(1, 1, 2);
    EXPECT_EQ(Send(urb).status, STATUS_SUCCESS);
    return urb.UrbSelectInterface.Interface.Pipes[0].PipeHandle;
  }
  URB SelectInterfaceUrb(UCHAR number, UCHAR alternate, ULONG pipes) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    struct _URB_SELECT_INTERFACE& select = urb.UrbSelectInterface;
    select.Hdr.Length = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
    select.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    select.ConfigurationHandle = request->UrbSelectConfiguration.ConfigurationHandle;
    select.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    select.Interface.InterfaceNumber = number;
    select.Interface.AlternateSetting = alternate;
    select.Interface.NumberOfPipes = pipes;
    return urb;
  }
  URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
  }

  UsbDeviceBench bench;
  Bytes configuration;
  USBD_INTERFACE_LIST_ENTRY list[4];
  PURB request = nullptr;
  UCHAR data[512];
};

TEST_F(UsbSelectionTest, RequestBuilderSizesAndFillsOneInformationPerEntry) {
  PURB urb = Build({9, 48});
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 1));
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor,
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data()));
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 1u);
  EXPECT_EQ(list[0].Interface->Pipes[0].MaximumTransferSize, 4096u);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), reinterpret_cast<PUCHAR>(list[0].Interface) + list[0].Interface->Length);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);
  EXPECT_EQ(list[2].Interface, nullptr);
}

TEST_F(UsbSelectionTest, SelectionWritesHandlesClassesAndPipeInformation) {
  URB& urb = *Build({9, 48});
  SentUrb sent = Send(urb);
  EXPECT_EQ(sent.status, STATUS_SUCCESS);
  EXPECT_NE(urb.UrbSelectConfiguration.ConfigurationHandle, nullptr);
  PUSBD_INTERFACE_INFORMATION communication = list[0].Interface;
  EXPECT_EQ(communication->Class, 0x02);
  EXPECT_EQ(communication->SubClass, 0x06);
  EXPECT_NE(communication->InterfaceHandle, nullptr);
  const USBD_PIPE_INFORMATION& interrupt = communication->Pipes[0];
  EXPECT_EQ(interrupt.EndpointAddress, 0x81);
  EXPECT_EQ(interrupt.PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(interrupt.MaximumPacketSize, 16);
  EXPECT_EQ(interrupt.Interval, 8);
  EXPECT_NE(interrupt.PipeHandle, nullptr);
  EXPECT_EQ(list[1].Interface->Class, 0x0A);
  EXPECT_TRUE(bench.bus().Configured());
  EXPECT_EQ(bench.device().configurationValue(), 1);
}

TEST_F(UsbSelectionTest, RequestThatDoesNotMatchTheConfigurationIsRefused) {
  struct Case {
    std::function<void(PURB)> spoil;
    USBD_STATUS expected;
  };
  for (const Case& c : std::vector<Case>{
           {[](PURB) {}, USBD_STATUS_SUCCESS},
           {[this](PURB) { list[1].Interface->AlternateSetting = 5; }, USBD_STATUS_INTERFACE_NOT_FOUND},
           {[this](PURB) { list[0].Interface->NumberOfPipes = 0; }, USBD_STATUS_INVALID_PARAMETER},
           {[this](PURB) { list[1].Interface->InterfaceNumber = 0; }, USBD_STATUS_INVALID_PARAMETER},
           {[this](PURB) { configuration[5] = 9; }, USBD_STATUS_SET_CONFIG_FAILED},
       }) {
    configuration = bench.device().profile().configurations.at(0);
    if (request) ExFreePoolWithTag(request, 0);
    PURB urb = Build({9, 48});
    c.spoil(urb);
    SentUrb sent = Send(*urb);
    EXPECT_EQ(urb->UrbHeader.Status, c.expected);
    EXPECT_EQ(sent.status, c.expected == USBD_STATUS_SUCCESS ? STATUS_SUCCESS
                           : c.expected == USBD_STATUS_INVALID_PARAMETER ? STATUS_INVALID_PARAMETER
                                                                          : STATUS_UNSUCCESSFUL);
  }
  EXPECT_TRUE(TakeViolations().empty()) << "a request that does not match is the device's answer, not a fault";
}

TEST_F(UsbSelectionTest, RequestWithoutRoomForEveryInterfaceIsRefused) {
  PURB urb = Build({9, 48});
  urb->UrbHeader.Length = static_cast<USHORT>(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
  Send(*urb);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(TookViolation("urb", "has no room for interface 1 of 2"));
  EXPECT_FALSE(bench.bus().Configured());
}

TEST_F(UsbSelectionTest, NullDescriptorDeconfiguresAndClosesThePipes) {
  USBD_PIPE_HANDLE bulkIn = SelectDataPipes();
  URB deconfigure;
  RtlZeroMemory(&deconfigure, sizeof deconfigure);
  deconfigure.UrbSelectConfiguration.Hdr.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  deconfigure.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  EXPECT_EQ(Send(deconfigure).status, STATUS_SUCCESS);
  EXPECT_FALSE(bench.bus().Configured());
  EXPECT_EQ(bench.device().configurationValue(), 0);
  URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bulkIn);
  EXPECT_EQ(Send(reset).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(TookViolation("urb", "no open pipe"));
}

TEST_F(UsbSelectionTest, SelectInterfaceNeedsTheCurrentConfigurationHandle) {
  SelectDataPipes();
  URB urb = SelectInterfaceUrb(1, 0, 0);
  urb.UrbSelectInterface.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x5B000000);
  Send(urb);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(TookViolation("urb", "configuration handle"));
  URB missing = SelectInterfaceUrb(1, 2, 0);
  EXPECT_EQ(Send(missing).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(missing.UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
}

TEST_F(UsbSelectionTest, TransferDirectionMustMatchTheEndpoint) {
  USBD_PIPE_HANDLE bulkIn = SelectDataPipes();
  URB out = TransferUrb(bulkIn, USBD_TRANSFER_DIRECTION_OUT, data, 64);
  Send(out);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(TookViolation("urb", "transfer direction OUT on endpoint 130, an IN endpoint"));
  URB noBuffer = TransferUrb(bulkIn, USBD_TRANSFER_DIRECTION_IN, data, 64);
  noBuffer.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
  Send(noBuffer);
  EXPECT_TRUE(TookViolation("urb", "with neither TransferBuffer"));
}

TEST_F(UsbSelectionTest, AbortEndsQueuedTransfersBeforeItselfAndResetWaitsForAnEmptyPipe) {
  USBD_PIPE_HANDLE bulkIn = SelectDataPipes();
  URB read = TransferUrb(bulkIn, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, data, sizeof data);
  SentUrb queued;
  SendUrb(bench.Pdo(), read, queued);
  EXPECT_EQ(queued.returned, STATUS_PENDING);
  EXPECT_FALSE(queued.completed);
  EXPECT_EQ(bench.bus().QueuedTransfers(0x82), 1u);

  URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bulkIn);
  EXPECT_EQ(Send(reset).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);

  URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, bulkIn);
  SentUrb aborted;
  SendUrb(bench.Pdo(), abort, aborted, false);
  EXPECT_TRUE(queued.completed) << "the transfer ended first";
  EXPECT_FALSE(aborted.completed);
  EXPECT_EQ(queued.status, STATUS_CANCELLED);
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
  kernel().RunPending();
  EXPECT_EQ(aborted.status, STATUS_SUCCESS);
  IoFreeIrp(aborted.irp);
  IoFreeIrp(queued.irp);

  EXPECT_EQ(Send(reset).status, STATUS_SUCCESS);
  EXPECT_EQ(bench.bus().Requests().back().setup->bRequest, 0x01) << "CLEAR_FEATURE(ENDPOINT_HALT)";
  EXPECT_EQ(bench.bus().Requests().back().setup->wIndex, 0x82);
}

TEST_F(UsbSelectionTest, ReselectionEndsTheTransfersOfTheOldPipes) {
  USBD_PIPE_HANDLE bulkIn = SelectDataPipes();
  URB read = TransferUrb(bulkIn, USBD_TRANSFER_DIRECTION_IN, data, sizeof data);
  SentUrb queued;
  SendUrb(bench.Pdo(), read, queued);
  URB alternateZero = SelectInterfaceUrb(1, 0, 0);
  EXPECT_EQ(Send(alternateZero).status, STATUS_SUCCESS);
  EXPECT_EQ(queued.status, STATUS_CANCELLED);
  IoFreeIrp(queued.irp);
  EXPECT_EQ(bench.device().alternateSetting(1), 0);
}

}  // namespace
