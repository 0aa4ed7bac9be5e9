#include "support/Wait.h"

NTSTATUS WaitMilliseconds(PVOID object, ULONG milliseconds, KWAIT_REASON waitReason,
                          KPROCESSOR_MODE waitMode, BOOLEAN alertable) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(milliseconds)) * -10000;
  return KeWaitForSingleObject(object, waitReason, waitMode, alertable, &timeout);
}
