#include <gtest/gtest.h>

#include <set>

#include "tools/ecmemu/Traffic.h"

namespace {

using ecmemu::FrameFactory;
using ecmemu::Mac;
using ecmemu::StreamChecker;

const Mac kA{0x02, 0, 0, 0, 0, 1};
const Mac kB{0x02, 0, 0, 0, 0, 2};

TEST(TrafficTest, LengthsCoverTheRangeAndItsPacketBoundaries) {
  FrameFactory factory(kA, kB, 1, 1514);
  std::set<uint32_t> lengths;
  for (uint32_t s = 0; s < 4000; ++s) {
    uint32_t length = factory.LengthOf(s);
    ASSERT_GE(length, ecmemu::kFrameOverhead);
    ASSERT_LE(length, 1514u);
    EXPECT_EQ(factory.Make(s).size(), length);
    lengths.insert(length);
  }
  for (uint32_t boundary : {63u, 64u, 65u, 511u, 512u, 513u, 1514u}) EXPECT_TRUE(lengths.count(boundary)) << boundary;
  EXPECT_GT(lengths.size(), 1000u) << "lengths spread over the whole range";
}

// A device takes whole packets plus a last 0x00 for the host's one-byte termination and drops
// that byte; a frame of the stream that happened to end so would arrive one byte short.
TEST(TrafficTest, NoFrameEndsInAByteADeviceWouldTakeForATermination) {
  FrameFactory factory(kA, kB, 1, 1514);
  for (uint32_t s = 0; s < 20000; ++s) ASSERT_NE(factory.Make(s).back(), 0x00) << s;
}

TEST(TrafficTest, CheckerTellsEachKindOfFaultApart) {
  FrameFactory factory(kA, kB, 1, 600);
  StreamChecker checker(1);
  auto give = [&](std::vector<uint8_t> f) { checker.Accept(f.data(), f.size()); };
  give(factory.Make(0));
  give(factory.Make(2));
  give(factory.Make(1));  // late: reordered
  give(factory.Make(2));  // again: duplicated
  std::vector<uint8_t> broken = factory.Make(3);
  broken[30] ^= 0x40;
  give(broken);  // corrupted, so 3 is also never seen whole
  std::vector<uint8_t> padded = factory.Make(4);
  padded.resize(padded.size() + 1, 0);  // a trailing pad byte keeps the frame whole
  give(padded);
  give(FrameFactory(kA, kB, 2, 600).Make(5));  // the other direction's frame
  EXPECT_EQ(checker.counts().verified, 4u);
  EXPECT_EQ(checker.counts().reordered, 1u);
  EXPECT_EQ(checker.counts().duplicated, 1u);
  EXPECT_EQ(checker.counts().corrupted, 1u);
  EXPECT_EQ(checker.counts().foreign, 1u);
}

// Any one byte changed anywhere, by any bit, must tell the frame corrupt.
TEST(TrafficTest, CheckerCatchesEveryByteChangedAnywhere) {
  for (uint32_t length : {27u, 60u, 513u, 1514u}) {
    FrameFactory factory(kA, kB, 1, 1514, length);
    std::vector<uint8_t> frame = factory.Make(length);
    for (size_t at = 0; at < frame.size(); ++at)
      for (uint8_t flip : {0x01, 0x80, 0xFF}) {
        std::vector<uint8_t> broken = frame;
        broken[at] ^= flip;
        StreamChecker checker(1);
        checker.Accept(broken.data(), broken.size());
        ASSERT_EQ(checker.counts().verified, 0u) << "length " << length << ", byte " << at << " ^ " << int(flip);
      }
  }
}

// The far end turns a frame round and mends its checksum for the bytes it changed: the answer
// must be exactly the frame of that number the other way, as built whole.
TEST(TrafficTest, AnswerIsTheOtherDirectionsFrameOfTheSameNumber) {
  FrameFactory out(kA, kB, 1, 1514), back(kB, kA, 2, 1514);
  StreamChecker checker(2);
  for (uint32_t s = 0; s < 3000; ++s) {
    std::vector<uint8_t> frame = out.Make(s);
    ASSERT_TRUE(ecmemu::ReflectFrame(frame)) << s;
    ASSERT_EQ(frame, back.Make(s)) << s;
    ASSERT_EQ(checker.Accept(frame.data(), frame.size()), s);
  }
}

TEST(TrafficTest, TruncatedFrameIsCorruptNotShort) {
  FrameFactory factory(kA, kB, 1, 1514);
  StreamChecker checker(1);
  std::vector<uint8_t> frame = factory.Make(6);
  frame.resize(frame.size() - 1);
  checker.Accept(frame.data(), frame.size());
  EXPECT_EQ(checker.counts().corrupted, 1u);
}

}  // namespace
