#include "tools/ecmemu/TapDevice.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ecmemu {
namespace {

constexpr size_t kMaxFrame = 65536;  // more than any MTU a TAP takes

std::string Failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// Address and MTU go on while the interface is still down: the kernel refuses a new
// address on a running interface.
bool Configure(const std::string& name, const TapSettings& settings, std::string* error) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    *error = Failure("socket");
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  bool ok = true;
  if (settings.address) {
    request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(request.ifr_hwaddr.sa_data, settings.address->data(), settings.address->size());
    ok = ioctl(sock, SIOCSIFHWADDR, &request) == 0;
    if (!ok) *error = Failure(name + ": cannot set the MAC address");
  }
  if (ok && settings.mtu) {
    request.ifr_mtu = static_cast<int>(settings.mtu);
    ok = ioctl(sock, SIOCSIFMTU, &request) == 0;
    if (!ok) *error = Failure(name + ": cannot set the MTU to " + std::to_string(settings.mtu));
  }
  if (ok) {
    ok = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    if (!ok) *error = Failure(name + ": cannot bring the interface up");
  }
  close(sock);
  return ok;
}

}  // namespace

std::string TapDevice::NameError(const std::string& name) {
  if (name.empty() || name.size() >= IFNAMSIZ || name.find_first_of("/:% \t\n") != std::string::npos || name == "." ||
      name == "..")
    return "\"" + name + "\" is not an interface name (1 to " + std::to_string(IFNAMSIZ - 1) +
           " characters, no '/', ':', '%' or space)";
  return {};
}

std::unique_ptr<TapDevice> TapDevice::Open(const std::string& name, const TapSettings& settings,
                                           std::string* error) {
  *error = NameError(name);
  if (!error->empty()) return nullptr;
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = Failure("/dev/net/tun");
    return nullptr;
  }
  ifreq request{};
  request.ifr_flags = IFF_TAP | IFF_NO_PI;  // raw Ethernet frames, no packet-information prefix
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &request) < 0) {
    *error = Failure(name + ": cannot create the TAP interface");
    close(fd);
    return nullptr;
  }
  if (!Configure(request.ifr_name, settings, error)) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<TapDevice>(new TapDevice(fd, request.ifr_name));
}

TapDevice::~TapDevice() { close(fd_); }

bool TapDevice::Read(std::vector<uint8_t>& frame, int timeoutMs) {
  frame.clear();
  pollfd p{fd_, POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  if (!(p.revents & POLLIN)) return false;  // error or hang-up only
  // Read into scratch room, then keep just the frame: queued frames should not hold 64 KiB each.
  thread_local std::vector<uint8_t> scratch(kMaxFrame);
  ssize_t n = read(fd_, scratch.data(), scratch.size());
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  frame.assign(scratch.begin(), scratch.begin() + n);
  return true;
}

bool TapDevice::Write(const uint8_t* frame, size_t length) {
  return write(fd_, frame, length) == static_cast<ssize_t>(length);
}

}  // namespace ecmemu
