// IRPs through a lower driver: completion routines, cancellation and ownership.
#include "EmuTest.h"
#include "FakeLowerDevice.h"

namespace {

struct Completion {
  int calls = 0;
  NTSTATUS status = 0;
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
  NTSTATUS returns = STATUS_MORE_PROCESSING_REQUIRED;
};

NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* c = static_cast<Completion*>(context);
  c->calls++;
  c->status = irp->IoStatus.Status;
  c->device = device;
  return c->returns;
}

class IrpTest : public EmuTest {
 protected:
  PIRP Send(Completion& completion) {
    PIRP irp = IoAllocateIrp(lower.device()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OnComplete, &completion, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_PENDING);
    return irp;
  }
  FakeLowerDevice lower;
};

TEST_F(IrpTest, CancelReachesTheCancelRoutineAndCompletionSeesCancelled) {
  Completion completion;
  PIRP irp = Send(completion);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(lower.cancelRoutineRuns, 1);
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.status, STATUS_CANCELLED);
  EXPECT_EQ(completion.device, nullptr) << "the IRP's owner has no stack location of its own";
  EXPECT_FALSE(IoCancelIrp(irp)) << "nothing holds the IRP any more";
  IoFreeIrp(irp);
}

TEST_F(IrpTest, MoreProcessingRequiredKeepsTheIrpWithItsOwnerForReuse) {
  Completion completion;
  PIRP irp = Send(completion);
  lower.CompleteOldest(STATUS_SUCCESS);
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.status, STATUS_SUCCESS);
  IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, OnComplete, &completion, TRUE, TRUE, TRUE);
  IoCallDriver(lower.device(), irp);
  lower.CompleteOldest(STATUS_IO_TIMEOUT);
  EXPECT_EQ(completion.calls, 2);
  EXPECT_EQ(completion.status, STATUS_IO_TIMEOUT);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, InvokeOnFlagsChooseWhichOutcomesReachTheRoutine) {
  Completion completion;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, OnComplete, &completion, TRUE, FALSE, FALSE);
  IoCallDriver(lower.device(), irp);
  lower.CompleteOldest(STATUS_UNSUCCESSFUL);
  EXPECT_EQ(completion.calls, 0);
  EXPECT_TRUE(TookViolation("irp", "reached the I/O manager"));
  IoFreeIrp(irp);
}

TEST_F(IrpTest, VerifierCatchesAnIrpFreedWhileHeldBelow) {
  Completion completion;
  PIRP irp = Send(completion);
  IoFreeIrp(irp);
  EXPECT_TRUE(TookViolation("irp", "still holds"));
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_TRUE(TookViolation("irp", "still holds"));
  lower.CompleteOldest(STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, VerifierCatchesAnIrpCompletedTwice) {
  Completion completion;
  PIRP irp = Send(completion);
  lower.CompleteOldest(STATUS_SUCCESS);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KfLowerIrql(old);
  EXPECT_TRUE(TookViolation("irp", "completed twice"));
  EXPECT_EQ(completion.calls, 1);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, IrpAllocationFailureIsInjectable) {
  kernel().faults().FailNth(emu::FaultPoint::Irp, 2);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  IoFreeIrp(first);
}

TEST_F(IrpTest, LeakedIrpIsReported) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  kernel().CheckClean("here");
  EXPECT_TRUE(TookViolation("leak", "IRP"));
  IoFreeIrp(irp);
}

}  // namespace
