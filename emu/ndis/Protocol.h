// The protocol side of one adapter, for tests and the emulator's tools: the packets a protocol
// builds and sends, and the protocol bound to the adapter, which receives every frame the
// miniport indicates, may ask for more of it with MiniportTransferData during the indication,
// and records each frame in order.
#pragma once

#include <platform.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "emu/kernel/InternalLock.h"

namespace emu::ndis {

class Miniport;

// One NDIS_BUFFER of a packet: its bytes, and whether the protocol mapped it to system space.
// An unmapped buffer's MDL carries no system address: the miniport has to map it.
struct BufferSpec {
  std::vector<UCHAR> bytes;
  bool mapped = true;
};

// An NDIS_PACKET as a protocol builds it: a chain of NDIS_BUFFERs over memory this object
// owns. Neither is a driver allocation. The object must outlive the packet's completion.
class ProtocolPacket {
 public:
  explicit ProtocolPacket(std::vector<BufferSpec> buffers);
  // A packet of one mapped buffer holding the frame.
  explicit ProtocolPacket(std::vector<UCHAR> frame);
  ~ProtocolPacket();
  ProtocolPacket(const ProtocolPacket&) = delete;
  ProtocolPacket& operator=(const ProtocolPacket&) = delete;

  PNDIS_PACKET packet() { return &packet_; }
  // A packet of one mapped buffer made anew as 'length' bytes, as a protocol reinitializes a
  // packet it got back to send it again; the buffer keeps its memory when it has room. Returns
  // the bytes, the caller's to fill.
  UCHAR* Reinitialize(size_t length);
  // The bytes of the buffers in chain order: what a frame built from the packet holds, or
  // what a transfer into it left there.
  std::vector<UCHAR> Contents() const;
  const std::vector<UCHAR>& buffer(size_t index) const { return memory_[index]; }

 private:
  void LinkBuffers();  // the packet's chain over mdls_, counted anew

  NDIS_PACKET packet_{};
  std::vector<std::vector<UCHAR>> memory_;
  std::vector<PMDL> mdls_;
};

// What the protocol asks of MiniportTransferData: bytes of the packet behind the header, into
// a packet of the buffers given (their bytes are what the buffers hold before the call).
struct TransferRequest {
  UINT offset = 0;
  UINT bytes = 0;
  std::vector<BufferSpec> into;
};

// One indication as the protocol saw it, and its transfer when it asked for one.
struct ReceivedFrame {
  std::vector<UCHAR> header;
  std::vector<UCHAR> lookahead;
  UINT packetSize = 0;
  uint64_t timeMs = 0;
  std::optional<TransferRequest> transfer;
  NDIS_STATUS transferStatus = NDIS_STATUS_SUCCESS;
  UINT bytesTransferred = 0;
  std::vector<UCHAR> transferPacket;  // the transfer packet's contents after the call

  // The frame as the protocol has it: header and lookahead, with the bytes a successful
  // transfer brought put in their place.
  std::vector<UCHAR> Bytes() const;
  void CopyBytes(std::vector<UCHAR>& into) const;  // the same, in a buffer the caller keeps
};

class Protocol {
 public:
  explicit Protocol(Miniport& miniport) : miniport_(miniport) {}
  Protocol(const Protocol&) = delete;
  Protocol& operator=(const Protocol&) = delete;

  // Decides for each indication whether to call MiniportTransferData. By default the
  // protocol asks for the rest of the packet when the lookahead falls short of it.
  std::function<std::optional<TransferRequest>(const ReceivedFrame&)> transferPolicy;
  // Runs inside each indication (DISPATCH_LEVEL) once the frame is recorded: a test may
  // check it, send or make requests from there, as a protocol may.
  std::function<void(const ReceivedFrame&)> onFrame;
  // Runs inside each NdisMSendComplete.
  std::function<void(PNDIS_PACKET, NDIS_STATUS)> onSendComplete;
  // Runs inside each NdisMIndicateStatus, once it is recorded.
  std::function<void(NDIS_STATUS)> onStatus;
  // Frames are recorded unless switched off (long traffic runs check them in onFrame).
  bool recordFrames = true;

  std::vector<ReceivedFrame> frames();
  std::vector<ReceivedFrame> TakeFrames();
  uint64_t frameCount();  // indications received, recorded or not
  uint64_t receiveCompletes();

  // The library's side.
  void OnReceive(NDIS_HANDLE receiveContext, const UCHAR* header, UINT headerSize, const UCHAR* lookahead,
                 UINT lookaheadSize, UINT packetSize);
  void OnReceiveComplete();

 private:
  Miniport& miniport_;
  emu::InternalMutex mutex_;  // guards the record below
  std::vector<ReceivedFrame> frames_;
  uint64_t frameCount_ = 0;
  uint64_t receiveCompletes_ = 0;
};

}  // namespace emu::ndis
