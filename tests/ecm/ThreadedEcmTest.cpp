// The ECM device on real processors: the device echoes every frame the adapter side sends
// from the test thread, completions and notifications arrive on DPCs of two processors, and a
// power cycle closes and reopens the pipes in the middle of the stream.
#include <atomic>
#include <cstring>

#include "EcmTest.h"
#include "support/Wait.h"

namespace {

constexpr ULONG kFrames = 3000;
constexpr ULONG kWaitMs = 20000;  // a bound, not a timing assumption: the run takes far less
const UCHAR kHost[6] = {0x02, 0xEC, 0x0D, 0xE0, 0x00, 0x01};  // the built-in device's MAC string
const UCHAR kPeer[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

size_t LengthOf(ULONG sequence) { return sequence % 5 == 0 ? 512 * (1 + sequence % 2) : 60 + (sequence * 37) % 1455; }

// A frame to the peer with its sequence behind the header; the echo sends it back to us.
Bytes SequencedFrame(ULONG sequence) {
  Bytes frame(LengthOf(sequence), static_cast<UCHAR>(sequence | 1));
  std::memcpy(frame.data(), kPeer, 6);
  std::memcpy(frame.data() + 6, kHost, 6);
  std::memcpy(frame.data() + 14, &sequence, sizeof sequence);
  return frame;
}

// The adapter's side, as it behaves: takes each received frame under its lock, gives the
// buffer back and resumes reading; wakes the sender when a write completes.
class StreamSink : public DeviceEventSink {
 public:
  StreamSink() {
    KeInitializeEvent(&sendable, SynchronizationEvent, FALSE);
    KeInitializeEvent(&progress, SynchronizationEvent, FALSE);
  }
  void OnLinkStateChanged(BOOLEAN) override { links++; }
  void OnLinkSpeedChanged(ULONG, ULONG) override {
    speeds++;
    KeSetEvent(&progress, 0, FALSE);
  }
  void OnTransmitReady() override { KeSetEvent(&sendable, 0, FALSE); }
  void OnReceiveReady(TransferBuffer* buffer) override {
    ULONG sequence = 0;
    if (buffer->cursorLength >= 18) std::memcpy(&sequence, buffer->cursorPosition + 14, sizeof sequence);
    Bytes expected = SequencedFrame(sequence);
    std::memcpy(expected.data(), kHost, 6);  // the echo swapped the addresses
    std::memcpy(expected.data() + 6, kPeer, 6);
    if (buffer->cursorLength != expected.size() ||
        std::memcmp(buffer->cursorPosition, expected.data(), expected.size()) != 0)
      corrupt++;
    if (sequence <= last) disorders++;
    last = sequence;
    received++;
    device->ReleaseReceiveBuffer(buffer);
    device->ResumeReceive();
    KeSetEvent(&progress, 0, FALSE);
  }
  void OnRequestFinished() override {
    finished++;
    KeSetEvent(&progress, 0, FALSE);
  }
  void OnRequestFinishedAlias() override { OnRequestFinished(); }

  EcmDevice* device = nullptr;
  KEVENT sendable;
  KEVENT progress;
  std::atomic<ULONG> links{0}, speeds{0}, received{0}, last{0}, corrupt{0}, disorders{0}, finished{0};
};

class ThreadedEcmTest : public EcmTest {
 protected:
  ThreadedEcmTest() : EcmTest(emu::devices::DefaultEcmProfile(), emu::Mode::Threaded) {}
  // Waits (bounded) until the condition holds, woken by the sink's progress.
  template <class Condition>
  bool WaitFor(Condition done) {
    while (!done())
      if (WaitMilliseconds(&stream.progress, kWaitMs, Executive, KernelMode, FALSE) != STATUS_SUCCESS) return done();
    return true;
  }
  // Hands one frame to the device as the send pump does; false when it has no buffer now.
  bool TrySend(const Bytes& frame) {
    SpinLockGuard guard(adapterLock);
    if (!device->CanSend()) return false;
    TransferBuffer* buffer = device->GetSendBuffer();
    if (!buffer) return false;
    std::memcpy(buffer->cursorPosition, frame.data(), frame.size());
    buffer->cursorLength = static_cast<ULONG>(frame.size());
    device->SubmitSendBuffer(buffer);
    return true;
  }
  void PowerCycle() {
    {
      SpinLockGuard guard(adapterLock);
      ASSERT_TRUE(device->PowerDown());
    }
    ASSERT_TRUE(WaitFor([this] { return stream.finished == 1; }));
    {
      SpinLockGuard guard(adapterLock);
      ASSERT_TRUE(device->PowerUp());
    }
    ASSERT_TRUE(WaitFor([this] { return stream.finished == 2; }));
  }

  StreamSink stream;
};

// Frames in flight when the pipes close are lost; every other one comes back whole and in
// order, and every notification sent arrives, those queued while the pipes were closed too.
TEST_F(ThreadedEcmTest, EchoedStreamSurvivesAPowerCycleInItsMiddle) {
  settings.OneByteTermination = 1;
  stream.device = device;
  model().EchoWire();
  ASSERT_EQ(device->Start(&fdo, bench.Pdo(), bench.Pdo(), &stream, &settings, &adapterLock), STATUS_SUCCESS);
  ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
  ULONG speedChanges = 0;
  for (ULONG sequence = 1; sequence <= kFrames; ++sequence) {
    while (!TrySend(SequencedFrame(sequence)))
      ASSERT_EQ(WaitMilliseconds(&stream.sendable, kWaitMs, Executive, KernelMode, FALSE), STATUS_SUCCESS);
    if (sequence % 500 == 0) {
      model().SetSpeed(sequence * 1000, sequence * 100);
      ++speedChanges;
    }
    if (sequence == kFrames / 2) PowerCycle();
  }
  EXPECT_TRUE(WaitFor([this] { return stream.last == kFrames; })) << "last frame back: " << stream.last;
  EXPECT_TRUE(WaitFor([&] { return stream.speeds == speedChanges + 1; })) << stream.speeds;
  EXPECT_EQ(stream.corrupt, 0u);
  EXPECT_EQ(stream.disorders, 0u);
  EXPECT_GE(stream.received, kFrames - settings.TxBuffers) << "only writes on the bus at the power-down are lost";
  EXPECT_EQ(stream.links, 1u);
  EXPECT_EQ(stream.finished, 2u);
}

}  // namespace
