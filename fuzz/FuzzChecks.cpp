#include "FuzzChecks.h"

#include <cstdio>
#include <cstdlib>

void Finding(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

void EndKernel(emu::Kernel& kernel, const std::function<bool(const emu::Violation&)>& excused) {
  kernel.RunPending();
  kernel.CheckClean("after one input");
  kernel.Shutdown();
  bool found = false;
  for (const emu::Violation& violation : kernel.verifier().Take()) {
    if (excused && excused(violation)) continue;
    std::fprintf(stderr, "%s\n", violation.ToString().c_str());
    found = true;
  }
  if (found) Finding("the verifier reported a violation");
}
