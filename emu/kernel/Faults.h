// Fault injection: the allocations and resources a test makes fail.
#pragma once

#include <platform.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

namespace emu {

enum class FaultPoint { Pool, Irp, Mdl, WorkItem, Pages, Mapping };

class Faults {
 public:
  // The n-th call at this point from now fails (1: the next one; 0: none).
  void FailNth(FaultPoint point, int n);
  // Every call at this point fails until switched off.
  void FailAll(FaultPoint point, bool on);
  // Every pool allocation with this tag fails until switched off.
  void FailTag(ULONG tag, bool on);
  // MmAllocatePagesForMdl delivers one page less than asked (a short MDL), as it may.
  void ShortPages(bool on);
  bool ShortPagesOn();

  // Counts the call and says whether it fails.
  bool ShouldFail(FaultPoint point, ULONG tag = 0);
  // Calls counted at this point since the kernel started, failed or not.
  uint64_t Calls(FaultPoint point);

 private:
  std::mutex mutex_;  // guards everything below
  std::map<FaultPoint, int> countdown_;
  std::map<FaultPoint, uint64_t> calls_;
  std::set<FaultPoint> always_;
  std::set<ULONG> tags_;
  bool shortPages_ = false;
};

}  // namespace emu
