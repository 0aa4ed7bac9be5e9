#include "driver/MiniportDriver.h"

#include "adapter/Adapter.h"

namespace {

constexpr ULONG kInstanceIdBase = 0x01000000;
constexpr ULONG kInstanceIdMask = 0x00FFFFFF;

}  // namespace

MiniportDriver* TheMiniportDriver;

// Only DriverEntry creates the record.
INIT_CODE MiniportDriver::MiniportDriver()
    : Lock("MiniportDriver::Lock"), Adapters(LINK_OFFSET(Adapter, Link)), InstanceCounter(0), WrapperHandle(nullptr) {}

void MiniportDriver::RegisterAdapter(Adapter* adapter) {
  SpinLockGuard guard(Lock);
  // The lowest number no listed adapter holds: numbers of halted adapters are given out again.
  ULONG number = 0;
  while (FindAdapter(number)) ++number;
  adapter->InstanceNumber = number;
  adapter->InstanceId = kInstanceIdBase | (InstanceCounter & kInstanceIdMask);
  ++InstanceCounter;
  Adapters.InsertTail(adapter);
}

void MiniportDriver::UnregisterAdapter(Adapter* adapter) {
  SpinLockGuard guard(Lock);
  Adapters.Remove(adapter);
}

Adapter* MiniportDriver::FindAdapter(ULONG number) {
  CHECK_IRQL_DISPATCH();
  for (Adapter* adapter = Adapters.Next(nullptr); adapter; adapter = Adapters.Next(adapter))
    if (adapter->InstanceNumber == number) return adapter;
  return nullptr;
}
