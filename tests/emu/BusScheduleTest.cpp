// The timed bus's schedule on its own: latencies and packet counts worked out by hand from
// the bus's rules, and never more on the bus than a (micro)frame holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "emu/usb/BusSchedule.h"

using emu::usb::BusSchedule;
using emu::usb::BusTiming;
using emu::usb::kFullSpeed;
using emu::usb::kHighSpeed;
using emu::usb::ScheduledTransfer;

namespace {

// The bus's rules, as a person would apply them.
constexpr uint64_t kMicroframe = 1250;       // 125 us in 100-ns units
constexpr uint64_t kFrame = 10000;           // 1 ms
constexpr uint32_t kMicroframeBytes = 7500;  // 480 Mbit/s for 125 us
constexpr uint32_t kFrameBytes = 1500;       // 12 Mbit/s for 1 ms
constexpr uint32_t kHighOverhead = 55;       // per high-speed bulk or interrupt transaction
constexpr uint32_t kFullOverhead = 13;       // per full-speed one
constexpr USHORT kHighPacket = 512;
constexpr USHORT kFullPacket = 64;
// 13 * (512 + 55) = 7371 <= 7500 < 14 * 567; 19 * (64 + 13) = 1463 <= 1500 < 20 * 77.
constexpr uint64_t kHighPacketsPerMicroframe = kMicroframeBytes / (kHighPacket + kHighOverhead);
constexpr uint64_t kFullPacketsPerFrame = kFrameBytes / (kFullPacket + kFullOverhead);
static_assert(kHighPacketsPerMicroframe == 13 && kFullPacketsPerFrame == 19);

constexpr uintptr_t kBulkIn = 0x10;
constexpr uintptr_t kBulkOut = 0x20;
constexpr uintptr_t kInterrupt = 0x30;

// A device whose IN endpoints send what the test queued for them, and whose OUT endpoints
// take everything unless told to NAK.
class FakeDevice : public emu::usb::ScheduleClient {
 public:
  std::optional<ULONG> Answer(uint64_t id) override {
    auto found = inAnswers.find(id);
    if (found == inAnswers.end()) return std::nullopt;
    return found->second;
  }
  bool Deliver(uint64_t id) override {
    delivered.push_back(id);
    return !nakOut;
  }
  std::map<uint64_t, ULONG> inAnswers;
  std::vector<uint64_t> delivered;
  bool nakOut = false;
};

class BusScheduleTest : public testing::Test {
 protected:
  uint64_t Out(BusSchedule& schedule, ULONG length, uint64_t at, USHORT packet = kHighPacket) {
    schedule.Add(ScheduledTransfer{++lastId_, kBulkOut, false, false, 0, packet, length}, at);
    return lastId_;
  }
  uint64_t In(BusSchedule& schedule, ULONG room, uint64_t at, USHORT packet = kHighPacket) {
    schedule.Add(ScheduledTransfer{++lastId_, kBulkIn, true, false, 0, packet, room}, at);
    return lastId_;
  }
  // Runs the schedule as the bus's timer would, until 'until'; when each transfer completed.
  std::map<uint64_t, uint64_t> RunUntil(BusSchedule& schedule, uint64_t until) {
    std::map<uint64_t, uint64_t> completed;
    for (uint64_t next = schedule.NextEvent(); next <= until; next = schedule.NextEvent()) {
      schedule.Advance(next, device);
      for (uint64_t id : schedule.TakeDue(next)) completed[id] = next;
    }
    return completed;
  }

  FakeDevice device;
  uint64_t lastId_ = 0;
};

// One transfer alone on an idle bus: it crosses at once and completes at the interrupt after
// its last packet, which comes at the next (micro)frame boundary, or the threshold's.
TEST_F(BusScheduleTest, LoneTransferCompletesAtTheInterruptAfterItsLastPacket) {
  struct Case {
    const char* what;
    BusTiming timing;
    ULONG length;
    USHORT packet;
    uint64_t submitted;
    uint64_t expected;
  };
  // 1514 bytes at high speed: 512 + 512 + 490 bytes, 567 + 567 + 545 = 1679 byte times, the
  // first 280 of the microframe's 1250 ticks.
  constexpr uint64_t kFullFrameTicks = (1679 * kMicroframe + kMicroframeBytes - 1) / kMicroframeBytes;
  static_assert(kFullFrameTicks == 280);
  // 1514 bytes at full speed: 23 packets of 64 and one of 42, 23 * 77 + 55 = 1826 byte times:
  // 19 packets in the first frame, the other 5 in the second.
  static_assert(19 * 77 <= kFrameBytes && 19 * 77 + 77 > kFrameBytes);
  const Case cases[] = {
      {"high speed, idle bus", {kHighSpeed, 1, 0}, 1514, kHighPacket, 0, kMicroframe},
      {"submitted late in a microframe, it still fits", {kHighSpeed, 1, 0}, 1514, kHighPacket,
       kMicroframe - kFullFrameTicks, kMicroframe},
      {"a packet too late for the microframe waits for the next", {kHighSpeed, 1, 0}, 1514, kHighPacket,
       kMicroframe - kFullFrameTicks + 10, 2 * kMicroframe},
      {"interrupt every 8 microframes", {kHighSpeed, 8, 0}, 1514, kHighPacket, 0, 8 * kMicroframe},
      {"DPC latency of 200 us", {kHighSpeed, 1, 2000}, 1514, kHighPacket, 0, 2000 / kMicroframe * kMicroframe + kMicroframe},
      {"full speed spills into the second frame", {kFullSpeed, 1, 0}, 1514, kFullPacket, 0, 2 * kFrame},
      {"a zero-length packet takes its overhead", {kHighSpeed, 1, 0}, 0, kHighPacket, 3 * kMicroframe, 4 * kMicroframe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BusSchedule schedule(c.timing);
    uint64_t id = Out(schedule, c.length, c.submitted, c.packet);
    std::map<uint64_t, uint64_t> completed = RunUntil(schedule, 100 * kFrame);
    EXPECT_EQ(completed[id], c.expected);
    EXPECT_EQ(device.delivered.back(), id);
  }
}

// The echo's way: an IN transfer waiting on an empty endpoint NAKs, and crosses once the device
// has news, right behind the OUT transfer that gave it.
TEST_F(BusScheduleTest, InTransferCrossesOnceTheDeviceHasData) {
  BusSchedule schedule(BusTiming{kHighSpeed, 1, 0});
  uint64_t read = In(schedule, 1536, 0);
  RunUntil(schedule, 10 * kMicroframe);
  EXPECT_EQ(schedule.NextEvent(), UINT64_MAX) << "a NAKing endpoint is not polled without news";
  uint64_t write = Out(schedule, 1514, 10 * kMicroframe);
  device.inAnswers[read] = 1514;
  std::map<uint64_t, uint64_t> completed = RunUntil(schedule, 100 * kMicroframe);
  // 1679 byte times out, 1679 back: both inside microframe 10.
  static_assert(2 * 1679 <= kMicroframeBytes);
  EXPECT_EQ(completed[write], 11 * kMicroframe);
  EXPECT_EQ(completed[read], 11 * kMicroframe);
  EXPECT_EQ(schedule.bytesIn(), 1514u);
  EXPECT_EQ(schedule.bytesOut(), 1514u);
}

// A saturated stream moves exactly as many packets per (micro)frame as the rules allow, and the
// two bulk pipes and the interrupt pipe's slot share them.
TEST_F(BusScheduleTest, SaturatedStreamMovesWhatTheBusAllows) {
  struct Case {
    const char* what;
    BusTiming timing;
    USHORT packet;
    bool bothWays;
    bool interruptEveryFrame;
    uint64_t transfersPerFrame;
  };
  const Case cases[] = {
      {"high speed, one way", {kHighSpeed, 1, 0}, kHighPacket, false, false, kHighPacketsPerMicroframe},
      {"high speed, both ways share", {kHighSpeed, 1, 0}, kHighPacket, true, false, kHighPacketsPerMicroframe},
      {"full speed, one way", {kFullSpeed, 1, 0}, kFullPacket, false, false, kFullPacketsPerFrame},
      // The interrupt pipe's slot of 64 + 13 byte times leaves (1500 - 77) / 77 = 18 bulk packets.
      {"full speed with the interrupt slot", {kFullSpeed, 1, 0}, kFullPacket, false, true,
       (kFrameBytes - (kFullPacket + kFullOverhead)) / (kFullPacket + kFullOverhead)},
  };
  constexpr uint64_t kFrames = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BusSchedule schedule(c.timing);
    const uint64_t frameTicks = c.timing.speed.frameTicks;
    // One packet a transfer, more than the frames can take, both ways when asked.
    for (uint64_t i = 0; i < kFrames * 20; ++i) {
      Out(schedule, c.packet - 1, 0, c.packet);
      if (c.bothWays) device.inAnswers[In(schedule, c.packet - 1, 0, c.packet)] = c.packet - 1;
    }
    if (c.interruptEveryFrame)
      schedule.Add(ScheduledTransfer{++lastId_, kInterrupt, true, true, 1, kFullPacket, kFullPacket}, 0);
    std::map<uint64_t, uint64_t> completed = RunUntil(schedule, kFrames * frameTicks);
    std::map<uint64_t, uint64_t> perFrame;
    for (const auto& [id, at] : completed) perFrame[at]++;
    ASSERT_EQ(perFrame.size(), kFrames);
    for (const auto& [at, count] : perFrame) EXPECT_EQ(count, c.transfersPerFrame) << "at " << at;
    if (c.bothWays) {
      EXPECT_LE(std::abs(int64_t(schedule.bytesIn()) - int64_t(schedule.bytesOut())), c.packet) << "turn by turn";
    }
  }
}

// Whatever the mix of transfers, sizes, NAKs, latencies and thresholds, no (micro)frame carries
// more packets than its bus time holds, and every transfer ends once.
TEST_F(BusScheduleTest, NeverMoreThanTheBusAllows) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    bool high = seed % 2;
    BusTiming timing{high ? kHighSpeed : kFullSpeed, static_cast<uint32_t>(1 + random() % 4), random() % 3000};
    BusSchedule schedule(timing);
    const USHORT packet = high ? kHighPacket : kFullPacket;
    const uint64_t frameTicks = timing.speed.frameTicks;
    const uint64_t overhead = high ? kHighOverhead : kFullOverhead;
    const uint64_t frameBytes = high ? kMicroframeBytes : kFrameBytes;
    std::set<uint64_t> added, ended;
    uint64_t bytesBefore = 0, packetsBefore = 0;
    for (uint64_t frame = 1; frame <= 200; ++frame) {
      for (uint32_t i = random() % 6; i > 0; --i) {
        uint64_t at = (frame - 1) * frameTicks + random() % frameTicks;
        ULONG length = random() % 1537;
        uint64_t id = random() % 2 ? Out(schedule, length, at, packet) : In(schedule, 1536, at, packet);
        if (random() % 3) device.inAnswers[id] = length;  // the others NAK for good
        added.insert(id);
      }
      device.nakOut = random() % 5 == 0;
      schedule.Wake(frame * frameTicks - 1);
      schedule.Advance(frame * frameTicks, device);
      for (uint64_t id : schedule.TakeDue(frame * frameTicks)) EXPECT_TRUE(ended.insert(id).second);
      uint64_t bytes = schedule.bytesIn() + schedule.bytesOut();
      uint64_t packets = schedule.bulkPackets();
      EXPECT_LE(bytes - bytesBefore + (packets - packetsBefore) * overhead, frameBytes) << "in frame " << frame - 1;
      bytesBefore = bytes;
      packetsBefore = packets;
    }
    for (uint64_t id : ended) EXPECT_TRUE(added.count(id));
  }
}

// The limits the goodput table stands against, worked out by hand.
TEST(BusLimitTest, LimitsFollowFromThePacketsAFrameNeeds) {
  // 13 packets of 512 bytes, 8000 microframes a second.
  EXPECT_DOUBLE_EQ(emu::usb::BulkLimitBitsPerSecond(kHighSpeed, kHighPacket), 13.0 * 512 * 8 * 8000);
  EXPECT_DOUBLE_EQ(emu::usb::BulkLimitBitsPerSecond(kFullSpeed, kFullPacket), 19.0 * 64 * 8 * 1000);
  // 1514 bytes are 3 packets, and any 13 packets fit a microframe: 13 / 3 frames each.
  EXPECT_NEAR(emu::usb::StreamLimitBitsPerSecond(kHighSpeed, 1514, kHighPacket), 8000 * 13.0 / 3 * 1514 * 8,
              1514 * 8);
  // 512 bytes need a zero-length packet: 567 + 55 = 622 byte times, 12 frames a microframe.
  EXPECT_DOUBLE_EQ(emu::usb::StreamLimitBitsPerSecond(kHighSpeed, 512, kHighPacket), 8000 * 12.0 * 512 * 8);
  // 60 bytes: 115 byte times, 65 frames a microframe.
  EXPECT_DOUBLE_EQ(emu::usb::StreamLimitBitsPerSecond(kHighSpeed, 60, kHighPacket), 8000 * 65.0 * 60 * 8);
}

}  // namespace
