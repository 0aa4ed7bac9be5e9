// The driver on a timed bus: one frame's round trip, and the goodput table's cells, against
// what the bus's rules and the driver's buffers allow, worked out by hand.
#include <gtest/gtest.h>

#include "emu/ndis/Protocol.h"
#include "tools/ecmemu/AdapterSession.h"
#include "tools/ecmemu/FreshSystem.h"
#include "tools/ecmemu/Goodput.h"

using emu::usb::BusTiming;
using emu::usb::kHighSpeed;
using ecmemu::GoodputCell;
using ecmemu::Way;

namespace {

constexpr uint64_t kMicroframe = 1250;  // 125 us in 100-ns units
constexpr double kMicroframesPerSecond = 8000;
constexpr uint64_t kWindowMs = 5;

// A broadcast frame, so the echo sends it back unchanged and the filter passes it.
std::vector<UCHAR> Broadcast(size_t length) {
  std::vector<UCHAR> frame(length, 0x3C);
  std::fill(frame.begin(), frame.begin() + 6, 0xFF);
  return frame;
}

// One 1514-byte frame through the driver and the device's echo: 512 + 512 + 490 bytes out,
// 567 + 567 + 545 = 1679 byte times, and as much back, 3358 of the microframe's 7500 (the
// notification pipe's poll adds 16 + 55 when it falls there). Both complete at the interrupt
// that ends the microframe, and the receive path indicates the frame at once.
TEST(TimedBusTest, RoundTripOfOneFrameEndsAtTheInterruptAfterItsLastPacket) {
  struct Case {
    const char* what;
    BusTiming timing;
    uint64_t expected;  // from the send to the indication
  };
  const Case cases[] = {
      {"the next microframe's interrupt", {kHighSpeed, 1, 0}, kMicroframe},
      // 300 ticks late, the write still ends at 300 + 280 and the read at 860 of 1250.
      {"a DPC latency that still fits", {kHighSpeed, 1, 300}, kMicroframe},
      // 1000 ticks late, 6000 byte times in: the write's last packet (545) no longer fits.
      {"a DPC latency that spills", {kHighSpeed, 1, 1000}, 2 * kMicroframe},
      {"an interrupt every 8 microframes", {kHighSpeed, 8, 0}, 8 * kMicroframe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint64_t sentAt = 0, indicatedAt = 0;
    auto prepare = [&](ecmemu::FreshSystem& system) {
      system.bus.SetTiming(c.timing);
      system.device.EchoWire();
    };
    auto body = [&](ecmemu::FreshSystem& system, emu::ndis::Miniport& miniport, const ecmemu::AdapterStart& start) {
      ASSERT_TRUE(start.initialized);
      ecmemu::AdapterSession session(miniport);
      ASSERT_EQ(session.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_BROADCAST), NDIS_STATUS_SUCCESS);
      session.Settle(100);  // the link, over the slowly polled notification pipe
      miniport.protocol().onFrame = [&](const emu::ndis::ReceivedFrame&) { indicatedAt = system.kernel.scheduler().Now(); };
      emu::ndis::ProtocolPacket packet(Broadcast(1514));
      sentAt = system.kernel.scheduler().Now();
      ASSERT_EQ(sentAt % (8 * kMicroframe), 0u) << "the send starts on an interrupt boundary";
      miniport.SendPackets({packet.packet()});
      session.WaitUntil([&] { return indicatedAt != 0; }, 10);
      std::vector<std::string> problems;
      ecmemu::HaltWithinBound(miniport, problems);
      EXPECT_TRUE(problems.empty());
    };
    EXPECT_TRUE(ecmemu::RunFreshSystem(emu::devices::DefaultEcmProfile(), {}, prepare, body).empty());
    EXPECT_EQ(indicatedAt - sentAt, c.expected);
  }
}

// Cells the driver's buffers decide alone, one frame per buffer out and interrupt: of 2
// transmit buffers one is kept for a zero-length packet, so one write is out at a time; 4 of
// them carry two 512-byte frames, each with its zero-length packet; every receive buffer is
// out as a read.
TEST(GoodputTest, FewBuffersMoveOneFramePerBufferAndInterrupt) {
  struct Case {
    GoodputCell cell;
    double framesPerMicroframe;
  };
  const Case cases[] = {{{Way::ToDevice, 2, 60}, 1}, {{Way::FromDevice, 2, 60}, 2}, {{Way::ToDevice, 4, 512}, 2},
                        {{Way::FromDevice, 4, 60}, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cell.buffers << " buffers, " << c.cell.frameLength << " bytes");
    ecmemu::GoodputResult result =
        ecmemu::MeasureGoodput(emu::devices::DefaultEcmProfile(), BusTiming{}, c.cell, kWindowMs);
    EXPECT_TRUE(result.problems.empty());
    EXPECT_DOUBLE_EQ(result.bitsPerSecond, c.framesPerMicroframe * kMicroframesPerSecond * c.cell.frameLength * 8);
  }
}

// However many buffers, the driver never gets more across than the bus carries (up to the
// one frame a window's edge may cut), more buffers never make it slower, and a cell measured
// twice reads the same.
TEST(GoodputTest, GoodputStaysUnderTheBusLimitAndGrowsWithTheBuffers) {
  for (Way way : {Way::ToDevice, Way::FromDevice}) {
    for (uint32_t length : {60u, 512u, 1514u}) {
      double previous = 0;
      for (uint32_t buffers : {2u, 8u, 32u}) {
        SCOPED_TRACE(testing::Message() << (way == Way::ToDevice ? "to" : "from") << " device, " << buffers
                                        << " buffers, " << length << " bytes");
        GoodputCell cell{way, buffers, length};
        ecmemu::GoodputResult result =
            ecmemu::MeasureGoodput(emu::devices::DefaultEcmProfile(), BusTiming{}, cell, kWindowMs);
        EXPECT_TRUE(result.problems.empty());
        double oneFrame = length * 8 * 1000.0 / kWindowMs;
        EXPECT_LE(result.bitsPerSecond, result.limit + oneFrame);
        EXPECT_GE(result.bitsPerSecond, previous);
        previous = result.bitsPerSecond;
        if (buffers == 8) {
          EXPECT_EQ(ecmemu::MeasureGoodput(emu::devices::DefaultEcmProfile(), BusTiming{}, cell, kWindowMs)
                        .bitsPerSecond,
                    result.bitsPerSecond);
        }
      }
    }
  }
}

}  // namespace
