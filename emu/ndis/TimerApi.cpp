// Miniport timers: a KTIMER and KDPC of the emulated kernel whose DPC calls the miniport's
// routine at DISPATCH_LEVEL. Setting an armed timer re-arms it; cancelling does not take back
// a DPC that has already been queued, as on the platform.
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"

using emu::ndis::Library;
using emu::ndis::Miniport;

namespace {

VOID NTAPI MiniportTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto* timer = static_cast<PNDIS_MINIPORT_TIMER>(DeferredContext);
  auto* miniport = static_cast<Miniport*>(timer->Miniport);
  emu::AllocationOwnerScope owner(miniport->functionalDevice());
  timer->MiniportTimerFunction(nullptr, timer->MiniportTimerContext, nullptr, nullptr);
}

void SetTimer(PKTIMER timer, PKDPC dpc, UINT milliseconds, const char* function) {
  Miniport* miniport = Library::Current().FindTimer(timer, function);
  if (!miniport) return;
  miniport->RequireNotHalted(function);
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  KeSetTimer(timer, due, dpc);
}

}  // namespace

extern "C" {

VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
  Miniport* miniport = Library::Current().FindMiniport(MiniportAdapterHandle, "NdisMInitializeTimer");
  if (!miniport) return;
  miniport->OnTimerInitialized(Timer);
  KeInitializeTimer(&Timer->Timer);
  KeInitializeDpc(&Timer->Dpc, MiniportTimerDpc, Timer);
  Timer->MiniportTimerFunction = TimerFunction;
  Timer->MiniportTimerContext = FunctionContext;
  Timer->Miniport = miniport;
  Timer->NextDeferredTimer = nullptr;
}

VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
  SetTimer(&Timer->Timer, &Timer->Dpc, MillisecondsToDelay, "NdisMSetTimer");
}

// NDIS_TIMER begins as NDIS_MINIPORT_TIMER does; only miniport timers exist here.
VOID NTAPI NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay) {
  SetTimer(&Timer->Timer, &Timer->Dpc, MillisecondsToDelay, "NdisSetTimer");
}

VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
  if (!Library::Current().FindTimer(Timer, "NdisMCancelTimer")) return;
  *TimerCancelled = KeCancelTimer(&Timer->Timer);
}

}  // extern "C"
