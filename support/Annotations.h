// Execution-level annotations for declarations. The routine's entry check (CHECK_IRQL_*)
// enforces what the annotation states.
#pragma once

#define IRQL_PASSIVE            // called at PASSIVE_LEVEL only
#define IRQL_DISPATCH           // called at DISPATCH_LEVEL (DPC, timer, completion, lock held)
#define IRQL_AT_MOST_DISPATCH   // called at any IRQL up to DISPATCH_LEVEL
