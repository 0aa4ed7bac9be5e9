#include "emu/kernel/Context.h"

#include <atomic>
#include <memory>

namespace emu {
namespace {

thread_local std::unique_ptr<Context> tlsOwnContext;
std::atomic<int> threadCounter{0};

}  // namespace

thread_local Context* tlsCurrentContext = nullptr;

Context& NewThreadContext() {
  tlsOwnContext = std::make_unique<Context>("thread " + std::to_string(++threadCounter));
  tlsCurrentContext = tlsOwnContext.get();
  return *tlsCurrentContext;
}

ContextScope::ContextScope(Context& context) : previous_(tlsCurrentContext) { tlsCurrentContext = &context; }

ContextScope::~ContextScope() { tlsCurrentContext = previous_; }

AllocationOwnerScope::AllocationOwnerScope(const void* owner) : previous_(CurrentContext().allocationOwner) {
  CurrentContext().allocationOwner = owner;
}

AllocationOwnerScope::~AllocationOwnerScope() { CurrentContext().allocationOwner = previous_; }

}  // namespace emu
