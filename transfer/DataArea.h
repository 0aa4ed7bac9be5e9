// Data memory described by an MDL: pages below 4 GB mapped once for the buffer's life, or a
// non-paged pool block.
#pragma once

#include <platform.h>

#include "support/Annotations.h"

class DataArea {
 public:
  DataArea() : address(nullptr), length(0), mdl(nullptr), fromPages(FALSE) {}
  ~DataArea() { Free(); }
  DataArea(const DataArea&) = delete;
  DataArea& operator=(const DataArea&) = delete;

  // STATUS_SUCCESS or STATUS_INSUFFICIENT_RESOURCES; a failure leaves nothing allocated.
  IRQL_PASSIVE NTSTATUS Allocate(ULONG length, BOOLEAN fromPages);
  IRQL_PASSIVE VOID Free();
  VOID Zero();

  PVOID address;  // system address of the data, or null
  ULONG length;   // requested length in bytes
  PMDL mdl;
  BOOLEAN fromPages;

 private:
  NTSTATUS AllocatePages();
  NTSTATUS AllocateFromPool();
};
