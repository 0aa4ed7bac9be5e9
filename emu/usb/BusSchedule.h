// The host controller's schedule on a timed bus: when the packets of each bulk and interrupt
// transfer cross the bus, (micro)frame by (micro)frame, and when its completion interrupt
// comes. Every (micro)frame has a fixed budget of bus time, counted in byte times; each
// transaction costs its payload plus the protocol overhead of the bus's speed, which fits 13
// bulk packets of 512 bytes in a high-speed microframe and 19 of 64 bytes in a full-speed
// frame. Interrupt pipes go first, in the (micro)frames their interval polls, and take their
// reserved slot there while a transfer waits on them; the bulk pipes share what is left, one
// packet each in turn. A pipe works on its oldest transfer only, and a packet that does not fit
// in what is left of a (micro)frame waits for the next. An endpoint that has nothing for the
// host, or cannot take more (NAK), costs nothing here and is not polled again until the
// device has news. A transfer reaches the schedule a fixed latency after it is submitted (the
// driver's DPC), and its completion is delivered at the next interrupt the host controller
// raises, every interruptThreshold (micro)frames.
//
// Time is the kernel's (100-ns units). The schedule never runs ahead of the time it is given:
// a (micro)frame is played only once it has ended, when everything submitted during it is known.
#pragma once

#include <platform.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace emu::usb {

struct BusSpeed {
  const char* name;
  bool microframes;           // high speed: 125 us microframes, interval as 2^(bInterval-1)
  uint64_t frameTicks;        // length of a (micro)frame in 100-ns units
  uint32_t frameByteTimes;    // bus time of a (micro)frame, in byte times
  uint32_t overhead;          // protocol overhead of one bulk or interrupt transaction
};

// 480 Mbit/s: 60,000 bit times per 125 us microframe; 12 Mbit/s: 12,000 per 1 ms frame.
inline constexpr BusSpeed kHighSpeed{"high", true, 1250, 7500, 55};
inline constexpr BusSpeed kFullSpeed{"full", false, 10000, 1500, 13};

struct BusTiming {
  BusSpeed speed = kHighSpeed;
  uint32_t interruptThreshold = 1;  // (micro)frames between the host controller's interrupts
  uint64_t dpcLatency = 0;          // 100-ns units from a submission to the schedule
};

// A transfer as the schedule sees it.
struct ScheduledTransfer {
  uint64_t id;
  uintptr_t pipe;
  bool in;
  bool interrupt;        // a periodic pipe
  UCHAR interval;        // bInterval of an interrupt pipe
  USHORT maximumPacket;
  ULONG length;          // OUT: the bytes to send; IN: room in the host's buffer
};

// What the schedule asks of the device, under the bus lock, as the packets go.
class ScheduleClient {
 public:
  virtual ~ScheduleClient() = default;
  // The first packet of an IN transfer is due: the bytes the device sends, or none (NAK).
  virtual std::optional<ULONG> Answer(uint64_t id) = 0;
  // The last packet of an OUT transfer crossed: whether the device took the transfer (false: NAK).
  virtual bool Deliver(uint64_t id) = 0;
};

class BusSchedule {
 public:
  explicit BusSchedule(const BusTiming& timing) : timing_(timing) {}

  const BusTiming& timing() const { return timing_; }
  void Add(const ScheduledTransfer& transfer, uint64_t now);
  // The transfer left the bus another way (cancelled, aborted, decided by a test).
  void Forget(uint64_t id);
  // The device may have news: endpoints that NAKed are polled again from now on.
  void Wake(uint64_t now);
  // Plays every (micro)frame that has ended by 'now'.
  void Advance(uint64_t now, ScheduleClient& client);
  // The transfers whose completion interrupt has come by 'now', in the order they finished.
  std::vector<uint64_t> TakeDue(uint64_t now);
  // When the schedule has something to do next: a (micro)frame to play or a completion to
  // deliver; UINT64_MAX when it waits for a submission or a wake.
  uint64_t NextEvent() const;
  // Bulk payload bytes that crossed, each way, and the bulk packets that carried them.
  uint64_t bytesIn() const { return bytesIn_; }
  uint64_t bytesOut() const { return bytesOut_; }
  uint64_t bulkPackets() const { return bulkPackets_; }

 private:
  struct Transfer {
    ScheduledTransfer what;
    uint64_t eligible;      // when it reaches the schedule
    bool answered = false;  // IN: the device said what it sends
    ULONG bytesLeft = 0;
    ULONG packetsLeft = 0;
  };
  struct Pipe {
    std::deque<Transfer> transfers;  // oldest first
    bool nak = false;                // waits for news from the device
    uint64_t wokenAt = 0;
  };
  using PipeMap = std::map<uintptr_t, Pipe>;

  // When the pipe's oldest transfer may next move a packet (UINT64_MAX: not until news).
  uint64_t ReadyAt(const Pipe& pipe) const;
  uint64_t PollPeriod(const Transfer& transfer) const;  // in (micro)frames
  void PlayFrame(uint64_t frame, ScheduleClient& client);
  void PlayPeriodic(uint64_t frame, uint32_t& used, ScheduleClient& client);
  void PlayBulk(uint64_t frame, uint32_t& used, ScheduleClient& client);
  // One packet of the pipe's oldest transfer, if it fits in what is left of the (micro)frame:
  // its cost, 0 when the device NAKed or the packet must wait.
  uint32_t MovePacket(PipeMap::iterator pipe, uint64_t frame, uint32_t used, ScheduleClient& client);
  uint32_t NextPacketCost(const Transfer& transfer) const;
  uint64_t TickAt(uint64_t frame, uint32_t used) const;
  uint64_t InterruptAfter(uint64_t tick) const;
  void WakeAll(uint64_t now);

  BusTiming timing_;
  PipeMap pipes_;
  uint64_t frame_ = 0;         // every (micro)frame before it has been played
  uintptr_t lastServed_ = 0;   // the bulk pipe that moved the last packet: the turn goes on from it
  std::deque<std::pair<uint64_t, uint64_t>> due_;  // (interrupt time, transfer id), in time order
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
  uint64_t bulkPackets_ = 0;
};

// The most Ethernet frames of 'frameLength' bytes the bus carries one way with nothing else on
// it, in bits of frame per second: each frame in packets of 'maximumPacket' bytes, ended by a
// short or zero-length packet.
double StreamLimitBitsPerSecond(const BusSpeed& speed, ULONG frameLength, USHORT maximumPacket);
// Bulk payload the bus carries one way at most: full packets back to back.
double BulkLimitBitsPerSecond(const BusSpeed& speed, USHORT maximumPacket);

}  // namespace emu::usb
