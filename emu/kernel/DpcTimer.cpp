// DPCs and kernel timers; the scheduler queues and runs them.
#include "emu/kernel/Kernel.h"

using emu::CurrentContext;
using emu::Kernel;

namespace {

constexpr UCHAR kDpcObject = 0x13;
constexpr UCHAR kTimerNotificationObject = 8;

void CheckAtMostDispatch(const char* function) {
  if (CurrentContext().irql > DISPATCH_LEVEL)
    Kernel::Current().verifier().Report("irql", std::string(function) + " above DISPATCH_LEVEL");
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = kDpcObject;
  Dpc->Number = 0;
  Dpc->Importance = 1;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  CheckAtMostDispatch("KeInsertQueueDpc");
  if (Dpc->Type != kDpcObject)
    Kernel::Current().verifier().Report("dpc", "KeInsertQueueDpc of a DPC never initialized");
  BOOLEAN inserted = Kernel::Current().scheduler().InsertDpc(Dpc, SystemArgument1, SystemArgument2);
  emu::SchedulingPoint();  // another processor may take it at once
  return inserted;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  emu::SchedulingPoint();
  return Kernel::Current().scheduler().RemoveDpc(Dpc);
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
  if (CurrentContext().irql != PASSIVE_LEVEL)
    Kernel::Current().verifier().Report("irql", "KeFlushQueuedDpcs above PASSIVE_LEVEL");
  Kernel::Current().scheduler().FlushDpcs();
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
  Timer->Header.Type = kTimerNotificationObject;
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = 0;
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  emu::SchedulingPoint();
  CheckAtMostDispatch("KeSetTimer");
  return Kernel::Current().scheduler().SetTimer(Timer, DueTime, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  emu::SchedulingPoint();
  CheckAtMostDispatch("KeCancelTimer");
  return Kernel::Current().scheduler().CancelTimer(Timer);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = static_cast<LONGLONG>(Kernel::Current().scheduler().Now());
}

}  // extern "C"
