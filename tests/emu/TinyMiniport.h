// A tiny miniport written against the emulated NDIS library, to prove the library's checks:
// each Fault makes it break one rule of NDIS. Its state is global: one test at a time.
#pragma once

#include <platform.h>

#include <functional>
#include <vector>

namespace tiny {

enum class Fault { None, IndicateInInitialize, IndicateInHalt, TimerLeftArmed, KeepContext, WorkLeftQueued,
                   ConfigurationLeftOpen, ResetCompletedTwice, ResetFailsWithResources, TransferPends,
                   SetAnsweredAndCompleted };

struct TinyContext {
  NDIS_HANDLE handle;
  NDIS_MINIPORT_TIMER timer;
  int fired;
  KIRQL firedAt;
};

extern Fault fault;
extern TinyContext staticContext;  // for the armed-timer case, so no freed memory is involved
extern TinyContext* context;
extern KIRQL initializeIrql, haltIrql, sendIrql, resetIrql;
extern std::vector<PNDIS_PACKET> sentPackets;  // the array the last MiniportSendPackets got
// What the request handlers return.
extern NDIS_STATUS queryStatus, setStatus;

// Called last thing in MiniportInitialize, first thing in MiniportHalt and in the timer
// routine, when set.
extern std::function<void(TinyContext&)> onInitialize, onHalt, onTimer;
// What its MiniportCheckForHang answers; no hook: FALSE.
extern std::function<BOOLEAN()> onCheckForHang;

// Back to no fault, no hooks and the default answers: queries succeed, sets pend.
void ResetState();

// Its MiniportTransferData takes the receive context for a std::vector<UCHAR> holding the
// packet behind the header, and copies into the packet's first buffer.
NTSTATUS NTAPI TinyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);

}  // namespace tiny
