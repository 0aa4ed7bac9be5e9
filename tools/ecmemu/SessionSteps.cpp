#include "tools/ecmemu/SessionSteps.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "emu/kernel/Kernel.h"

namespace ecmemu {
namespace {

constexpr uint64_t kIndicationBoundMs = 5000;  // link, filter, speed: far longer than they take
constexpr uint64_t kRequestBoundMs = 10000;    // a pended set or reset
constexpr uint64_t kAsleepMs = 50;             // how long frames are left waiting in D3
constexpr uint64_t kPiecesMs = 50;             // for the pieces of a notification to be read
constexpr USHORT kSpeedChangeLength = 16;
constexpr ULONG kFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
constexpr USHORT kEcmFilter = 0x04 | 0x10 | 0x08;  // directed, multicast, broadcast
constexpr ULONG kDownlinkBitRate = 480000000;
constexpr ULONG kUplinkBitRate = 300000000;
constexpr uint64_t kRemovalBoundMs = 60000;  // from the cue until a real device is gone
constexpr uint32_t kRemovalChunk = 8;        // frames streamed between looks at a real device
constexpr UCHAR kClassInterfaceOut = 0x21;
constexpr UCHAR kSetEthernetPacketFilter = 0x43;

std::string Hex16(USHORT value) { return "0x" + Hex32(value).substr(6); }

std::string Mbits(ULONG unitsOf100) { return std::to_string(unitsOf100 / 10000) + " Mbit/s"; }

}  // namespace

SessionSteps::SessionSteps(const RunOptions& options, emu::ndis::Miniport& miniport, const SessionDevice& device,
                           emu::capture::EthernetCapture* ethernet, ProgressLine& progress, Report& report)
    : options_(options),
      session_(miniport),
      device_(device),
      bus_(device.bus),
      ethernet_(ethernet),
      progress_(progress),
      report_(report) {}

SessionSteps::~SessionSteps() {
  // The bus ends what the device had; the wait for the removal ends with it.
  if (device_.real) device_.real->SetOnGone([&bus = bus_] { bus.Unplug(); });
}

void SessionSteps::Run() {
  ReadAdapter();
  SetPacketFilter();
  WaitForLink();
  if ((!report_.failedChecks.empty() && !options_.pressOn) || !StartTraffic()) {
    Step("no traffic: the adapter is not ready for it");
    ReadCounters();
    return;
  }
  uint32_t frames = options_.frames;
  uint32_t asleep = std::min(32u, frames / 4);
  uint32_t queued = options_.surpriseRemoval ? 0 : std::min(48u, frames / 4);
  uint32_t streamed = frames - asleep - queued;
  uint32_t first = streamed / 2;
  Stream(first);
  FlapLink();
  ChangeSpeed();
  PowerCycle(asleep);
  if (options_.surpriseRemoval) {
    RemoveDuringTraffic(streamed - first);
  } else {
    ResetWithQueue(queued);  // and one frame after it
    Stream(streamed - first - 1);
  }
  progress_.Clear();
  if (device_.real && device_.real->gone() && !removalIndicated_) {
    Fail("the device went away during the session");
    IndicateRemoval();
  }
  ReadCounters();
}

bool SessionSteps::StartTraffic() {
  if (traffic_) return true;
  std::optional<Address> host = session_.QueryAddress(OID_802_3_CURRENT_ADDRESS);
  if (!host || report_.maximumTotalSize < kFrameOverhead) return false;
  if (options_.frameSize > report_.maximumTotalSize) {
    Fail("--frame-size " + std::to_string(options_.frameSize) + " is more than the adapter's maximum frame of " +
         std::to_string(report_.maximumTotalSize) + " bytes");
    return false;
  }
  traffic_ = std::make_unique<TrafficRun>(session_, device_.model, *host, report_.maximumTotalSize, ethernet_,
                                          options_.frameSize);
  if (device_.real)
    device_.real->SetOnGone([this] {
      bus_.Unplug();
      traffic_->Abandon();
    });
  traffic_->onProgress = [this](uint32_t sent, uint64_t back) {
    progress_.Show([&] {
      return "ecmemu: " + std::to_string(sent) + " of " + std::to_string(options_.frames) + " frames sent, " +
             std::to_string(back) + " back";
    });
  };
  return true;
}

bool SessionSteps::TrafficResumes(uint32_t frames) {
  if (!StartTraffic()) return false;
  // A device that does not know the adapter's address (its MAC string could not be read)
  // keeps the answers from the host: those frames went through the driver all the same.
  auto through = [this] {
    TrafficTally t = traffic_->Tally();
    return t.roundTrips + t.refusedByDeviceFilter;
  };
  // Only frames sent from now on count: what a fault lost earlier is written off.
  traffic_->GiveUpOutstanding();
  uint64_t before = through();
  if (!traffic_->Stream(frames)) return false;
  return session_.WaitUntil([&] { return through() >= before + frames; }, kIndicationBoundMs);
}

std::optional<NDIS_STATUS> SessionSteps::ResetAdapter() {
  emu::ndis::Miniport& miniport = session_.miniport();
  // NDIS issues no reset while its hang check's pends: that one comes first.
  if (!session_.WaitUntil([&] { return !miniport.resetPending(); }, kRequestBoundMs)) return std::nullopt;
  size_t before = miniport.resetCompletions().size();
  BOOLEAN addressingReset = FALSE;
  NDIS_STATUS status = miniport.Reset(&addressingReset);
  if (status != NDIS_STATUS_PENDING) return status;
  if (!session_.WaitUntil([&] { return miniport.resetCompletions().size() > before; }, kRequestBoundMs))
    return std::nullopt;
  return miniport.resetCompletions().back().status;
}

void SessionSteps::ReadAdapter() {
  std::optional<Address> permanent = session_.QueryAddress(OID_802_3_PERMANENT_ADDRESS);
  std::optional<Address> current = session_.QueryAddress(OID_802_3_CURRENT_ADDRESS);
  if (permanent) report_.permanentAddress = AddressText(*permanent);
  if (current) report_.currentAddress = AddressText(*current);
  if (!permanent || !current) Fail("the adapter did not answer its addresses");
  report_.maximumTotalSize = session_.QueryUlong(OID_GEN_MAXIMUM_TOTAL_SIZE).value_or(0);
  report_.maximumLookahead = session_.QueryUlong(OID_GEN_MAXIMUM_LOOKAHEAD).value_or(0);
  UCHAR selected = bus_.ConfigurationValue();
  for (const auto& [index, bytes] : device_.profile.configurations)
    if (bytes.size() > 5 && bytes[5] == selected) report_.configurationIndex = index;
}

void SessionSteps::SetPacketFilter() {
  NDIS_STATUS status = session_.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, kFilter);
  bool reached = status == NDIS_STATUS_SUCCESS &&
                 session_.WaitUntil([this] {
                   std::vector<uint16_t> requests = PacketFilterRequests();
                   return !requests.empty() && requests.back() == kEcmFilter;
                 }, kIndicationBoundMs);
  if (status != NDIS_STATUS_SUCCESS)
    Fail("setting the packet filter failed with " + Hex32(status));
  else if (!reached)
    Fail("the device did not receive SET_ETHERNET_PACKET_FILTER " + Hex16(kEcmFilter));
  else
    Step("packet filter " + PacketFilterText(kFilter) + ": the device received SET_ETHERNET_PACKET_FILTER " +
         Hex16(kEcmFilter));
}

void SessionSteps::WaitForLink() {
  auto connected = [this] {
    return session_.QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS) == ULONG{NdisMediaStateConnected};
  };
  uint64_t start = emu::Kernel::Current().NowMs();
  if (!session_.WaitUntil(connected, kIndicationBoundMs)) {
    Fail("the link did not come up within " + std::to_string(kIndicationBoundMs / 1000) + " s");
    return;
  }
  Step("link up " + std::to_string(emu::Kernel::Current().NowMs() - start) +
       " ms after initialization (the device's NETWORK_CONNECTION notification)");
}

void SessionSteps::Stream(uint32_t count) {
  if (stalled_ || count == 0) return;
  auto start = std::chrono::steady_clock::now();
  uint64_t startTick = emu::Kernel::Current().scheduler().Now();
  std::pair<uint64_t, uint64_t> startBytes = bus_.BulkBytes();
  uint32_t first = traffic_->sent();
  bool ok = traffic_->Stream(count) && traffic_->Drain();
  report_.trafficSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (report_.bus) {
    std::pair<uint64_t, uint64_t> bytes = bus_.BulkBytes();
    report_.bus->seconds += static_cast<double>(emu::Kernel::Current().scheduler().Now() - startTick) / 1e7;
    report_.bus->bytesFromDevice += bytes.first - startBytes.first;
    report_.bus->bytesToDevice += bytes.second - startBytes.second;
  }
  if (!Moved(ok, "the traffic stalled: nothing moved for 10 s")) return;
  Step("traffic: frames " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
       " sent through the device's wire and back");
}

bool SessionSteps::Drain(const std::string& when) {
  return !stalled_ && Moved(traffic_->Drain(), "the traffic stalled " + when);
}

bool SessionSteps::Moved(bool moved, const std::string& otherwise) {
  if (moved) return true;
  stalled_ = true;
  Fail(otherwise);
  return false;
}

void SessionSteps::FlapLink() {
  if (!Drain("before the link flap")) return;
  if (!device_.model) {
    Step("link flap and speed change: a real device decides its own; the link speed is the device's, " +
         Mbits(session_.QueryUlong(OID_GEN_LINK_SPEED).value_or(0)));
    return;
  }
  for (bool up : {false, true}) {
    NDIS_STATUS indication = up ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT;
    ULONG state = up ? NdisMediaStateConnected : NdisMediaStateDisconnected;
    size_t before = session_.StatusCount(indication);
    device_.model->SetLink(up);
    bool seen = session_.WaitUntil(
        [&] {
          return session_.StatusCount(indication) > before && session_.QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS) == state;
        },
        kIndicationBoundMs);
    if (!seen) {
      Fail(std::string("link ") + (up ? "up" : "down") + ": no " +
           (up ? "NDIS_STATUS_MEDIA_CONNECT" : "NDIS_STATUS_MEDIA_DISCONNECT") + " indication");
      device_.model->SetLink(true);  // the device's wire stays connected for the steps that follow
      return;
    }
  }
  Step("link flap: down, NDIS_STATUS_MEDIA_DISCONNECT indicated; up, NDIS_STATUS_MEDIA_CONNECT indicated");
}

void SessionSteps::ChangeSpeed() {
  if (!device_.model) return;
  USHORT packet = device_.model->Layout().notificationPacketSize;
  if (packet < kSpeedChangeLength) {
    // The driver reads each interrupt transfer on its own, in a buffer of one packet: it
    // cannot see a notification that comes in pieces, and must not misread the pieces.
    std::optional<ULONG> before = session_.QueryUlong(OID_GEN_LINK_SPEED);
    device_.model->SetSpeed(kDownlinkBitRate, kUplinkBitRate);
    session_.Settle(kPiecesMs);
    bool kept = session_.QueryUlong(OID_GEN_LINK_SPEED) == before &&
                session_.QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS) == ULONG{NdisMediaStateConnected};
    if (!kept) {
      Fail("a CONNECTION_SPEED_CHANGE in " + std::to_string(packet) + "-byte pieces changed the link's state");
      return;
    }
    Step("speed change to " + Mbits(kDownlinkBitRate / 100) + " down, " + Mbits(kUplinkBitRate / 100) +
         " up, in " + std::to_string(packet) + "-byte pieces of the interrupt endpoint: the driver reads " +
         "notifications whole only; OID_GEN_LINK_SPEED stays " + std::to_string(before.value_or(0)) +
         " and the link stays up");
    return;
  }
  device_.model->SetSpeed(kDownlinkBitRate, kUplinkBitRate);
  ULONG expected = kUplinkBitRate / 100;
  if (!session_.WaitUntil([&] { return session_.QueryUlong(OID_GEN_LINK_SPEED) == expected; }, kIndicationBoundMs)) {
    Fail("OID_GEN_LINK_SPEED did not follow the device's CONNECTION_SPEED_CHANGE to " +
         std::to_string(expected));
    return;
  }
  Step("speed change to " + Mbits(kDownlinkBitRate / 100) + " down, " + Mbits(expected) +
       " up: OID_GEN_LINK_SPEED " + std::to_string(expected) + " (the uplink rate)");
}

bool SessionSteps::SetPower(ULONG state) {
  std::string name = state == NdisDeviceStateD0 ? "D0" : "D3";
  size_t before = session_.miniport().setCompletions().size();
  NDIS_STATUS status = session_.SetUlong(OID_PNP_SET_POWER, state);
  if (status == NDIS_STATUS_PENDING &&
      !session_.WaitUntil([&] { return session_.miniport().setCompletions().size() > before; }, kRequestBoundMs)) {
    Fail("the set of " + name + " pended and never completed");
    return false;
  }
  if (status == NDIS_STATUS_PENDING) status = session_.miniport().setCompletions().back();
  if (status != NDIS_STATUS_SUCCESS) {
    Fail("the set of " + name + " failed with " + Hex32(status));
    return false;
  }
  return true;
}

void SessionSteps::PowerCycle(uint32_t waiting) {
  if (!Drain("before the power cycle") || !SetPower(NdisDeviceStateD3)) return;
  uint64_t reached = traffic_->reachedDevice();
  traffic_->Burst(waiting);
  session_.Settle(kAsleepMs);
  uint64_t whileAsleep = traffic_->reachedDevice() - reached;
  if (!SetPower(NdisDeviceStateD0)) return;
  if (!Drain("after the return to D0")) return;
  if (whileAsleep) Fail(std::to_string(whileAsleep) + " frame(s) reached the device while it was in D3");
  Step("power: D3, " + std::to_string(waiting) + " frames sent meanwhile waited in the adapter; D0, they went out " +
       "and came back");
}

void SessionSteps::ResetWithQueue(uint32_t queued) {
  if (!Drain("before the reset")) return;
  uint32_t first = traffic_->sent();
  traffic_->Burst(queued);
  std::optional<NDIS_STATUS> reset = ResetAdapter();
  if (!reset) {
    Fail("the reset pended and never completed");
    return;
  }
  NDIS_STATUS status = *reset;
  if (status != NDIS_STATUS_SUCCESS) Fail("the reset failed with " + Hex32(status));
  if (!Moved(traffic_->WaitCompletions(), "packets queued at the reset were never completed")) return;
  uint32_t flushed = traffic_->ExcuseUnsentAsFlushed(first, first + queued);
  // A frame behind the queued ones tells which of those the reset dropped in flight.
  if (!Moved(traffic_->Stream(1), "the traffic stalled after the reset") || !Drain("after the reset")) return;
  TrafficTally tally = traffic_->Tally();
  uint64_t dropped = tally.droppedByReset;
  // Only the simulated device tells what reached it: of a real one's, what did not come back
  // was either completed unsent or answered while the pipes closed.
  flushed = static_cast<uint32_t>(tally.flushedByReset);
  std::string text = "reset with " + std::to_string(queued) + " frames queued: completed with " + Hex32(status) +
                     "; " + std::to_string(flushed) +
                     (device_.model ? " were completed without being sent, "
                                    : " did not come back (completed unsent, or answered as the pipes closed), ") +
                     std::to_string(queued - flushed - dropped) + " went out and came back";
  if (dropped)
    text += ", " + std::to_string(dropped) + " were answered while the pipes closed and dropped with the aborted reads";
  Step(text + "; a frame sent after the reset came back");
}

void SessionSteps::RemoveDuringTraffic(uint32_t count) {
  if (stalled_) return;
  uint32_t before = count / 2;
  if (!Moved(traffic_->Stream(before), "the traffic stalled before the removal")) return;
  if (device_.real) {
    if (!StreamUntilGone()) return;
    traffic_->CutForRemoval();
  } else {
    traffic_->CutForRemoval();
    bus_.Unplug(*emu::usb::FindRemovalStatus(options_.removalStatus.c_str()));
  }
  IndicateRemoval();
  bool rest = traffic_->Stream(count - before) && traffic_->WaitCompletions();
  if (!rest) Fail("packets sent after the surprise removal were not all completed");
  Step("surprise removal after " + std::to_string(before) + " of " + std::to_string(count) +
       " frames: the device unplugged and NdisDevicePnPEventSurpriseRemoved; the " +
       std::to_string(count - before) + " frames sent afterwards were completed");
}

bool SessionSteps::StreamUntilGone() {
  // Whoever holds the device removes it on this cue; it takes a moment to reach the host.
  std::fprintf(stderr, "ecmemu: remove the device now\n");
  std::fflush(stderr);
  auto start = std::chrono::steady_clock::now();
  while (!device_.real->gone()) {
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kRemovalBoundMs)) {
      Fail("the device was not removed within " + std::to_string(kRemovalBoundMs / 1000) + " s of the cue");
      return false;
    }
    // The removal ends a stream early, just before the device counts as gone; a stream that
    // stalls otherwise is a failure.
    if (!traffic_->Stream(kRemovalChunk) &&
        !session_.WaitUntil([this] { return device_.real->gone(); }, kIndicationBoundMs))
      return Moved(false, "the traffic stalled before the removal");
  }
  return true;
}

void SessionSteps::IndicateRemoval() {
  session_.miniport().PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  removalIndicated_ = true;
}

std::vector<uint16_t> SessionSteps::PacketFilterRequests() {
  if (device_.model) return device_.model->packetFilterRequests();
  // A real device's acknowledgment is the successful status of the request.
  std::vector<uint16_t> acknowledged;
  for (const emu::usb::BusRequest& request : bus_.Requests())
    if (request.setup && request.setup->bmRequestType == kClassInterfaceOut &&
        request.setup->bRequest == kSetEthernetPacketFilter && request.status == USBD_STATUS_SUCCESS)
      acknowledged.push_back(request.setup->wValue);
  return acknowledged;
}

void SessionSteps::ReadCounters() {
  // The driver counts a frame once the protocol has taken it, a moment after the protocol saw it;
  // it counted those NDIS dropped before MiniportInitialize returned too.
  if (traffic_) {
    uint64_t indicated =
        session_.miniport().protocol().frameCount() + session_.miniport().framesDroppedBeforeInitialized();
    session_.WaitUntil([&] { return session_.QueryUlong(OID_GEN_RCV_OK) >= indicated; }, kIndicationBoundMs);
  }
  report_.counters = session_.ReadCounters();
  report_.mediaConnected = session_.QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS) == ULONG{NdisMediaStateConnected};
  report_.linkSpeed = session_.QueryUlong(OID_GEN_LINK_SPEED).value_or(0);
  report_.packetFilterRequests = PacketFilterRequests();
}

void SessionSteps::AfterHalt() {
  report_.packetFilterRequests = PacketFilterRequests();
  if (!traffic_) return;
  TrafficTally t = traffic_->Tally();
  emu::devices::FrameRecorder::Tally onDevice;
  if (device_.model) onDevice = device_.model->DataOut().tally();
  FrameCounts& f = report_.frames;
  f.sent = t.sent;
  f.received = t.fromDevice.received;
  f.verified = t.roundTrips;
  f.lost = t.lost;
  f.duplicated = t.toDevice.duplicated + t.fromDevice.duplicated;
  f.reordered = t.toDevice.reordered + t.fromDevice.reordered;
  f.corrupted = t.toDevice.corrupted + t.fromDevice.corrupted;
  f.mergedOnDevice = onDevice.merged;
  f.truncatedOnDevice = onDevice.truncated;
  f.reachedDevice = traffic_->reachedDevice();
  f.flushedByReset = t.flushedByReset;
  f.droppedByReset = t.droppedByReset;
  f.cutByRemoval = t.cutByRemoval;
  auto check = [this](uint64_t count, const std::string& what) {
    if (count) Fail(std::to_string(count) + " " + what);
  };
  check(f.lost, "frame(s) lost");
  check(f.duplicated, "frame(s) duplicated");
  check(f.reordered, "frame(s) out of order");
  check(f.corrupted, "frame(s) corrupted");
  check(f.mergedOnDevice, "frame(s) merged with the next one on the device");
  check(f.truncatedOnDevice, "frame(s) longer than the device takes");
  // A real device's far end has a network stack of its own, which sends what it likes.
  f.other = t.toDevice.foreign + t.fromDevice.foreign;
  if (device_.model) check(f.other, "frame(s) that the session never sent");
  check(t.refusedByDeviceFilter, "answer(s) the device's packet filter kept from the host");
  if (!options_.surpriseRemoval) check(t.failedSends, "packet(s) completed with a failure");
  if (t.completed != t.sent)
    Fail(std::to_string(t.sent) + " packets sent, " + std::to_string(t.completed) + " completions");
  // Every frame indicated counts, those before the traffic began too (a real device's far
  // end may speak as soon as the link is up), even one NDIS dropped because the driver's DPC
  // indicated it before MiniportInitialize had returned.
  uint64_t heard = session_.miniport().protocol().frameCount();
  uint64_t dropped = session_.miniport().framesDroppedBeforeInitialized();
  if (report_.counters.rcvOk != heard + dropped)
    Fail("OID_GEN_RCV_OK is " + std::to_string(report_.counters.rcvOk) + ", the protocol received " +
         std::to_string(heard) + (dropped ? " and NDIS dropped " + std::to_string(dropped) : std::string()));
}

}  // namespace ecmemu
