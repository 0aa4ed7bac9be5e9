// Execution contexts: each emulated thread, worker and DPC run has one. It carries the IRQL
// and the locks held, which the verifier checks.
#pragma once

#include <platform.h>

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// A lock class, as the lock tracker numbers it (LockTracker::Name gives its name).
using LockClassId = uint32_t;

struct HeldLock {
  const void* lock;
  LockClassId lockClass;
  const void* site;  // return address of the acquisition
  bool isMutex;
};

class Context {
 public:
  explicit Context(std::string name, KIRQL irql = PASSIVE_LEVEL) : name(std::move(name)), irql(irql) {}

  std::string name;
  KIRQL irql;
  std::vector<HeldLock> held;  // touched only by the thread running this context
  bool inDpc = false;          // a DPC or timer routine runs in this context
  // Whose allocations this context makes (an adapter's device object, a driver object), so a
  // library can check that its owner released them all; null: nobody's in particular.
  const void* allocationOwner = nullptr;
};

// The context of the calling OS thread; threads the emulator did not start get one of their own.
// Asked on every platform call, so the common case is inline.
extern thread_local Context* tlsCurrentContext;
Context& NewThreadContext();
inline Context& CurrentContext() { return tlsCurrentContext ? *tlsCurrentContext : NewThreadContext(); }

// Installs a context on the calling thread for a scope (a DPC run, a worker's lifetime).
class ContextScope {
 public:
  explicit ContextScope(Context& context);
  ~ContextScope();
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;

 private:
  Context* previous_;
};

// Attributes the calling context's allocations to an owner for a scope.
class AllocationOwnerScope {
 public:
  explicit AllocationOwnerScope(const void* owner);
  ~AllocationOwnerScope();
  AllocationOwnerScope(const AllocationOwnerScope&) = delete;
  AllocationOwnerScope& operator=(const AllocationOwnerScope&) = delete;

 private:
  const void* previous_;
};

}  // namespace emu
