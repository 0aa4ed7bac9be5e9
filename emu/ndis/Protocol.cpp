#include "emu/ndis/Protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "emu/kernel/Kernel.h"
#include "emu/kernel/Mdl.h"
#include "emu/ndis/Miniport.h"

namespace emu::ndis {

ProtocolPacket::ProtocolPacket(std::vector<BufferSpec> buffers) {
  memory_.reserve(buffers.size());  // the MDLs point into these vectors: no reallocation
  for (BufferSpec& each : buffers) {
    memory_.push_back(std::move(each.bytes));
    std::vector<UCHAR>& bytes = memory_.back();
    mdls_.push_back(CreatePlatformMdl(bytes.data(), static_cast<ULONG>(bytes.size()), each.mapped));
  }
  LinkBuffers();
}

void ProtocolPacket::LinkBuffers() {
  packet_ = NDIS_PACKET{};
  PMDL tail = nullptr;
  UINT total = 0;
  for (size_t i = 0; i < mdls_.size(); ++i) {
    PMDL mdl = mdls_[i];
    mdl->Next = nullptr;
    if (tail) tail->Next = mdl;
    else packet_.Private.Head = mdl;
    tail = mdl;
    total += static_cast<UINT>(memory_[i].size());
  }
  packet_.Private.Tail = tail;
  packet_.Private.Count = packet_.Private.PhysicalCount = static_cast<UINT>(mdls_.size());
  packet_.Private.TotalLength = total;
  packet_.Private.ValidCounts = TRUE;
}

UCHAR* ProtocolPacket::Reinitialize(size_t length) {
  if (mdls_.size() != 1) {
    std::fprintf(stderr, "emulator: only a packet of one buffer is reinitialized\n");
    std::abort();
  }
  std::vector<UCHAR>& bytes = memory_.front();
  bytes.resize(length);
  InitializePlatformMdl(mdls_.front(), bytes.data(), static_cast<ULONG>(length), true);
  LinkBuffers();
  return bytes.data();
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
  std::vector<UCHAR> bytes;
  CopyBytes(bytes);
  return bytes;
}

void ReceivedFrame::CopyBytes(std::vector<UCHAR>& into) const {
  into.assign(header.begin(), header.end());
  into.insert(into.end(), lookahead.begin(), lookahead.end());
  if (transfer && transferStatus == NDIS_STATUS_SUCCESS && bytesTransferred) {
    size_t end = header.size() + transfer->offset + static_cast<size_t>(bytesTransferred);
    if (into.size() < end) into.resize(end);
    std::copy_n(transferPacket.begin(), bytesTransferred, into.begin() + header.size() + transfer->offset);
  }
}

void Protocol::OnReceive(NDIS_HANDLE receiveContext, const UCHAR* header, UINT headerSize, const UCHAR* lookahead,
                         UINT lookaheadSize, UINT packetSize) {
  // Each thread keeps the frames of its last indications, whose buffers the next ones reuse:
  // once warm, an indication allocates nothing. (Indications nest, and run on every processor.)
  thread_local std::vector<ReceivedFrame> spares;
  ReceivedFrame frame;
  if (!spares.empty()) {
    frame = std::move(spares.back());
    spares.pop_back();
  }
  frame.header.assign(header, header + headerSize);
  frame.lookahead.assign(lookahead, lookahead + lookaheadSize);
  frame.packetSize = packetSize;
  frame.timeMs = Kernel::Current().NowMs();
  frame.transfer.reset();
  frame.transferStatus = NDIS_STATUS_SUCCESS;
  frame.bytesTransferred = 0;
  frame.transferPacket.clear();
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
  spares.push_back(std::move(frame));
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
