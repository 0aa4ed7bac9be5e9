// The writer: announced on start, the last free buffer kept back for the zero-length
// follow-up of a write that ends on a packet boundary, one recovery after a failed write, and
// a gone device.
#include "PipeTest.h"

#include <cstring>

using emu::usb::ScriptedTransfer;
using emu::usb::TransferResult;
using emu::usb::When;

namespace {

class WritePipeTest : public PipeTest {
 protected:
  void Start(WritePipe& pipe, ULONG count, DataPipesBench& on) {
    ASSERT_EQ(pipe.Configure(on.target, on.selector, kBulkOut, &fdo, &client, count, kFrameBuffer), STATUS_SUCCESS);
    ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  }
  void Start(WritePipe& pipe, ULONG count) { Start(pipe, count, pipes); }
  // Writes 'length' bytes of a pattern through AcquireBuffer; false when no buffer was given.
  bool Write(WritePipe& pipe, ULONG length) {
    TransferBuffer* buffer = pipe.AcquireBuffer();
    if (!buffer) return false;
    Send(pipe, buffer, length);
    return true;
  }
  void Send(WritePipe& pipe, TransferBuffer* buffer, ULONG length) {
    std::vector<UCHAR> bytes = Frame(length, static_cast<UCHAR>(length));
    if (length) std::memcpy(buffer->data.address, bytes.data(), length);
    buffer->length = length;
    pipe.SubmitWrite(buffer);
  }
  std::vector<ULONG> WaitingLengths() {
    std::vector<ULONG> lengths;
    for (const emu::usb::QueuedTransfer& t : bus().Transfers(kBulkOut)) lengths.push_back(t.length);
    return lengths;
  }
  void EndOldestNow(const TransferResult& result) {
    ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkOut, 0), result, When::Inline));
  }
  using Completion = std::pair<NTSTATUS, BOOLEAN>;
  const Completion kSuccess{STATUS_SUCCESS, FALSE};

  RecordingWriteClient client;
};

TEST_F(WritePipeTest, StartAnnouncesWritingAndTheLastFreeBufferIsKeptBack) {
  WritePipe pipe;
  ASSERT_EQ(pipe.Configure(target(), selector(), kBulkOut, &fdo, &client, 2, kFrameBuffer), STATUS_SUCCESS);
  EXPECT_EQ(pipe.AcquireBuffer(), nullptr) << "not started";
  ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(client.completions, std::vector<Completion>{kSuccess}) << "before StartPipe returned";
  TransferBuffer* buffer = pipe.AcquireBuffer();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(pipe.AcquireBuffer(), nullptr) << "one free buffer is not handed out";
  buffer->ReturnToPool();
}

TEST_F(WritePipeTest, WriteEndingOnAPacketBoundaryIsFollowedByAZeroLengthTransfer) {
  WritePipe pipe;
  Start(pipe, 4);
  bus().HoldEndpoint(kBulkOut, true);
  ASSERT_TRUE(Write(pipe, 1536));  // three packets of 512
  ASSERT_TRUE(Write(pipe, 100));
  EXPECT_FALSE(Write(pipe, 60)) << "the last free buffer stays back";
  EXPECT_EQ(WaitingLengths(), (std::vector<ULONG>{1536, 0, 100}));
  EXPECT_EQ(bus().Transfers(kBulkOut)[0].data, Frame(1536, 0));
  bus().HoldEndpoint(kBulkOut, false);
  kernel().RunPending();
  EXPECT_EQ(client.completions.size(), 4u) << "the announcement, then each transfer, zero-length included";
  std::vector<emu::devices::ReceivedFrame> frames = device().BulkOut().Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_FALSE(frames[0].merged()) << "the zero-length packet ended it";
  EXPECT_EQ(frames[1].bytes, Frame(100, 100));

  bus().HoldEndpoint(kBulkOut, true);
  ASSERT_TRUE(Write(pipe, 0));
  EXPECT_EQ(WaitingLengths(), (std::vector<ULONG>{0, 0})) << "an empty write is a multiple too";
  bus().HoldEndpoint(kBulkOut, false);
  kernel().RunPending();

  // Whoever bypasses AcquireBuffer can leave no buffer for the follow-up: it is skipped.
  bus().HoldEndpoint(kBulkOut, true);
  std::vector<TransferBuffer*> all;
  while (TransferBuffer* buffer = pipe.pool.Take()) all.push_back(buffer);
  for (TransferBuffer* buffer : all) Send(pipe, buffer, 512);
  EXPECT_EQ(WaitingLengths(), (std::vector<ULONG>{512, 512, 512, 512}));
}

TEST_F(WritePipeTest, FailedWriteRecoversOnceAndWritesAreRefusedUntilTheRestartAnnouncesItself) {
  WritePipe pipe;
  Start(pipe, 4);
  bus().HoldEndpoint(kBulkOut, true);
  ASSERT_TRUE(Write(pipe, 100));
  ASSERT_TRUE(Write(pipe, 200));
  EndOldestNow(TransferResult::Stall());
  EndOldestNow(TransferResult::Status(USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(client.completions, std::vector<Completion>{kSuccess}) << "a failed write is not reported";
  EXPECT_TRUE(pipe.recoveryPending);
  EXPECT_FALSE(pipe.started);
  EXPECT_EQ(pipe.AcquireBuffer(), nullptr);
  EXPECT_EQ(pipe.pool.freeCount, 4u) << "both buffers went home";
  kernel().RunPending();
  EXPECT_EQ(RequestsTo(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kBulkOut), 1u);
  EXPECT_EQ(client.completions, (std::vector<Completion>{kSuccess, kSuccess})) << "the restart announces itself";
  EXPECT_FALSE(pipe.recoveryPending);
  EXPECT_TRUE(Write(pipe, 300));
}

TEST_F(WritePipeTest, GoneDeviceRefusesWritesForGood) {
  WritePipe pipe;
  Start(pipe, 4);
  bus().HoldEndpoint(kBulkOut, true);
  ASSERT_TRUE(Write(pipe, 100));
  EndOldestNow(TransferResult::DeviceGone());
  EXPECT_TRUE(pipe.deviceGone);
  EXPECT_FALSE(pipe.recoveryPending);
  EXPECT_EQ(pipe.AcquireBuffer(), nullptr);
  EXPECT_EQ(pipe.StartPipe(FALSE), STATUS_UNSUCCESSFUL);
  kernel().RunPending();
  EXPECT_EQ(client.completions, std::vector<Completion>{kSuccess});
  EXPECT_EQ(RequestsTo(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kBulkOut), 0u);
  EXPECT_EQ(pipe.pool.freeCount, 4u);
}

TEST_F(WritePipeTest, PipeThatReportsPacketsOfZeroBytesGetsNoZeroLengthFollowUp) {
  emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile();
  emu::devices::Bytes& configuration = profile.configurations.at(0);
  for (size_t i = 0; i + 7 <= configuration.size(); ++i)
    if (configuration[i] == 7 && configuration[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && configuration[i + 2] == kBulkOut)
      configuration[i + 4] = configuration[i + 5] = 0;  // wMaxPacketSize 0
  DataPipesBench zeroPackets(profile);
  ASSERT_EQ(zeroPackets.Select(), STATUS_SUCCESS);
  {
    WritePipe pipe;
    Start(pipe, 4, zeroPackets);
    EXPECT_EQ(pipe.pipeInfo.MaximumPacketSize, 0);
    zeroPackets.bus().HoldEndpoint(kBulkOut, true);
    ASSERT_TRUE(Write(pipe, 512));
    ASSERT_TRUE(Write(pipe, 0));
    EXPECT_EQ(zeroPackets.bus().QueuedTransfers(kBulkOut), 2u) << "the writes alone";
  }
  zeroPackets.Release();
}

}  // namespace
