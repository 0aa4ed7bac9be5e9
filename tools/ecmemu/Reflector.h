// ecmemu reflect: the far end of a real device's wire. On a network interface (a gadget's
// usb0, or the host's TAP behind QEMU's device) it sends every frame of a session back the
// other way, and counts the frames that are not a session's (the interface's own stack
// speaks too) without answering them.
#pragma once

#include <cstdint>
#include <string>

namespace ecmemu {

struct ReflectOptions {
  std::string interface;
  uint32_t seconds = 0;  // 0: until SIGINT or SIGTERM
};

// Prints "ecmemu: reflecting on IF" on standard error once it listens, and its counts on
// standard output at the end. 0 when it ran, 1 when the interface could not be used.
int RunReflector(const ReflectOptions& options);

}  // namespace ecmemu
