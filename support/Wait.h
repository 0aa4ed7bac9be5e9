// Waiting in milliseconds, and the byte-boolean comparison.
#pragma once

#include <platform.h>

#include "support/Annotations.h"

// KeWaitForSingleObject with a relative time-out of 'milliseconds'; 0 only polls.
// STATUS_SUCCESS when the object was signalled, STATUS_TIMEOUT when the time ran out.
IRQL_PASSIVE NTSTATUS WaitMilliseconds(PVOID object, ULONG milliseconds, KWAIT_REASON waitReason,
                                       KPROCESSOR_MODE waitMode, BOOLEAN alertable);

// 1 when exactly one of the two byte booleans is non-zero.
inline BOOLEAN BooleansDiffer(BOOLEAN a, BOOLEAN b) { return (a != 0) != (b != 0) ? 1 : 0; }
