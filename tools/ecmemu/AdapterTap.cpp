#include "tools/ecmemu/AdapterTap.h"

namespace ecmemu {

AdapterTap::~AdapterTap() { Stop(); }

void AdapterTap::Start() {
  emu::ndis::Protocol& protocol = miniport_.protocol();
  protocol.onSendComplete = [this](PNDIS_PACKET packet, NDIS_STATUS status) { OnSendComplete(packet, status); };
  // Inside the indication at DISPATCH_LEVEL: a copy into the writer's queue, no system call.
  protocol.onFrame = [this](const emu::ndis::ReceivedFrame& frame) {
    std::vector<UCHAR> bytes = frame.Bytes();
    writer_.Post(bytes.data(), bytes.size());
    ++indicated_;
  };
  StartReading();
}

void AdapterTap::Stop() {
  StopReading();
  emu::ndis::Protocol& protocol = miniport_.protocol();
  protocol.onFrame = nullptr;
  protocol.onSendComplete = nullptr;
  writer_.Stop();
  std::lock_guard<std::mutex> guard(mutex_);
  completed_.clear();
}

AdapterTapCounts AdapterTap::counts() {
  AdapterTapCounts counts;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    counts.read = read_;
    counts.completed = completions_;
    counts.failed = failures_;
  }
  counts.indicated = indicated_;
  counts.written = writer_.counts();
  return counts;
}

bool AdapterTap::WaitForRoom() {
  std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> done;
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [this] { return stopping() || inAdapter_.size() < kSendWindow; });
  done.swap(completed_);
  lock.unlock();
  return !stopping();  // the completed packets are freed here, outside the lock
}

void AdapterTap::Take(std::vector<uint8_t>& frame) {
  size_t room;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    room = kSendWindow - inAdapter_.size();  // at least 1: only this thread adds
  }
  std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> batch;
  do batch.push_back(std::make_unique<emu::ndis::ProtocolPacket>(frame));
  while (batch.size() < room && tap_.Read(frame, 0) && !frame.empty());

  std::vector<PNDIS_PACKET> packets;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::unique_ptr<emu::ndis::ProtocolPacket>& packet : batch) {
      packets.push_back(packet->packet());
      inAdapter_.emplace(packet->packet(), std::move(packet));
    }
    read_ += packets.size();
  }
  // Completions may come inside this call, on this thread.
  miniport_.SendPackets(packets);
}

void AdapterTap::OnSendComplete(PNDIS_PACKET packet, NDIS_STATUS status) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = inAdapter_.find(packet);
    if (found == inAdapter_.end()) return;  // not one of ours: the library reports that
    completed_.push_back(std::move(found->second));
    inAdapter_.erase(found);
    ++completions_;
    if (status != NDIS_STATUS_SUCCESS) ++failures_;
  }
  room_.notify_one();
}

}  // namespace ecmemu
