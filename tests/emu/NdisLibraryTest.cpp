// The emulated NDIS library against the tiny miniport: the calls arrive at the
// right IRQL, configuration and timers behave as NDIS's do, and each contract check catches
// a miniport that breaks it.
#include <chrono>
#include <future>

#include "NdisTest.h"
#include "TinyMiniport.h"
#include "support/PoolTags.h"

namespace {

using namespace tiny;

class NdisLibraryTest : public NdisTest {
 protected:
  void SetUp() override {
    ResetState();
    ASSERT_EQ(library().LoadDriver(TinyDriverEntry), STATUS_SUCCESS);
  }
  emu::ndis::Miniport& miniport = library().AddMiniport();
};

TEST_F(NdisLibraryTest, CallsEachHandlerAtTheLevelNdisUses) {
  ASSERT_EQ(miniport.Initialize(), NDIS_STATUS_SUCCESS);
  NDIS_PACKET packet = {};
  miniport.SendPackets({&packet});
  BOOLEAN addressingReset;
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  NdisMResetComplete(miniport.handle(), NDIS_STATUS_SUCCESS, FALSE);
  NdisMSendComplete(miniport.handle(), &packet, NDIS_STATUS_SUCCESS);
  miniport.Halt();
  EXPECT_EQ(initializeIrql, PASSIVE_LEVEL);
  EXPECT_EQ(haltIrql, PASSIVE_LEVEL);
  EXPECT_EQ(sendIrql, DISPATCH_LEVEL);
  EXPECT_EQ(resetIrql, DISPATCH_LEVEL);
}

TEST_F(NdisLibraryTest, CatchesAStatusIndicationBeforeInitializeReturns) {
  fault = Fault::IndicateInInitialize;
  miniport.Initialize();
  EXPECT_TRUE(TookViolation("ndis", "NdisMIndicateStatus before MiniportInitialize returned"));
  miniport.Halt();
}

// Another processor may run a DPC that indicates once the driver let it and before
// MiniportInitialize is back in NDIS. NDIS drops such indications: nothing is bound yet.
TEST_F(NdisLibraryTest, DropsWhatADpcIndicatesBeforeInitializeReturns) {
  static KDPC early;
  KeInitializeDpc(&early, [](PKDPC, PVOID handle, PVOID, PVOID) {
    UCHAR frame[60] = {};
    NdisMEthIndicateReceive(handle, nullptr, frame, 14, frame + 14, 46, 46);
    NdisMEthIndicateReceiveComplete(handle);
    NdisMIndicateStatus(handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
    NdisMIndicateStatusComplete(handle);
  }, nullptr);
  onInitialize = [this](TinyContext& c) {
    early.DeferredContext = c.handle;
    KeInsertQueueDpc(&early, nullptr, nullptr);
    kernel().RunPending();
  };
  ASSERT_EQ(miniport.Initialize(), NDIS_STATUS_SUCCESS);
  EXPECT_FALSE(TookViolation("ndis"));
  EXPECT_TRUE(miniport.protocol().frames().empty());
  EXPECT_EQ(miniport.framesDroppedBeforeInitialized(), 1u) << "a driver's count of frames received includes it";
  EXPECT_TRUE(miniport.statusIndications().empty());
  KeInsertQueueDpc(&early, nullptr, nullptr);
  kernel().RunPending();
  EXPECT_EQ(miniport.protocol().frames().size(), 1u);
  EXPECT_EQ(miniport.framesDroppedBeforeInitialized(), 1u);
  EXPECT_EQ(miniport.statusIndications().size(), 1u);
  miniport.Halt();
}

TEST_F(NdisLibraryTest, CatchesAStatusIndicationAfterHaltBegan) {
  miniport.Initialize();
  fault = Fault::IndicateInHalt;
  miniport.Halt();
  EXPECT_TRUE(TookViolation("ndis", "NdisMIndicateStatus after MiniportHalt began"));
}

// A DPC may still indicate while the halt runs, but the halt must wait for it.
TEST_F(NdisLibraryTest, CatchesAnIndicationFromADpcTheHaltDidNotWaitFor) {
  miniport.Initialize();
  static KDPC late;
  onHalt = [](TinyContext& c) {
    KeInitializeDpc(&late, [](PKDPC, PVOID handle, PVOID, PVOID) {
      NdisMIndicateStatus(handle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
    }, c.handle);
    KeInsertQueueDpc(&late, nullptr, nullptr);
  };
  miniport.Halt();
  kernel().RunPending();
  EXPECT_TRUE(TookViolation("ndis", "NdisMIndicateStatus after MiniportHalt returned"));
}

TEST_F(NdisLibraryTest, CatchesATimerLeftArmedByHalt) {
  fault = Fault::TimerLeftArmed;
  miniport.Initialize();
  miniport.Halt();
  EXPECT_TRUE(TookViolation("ndis", "when MiniportHalt returned: miniport timer still armed"));
  KeCancelTimer(&staticContext.timer.Timer);
}

TEST_F(NdisLibraryTest, CatchesAnAllocationKeptAfterHalt) {
  miniport.Initialize();
  TinyContext* kept = context;
  fault = Fault::KeepContext;
  miniport.Halt();
  EXPECT_TRUE(TookViolation("ndis", "adapter allocation not released: 1 x memory (NdisAllocateMemoryWithTag) tagged 'tiny'"));
  NdisFreeMemory(kept, 0, 0);
}

TEST_F(NdisLibraryTest, CatchesAWorkItemLeftQueuedByHalt) {
  miniport.Initialize();
  fault = Fault::WorkLeftQueued;
  miniport.Halt();
  EXPECT_TRUE(TookViolation("ndis", "1 work item(s) of the adapter still queued"));
  kernel().RunPending();
}

TEST_F(NdisLibraryTest, CatchesAConfigurationHandleLeftOpen) {
  fault = Fault::ConfigurationLeftOpen;
  miniport.Initialize();
  EXPECT_TRUE(TookViolation("ndis", "left a configuration handle open"));
  miniport.Halt();
}

TEST_F(NdisLibraryTest, CatchesCompletionsNdisDoesNotExpect) {
  miniport.Initialize();
  NDIS_PACKET packet = {};
  miniport.SendPackets({&packet});
  NdisMSendComplete(miniport.handle(), &packet, NDIS_STATUS_SUCCESS);
  NdisMSendComplete(miniport.handle(), &packet, NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(TookViolation("ndis", "completed twice"));
  NdisMResetComplete(miniport.handle(), NDIS_STATUS_SUCCESS, FALSE);
  EXPECT_TRUE(TookViolation("ndis", "NdisMResetComplete with no reset pending"));
  fault = Fault::ResetCompletedTwice;
  BOOLEAN addressingReset;
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(TookViolation("ndis", "returned a status and also called NdisMResetComplete"));
  fault = Fault::ResetFailsWithResources;
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_RESOURCES);
  EXPECT_TRUE(TookViolation("ndis", "MiniportReset returned 0xC000009A, not a status a reset may return"));
  fault = Fault::None;
  miniport.Halt();
}

// Batches of every size reach the miniport whole, and their packets stay outstanding, each on
// its own, whatever order they complete in.
TEST_F(NdisLibraryTest, TracksEachPacketOfABatchUntilItsCompletion) {
  miniport.Initialize();
  std::vector<NDIS_PACKET> packets(300);
  size_t next = 0;
  std::vector<PNDIS_PACKET> sent;
  for (size_t size : {1, 3, 64, 65, 167}) {
    std::vector<PNDIS_PACKET> batch;
    for (size_t i = 0; i < size; ++i) batch.push_back(&packets[next++]);
    miniport.SendPackets(batch);
    EXPECT_EQ(sentPackets, batch) << "a batch of " << size;
    sent.insert(sent.end(), batch.begin(), batch.end());
  }
  // Every third packet first, then the rest backwards: neither order is the sending one.
  std::vector<PNDIS_PACKET> order;
  for (size_t i = 0; i < sent.size(); i += 3) order.push_back(sent[i]);
  for (size_t i = sent.size(); i-- > 0;)
    if (i % 3) order.push_back(sent[i]);
  for (PNDIS_PACKET packet : order) NdisMSendComplete(miniport.handle(), packet, NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(TakeViolations().empty());
  NdisMSendComplete(miniport.handle(), sent[100], NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(TookViolation("ndis", "completed twice"));
  miniport.Halt();
  EXPECT_TRUE(TakeViolations().empty()) << "every packet completed before the halt";
}

using NdisLibraryDeathTest = NdisLibraryTest;

TEST_F(NdisLibraryDeathTest, SendingAPacketOfAnOutstandingBatchAgainIsFatal) {
  miniport.Initialize();
  std::vector<NDIS_PACKET> packets(100);
  std::vector<PNDIS_PACKET> batch;
  for (NDIS_PACKET& packet : packets) batch.push_back(&packet);
  miniport.SendPackets(batch);
  NdisMSendComplete(miniport.handle(), batch[40], NDIS_STATUS_SUCCESS);
  miniport.SendPackets({batch[40]});
  EXPECT_DEATH(miniport.SendPackets({batch[41]}), "a packet sent again before its completion");
  for (PNDIS_PACKET packet : batch) NdisMSendComplete(miniport.handle(), packet, NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(TakeViolations().empty());
  miniport.Halt();
}

TEST_F(NdisLibraryTest, CatchesSentPacketsResetsAndSetsLeftPendingByHalt) {
  miniport.Initialize();
  NDIS_PACKET packet = {};
  miniport.SendPackets({&packet});
  BOOLEAN addressingReset;
  miniport.Reset(&addressingReset);
  std::vector<UCHAR> buffer(4);
  ULONG read, needed;
  EXPECT_EQ(miniport.SetInformation(OID_GEN_CURRENT_PACKET_FILTER, buffer, &read, &needed), NDIS_STATUS_PENDING);
  miniport.Halt();
  std::vector<emu::Violation> found = TakeViolations();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_NE(found[0].message.find("1 sent packet(s) never completed"), std::string::npos);
  EXPECT_NE(found[1].message.find("a pended reset was never completed"), std::string::npos);
  EXPECT_NE(found[2].message.find("a pended set request was never completed"), std::string::npos);
}

TEST_F(NdisLibraryTest, APendedSetCompletesOnce) {
  miniport.Initialize();
  std::vector<UCHAR> buffer(4);
  ULONG read, needed;
  EXPECT_EQ(miniport.SetInformation(OID_GEN_CURRENT_PACKET_FILTER, buffer, &read, &needed), NDIS_STATUS_PENDING);
  NdisMSetInformationComplete(miniport.handle(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  NdisMSetInformationComplete(miniport.handle(), NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(TookViolation("ndis", "NdisMSetInformationComplete with no set request pending"));
  miniport.Halt();
}

// NDIS's hang check: a set still pending one CheckForHang interval (2 s) after it pended
// makes NDIS reset the adapter, at DISPATCH_LEVEL; one completed in time does not.
TEST_F(NdisLibraryTest, SetPendingPastTheHangCheckIntervalIsReset) {
  miniport.Initialize();
  std::vector<UCHAR> buffer(4);
  ULONG read, needed;
  ASSERT_EQ(miniport.SetInformation(OID_GEN_CURRENT_PACKET_FILTER, buffer, &read, &needed), NDIS_STATUS_PENDING);
  kernel().AdvanceTimeMs(1500);
  NdisMSetInformationComplete(miniport.handle(), NDIS_STATUS_SUCCESS);
  kernel().AdvanceTimeMs(5000);
  EXPECT_EQ(miniport.hangResets(), 0u) << "completed in time";

  ASSERT_EQ(miniport.SetInformation(OID_GEN_CURRENT_PACKET_FILTER, buffer, &read, &needed), NDIS_STATUS_PENDING);
  kernel().AdvanceTimeMs(1999);
  EXPECT_FALSE(miniport.resetPending());
  kernel().AdvanceTimeMs(1);
  EXPECT_EQ(miniport.hangResets(), 1u);
  EXPECT_TRUE(miniport.resetPending());
  EXPECT_EQ(resetIrql, DISPATCH_LEVEL);
  kernel().AdvanceTimeMs(5000);
  EXPECT_EQ(miniport.hangResets(), 1u) << "no second reset while the first pends";
  NdisMResetComplete(miniport.handle(), NDIS_STATUS_SUCCESS, FALSE);
  NdisMSetInformationComplete(miniport.handle(), NDIS_STATUS_SUCCESS);
  miniport.Halt();
}

// NDIS asks MiniportCheckForHang at every look while the adapter runs, at DISPATCH_LEVEL, and
// resets the adapter when it says it hangs: not while that reset pends, nor once halt began.
TEST_F(NdisLibraryTest, CheckForHangIsAskedAtEachLookAndATrueAnswerResets) {
  int asked = 0;
  BOOLEAN hangs = FALSE;
  KIRQL askedAt = PASSIVE_LEVEL;
  tiny::onCheckForHang = [&] {
    ++asked;
    askedAt = KeGetCurrentIrql();
    return hangs;
  };
  miniport.Initialize();
  kernel().AdvanceTimeMs(6000);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(askedAt, DISPATCH_LEVEL);
  EXPECT_EQ(miniport.hangResets(), 0u);
  hangs = TRUE;
  kernel().AdvanceTimeMs(2000);
  EXPECT_EQ(miniport.hangResets(), 1u);
  EXPECT_TRUE(miniport.resetPending());
  kernel().AdvanceTimeMs(6000);
  EXPECT_EQ(asked, 4) << "not asked while the reset pends";
  NdisMResetComplete(miniport.handle(), NDIS_STATUS_SUCCESS, FALSE);
  hangs = FALSE;
  kernel().AdvanceTimeMs(2000);
  EXPECT_EQ(asked, 5);
  miniport.Halt();
  kernel().AdvanceTimeMs(6000);
  EXPECT_EQ(asked, 5) << "not asked once halt began";
  EXPECT_EQ(miniport.hangResets(), 1u);
}

TEST_F(NdisLibraryTest, TimerRoutinesRunAtDispatchLevelAndSettingAgainReArms) {
  miniport.Initialize();
  NdisMSetTimer(&context->timer, 100);
  kernel().AdvanceTimeMs(50);
  NdisMSetTimer(&context->timer, 100);  // now due at 150
  kernel().AdvanceTimeMs(99);
  EXPECT_EQ(context->fired, 0);
  kernel().AdvanceTimeMs(1);
  EXPECT_EQ(context->fired, 1);
  EXPECT_EQ(context->firedAt, DISPATCH_LEVEL);
  NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&context->timer), 0);
  kernel().RunPending();
  EXPECT_EQ(context->fired, 2);
  BOOLEAN cancelled = TRUE;
  NdisMCancelTimer(&context->timer, &cancelled);
  EXPECT_FALSE(cancelled);
  NdisMSetTimer(&context->timer, 10);
  NdisMCancelTimer(&context->timer, &cancelled);
  EXPECT_TRUE(cancelled);
  kernel().AdvanceTimeMs(20);
  EXPECT_EQ(context->fired, 2);
  miniport.Halt();
}

TEST_F(NdisLibraryTest, CatchesATimerNeverInitialized) {
  NDIS_MINIPORT_TIMER stray = {};
  NdisMSetTimer(&stray, 10);
  EXPECT_TRUE(TookViolation("ndis", "never initialized with NdisMInitializeTimer"));
}

class ConfigurationTest : public NdisLibraryTest {
 protected:
  // Reads through NDIS inside an initialization of the tiny miniport's adapter.
  void Read(const std::function<void(NDIS_HANDLE)>& body) {
    miniport.InitializeWith([&](NDIS_HANDLE, NDIS_HANDLE configurationContext) {
      NDIS_STATUS status;
      NDIS_HANDLE configuration;
      NdisOpenConfiguration(&status, &configuration, configurationContext);
      EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
      body(configuration);
      NdisCloseConfiguration(configuration);
      return NDIS_STATUS_FAILURE;
    });
  }
  static NDIS_STATUS ReadValue(NDIS_HANDLE configuration, const char16_t* keyword, NDIS_PARAMETER_TYPE type,
                               ULONG* value) {
    NDIS_STRING name;
    RtlInitUnicodeString(&name, keyword);
    NDIS_STATUS status;
    PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
    NdisReadConfiguration(&status, &parameter, configuration, &name, type);
    if (status == NDIS_STATUS_SUCCESS) *value = parameter->ParameterData.IntegerData;
    return status;
  }
};

TEST_F(ConfigurationTest, StringsConvertInBase10ForIntegersAndBase16ForHexIntegers) {
  miniport.registry().SetString("Count", u"31");
  miniport.registry().SetString("Mask", u"1F");
  miniport.registry().SetString("Trailing", u"12abc");
  miniport.registry().SetString("Word", u"abc");
  miniport.registry().SetInteger("Plain", 0xDEADBEEF);
  Read([](NDIS_HANDLE c) {
    ULONG value = 0;
    EXPECT_EQ(ReadValue(c, u"Count", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    EXPECT_EQ(ReadValue(c, u"Count", NdisParameterHexInteger, &value), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(value, 0x31u);
    EXPECT_EQ(ReadValue(c, u"Mask", NdisParameterHexInteger, &value), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(value, 0x1Fu);
    EXPECT_EQ(ReadValue(c, u"Mask", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(value, 1u) << "digits up to the first that is none";
    EXPECT_EQ(ReadValue(c, u"Trailing", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(ReadValue(c, u"Word", NdisParameterInteger, &value), NDIS_STATUS_FAILURE);
    EXPECT_EQ(ReadValue(c, u"PLAIN", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(value, 0xDEADBEEFu);
    EXPECT_EQ(ReadValue(c, u"Missing", NdisParameterInteger, &value), NDIS_STATUS_FAILURE);
  });
}

TEST_F(ConfigurationTest, NetworkAddressGivesItsByteCountAndRefusesSeparators) {
  const std::pair<const char16_t*, int> cases[] = {
      {u"0211223344", 5}, {u"021122334455", 6}, {u"aabbCCDDeeff0011", 8},
      {u"02-11-22-33-44-55", -1}, {u"02:11:22:33:44:55", -1}, {u" 021122334455", -1}, {u"0211223", -1}, {u"", -1}};
  for (auto [text, bytes] : cases) {
    emu::ndis::Miniport& each = library().AddMiniport();
    each.registry().SetString("NetworkAddress", text);
    each.InitializeWith([&](NDIS_HANDLE, NDIS_HANDLE configurationContext) {
      NDIS_STATUS status;
      NDIS_HANDLE configuration;
      NdisOpenConfiguration(&status, &configuration, configurationContext);
      PVOID address = nullptr;
      UINT length = 0;
      NdisReadNetworkAddress(&status, &address, &length, configuration);
      if (bytes < 0) {
        EXPECT_EQ(status, NDIS_STATUS_FAILURE);
      } else {
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(length, static_cast<UINT>(bytes));
        EXPECT_EQ(static_cast<PUCHAR>(address)[1], text[2] == u'1' ? 0x11 : 0xBB);
      }
      NdisCloseConfiguration(configuration);
      return NDIS_STATUS_FAILURE;
    });
  }
}

TEST_F(ConfigurationTest, CatchesConfigurationReadOutsideInitialize) {
  miniport.Initialize();
  NDIS_STATUS status;
  NDIS_HANDLE configuration;
  NdisOpenConfiguration(&status, &configuration, miniport.handle());
  EXPECT_TRUE(TookViolation("ndis", "NdisOpenConfiguration while the adapter runs"));
  NdisCloseConfiguration(configuration);
  miniport.Halt();
}

// NDIS calls MiniportHalt whatever the other processors run: a timer routine that is
// indicating as the halt begins may finish, and the halt waits for it.
class ThreadedNdisHaltTest : public ThreadedEmuTest {
 protected:
  void SetUp() override {
    ResetState();
    ASSERT_EQ(library.LoadDriver(TinyDriverEntry), STATUS_SUCCESS);
  }
  void TearDown() override {
    ResetState();
    if (library.driverLoaded()) library.UnloadDriver();
    ThreadedEmuTest::TearDown();
  }
  emu::ndis::Library library;
};

TEST_F(ThreadedNdisHaltTest, ATimerRoutineIndicatingAsTheHaltBeginsMayFinish) {
  emu::ndis::Miniport& miniport = library.AddMiniport();
  ASSERT_EQ(miniport.Initialize(), NDIS_STATUS_SUCCESS);
  std::promise<void> running, haltBegan;
  std::shared_future<void> begun = haltBegan.get_future();
  onTimer = [&](TinyContext& c) {
    running.set_value();
    begun.wait();
    NdisMIndicateStatus(c.handle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
    NdisMIndicateStatusComplete(c.handle);
  };
  onHalt = [&](TinyContext&) {
    haltBegan.set_value();
    KeFlushQueuedDpcs();
  };
  NdisMSetTimer(&context->timer, 0);
  ASSERT_EQ(running.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  miniport.Halt();
  EXPECT_FALSE(TookViolation("ndis"));
}

}  // namespace
