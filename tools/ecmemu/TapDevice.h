// A Linux TAP interface: Ethernet frames the kernel sends on it are read here, frames written
// here arrive at the kernel as if received on it. The interface lives as long as this object.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ecmemu {

struct TapSettings {
  std::optional<std::array<uint8_t, 6>> address;  // the interface's MAC address; none: the kernel's choice
  uint32_t mtu = 0;                               // 0: the kernel's default
};

class TapDevice {
 public:
  // Creates the interface, gives it the settings and brings it up; null and the reason when
  // the system refuses (no /dev/net/tun, not permitted, the name is taken and busy).
  // Why the name cannot name an interface, or nothing.
  static std::string NameError(const std::string& name);
  static std::unique_ptr<TapDevice> Open(const std::string& name, const TapSettings& settings, std::string* error);
  ~TapDevice();
  TapDevice(const TapDevice&) = delete;
  TapDevice& operator=(const TapDevice&) = delete;

  const std::string& name() const { return name_; }
  // Waits at most timeoutMs for the next frame. False when the interface failed (it was
  // deleted, the descriptor broke); otherwise the frame, empty when none came.
  bool Read(std::vector<uint8_t>& frame, int timeoutMs);
  // False when the kernel refused the frame.
  bool Write(const uint8_t* frame, size_t length);

 private:
  TapDevice(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  int fd_;
  std::string name_;
};

}  // namespace ecmemu
