#include "bench/DataPath.h"

#include <optional>

#include "tools/ecmemu/DriverLife.h"
#include "tools/ecmemu/Traffic.h"

namespace {

constexpr uint64_t kBringUpBoundMs = 5000;
constexpr ecmemu::Address kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

}  // namespace

const char* DirectionName(Direction direction) {
  switch (direction) {
    case Direction::Transmit: return "transmit";
    case Direction::Receive: return "receive";
    case Direction::RoundTrip: return "round_trip";
  }
  return "?";
}

DataPath::DataPath(Direction direction, uint32_t frameSize)
    : direction_(direction),
      frameSize_(frameSize),
      kernel_(emu::Mode::Deterministic),
      device_(std::make_unique<emu::devices::EcmFunction>()),
      bus_(std::make_unique<emu::usb::Bus>(*device_)),
      library_(std::make_unique<emu::ndis::Library>()) {
  device_->RecordHostFrames(false);
  bus_->RecordTransfers(false);
  BringUp();
}

DataPath::~DataPath() { Close(); }

void DataPath::BringUp() {
  ecmemu::AdapterStart start;
  miniport_ = ecmemu::StartAdapter(*library_, *bus_, {}, &start, &failure_);
  if (!miniport_) return;
  if (!start.initialized) {
    failure_ = "MiniportInitialize failed with " + ecmemu::Hex32(start.initializeStatus);
    return;
  }
  miniport_->RecordSendCompletions(false);
  emu::ndis::Protocol& protocol = miniport_->protocol();
  protocol.recordFrames = false;
  protocol.onFrame = [this](const emu::ndis::ReceivedFrame& frame) { OnFrame(frame); };
  protocol.onSendComplete = [this](PNDIS_PACKET, NDIS_STATUS status) { completed_ += status == NDIS_STATUS_SUCCESS; };
  session_ = std::make_unique<ecmemu::AdapterSession>(*miniport_);

  bool filtered = session_->SetUlong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED) == NDIS_STATUS_SUCCESS &&
                  session_->WaitUntil([this] { return device_->packetFilter().has_value(); }, kBringUpBoundMs);
  bool connected = session_->WaitUntil(
      [this] { return session_->QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS) == ULONG{NdisMediaStateConnected}; },
      kBringUpBoundMs);
  std::optional<ecmemu::Address> host = session_->QueryAddress(OID_802_3_CURRENT_ADDRESS);
  if (!filtered || !connected || !host) {
    failure_ = "the adapter did not take its packet filter, bring its link up or tell its address";
    return;
  }
  // The session's numbered frames, all of one size.
  outbound_ = std::make_unique<emu::ndis::ProtocolPacket>(
      ecmemu::FrameFactory(kPeer, *host, 1, frameSize_, frameSize_).Make(0));
  batch_ = {outbound_->packet()};
  inbound_ = ecmemu::FrameFactory(*host, kPeer, 2, frameSize_, frameSize_).Make(0);
  if (direction_ == Direction::Transmit) device_->ConnectWire([this](const emu::devices::Bytes& frame) { OnWire(frame); });
  if (direction_ == Direction::RoundTrip) device_->EchoWire();
}

void DataPath::OnWire(const emu::devices::Bytes& frame) { heard_ += frame.size() == frameSize_; }

void DataPath::OnFrame(const emu::ndis::ReceivedFrame& frame) {
  indicated_ += frame.header.size() + frame.packetSize == frameSize_;
}

bool DataPath::MoveFrame() {
  uint64_t completed = completed_;
  uint64_t& arrived = direction_ == Direction::Transmit ? heard_ : indicated_;
  uint64_t before = arrived;
  if (direction_ == Direction::Receive) {
    if (!device_->DeliverFromWire(inbound_)) return false;
  } else {
    miniport_->SendPackets(batch_);
  }
  kernel_.RunPending();
  // The packet must be back before it is sent again, as a protocol's would.
  bool sendDone = direction_ == Direction::Receive || completed_ == completed + 1;
  return sendDone && arrived == before + 1;
}

std::vector<std::string> DataPath::Close() {
  if (closed_) return {};
  closed_ = true;
  if (miniport_ && miniport_->state() == emu::ndis::MiniportState::Running) miniport_->Halt();
  session_.reset();
  if (miniport_) library_->UnloadDriver();
  library_.reset();
  bus_.reset();
  device_.reset();
  std::vector<std::string> violations, leaks;
  ecmemu::TakeFindings(kernel_, "at the end of the run", &violations, &leaks);
  violations.insert(violations.end(), leaks.begin(), leaks.end());
  return violations;
}
