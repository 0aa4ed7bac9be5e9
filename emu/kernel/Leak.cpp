#include "emu/kernel/Leak.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace emu {

void KeepForever(const void* object) {
#if defined(__SANITIZE_ADDRESS__)
  __lsan_ignore_object(object);
#else
  (void)object;
#endif
}

}  // namespace emu
