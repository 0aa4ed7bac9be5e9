#include "transfer/DataArea.h"

#include "support/Memory.h"
#include "support/PoolTags.h"

NTSTATUS DataArea::Allocate(ULONG newLength, BOOLEAN pages) {
  CHECK_IRQL_PASSIVE();
  length = newLength;
  fromPages = pages;
  NTSTATUS status = pages ? AllocatePages() : AllocateFromPool();
  if (!NT_SUCCESS(status)) Free();
  return status;
}

NTSTATUS DataArea::AllocatePages() {
  PHYSICAL_ADDRESS low, high, skip;
  low.QuadPart = 0;
  high.QuadPart = 0x00000000FFFFF000LL;  // the last page below 4 GB
  skip.QuadPart = 0;
  mdl = MmAllocatePagesForMdl(low, high, skip, length);
  // The platform may deliver fewer bytes than asked for; that is a failure here.
  if (!mdl || MmGetMdlByteCount(mdl) < length) return STATUS_INSUFFICIENT_RESOURCES;
  address = MmGetSystemAddressForMdlSafe(mdl, LowPagePriority);
  if (!address) return STATUS_INSUFFICIENT_RESOURCES;
  Zero();
  return STATUS_SUCCESS;
}

NTSTATUS DataArea::AllocateFromPool() {
  address = AllocatePool(NonPagedPool, length, kTagDataArea, TRUE);
  if (!address) return STATUS_INSUFFICIENT_RESOURCES;
  mdl = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
  if (!mdl) return STATUS_INSUFFICIENT_RESOURCES;
  MmBuildMdlForNonPagedPool(mdl);
  return STATUS_SUCCESS;
}

VOID DataArea::Free() {
  if (fromPages) {
    if (mdl) {
      // The system mapping goes first: pages freed while mapped would leak it.
      if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
      MmFreePagesFromMdl(mdl);
      ExFreePoolWithTag(mdl, 0);
      mdl = nullptr;
    }
    address = nullptr;
  } else {
    if (mdl) {
      IoFreeMdl(mdl);
      mdl = nullptr;
    }
    if (address) {
      FreePool(address);
      address = nullptr;
    }
  }
  length = 0;
}

VOID DataArea::Zero() {
  if (address) RtlZeroMemory(address, length);
}
