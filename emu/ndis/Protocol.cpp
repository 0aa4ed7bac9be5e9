#include "emu/ndis/Protocol.h"

#include <algorithm>

#include "emu/kernel/Kernel.h"
#include "emu/kernel/Mdl.h"
#include "emu/ndis/Miniport.h"

namespace emu::ndis {

ProtocolPacket::ProtocolPacket(std::vector<BufferSpec> buffers) {
  memory_.reserve(buffers.size());  // the MDLs point into these vectors: no reallocation
  PMDL tail = nullptr;
  UINT total = 0;
  for (BufferSpec& each : buffers) {
    memory_.push_back(std::move(each.bytes));
    std::vector<UCHAR>& bytes = memory_.back();
    PMDL mdl = CreatePlatformMdl(bytes.data(), static_cast<ULONG>(bytes.size()), each.mapped);
    mdls_.push_back(mdl);
    if (tail) tail->Next = mdl;
    else packet_.Private.Head = mdl;
    tail = mdl;
    total += static_cast<UINT>(bytes.size());
  }
  packet_.Private.Tail = tail;
  packet_.Private.Count = packet_.Private.PhysicalCount = static_cast<UINT>(mdls_.size());
  packet_.Private.TotalLength = total;
  packet_.Private.ValidCounts = TRUE;
}

ProtocolPacket::ProtocolPacket(std::vector<UCHAR> frame) : ProtocolPacket(std::vector<BufferSpec>{{std::move(frame)}}) {}

ProtocolPacket::~ProtocolPacket() {
  for (PMDL mdl : mdls_) FreePlatformMdl(mdl);
}

std::vector<UCHAR> ProtocolPacket::Contents() const {
  std::vector<UCHAR> contents;
  for (const std::vector<UCHAR>& bytes : memory_) contents.insert(contents.end(), bytes.begin(), bytes.end());
  return contents;
}

std::vector<UCHAR> ReceivedFrame::Bytes() const {
  std::vector<UCHAR> payload = lookahead;
  if (transfer && transferStatus == NDIS_STATUS_SUCCESS && bytesTransferred) {
    size_t end = transfer->offset + static_cast<size_t>(bytesTransferred);
    if (payload.size() < end) payload.resize(end);
    std::copy_n(transferPacket.begin(), bytesTransferred, payload.begin() + transfer->offset);
  }
  std::vector<UCHAR> bytes = header;
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

void Protocol::OnReceive(NDIS_HANDLE receiveContext, const UCHAR* header, UINT headerSize, const UCHAR* lookahead,
                         UINT lookaheadSize, UINT packetSize) {
  ReceivedFrame frame;
  frame.header.assign(header, header + headerSize);
  if (lookaheadSize) frame.lookahead.assign(lookahead, lookahead + lookaheadSize);
  frame.packetSize = packetSize;
  frame.timeMs = Kernel::Current().NowMs();
  if (transferPolicy) {
    frame.transfer = transferPolicy(frame);
  } else if (lookaheadSize < packetSize) {
    TransferRequest rest;
    rest.offset = lookaheadSize;
    rest.bytes = packetSize - lookaheadSize;
    rest.into.push_back(BufferSpec{std::vector<UCHAR>(rest.bytes)});
    frame.transfer = std::move(rest);
  }
  if (frame.transfer) {
    ProtocolPacket packet(frame.transfer->into);
    frame.transferStatus = miniport_.TransferData(packet.packet(), receiveContext, frame.transfer->offset,
                                                  frame.transfer->bytes, &frame.bytesTransferred);
    frame.transferPacket = packet.Contents();
  }
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    ++frameCount_;
    if (recordFrames) frames_.push_back(frame);
  }
  if (onFrame) onFrame(frame);
}

void Protocol::OnReceiveComplete() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  ++receiveCompletes_;
}

std::vector<ReceivedFrame> Protocol::frames() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return frames_;
}

std::vector<ReceivedFrame> Protocol::TakeFrames() {
  std::vector<ReceivedFrame> taken;
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  taken.swap(frames_);
  return taken;
}

uint64_t Protocol::frameCount() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return frameCount_;
}

uint64_t Protocol::receiveCompletes() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return receiveCompletes_;
}

}  // namespace emu::ndis
