// Pipes with real processors: the bus completes transfers from DPCs on two processor threads
// while submitters (the test thread, and deliveries resuming reads) are still inside Submit.
// Every buffer must come through once, in order, and every buffer must be home at the end.
#include "DataPipesBench.h"
#include "EmuTest.h"

#include <atomic>
#include <cstring>
#include <iostream>

#include "support/Wait.h"
#include "transfer/ReadPipe.h"
#include "transfer/WritePipe.h"

namespace {

constexpr ULONG kBuffers = 8;
constexpr ULONG kWaitMs = 20000;  // a bound, not a timing assumption: the runs take far less

std::vector<UCHAR> SequencedFrame(ULONG sequence, size_t length) {
  std::vector<UCHAR> frame(length, static_cast<UCHAR>(sequence));
  std::memcpy(frame.data(), &sequence, sizeof sequence);
  return frame;
}

ULONG SequenceOf(const UCHAR* bytes) {
  ULONG sequence;
  std::memcpy(&sequence, bytes, sizeof sequence);
  return sequence;
}

// Lengths from 60 to 1514 bytes, with whole packets of 512 now and then.
size_t LengthOf(ULONG sequence) { return sequence % 7 == 0 ? 512 * (1 + sequence % 2) : 60 + (sequence * 37) % 1455; }

// Takes every read at once and resumes; checks that deliveries never overlap and come in order.
class SequenceReader : public ReadPipeClient {
 public:
  explicit SequenceReader(ReadPipe& pipe) : pipe_(pipe) { KeInitializeEvent(&progress, SynchronizationEvent, FALSE); }
  VOID OnReadComplete(TransferBuffer* buffer) override {
    if (inside_.fetch_add(1) != 0) overlaps++;
    ULONG sequence = SequenceOf(static_cast<PUCHAR>(buffer->data.address));
    if (buffer->length != LengthOf(sequence) || (received > 0 && sequence <= last)) disorders++;
    if (sequence != last + 1 && received > 0) gaps++;
    last = sequence;
    received++;
    inside_.fetch_sub(1);
    buffer->ReturnToPool();
    pipe_.ResumeReads();
    if (received % 64 == 0) KeSetEvent(&progress, 0, FALSE);
  }
  VOID OnReadError(NTSTATUS, BOOLEAN) override { errors++; }

  std::atomic<ULONG> received{0};
  std::atomic<ULONG> last{0};
  std::atomic<ULONG> overlaps{0};
  std::atomic<ULONG> disorders{0};
  std::atomic<ULONG> gaps{0};
  std::atomic<ULONG> errors{0};
  KEVENT progress;

 private:
  ReadPipe& pipe_;
  std::atomic<int> inside_{0};
};

class CountingWriter : public WritePipeClient {
 public:
  CountingWriter() { KeInitializeEvent(&completed, SynchronizationEvent, FALSE); }
  VOID OnWriteComplete(NTSTATUS status, BOOLEAN) override {
    if (status != STATUS_SUCCESS) failures++;
    completions++;
    KeSetEvent(&completed, 0, FALSE);
  }
  std::atomic<ULONG> completions{0};
  std::atomic<ULONG> failures{0};
  KEVENT completed;
};

class ThreadedPipeTest : public ThreadedEmuTest {
 protected:
  ThreadedPipeTest() { EXPECT_EQ(pipes.Select(), STATUS_SUCCESS); }
  void TearDown() override {
    pipes.Release();
    ThreadedEmuTest::TearDown();
  }
  void Configure(ReadPipe& pipe, ReadPipeClient& client) {
    ASSERT_EQ(pipe.Configure(pipes.target, pipes.selector, DataPipesBench::kBulkIn, &fdo, &client, kBuffers, 1536),
              STATUS_SUCCESS);
  }
  // Frames with the next sequence numbers until 'count' wait on the device.
  void FeedReads(ULONG count) {
    while (pipes.device().BulkIn().Queued() < count) {
      fed_++;
      pipes.device().BulkIn().Queue(SequencedFrame(fed_, LengthOf(fed_)));
    }
  }
  // Waits (bounded) until the reader has taken 'count' frames in all.
  bool WaitForReads(SequenceReader& reader, ULONG count) {
    while (reader.received < count)
      if (WaitMilliseconds(&reader.progress, kWaitMs, Executive, KernelMode, FALSE) != STATUS_SUCCESS)
        return reader.received >= count;
    return true;
  }
  static void Report(const char* name, const UsbPipe& pipe) {
    std::cout << name << ": racedToDpc " << pipe.racedToDpc << ", reentries " << pipe.reentries << ", emptyPasses "
              << pipe.emptyPasses << ", multiPasses " << pipe.multiPasses << "\n";
  }

  DataPipesBench pipes;
  DEVICE_OBJECT fdo{};

 private:
  ULONG fed_ = 0;
};

TEST_F(ThreadedPipeTest, ReadsAndWritesComeThroughOnceAndInOrderWhileCompletionsRaceTheirSubmitters) {
  constexpr ULONG kFrames = 3000;
  ReadPipe reader;
  SequenceReader readClient(reader);
  WritePipe writer;
  CountingWriter writeClient;
  Configure(reader, readClient);
  ASSERT_EQ(writer.Configure(pipes.target, pipes.selector, DataPipesBench::kBulkOut, &fdo, &writeClient, kBuffers,
                             1536),
            STATUS_SUCCESS);
  FeedReads(kFrames);
  ASSERT_EQ(reader.StartPipe(TRUE), STATUS_SUCCESS);
  ASSERT_EQ(writer.StartPipe(TRUE), STATUS_SUCCESS);

  ULONG transfers = 0;  // writes plus their zero-length follow-ups
  for (ULONG sequence = 1; sequence <= kFrames;) {
    TransferBuffer* buffer = writer.AcquireBuffer();
    if (!buffer) {
      ASSERT_EQ(WaitMilliseconds(&writeClient.completed, kWaitMs, Executive, KernelMode, FALSE), STATUS_SUCCESS);
      continue;
    }
    std::vector<UCHAR> frame = SequencedFrame(sequence, LengthOf(sequence));
    std::memcpy(buffer->data.address, frame.data(), frame.size());
    buffer->length = static_cast<ULONG>(frame.size());
    writer.SubmitWrite(buffer);
    transfers += frame.size() % 512 == 0 ? 2 : 1;
    sequence++;
  }
  EXPECT_TRUE(WaitForReads(readClient, kFrames));
  while (writeClient.completions < transfers + 1)
    ASSERT_EQ(WaitMilliseconds(&writeClient.completed, kWaitMs, Executive, KernelMode, FALSE), STATUS_SUCCESS);

  EXPECT_EQ(reader.StopPipe(), STATUS_SUCCESS);
  EXPECT_EQ(writer.StopPipe(), STATUS_SUCCESS);
  Report("reader", reader);
  Report("writer", writer);
  EXPECT_EQ(readClient.received, kFrames);
  EXPECT_EQ(readClient.overlaps, 0u);
  EXPECT_EQ(readClient.disorders, 0u);
  EXPECT_EQ(readClient.gaps, 0u);
  EXPECT_EQ(readClient.errors, 0u);
  EXPECT_EQ(writeClient.failures, 0u);
  EXPECT_EQ(reader.pool.freeCount, kBuffers);
  EXPECT_EQ(writer.pool.freeCount, kBuffers);

  std::vector<emu::devices::ReceivedFrame> frames = pipes.device().BulkOut().Frames();
  ASSERT_EQ(frames.size(), kFrames) << "none merged, none lost";
  for (ULONG i = 0; i < kFrames; ++i) {
    ASSERT_EQ(frames[i].bytes, SequencedFrame(i + 1, LengthOf(i + 1))) << "frame " << i;
    ASSERT_FALSE(frames[i].merged());
  }
}

TEST_F(ThreadedPipeTest, StoppingAndStartingUnderTrafficDrainsEveryTimeAndLosesNoBuffer) {
  constexpr ULONG kCycles = 40;
  ReadPipe reader;
  SequenceReader readClient(reader);
  Configure(reader, readClient);
  for (ULONG cycle = 0; cycle < kCycles; ++cycle) {
    FeedReads(1000);  // the device never runs dry before the reader has its 64
    ASSERT_EQ(reader.StartPipe(FALSE), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForReads(readClient, readClient.received + 64)) << "cycle " << cycle;
    ASSERT_EQ(reader.StopPipe(), STATUS_SUCCESS) << "cycle " << cycle;
    // Drained means idle: every buffer home, nothing in flight or queued for delivery.
    ASSERT_EQ(reader.pool.freeCount, kBuffers) << "cycle " << cycle;
    ASSERT_EQ(reader.activity.count, 0) << "cycle " << cycle;
    ASSERT_TRUE(reader.outstandingList.IsEmpty());
  }
  Report("reader", reader);
  EXPECT_EQ(readClient.overlaps, 0u);
  EXPECT_EQ(readClient.disorders, 0u) << "frames lost at a stop leave gaps, never reorder";
  EXPECT_EQ(readClient.errors, 0u);
}

}  // namespace
