#include "support/Memory.h"

PVOID AllocateMemory(ULONG length, ULONG tag, BOOLEAN zero) {
  PVOID pointer = nullptr;
  if (NdisAllocateMemoryWithTag(&pointer, length, tag) != NDIS_STATUS_SUCCESS) return nullptr;
  if (zero && pointer) RtlZeroMemory(pointer, length);
  return pointer;
}

VOID FreeMemory(PVOID pointer) {
  if (pointer) NdisFreeMemory(pointer, 0, 0);
}

PVOID AllocatePool(POOL_TYPE poolType, SIZE_T length, ULONG tag, BOOLEAN zero) {
  PVOID pointer = ExAllocatePoolWithTag(poolType, length, tag);
  if (zero && pointer) RtlZeroMemory(pointer, length);
  return pointer;
}

VOID FreePool(PVOID pointer) { ExFreePoolWithTag(pointer, 0); }
