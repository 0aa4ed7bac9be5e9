// Loading and unloading the driver on the emulated NDIS library.
#include "NdisTest.h"
#include "driver/MiniportDriver.h"
#include "driver/MiniportHandlers.h"
#include "support/PoolTags.h"

namespace {

class DriverEntryTest : public NdisTest {};

TEST_F(DriverEntryTest, RegistersTheNdis51HandlerTableAndTheUnloadRoutine) {
  LoadDriver();
  const NDIS_MINIPORT_CHARACTERISTICS* table = library().characteristics();
  ASSERT_NE(table, nullptr);
  const NDIS30_MINIPORT_CHARACTERISTICS& ndis30 = table->Ndis50Chars.Ndis40Chars.Ndis30Chars;
  EXPECT_EQ(ndis30.MajorNdisVersion, 5);
  EXPECT_EQ(ndis30.MinorNdisVersion, 1);
  EXPECT_EQ(ndis30.HaltHandler, MiniportHalt);
  EXPECT_EQ(ndis30.InitializeHandler, MiniportInitialize);
  EXPECT_EQ(ndis30.QueryInformationHandler, MiniportQueryInformation);
  EXPECT_EQ(ndis30.ResetHandler, MiniportReset);
  EXPECT_EQ(ndis30.SetInformationHandler, MiniportSetInformation);
  EXPECT_EQ(ndis30.TransferDataHandler, MiniportTransferData);
  EXPECT_EQ(table->Ndis50Chars.Ndis40Chars.SendPacketsHandler, MiniportSendPackets);
  EXPECT_EQ(table->PnPEventNotifyHandler, MiniportPnPEventNotify);
  EXPECT_EQ(table->AdapterShutdownHandler, MiniportShutdown);
  EXPECT_EQ(ndis30.CheckForHangHandler, MiniportCheckForHang);
  // Everything else stays zero: no interrupts, no single-packet send.
  EXPECT_EQ(ndis30.ISRHandler, nullptr);
  EXPECT_EQ(ndis30.ReconfigureHandler, nullptr);
  EXPECT_EQ(ndis30.SendHandler, nullptr);
  EXPECT_EQ(table->Ndis50Chars.Ndis40Chars.ReturnPacketHandler, nullptr);
  EXPECT_EQ(table->CancelSendPacketsHandler, nullptr);
  EXPECT_EQ(library().unloadHandler(), MiniportUnload);
  ASSERT_NE(TheMiniportDriver, nullptr);
  EXPECT_EQ(TheMiniportDriver->WrapperHandle, &library());
  EXPECT_TRUE(TheMiniportDriver->Adapters.IsEmpty());
}

TEST_F(DriverEntryTest, FailsWithoutCallingNdisWhenTheRecordCannotBeAllocated) {
  kernel().faults().FailTag(kTagDriverRecord, true);
  EXPECT_EQ(library().LoadDriver(DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(library().wrapperInitialized());
  EXPECT_EQ(TheMiniportDriver, nullptr);
}

TEST_F(DriverEntryTest, TerminatesTheWrapperAndFreesTheRecordWhenRegistrationFails) {
  library().FailRegisterMiniport(NDIS_STATUS_RESOURCES);
  // The library checks that nothing DriverEntry allocated is left behind.
  EXPECT_EQ(library().LoadDriver(DriverEntry), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(library().wrapperTerminated());
  EXPECT_EQ(library().unloadHandler(), nullptr);
  EXPECT_EQ(TheMiniportDriver, nullptr);
}

TEST_F(DriverEntryTest, UnloadReleasesTheRecordAndAnUnloadWithoutOneDoesNothing) {
  LoadDriver();
  library().UnloadDriver();  // the library reports a record still allocated
  EXPECT_EQ(TheMiniportDriver, nullptr);
  size_t outstanding = kernel().pool().Outstanding();
  MiniportUnload(library().driverObject());
  EXPECT_EQ(kernel().pool().Outstanding(), outstanding);
}

TEST_F(DriverEntryTest, ShutdownDoesNothing) {
  LoadDriver();
  emu::ndis::Miniport& miniport = library().AddMiniport();
  FakeNetworkDevice* device = nullptr;
  ASSERT_NE(StartAdapter(miniport, &device), nullptr);
  size_t calls = device->calls.size();
  miniport.Shutdown();
  EXPECT_EQ(device->calls.size(), calls);
  miniport.Halt();
}

}  // namespace
