// The driver's races, each scenario run under many explored schedules: requests racing the
// teardown, transfer failures racing reset, power and stop, a pipe released while its repairs
// run, reset racing power changes, NDIS calling from two processors at once, removal at any
// moment, and receive drained by two processors. Every schedule must leave the verifier silent
// and nothing allocated; a failure names the seed that replays it.
#include <gtest/gtest.h>


#include "DataPipesBench.h"
#include "DriverBench.h"
#include "ScheduleCampaign.h"
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Protocol.h"
#include "transfer/ReadPipe.h"

namespace {

// make test runs this many schedules per scenario; make explore runs more (ECM_EXPLORE_SCHEDULES).
constexpr int kBoundedSchedules = 300;
constexpr uint64_t kScenarioSteps = 1500;  // a scenario takes about 1000 scheduling points

constexpr ULONG kFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;

std::vector<UCHAR> Ulong(ULONG value) {
  std::vector<UCHAR> bytes(sizeof value);
  memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

const std::vector<UCHAR> kMulticastList = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01, 0x01, 0x00, 0x5E, 0x7F, 0x00, 0x02};

void ExpectEverySchedulePasses(const ScheduleBody& body) {
  CampaignResult result = RunCampaign(kBoundedSchedules, kScenarioSteps, body);
  EXPECT_FALSE(result.failure) << Describe(result);
}

// How a scenario ends the adapter's life while something else is in flight.
enum class Teardown { Halt, SurpriseRemoval, PowerDown };

std::string TeardownName(Teardown teardown) {
  const char* names[] = {"halt", "surprise_removal", "D3"};
  return names[static_cast<int>(teardown)];
}

void TearDownBy(DriverBench& bench, Teardown teardown) {
  if (teardown == Teardown::SurpriseRemoval) bench.SurpriseRemove();
  if (teardown == Teardown::PowerDown) bench.Issue(OID_PNP_SET_POWER, Ulong(NdisDeviceStateD3));
  bench.Halt();
}

class RequestsRacingTeardown : public ::testing::TestWithParam<Teardown> {};

// The packet filter's request is on the bus (the device answers late) when the multicast list
// changes it again, and then the adapter goes.
TEST_P(RequestsRacingTeardown, FilterAndMulticastSetsEndBeforeTheAdapterGoes) {
  Teardown teardown = GetParam();
  ScheduleBody body = [teardown] {
    DriverBench bench;
    bench.bus.InjectFault(emu::usb::ControlFault::Delay(URB_FUNCTION_CLASS_INTERFACE, 200)
                              .Detail(emu::devices::kSetEthernetPacketFilter)
                              .Times(1));
    if (!bench.Initialize()) return std::string("initialization failed");
    bench.Issue(OID_GEN_CURRENT_PACKET_FILTER, Ulong(kFilter));
    bench.Issue(OID_802_3_MULTICAST_LIST, kMulticastList);
    TearDownBy(bench, teardown);
    return std::string();
  };
  ExpectEverySchedulePasses(body);
}

INSTANTIATE_TEST_SUITE_P(Teardowns, RequestsRacingTeardown,
                         ::testing::Values(Teardown::Halt, Teardown::SurpriseRemoval, Teardown::PowerDown),
                         [](const ::testing::TestParamInfo<Teardown>& info) { return TeardownName(info.param); });

// What runs while a transfer on each data pipe fails.
enum class Against { Reset, PowerDown, Stop };

std::string AgainstName(Against against) {
  const char* names[] = {"reset", "D3", "stop"};
  return names[static_cast<int>(against)];
}

class TransferFailureRacing : public ::testing::TestWithParam<Against> {};

// Runs the other path while the failures the scenario scripted meet transfers, then halts.
std::string RaceTheFailures(DriverBench& bench, Against against) {
  if (against == Against::Reset) bench.Reset();
  if (against == Against::PowerDown) bench.Issue(OID_PNP_SET_POWER, Ulong(NdisDeviceStateD3));
  if (!bench.Settle(30000)) return "a request pended for good";
  if (against == Against::PowerDown) bench.SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD0);
  bench.Halt();
  return "";
}

TEST_P(TransferFailureRacing, RecoveryAndTheOtherPathLeaveNoTransferBehind) {
  Against against = GetParam();
  ExpectEverySchedulePasses([against] {
    DriverBench bench;
    if (!bench.Initialize()) return std::string("initialization failed");
    bench.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, kFilter);
    emu::devices::EcmLayout layout = bench.device.Layout();
    for (UCHAR endpoint : {layout.dataInEndpoint, layout.dataOutEndpoint})
      bench.bus.ScriptTransfers(endpoint, {{emu::usb::TransferResult::Stall()}});
    bench.Send(2);
    return RaceTheFailures(bench, against);
  });
}

// The bulk-in endpoint stalls every read for a while (firmware wedged): its repairs keep
// failing while NDIS powers the adapter down or resets it, and the stop still ends.
TEST_P(TransferFailureRacing, AnEndpointThatStallsEveryReadStillLetsTheOtherPathEnd) {
  Against against = GetParam();
  ExpectEverySchedulePasses([against] {
    DriverBench bench;
    if (!bench.Initialize()) return std::string("initialization failed");
    bench.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, kFilter);
    bench.bus.ScriptTransfers(bench.device.Layout().dataInEndpoint,
                              std::vector<emu::usb::ScriptedTransfer>(40, {emu::usb::TransferResult::Stall()}));
    bench.DeliverFrames(1);
    return RaceTheFailures(bench, against);
  });
}

INSTANTIATE_TEST_SUITE_P(Paths, TransferFailureRacing,
                         ::testing::Values(Against::Reset, Against::PowerDown, Against::Stop),
                         [](const ::testing::TestParamInfo<Against>& info) { return AgainstName(info.param); });

// Gives every buffer back at once and counts the failures.
class ReadSink : public ReadPipeClient {
 public:
  VOID OnReadComplete(TransferBuffer* buffer) override {
    buffer->ReturnToPool();
    pipe->ResumeReads();
  }
  VOID OnReadError(NTSTATUS, BOOLEAN) override { ++errors; }
  ReadPipe* pipe = nullptr;
  int errors = 0;
};

// A pipe goes while the endpoint fails read after read and repairs restart it: whatever a
// repair put out is drained before the buffers go.
TEST(ReleaseRacingRepairs, APipeThatGoesWhileItsRepairsRunLeavesNoTransferBehind) {
  int schedulesWithFailedReads = 0;
  ExpectEverySchedulePasses([&schedulesWithFailedReads] {
    DataPipesBench pipes;
    if (pipes.Select() != STATUS_SUCCESS) return std::string("selection failed");
    DEVICE_OBJECT owner{};
    ReadSink sink;
    pipes.bus().ScriptTransfers(DataPipesBench::kBulkIn,
                                std::vector<emu::usb::ScriptedTransfer>(8, {emu::usb::TransferResult::Stall()}));
    {
      ReadPipe pipe;
      sink.pipe = &pipe;
      if (pipe.Configure(pipes.target, pipes.selector, DataPipesBench::kBulkIn, &owner, &sink, 4, 1536) !=
          STATUS_SUCCESS)
        return std::string("configuration failed");
      pipe.StartPipe(FALSE);
      for (uint64_t i = CurrentScheduleSeed() % 64; i > 0; --i) emu::SchedulingPoint();
    }
    size_t left = pipes.bus().PendingIrps();
    pipes.Release();
    if (left) return std::to_string(left) + " IRP(s) still on the bus after the pipe went";
    schedulesWithFailedReads += sink.errors > 0;
    return std::string();
  });
  EXPECT_GT(schedulesWithFailedReads, 0) << "no schedule let a read fail before the pipe went";
}

// NDIS resets an adapter whose power-down is pending; then powers it up again.
TEST(ResetRacingPower, ResetDuringD3ThenD0LeavesThePipesAsThePowerStateSays) {
  ExpectEverySchedulePasses([] {
    DriverBench bench;
    if (!bench.Initialize()) return std::string("initialization failed");
    bench.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, kFilter);
    bench.Issue(OID_PNP_SET_POWER, Ulong(NdisDeviceStateD3));
    bench.Reset();
    if (!bench.Settle(30000)) return std::string("the power-down or the reset never completed");
    size_t held = bench.bus.PendingIrps();
    if (held) return std::to_string(held) + " IRP(s) still on the bus in D3";
    if (bench.SetUlong(OID_PNP_SET_POWER, NdisDeviceStateD0) != NDIS_STATUS_SUCCESS)
      return std::string("the return to D0 failed");
    bench.Halt();
    return std::string();
  });
}

// NDIS calls a deserialized miniport from any processor: packets are sent and frames arrive
// on workers while a filter set and a reset run here. Every packet completes once (the reset
// completes those it finds queued without sending them), and a packet sent afterwards still
// goes out.
TEST(NdisCallsOnTwoProcessors, SendsAndFramesRacingASetAndAResetCompleteEveryPacketOnce) {
  int schedulesThatFlushed = 0, schedulesThatSentAll = 0;
  ExpectEverySchedulePasses([&] {
    DriverBench bench;
    if (!bench.Initialize()) return std::string("initialization failed");
    bench.Concurrently([&bench] { bench.Send(4); });
    bench.Concurrently([&bench] { bench.DeliverFrames(4); });
    bench.Issue(OID_GEN_CURRENT_PACKET_FILTER, Ulong(kFilter));
    bench.Reset();
    bench.Join();
    if (!bench.Settle(30000)) return std::string("the set or the reset never completed");
    emu::Kernel::Current().RunPending();
    size_t completed = bench.miniport.sendCompletions().size();
    if (completed != 4) return std::to_string(completed) + " of 4 packets completed";
    size_t sent = bench.device.DataOut().Frames().size();
    schedulesThatFlushed += sent < 4;
    schedulesThatSentAll += sent == 4;
    bench.Send(1);
    emu::Kernel::Current().RunPending();
    if (bench.device.DataOut().Frames().size() != sent + 1 || bench.miniport.sendCompletions().size() != 5)
      return std::string("a packet sent after the reset did not go out");
    bench.Halt();
    return std::string();
  });
  EXPECT_GT(schedulesThatFlushed, 0) << "no schedule let the reset meet queued packets";
  EXPECT_GT(schedulesThatSentAll, 0) << "no schedule let every packet out before the reset";
}

// The device goes at a moment the schedule picks: during the bring-up, the traffic or the halt.
TEST(SurpriseRemoval, AtAnyPointOfBringUpAndTrafficTheAdapterStillHaltsClean) {
  ExpectEverySchedulePasses([] {
    DriverBench bench;
    // The step gets as far as the schedule lets it through this many platform calls first.
    uint64_t delay = CurrentScheduleSeed() * 7919 % kScenarioSteps;
    bench.Concurrently([&bench, delay] {
      bench.Poll(delay);
      bench.bus.Unplug();
    });
    if (bench.Initialize()) {
      bench.Issue(OID_GEN_CURRENT_PACKET_FILTER, Ulong(kFilter));
      bench.Send(3);
      bench.DeliverFrames(3);
      bench.Join();
      bench.miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
      bench.Halt();
    }
    return std::string();
  });
}

// Frames arrive back to back, and the bus completes their reads from DPCs that two
// processors may run at once: the protocol sees each frame once, whole, in wire order.
TEST(ReceiveOnTwoProcessors, EveryFrameIndicatedOnceInOrder) {
  ExpectEverySchedulePasses([] {
    DriverBench bench;
    if (!bench.Initialize()) return std::string("initialization failed");
    bench.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, kFilter);
    size_t taken = bench.DeliverFrames(12);
    emu::Kernel::Current().RunPending();
    std::vector<emu::ndis::ReceivedFrame> frames = bench.miniport.protocol().frames();
    std::string problem;
    if (frames.size() != taken)
      problem = std::to_string(frames.size()) + " frames indicated of " + std::to_string(taken);
    for (size_t i = 1; i < frames.size() && problem.empty(); ++i)
      if (static_cast<UCHAR>(frames[i].Bytes().back() - frames[i - 1].Bytes().back()) != 1)
        problem = "frame " + std::to_string(i) + " out of order";
    bench.Halt();
    return problem;
  });
}

}  // namespace
