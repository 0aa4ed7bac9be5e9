#include "emu/usb/BusSchedule.h"

#include <algorithm>

namespace emu::usb {
namespace {

constexpr uint64_t kNever = UINT64_MAX;
constexpr uint32_t kLongestFullSpeedPeriod = 32;  // frames: the host polls at powers of two up to this
constexpr UCHAR kLongestHighSpeedExponent = 15;   // bInterval 16: 2^15 microframes

ULONG PacketsFor(ULONG bytes, USHORT maximumPacket, bool endsShort) {
  if (bytes == 0 || maximumPacket == 0) return 1;
  ULONG packets = (bytes + maximumPacket - 1) / maximumPacket;
  return packets + (endsShort && bytes % maximumPacket == 0 ? 1 : 0);
}

}  // namespace

void BusSchedule::Add(const ScheduledTransfer& what, uint64_t now) {
  Transfer transfer{what, now + timing_.dpcLatency};
  if (!what.in) {
    transfer.answered = true;  // an OUT transfer's packets are known; the device takes them at the end
    transfer.bytesLeft = what.length;
    transfer.packetsLeft = PacketsFor(what.length, what.maximumPacket, false);
  }
  pipes_[what.pipe].transfers.push_back(transfer);
}

void BusSchedule::Forget(uint64_t id) {
  for (auto pipe = pipes_.begin(); pipe != pipes_.end(); ++pipe) {
    std::deque<Transfer>& transfers = pipe->second.transfers;
    auto it = std::find_if(transfers.begin(), transfers.end(), [id](const Transfer& t) { return t.what.id == id; });
    if (it == transfers.end()) continue;
    transfers.erase(it);
    if (transfers.empty()) pipes_.erase(pipe);
    return;
  }
}

void BusSchedule::Wake(uint64_t now) { WakeAll(now); }

void BusSchedule::WakeAll(uint64_t now) {
  for (auto& [handle, pipe] : pipes_) {
    if (!pipe.nak) continue;
    pipe.nak = false;
    pipe.wokenAt = now;
  }
}

uint64_t BusSchedule::PollPeriod(const Transfer& transfer) const {
  UCHAR interval = std::max<UCHAR>(transfer.what.interval, 1);
  if (timing_.speed.microframes) return uint64_t{1} << std::min<UCHAR>(interval - 1, kLongestHighSpeedExponent);
  uint32_t period = 1;
  while (period * 2 <= interval && period < kLongestFullSpeedPeriod) period *= 2;
  return period;
}

uint64_t BusSchedule::ReadyAt(const Pipe& pipe) const {
  if (pipe.nak || pipe.transfers.empty()) return kNever;
  const Transfer& head = pipe.transfers.front();
  uint64_t ready = std::max(head.eligible, pipe.wokenAt);
  if (!head.what.interrupt) return ready;
  // Polled at the start of the (micro)frames its period picks.
  uint64_t period = PollPeriod(head) * timing_.speed.frameTicks;
  return (ready + period - 1) / period * period;
}

uint64_t BusSchedule::NextEvent() const {
  uint64_t next = due_.empty() ? kNever : due_.front().first;
  for (const auto& [handle, pipe] : pipes_) {
    uint64_t ready = ReadyAt(pipe);
    if (ready == kNever) continue;
    // Played once the (micro)frame it falls in has ended.
    uint64_t frame = std::max(frame_, ready / timing_.speed.frameTicks);
    next = std::min(next, (frame + 1) * timing_.speed.frameTicks);
  }
  return next;
}

void BusSchedule::Advance(uint64_t now, ScheduleClient& client) {
  const uint64_t frameTicks = timing_.speed.frameTicks;
  for (;;) {
    uint64_t ready = kNever;
    for (const auto& [handle, pipe] : pipes_) ready = std::min(ready, ReadyAt(pipe));
    uint64_t frame = ready == kNever ? now / frameTicks : std::max(frame_, ready / frameTicks);
    if (ready == kNever || (frame + 1) * frameTicks > now) {
      // Idle (micro)frames up to this one are over; nothing moved in them.
      frame_ = std::max(frame_, std::min(frame, now / frameTicks));
      return;
    }
    PlayFrame(frame, client);
    frame_ = frame + 1;
  }
}

std::vector<uint64_t> BusSchedule::TakeDue(uint64_t now) {
  std::vector<uint64_t> ids;
  while (!due_.empty() && due_.front().first <= now) {
    ids.push_back(due_.front().second);
    due_.pop_front();
  }
  return ids;
}

void BusSchedule::PlayFrame(uint64_t frame, ScheduleClient& client) {
  uint32_t used = 0;
  PlayPeriodic(frame, used, client);
  PlayBulk(frame, used, client);
}

void BusSchedule::PlayPeriodic(uint64_t frame, uint32_t& used, ScheduleClient& client) {
  uint64_t start = frame * timing_.speed.frameTicks;
  std::vector<uintptr_t> polled;
  for (const auto& [handle, pipe] : pipes_) {
    const Transfer& head = pipe.transfers.front();
    if (head.what.interrupt && frame % PollPeriod(head) == 0) polled.push_back(handle);
  }
  for (uintptr_t handle : polled) {
    auto pipe = pipes_.find(handle);
    if (pipe == pipes_.end()) continue;
    // The slot is the pipe's whether the device answers the poll or not.
    uint32_t slot = pipe->second.transfers.front().what.maximumPacket + timing_.speed.overhead;
    if (ReadyAt(pipe->second) <= start) MovePacket(pipe, frame, used, client);
    used += slot;
  }
}

void BusSchedule::PlayBulk(uint64_t frame, uint32_t& used, ScheduleClient& client) {
  for (;;) {
    uint64_t now = TickAt(frame, used);
    // The bulk pipes in turn, from the one after the pipe that moved the last packet.
    std::vector<uintptr_t> turn;
    for (auto it = pipes_.upper_bound(lastServed_); it != pipes_.end(); ++it) turn.push_back(it->first);
    for (auto it = pipes_.begin(); it != pipes_.end() && it->first <= lastServed_; ++it) turn.push_back(it->first);
    bool moved = false;
    uint64_t later = kNever;
    for (uintptr_t handle : turn) {
      auto pipe = pipes_.find(handle);
      if (pipe == pipes_.end() || pipe->second.transfers.front().what.interrupt) continue;
      uint64_t ready = ReadyAt(pipe->second);
      if (ready > now) {
        later = std::min(later, ready);
        continue;
      }
      uint32_t cost = MovePacket(pipe, frame, used, client);
      if (cost == 0) continue;
      used += cost;
      lastServed_ = handle;
      moved = true;
      break;
    }
    if (moved) continue;
    // Nothing could go now: on to the moment a transfer reaches the schedule, if that is
    // still inside this (micro)frame.
    uint64_t end = (frame + 1) * timing_.speed.frameTicks;
    if (later >= end) return;
    uint64_t into = later - frame * timing_.speed.frameTicks;
    used = std::max<uint32_t>(used, static_cast<uint32_t>(into * timing_.speed.frameByteTimes / timing_.speed.frameTicks));
    if (TickAt(frame, used) < later) ++used;
  }
}

uint32_t BusSchedule::MovePacket(PipeMap::iterator pipe, uint64_t frame, uint32_t used, ScheduleClient& client) {
  Transfer& transfer = pipe->second.transfers.front();
  if (!transfer.answered) {
    std::optional<ULONG> sent = client.Answer(transfer.what.id);
    if (!sent) {
      pipe->second.nak = true;
      return 0;
    }
    transfer.answered = true;
    transfer.bytesLeft = std::min(*sent, transfer.what.length);
    transfer.packetsLeft = PacketsFor(transfer.bytesLeft, transfer.what.maximumPacket,
                                      transfer.bytesLeft < transfer.what.length);
    WakeAll(TickAt(frame, used));  // the device moved: other endpoints may have news
  }
  uint32_t cost = NextPacketCost(transfer);
  if (used + cost > timing_.speed.frameByteTimes) return 0;
  if (transfer.packetsLeft == 1 && !transfer.what.in) {
    if (!client.Deliver(transfer.what.id)) {
      pipe->second.nak = true;  // the last packet is sent again once the device has room
      return 0;
    }
    WakeAll(TickAt(frame, used + cost));
  }
  ULONG payload = std::min<ULONG>(transfer.bytesLeft, transfer.what.maximumPacket);
  transfer.bytesLeft -= payload;
  if (!transfer.what.interrupt) {
    (transfer.what.in ? bytesIn_ : bytesOut_) += payload;
    bulkPackets_++;
  }
  if (--transfer.packetsLeft == 0) {
    due_.emplace_back(InterruptAfter(TickAt(frame, used + cost)), transfer.what.id);
    pipe->second.transfers.pop_front();
    if (pipe->second.transfers.empty()) pipes_.erase(pipe);
  }
  return cost;
}

uint32_t BusSchedule::NextPacketCost(const Transfer& transfer) const {
  return std::min<ULONG>(transfer.bytesLeft, transfer.what.maximumPacket) + timing_.speed.overhead;
}

uint64_t BusSchedule::TickAt(uint64_t frame, uint32_t used) const {
  const BusSpeed& speed = timing_.speed;
  return frame * speed.frameTicks + (uint64_t{used} * speed.frameTicks + speed.frameByteTimes - 1) / speed.frameByteTimes;
}

uint64_t BusSchedule::InterruptAfter(uint64_t tick) const {
  uint64_t period = uint64_t{std::max<uint32_t>(timing_.interruptThreshold, 1)} * timing_.speed.frameTicks;
  return (tick + period - 1) / period * period;
}

double StreamLimitBitsPerSecond(const BusSpeed& speed, ULONG frameLength, USHORT maximumPacket) {
  // A second of (micro)frames, filled greedily with the frames' packets back to back.
  const uint64_t frames = 10000000 / speed.frameTicks;
  ULONG packetsPerFrame = PacketsFor(frameLength, maximumPacket, true);
  uint64_t delivered = 0;
  ULONG packet = 0;        // of the Ethernet frame under way
  ULONG bytesLeft = frameLength;
  for (uint64_t frame = 0; frame < frames; ++frame) {
    for (uint32_t used = 0;;) {
      uint32_t cost = std::min<ULONG>(bytesLeft, maximumPacket) + speed.overhead;
      if (used + cost > speed.frameByteTimes) break;
      used += cost;
      bytesLeft -= std::min<ULONG>(bytesLeft, maximumPacket);
      if (++packet == packetsPerFrame) {
        delivered++;
        packet = 0;
        bytesLeft = frameLength;
      }
    }
  }
  return static_cast<double>(delivered) * frameLength * 8;
}

double BulkLimitBitsPerSecond(const BusSpeed& speed, USHORT maximumPacket) {
  uint64_t packets = speed.frameByteTimes / (maximumPacket + speed.overhead);
  return static_cast<double>(packets) * maximumPacket * 8 * (10000000 / speed.frameTicks);
}

}  // namespace emu::usb
