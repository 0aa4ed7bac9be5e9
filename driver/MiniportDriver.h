// The driver-wide record: the NDIS wrapper handle and the adapters that completed
// initialization, with their instance numbers. One per driver load.
#pragma once

#include <platform.h>

#include "support/Annotations.h"
#include "support/IntrusiveList.h"
#include "support/Memory.h"
#include "support/SpinLock.h"

class Adapter;

class MiniportDriver : public PoolObject {
 public:
  MiniportDriver();
  void Destroy(ULONG flags) { DestroyObject(this, flags); }  // deleting destructor, not virtual
  MiniportDriver(const MiniportDriver&) = delete;
  MiniportDriver& operator=(const MiniportDriver&) = delete;

  // Gives the adapter the lowest free instance number and the next id, and lists it.
  IRQL_AT_MOST_DISPATCH void RegisterAdapter(Adapter* adapter);
  IRQL_AT_MOST_DISPATCH void UnregisterAdapter(Adapter* adapter);
  // The listed adapter with that instance number, or null. Lock held.
  IRQL_DISPATCH Adapter* FindAdapter(ULONG number);

  SpinLock Lock;  // guards Adapters and InstanceCounter; nothing else is called while it is held
  IntrusiveListOf<Adapter> Adapters;  // oldest first, through Adapter::Link
  ULONG InstanceCounter;              // adapters registered since the driver was loaded
  NDIS_HANDLE WrapperHandle;
};

// Null before DriverEntry allocates the record and after MiniportUnload frees it.
extern MiniportDriver* TheMiniportDriver;
