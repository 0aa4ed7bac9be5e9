#include "emu/kernel/Fiber.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FIBER_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define FIBER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define FIBER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define FIBER_TSAN 1
#endif
#if FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if FIBER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

#if !defined(__x86_64__)
#error "fibers switch stacks in x86-64 assembly"
#endif

// Saves the callee-saved registers and the floating-point control words on the running stack,
// stores its pointer in *save and continues on the stack 'load' points to. A new fiber's stack
// is laid out as if it had switched away at the start of EcmFiberStart.
extern "C" void EcmFiberSwitch(void** save, void* load);
extern "C" void EcmFiberStart();
asm(R"(
  .text
  .globl EcmFiberSwitch
  .type EcmFiberSwitch, @function
EcmFiberSwitch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size EcmFiberSwitch, .-EcmFiberSwitch

  .globl EcmFiberStart
  .type EcmFiberStart, @function
EcmFiberStart:
  .cfi_startproc
  .cfi_undefined rip
  movq %r12, %rdi
  callq *%r13
  ud2
  .cfi_endproc
  .size EcmFiberStart, .-EcmFiberStart
)");

namespace emu {
namespace {

// Work items and DPCs, sanitized, use a few tens of kilobytes (the platform gives 12).
constexpr size_t kStackBytes = 256 << 10;
constexpr size_t kGuardBytes = 4 << 10;  // below the stack: an overflow faults at once
constexpr size_t kMappedBytes = kGuardBytes + kStackBytes;
constexpr size_t kSpareStacks = 16;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "emulator: %s\n", what);
  std::abort();
}

// Each run makes and ends a few fibers: their mappings are kept for the next ones.
struct SpareStacks {
  std::vector<void*> stacks;
  ~SpareStacks() {
    for (void* stack : stacks) munmap(stack, kMappedBytes);
  }
};
thread_local SpareStacks spares;

void* MapStack() {
  if (!spares.stacks.empty()) {
    void* stack = spares.stacks.back();
    spares.stacks.pop_back();
    return stack;
  }
  void* stack = mmap(nullptr, kMappedBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) Fail("cannot map a fiber's stack");
  if (mprotect(stack, kGuardBytes, PROT_NONE) != 0) Fail("cannot guard a fiber's stack");
  return stack;
}

void UnmapStack(void* stack) {
  if (spares.stacks.size() < kSpareStacks)
    spares.stacks.push_back(stack);
  else
    munmap(stack, kMappedBytes);
}

struct StackBounds {
  void* bottom = nullptr;
  size_t size = 0;
};

// Reading them parses /proc/self/maps: once per thread is enough.
const StackBounds& ThreadStack() {
  thread_local StackBounds bounds;
  if (!bounds.bottom) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) Fail("cannot read the thread's stack bounds");
    pthread_attr_getstack(&attributes, &bounds.bottom, &bounds.size);
    pthread_attr_destroy(&attributes);
  }
  return bounds;
}

}  // namespace

Fiber::Fiber() : bottom_(ThreadStack().bottom), size_(ThreadStack().size) {
#if FIBER_TSAN
  tsanFiber_ = __tsan_get_current_fiber();
#endif
}

Fiber::Fiber(std::function<void()> entry) : entry_(std::move(entry)) {
  stack_ = MapStack();
  bottom_ = static_cast<char*>(stack_) + kGuardBytes;
  size_ = kStackBytes;
  // What EcmFiberSwitch pops: the control words, r15..r12, rbx, rbp, then EcmFiberStart as
  // the return address, which calls r13(r12) on a stack aligned as for a call.
  auto* top = reinterpret_cast<uint64_t*>(static_cast<char*>(stack_) + kMappedBytes);
  uint64_t* sp = top - 2;  // 16-byte aligned where EcmFiberStart begins
  *--sp = reinterpret_cast<uint64_t>(&EcmFiberStart);
  *--sp = 0;                                         // rbp: the end of the frame chain
  *--sp = 0;                                         // rbx
  *--sp = reinterpret_cast<uint64_t>(this);          // r12
  *--sp = reinterpret_cast<uint64_t>(&Fiber::Enter);  // r13
  *--sp = 0;                                         // r14
  *--sp = 0;                                         // r15
  *--sp = uint64_t{0x037F} << 32 | 0x1F80;            // x87 control word, MXCSR: the defaults
  sp_ = sp;
#if FIBER_TSAN
  tsanFiber_ = __tsan_create_fiber(0);
#endif
}

Fiber::~Fiber() {
  if (!stack_) return;
#if FIBER_TSAN
  __tsan_destroy_fiber(tsanFiber_);
#endif
#if FIBER_ASAN
  // The frames it ended in never returned: their poison must not outlive them.
  __asan_unpoison_memory_region(bottom_, size_);
#endif
  UnmapStack(stack_);
}

void Fiber::Enter(Fiber* self) {
#if FIBER_ASAN
  __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
  self->entry_();
  Fail("a fiber's entry returned");
}

void Fiber::SwitchTo(Fiber& to) { Switch(to, false); }

void Fiber::SwitchAway(Fiber& to) {
  Switch(to, true);
  Fail("an ended fiber was resumed");
}

void Fiber::Switch(Fiber& to, bool ending) {
#if FIBER_ASAN
  __sanitizer_start_switch_fiber(ending ? nullptr : &fakeStack_, to.bottom_, to.size_);
#endif
#if FIBER_TSAN
  __tsan_switch_to_fiber(to.tsanFiber_, 0);
#endif
  EcmFiberSwitch(&sp_, to.sp_);
#if FIBER_ASAN
  __sanitizer_finish_switch_fiber(fakeStack_, nullptr, nullptr);
#endif
}

}  // namespace emu
