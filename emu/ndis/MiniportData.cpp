// The data side of an adapter: packets NDIS hands the miniport and their completions, and the
// receive indications, delivered to the bound protocol.
#include <algorithm>
#include <functional>

#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"

namespace emu::ndis {

namespace {

constexpr size_t kBatchOnStack = 64;

bool InsertOnce(std::vector<PNDIS_PACKET>& sorted, PNDIS_PACKET packet) {
  auto at = std::lower_bound(sorted.begin(), sorted.end(), packet, std::less<>());
  if (at != sorted.end() && *at == packet) return false;
  sorted.insert(at, packet);
  return true;
}

bool EraseOnce(std::vector<PNDIS_PACKET>& sorted, PNDIS_PACKET packet) {
  auto at = std::lower_bound(sorted.begin(), sorted.end(), packet, std::less<>());
  if (at == sorted.end() || *at != packet) return false;
  sorted.erase(at);
  return true;
}

}  // namespace

void Miniport::SendPackets(const std::vector<PNDIS_PACKET>& packets) {
  NDIS_HANDLE context;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    context = context_;
    for (PNDIS_PACKET packet : packets)
      if (packet && !InsertOnce(outstandingPackets_, packet))
        Kernel::Current().verifier().Fatal("ndis", "a packet sent again before its completion");
  }
  // The driver may write to the array, so it gets a copy: on the stack for a usual batch.
  PNDIS_PACKET onStack[kBatchOnStack];
  std::vector<PNDIS_PACKET> onHeap;
  PNDIS_PACKET* array = onStack;
  if (packets.size() > kBatchOnStack) {
    onHeap = packets;
    array = onHeap.data();
  } else {
    std::copy(packets.begin(), packets.end(), onStack);
  }
  CallDriver(DISPATCH_LEVEL, "MiniportSendPackets", [&] {
    Handlers().Ndis50Chars.Ndis40Chars.SendPacketsHandler(context, array, static_cast<UINT>(packets.size()));
  });
}

void Miniport::NotePacketsSent(const std::vector<PNDIS_PACKET>& packets) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  for (PNDIS_PACKET packet : packets) InsertOnce(outstandingPackets_, packet);
}

void Miniport::OnSendComplete(PNDIS_PACKET packet, NDIS_STATUS status) {
  RequireNotHalted("NdisMSendComplete");
  if (status == NDIS_STATUS_PENDING) ReportViolation("NdisMSendComplete with NDIS_STATUS_PENDING: a completion is final");
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (!EraseOnce(outstandingPackets_, packet)) {
      ReportViolation("NdisMSendComplete of a packet NDIS did not hand to the miniport, or completed twice");
      return;
    }
    if (recordSendCompletions_) sendCompletions_.push_back(SendCompletion{packet, status});
  }
  // The protocol's completion handler runs within the call, and may send again.
  if (protocol_.onSendComplete) protocol_.onSendComplete(packet, status);
}

void Miniport::OnReceive(NDIS_HANDLE receiveContext, PVOID header, UINT headerSize, PVOID lookahead,
                         UINT lookaheadSize, UINT packetSize) {
  bool heard = OnIndication("NdisMEthIndicateReceive");
  KIRQL irql = CurrentContext().irql;
  if (irql != DISPATCH_LEVEL)
    Kernel::Current().verifier().Report("irql", "NdisMEthIndicateReceive at IRQL " + std::to_string(irql) +
                                                    ": receive indications are made at DISPATCH_LEVEL");
  std::string problem;
  if (headerSize != 14) problem = "a header of " + std::to_string(headerSize) + " bytes; an 802.3 header has 14";
  else if (!header || (lookaheadSize && !lookahead)) problem = "no header or lookahead buffer";
  else if (lookaheadSize > packetSize) problem = "a lookahead longer than the packet";
  if (!problem.empty()) {
    ReportViolation("NdisMEthIndicateReceive with " + problem);
    return;
  }
  if (!heard) {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    ++framesDroppedBeforeInitialized_;
    return;
  }
  protocol_.OnReceive(receiveContext, static_cast<const UCHAR*>(header), headerSize,
                      static_cast<const UCHAR*>(lookahead), lookaheadSize, packetSize);
}

uint64_t Miniport::framesDroppedBeforeInitialized() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return framesDroppedBeforeInitialized_;
}

void Miniport::OnReceiveComplete() {
  if (OnIndication("NdisMEthIndicateReceiveComplete")) protocol_.OnReceiveComplete();
}

NDIS_STATUS Miniport::TransferData(PNDIS_PACKET packet, NDIS_HANDLE receiveContext, UINT offset, UINT bytes,
                                   UINT* bytesTransferred) {
  W_TRANSFER_DATA_HANDLER handler = Ndis30().TransferDataHandler;
  if (!handler) {
    ReportViolation("the lookahead fell short of the packet, and the miniport has no MiniportTransferData");
    return NDIS_STATUS_FAILURE;
  }
  NDIS_HANDLE context = this->context();
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  *bytesTransferred = 0;
  CallDriver(DISPATCH_LEVEL, "MiniportTransferData",
             [&] { status = handler(packet, bytesTransferred, context, receiveContext, offset, bytes); });
  // NdisMTransferDataComplete is not emulated: the miniport says its transfers do not pend.
  if (status == NDIS_STATUS_PENDING) ReportViolation("MiniportTransferData pended");
  else if (status == NDIS_STATUS_SUCCESS && *bytesTransferred > bytes)
    ReportViolation("MiniportTransferData reported more bytes transferred than asked for");
  return status;
}

}  // namespace emu::ndis
