#include "emu/kernel/Context.h"

#include <atomic>
#include <memory>

namespace emu {
namespace {

thread_local Context* tlsContext = nullptr;
thread_local std::unique_ptr<Context> tlsOwnContext;
std::atomic<int> threadCounter{0};

}  // namespace

Context& CurrentContext() {
  if (!tlsContext) {
    tlsOwnContext = std::make_unique<Context>("thread " + std::to_string(++threadCounter));
    tlsContext = tlsOwnContext.get();
  }
  return *tlsContext;
}

ContextScope::ContextScope(Context& context) : previous_(tlsContext) { tlsContext = &context; }

ContextScope::~ContextScope() { tlsContext = previous_; }

AllocationOwnerScope::AllocationOwnerScope(const void* owner) : previous_(CurrentContext().allocationOwner) {
  CurrentContext().allocationOwner = owner;
}

AllocationOwnerScope::~AllocationOwnerScope() { CurrentContext().allocationOwner = previous_; }

}  // namespace emu
