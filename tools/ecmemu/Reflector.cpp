#include "tools/ecmemu/Reflector.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>
#include <vector>

#include "tools/ecmemu/Traffic.h"

namespace ecmemu {
namespace {

constexpr int kPollMs = 100;  // how soon a stop is noticed
constexpr size_t kLargestFrame = 65536;
// A session keeps dozens of frames open; a slow far end (a guest under emulation) must queue
// them all rather than have the socket drop them. Root may go past the system's rmem_max.
constexpr int kReceiveBufferBytes = 8 << 20;

volatile sig_atomic_t stopRequested = 0;
void OnStopSignal(int) { stopRequested = 1; }

// Frames the kernel dropped because the socket's queue was full, since the last call.
uint64_t TakeSocketDrops(int fd) {
  tpacket_stats stats{};
  socklen_t length = sizeof stats;
  return getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &length) == 0 ? stats.tp_drops : 0;
}

// Frames go to the interface's driver directly (no queueing discipline: fq_codel, the usual
// default, drops what waits more than a few milliseconds, and a slow device makes frames wait).
// A driver with no room says so, and the frame is offered again until it is taken.
constexpr auto kSendPatience = std::chrono::seconds(5);
constexpr auto kSendRetryPause = std::chrono::milliseconds(1);

bool SendWhole(int fd, const std::vector<uint8_t>& frame) {
  auto giveUp = std::chrono::steady_clock::now() + kSendPatience;
  while (!stopRequested) {
    if (send(fd, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size())) return true;
    if ((errno != ENOBUFS && errno != EAGAIN) || std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(kSendRetryPause);
  }
  return false;
}

}  // namespace

int RunReflector(const ReflectOptions& options) {
  unsigned index = if_nametoindex(options.interface.c_str());
  if (index == 0) {
    std::cerr << "ecmemu: no network interface " << options.interface << "\n";
    return 1;
  }
  int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(index);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::cerr << "ecmemu: cannot listen on " << options.interface << ": " << std::strerror(errno)
              << " (a raw socket needs root)\n";
    if (fd >= 0) close(fd);
    return 1;
  }
  int bypass = 1;
  setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof bypass);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  TakeSocketDrops(fd);  // what arrived before the session's frames is not the session's
  signal(SIGINT, OnStopSignal);
  signal(SIGTERM, OnStopSignal);
  std::cerr << "ecmemu: reflecting on " << options.interface << std::endl;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
  uint64_t reflected = 0, other = 0, refused = 0;
  std::vector<uint8_t> frame(kLargestFrame);
  while (!stopRequested && (options.seconds == 0 || std::chrono::steady_clock::now() < deadline)) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, kPollMs) <= 0) continue;
    sockaddr_ll from{};
    socklen_t fromLength = sizeof from;
    frame.resize(kLargestFrame);
    ssize_t length = recvfrom(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (length <= 0) continue;
    // What this host sends on the interface, the reflections included, is not the wire's.
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    frame.resize(static_cast<size_t>(length));
    if (!ReflectFrame(frame)) {
      ++other;
      continue;
    }
    ++(SendWhole(fd, frame) ? reflected : refused);
  }
  uint64_t dropped = TakeSocketDrops(fd);
  close(fd);
  std::cout << "ecmemu reflect on " << options.interface << ": " << reflected << " frames reflected, " << refused
            << " refused by the interface, " << dropped
            << " dropped by the socket (its queue full), " << other << " other frames (not a session's) left alone" << std::endl;
  return 0;
}

}  // namespace ecmemu
