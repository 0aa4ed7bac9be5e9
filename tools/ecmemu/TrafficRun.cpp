#include "tools/ecmemu/TrafficRun.h"

#include <algorithm>

#include "emu/kernel/Kernel.h"

namespace ecmemu {
namespace {

constexpr uint32_t kWindow = 64;  // round trips open at most while streaming
constexpr uint32_t kBatch = 16;   // packets per MiniportSendPackets
constexpr uint64_t kStallMs = 10000;
constexpr Address kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

uint64_t NowUs() { return emu::Kernel::Current().scheduler().Now() / 10; }

}  // namespace

TrafficRun::TrafficRun(AdapterSession& session, emu::devices::EcmFunction* model, const Address& host,
                       uint32_t maxLength, emu::capture::EthernetCapture* ethernet, uint32_t frameSize)
    : session_(session),
      model_(model),
      ethernet_(ethernet),
      outbound_(kPeer, host, 1, maxLength, frameSize),
      inbound_(host, kPeer, 2, maxLength, frameSize) {
  if (model_) {
    model_->DataOut().KeepFrames(false);
    model_->ConnectWire([this](const emu::devices::Bytes& frame) { OnWire(frame); });
  }
  emu::ndis::Protocol& protocol = session_.miniport().protocol();
  protocol.recordFrames = false;
  protocol.onFrame = [this](const emu::ndis::ReceivedFrame& frame) { OnFrame(frame); };
  protocol.onSendComplete = [this](PNDIS_PACKET packet, NDIS_STATUS status) { OnSendComplete(packet, status); };
}

TrafficRun::~TrafficRun() {
  if (model_) model_->DisconnectWire();
  emu::ndis::Protocol& protocol = session_.miniport().protocol();
  protocol.onFrame = nullptr;
  protocol.onSendComplete = nullptr;
}

void TrafficRun::OnWire(const emu::devices::Bytes& frame) {
  uint32_t number;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    std::optional<uint32_t> sequence = wireChecker_.Accept(frame.data(), frame.size());
    if (!sequence || *sequence >= state_.size()) return;
    number = *sequence;
    state_[number] |= kAtDevice;
  }
  // Whole, so its answer is the frame itself turned round, without a device's padding.
  emu::devices::Bytes answer(frame.begin(), frame.begin() + inbound_.LengthOf(number));
  AnswerInPlace(answer.data(), answer.size());
  if (!model_->DeliverFromWire(std::move(answer))) {
    // Settled: the answer will never come, and the window must not wait for it.
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    ++refusedByFilter_;
    SettleLocked(number, kRefused);
  }
}

void TrafficRun::OnFrame(const emu::ndis::ReceivedFrame& frame) {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    frame.CopyBytes(received_);
    if (ethernet_) ethernet_->Frame(received_.data(), received_.size(), NowUs());
    std::optional<uint32_t> sequence = hostChecker_.Accept(received_.data(), received_.size());
    if (sequence && *sequence < state_.size()) {
      SettleLocked(*sequence, model_ ? kBack : kBack | kAtDevice);
      highestBack_ = std::max<int64_t>(highestBack_, *sequence);
      if (*sequence >= resetEnd_) {
        for (uint32_t s = resetFirst_; s < resetEnd_; ++s)
          if (!(state_[s] & kSettled)) SettleLocked(s, kDroppedByReset);
        resetFirst_ = resetEnd_;
      }
    }
  }
  session_.Wake();
}

void TrafficRun::OnSendComplete(PNDIS_PACKET packet, NDIS_STATUS status) {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    completed_.push_back(packet);
    ++completions_;
    failedSends_ += status != NDIS_STATUS_SUCCESS;
  }
  session_.Wake();
}

void TrafficRun::SettleLocked(uint32_t sequence, uint16_t how) {
  if (!(state_[sequence] & kSettled)) ++settled_;
  state_[sequence] |= how;
}

void TrafficRun::Send(uint32_t count) {
  uint32_t first;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    first = sent_;
    state_.resize(sent_ + count, 0);
    sent_ += count;
    // Nothing sent after the removal can arrive.
    if (cut_)
      for (uint32_t s = first; s < sent_; ++s) SettleLocked(s, kCut);
  }
  batch_.clear();
  for (uint32_t s = first; s < first + count; ++s) {
    std::unique_ptr<emu::ndis::ProtocolPacket> packet;
    if (idle_.empty()) {
      packet = std::make_unique<emu::ndis::ProtocolPacket>(std::vector<UCHAR>{});
    } else {
      packet = std::move(idle_.back());
      idle_.pop_back();
    }
    outbound_.Write(s, packet->Reinitialize(outbound_.LengthOf(s)));
    batch_.push_back(packet->packet());
    inFlight_.push_back(std::move(packet));
  }
  session_.miniport().SendPackets(batch_);
}

void TrafficRun::Reclaim() {
  reclaimed_.clear();
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    reclaimed_.swap(completed_);
  }
  // Packets mostly complete in the order sent: the search ends near the front.
  for (PNDIS_PACKET packet : reclaimed_) {
    auto it = std::find_if(inFlight_.begin(), inFlight_.end(), [packet](const auto& p) { return p->packet() == packet; });
    if (it == inFlight_.end()) continue;
    idle_.push_back(std::move(*it));
    inFlight_.erase(it);
  }
}

bool TrafficRun::Stream(uint32_t count) {
  uint32_t end = sent() + count;
  for (;;) {
    Reclaim();
    uint32_t room = 0;
    uint64_t back = 0;
    bool moved = session_.WaitUntil(
        [&] {
          std::lock_guard<emu::InternalMutex> guard(mutex_);
          back = settled_;
          room = OpenLocked() < kWindow ? kWindow - static_cast<uint32_t>(OpenLocked()) : 0;
          return sent_ >= end || room > 0 || abandoned_;
        },
        kStallMs);
    if (!moved || abandoned()) return false;
    uint32_t now = sent();
    if (onProgress) onProgress(now, back);
    if (now >= end) return true;
    Send(std::min({room, kBatch, end - now}));
  }
}

void TrafficRun::Burst(uint32_t count) {
  for (uint32_t done = 0; done < count;) {
    uint32_t batch = std::min(kBatch, count - done);
    Send(batch);
    done += batch;
  }
}

bool TrafficRun::Drain() {
  return WaitSteadily([this] { return settled_ == sent_ && completions_ == sent_; });
}

bool TrafficRun::WaitCompletions() {
  return WaitSteadily([this] { return completions_ == sent_; });
}

bool TrafficRun::WaitSteadily(const std::function<bool()>& doneLocked) {
  for (;;) {
    Reclaim();
    uint64_t before;
    {
      std::lock_guard<emu::InternalMutex> guard(mutex_);
      if (doneLocked()) return true;
      before = MovementLocked();
    }
    bool moved = session_.WaitUntil(
        [&] {
          std::lock_guard<emu::InternalMutex> guard(mutex_);
          return doneLocked() || MovementLocked() != before || abandoned_;
        },
        kStallMs);
    if (!moved || abandoned()) return false;
  }
}

uint32_t TrafficRun::sent() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return sent_;
}

uint64_t TrafficRun::reachedDevice() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return (model_ ? wireChecker_ : hostChecker_).counts().verified;
}

void TrafficRun::Abandon() {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    abandoned_ = true;
  }
  session_.Wake();
}

bool TrafficRun::abandoned() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return abandoned_;
}

uint32_t TrafficRun::ExcuseUnsentAsFlushed(uint32_t first, uint32_t end) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  uint32_t flushed = 0;
  resetFirst_ = first;
  resetEnd_ = std::min(end, sent_);
  for (uint32_t s = first; s < end && s < sent_; ++s)
    if (!(state_[s] & kAtDevice)) {
      SettleLocked(s, kFlushed);
      ++flushed;
    }
  return flushed;
}

uint32_t TrafficRun::ExcuseLostByFailedWrites(uint32_t first) { return ExcuseMissing(first, 0, kFailed); }

uint32_t TrafficRun::ExcuseDroppedByFailedReads(uint32_t first) {
  return ExcuseMissing(first, kAtDevice, kDroppedByRecovery);
}

uint32_t TrafficRun::ExcuseMissing(uint32_t first, uint16_t atDevice, uint16_t how) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  uint32_t excused = 0;
  for (int64_t s = first; s < highestBack_; ++s)
    if ((state_[s] & (kAtDevice | kSettled)) == atDevice) {
      SettleLocked(static_cast<uint32_t>(s), how);
      ++excused;
    }
  return excused;
}

void TrafficRun::CutForRemoval() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  cut_ = true;
  abandoned_ = false;  // the removal that ended the waits is accounted for from here on
  // Frames come back in order: one older than the newest back that is missing was lost before.
  for (uint32_t s = static_cast<uint32_t>(highestBack_ + 1); s < sent_; ++s)
    if (!(state_[s] & kBack)) SettleLocked(s, kCut);
}

void TrafficRun::GiveUpOutstanding() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  for (uint32_t s = 0; s < sent_; ++s)
    if (!(state_[s] & kSettled)) SettleLocked(s, kGivenUp);
}

TrafficTally TrafficRun::Tally() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  TrafficTally tally;
  tally.sent = sent_;
  tally.completed = completions_;
  tally.failedSends = failedSends_;
  tally.toDevice = wireChecker_.counts();
  tally.fromDevice = hostChecker_.counts();
  tally.refusedByDeviceFilter = refusedByFilter_;
  for (uint16_t state : state_) {
    if (state & kBack) tally.roundTrips++;
    else if (state & kFlushed) tally.flushedByReset++;
    else if (state & kDroppedByReset) tally.droppedByReset++;
    else if (state & kCut) tally.cutByRemoval++;
    else if (state & kFailed) tally.failedInTransfer++;
    else if (state & kDroppedByRecovery) tally.droppedByRecovery++;
    else if (!(state & kRefused)) tally.lost++;
  }
  return tally;
}

}  // namespace ecmemu
