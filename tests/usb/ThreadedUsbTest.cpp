// The same requests with real processors and real time: completions arrive from DPCs on
// other threads, and a time-out cancels an IRP that a device thread could otherwise answer.
#include "EmuTest.h"
#include "UsbDeviceBench.h"

#include "usb/ConfigurationSelector.h"

using emu::usb::ControlFault;

namespace {

class ThreadedUsbTest : public ThreadedEmuTest {
 protected:
  ThreadedUsbTest() { target.LowerDevice = bench.Pdo(); }
  void TearDown() override {
    selector.ReleaseAll();
    selector.descriptorCopy.Discard();
    ThreadedEmuTest::TearDown();
  }
  UsbDeviceBench bench;
  UsbTarget target;
  ConfigurationSelector selector;
};

TEST_F(ThreadedUsbTest, SelectionAndItsTearDownCompleteAcrossThreads) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(selector.SelectConfiguration(target, 0, 500, 4096), STATUS_SUCCESS);
    ASSERT_EQ(selector.PrepareSelectInterface(target, 1, 1, 4096), STATUS_SUCCESS);
    ASSERT_EQ(selector.SubmitSelectInterface(target, 500), STATUS_SUCCESS);
    ASSERT_NE(selector.FindPipe(UsbdPipeTypeBulk, TRUE, -1, -1), nullptr);
    ASSERT_EQ(selector.ClearConfiguration(target, TRUE, 500), STATUS_SUCCESS);
  }
}

TEST_F(ThreadedUsbTest, TimeOutCancelsTheUnansweredRequestAndWaitsForIt) {
  bench.bus().InjectFault(ControlFault::NeverAnswer(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE));
  UCHAR header[9];
  EXPECT_EQ(target.GetConfigurationDescriptor(0, header, sizeof header, nullptr, 20), STATUS_IO_TIMEOUT);
  EXPECT_EQ(bench.bus().PendingIrps(), 0u);
}

}  // namespace
