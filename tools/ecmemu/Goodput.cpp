#include "tools/ecmemu/Goodput.h"

#include <cstdio>
#include <memory>

#include "emu/ndis/Protocol.h"
#include "emu/usb/DescriptorParser.h"
#include "tools/ecmemu/AdapterSession.h"
#include "tools/ecmemu/FreshSystem.h"

namespace ecmemu {
namespace {

constexpr uint64_t kBringUpMs = 100;  // link notification included: the interrupt pipe polls slowly
constexpr uint64_t kWarmUpMs = 2;     // the pipeline fills before the window opens
constexpr ULONG kFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
constexpr double kTicksPerSecond = 1e7;

// wMaxPacketSize of the endpoint in the profile's first configuration.
USHORT PacketSizeOf(const emu::devices::DeviceProfile& profile, UCHAR address) {
  const emu::devices::Bytes& configuration = profile.configurations.begin()->second;
  emu::usb::ParsedConfiguration parsed = emu::usb::ParseConfiguration(configuration.data(), configuration.size());
  for (const emu::usb::InterfaceRef& interface : parsed.interfaces)
    for (const emu::usb::DescriptorRef& endpoint : interface.endpoints)
      if (endpoint.length >= emu::usb::kEndpointDescriptorLength && endpoint.bytes[2] == address)
        return static_cast<USHORT>(endpoint.bytes[4] | endpoint.bytes[5] << 8);
  return 0;
}

// A broadcast frame: every packet filter the session sets passes it.
std::vector<UCHAR> Frame(uint32_t length) {
  std::vector<UCHAR> frame(length, 0x5A);
  for (int i = 0; i < 6; ++i) frame[i] = 0xFF;
  frame[12] = 0x88;
  frame[13] = 0xB5;  // a local experimental EtherType
  return frame;
}

uint64_t Now() { return emu::Kernel::Current().scheduler().Now(); }

// Frames enough to keep the far side busy through warm-up and window, and then some.
uint64_t FramesFor(double limit, uint32_t length, uint64_t windowMs) {
  double seconds = static_cast<double>(kWarmUpMs + windowMs) / 1000;
  return static_cast<uint64_t>(limit * seconds / (8.0 * length) * 1.25) + 64;
}

}  // namespace

GoodputResult MeasureGoodput(const emu::devices::DeviceProfile& profile, const emu::usb::BusTiming& timing,
                             const GoodputCell& cell, uint64_t windowMs) {
  GoodputResult result;
  bool toDevice = cell.way == Way::ToDevice;
  Params params{{toDevice ? "TxBuffers" : "RxBuffers", std::to_string(cell.buffers)}};
  auto prepare = [&](FreshSystem& system) {
    system.bus.SetTiming(timing);
    system.device.RecordHostFrames(false);
    emu::devices::EcmLayout layout = system.device.Layout();
    USHORT packet = PacketSizeOf(profile, toDevice ? layout.dataOutEndpoint : layout.dataInEndpoint);
    result.limit = emu::usb::StreamLimitBitsPerSecond(timing.speed, cell.frameLength, packet);
  };
  auto body = [&](FreshSystem& system, emu::ndis::Miniport& miniport, const AdapterStart& start) {
    if (!start.initialized) {
      result.problems.push_back("the driver refused the device");
      return;
    }
    AdapterSession session(miniport);
    miniport.protocol().recordFrames = false;
    miniport.RecordSendCompletions(false);
    if (session.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, kFilter) != NDIS_STATUS_SUCCESS)
      result.problems.push_back("the packet filter was refused");
    session.Settle(kBringUpMs);
    uint64_t frames = FramesFor(result.limit, cell.frameLength, windowMs);
    std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> packets;
    auto arrived = [&] {
      return toDevice ? system.device.DataOut().tally().frames : miniport.protocol().frameCount();
    };
    if (toDevice) {
      std::vector<PNDIS_PACKET> batch;
      for (uint64_t i = 0; i < frames; ++i) {
        packets.push_back(std::make_unique<emu::ndis::ProtocolPacket>(Frame(cell.frameLength)));
        batch.push_back(packets.back()->packet());
      }
      miniport.SendPackets(batch);
    } else {
      for (uint64_t i = 0; i < frames; ++i) system.device.DataIn().Queue(Frame(cell.frameLength));
    }
    session.Settle(kWarmUpMs);
    uint64_t firstCount = arrived(), firstTick = Now();
    session.Settle(windowMs);
    uint64_t lastCount = arrived(), lastTick = Now();
    if (lastCount - firstCount >= frames - 64) result.problems.push_back("the frames ran out inside the window");
    result.bitsPerSecond = static_cast<double>(lastCount - firstCount) * cell.frameLength * 8 * kTicksPerSecond /
                           static_cast<double>(lastTick - firstTick);
    HaltWithinBound(miniport, result.problems);
  };
  std::vector<std::string> problems = RunFreshSystem(profile, params, prepare, body);
  result.problems.insert(result.problems.end(), problems.begin(), problems.end());
  return result;
}

bool PrintGoodputTable(const emu::devices::DeviceProfile& profile, const GoodputOptions& options, std::ostream& out) {
  const emu::usb::BusTiming& timing = options.timing;
  char line[256];
  std::snprintf(line, sizeof line,
                "Goodput on a %s-speed bus, Mbit/s of Ethernet frames per second of virtual time, one way at a "
                "time;\ninterrupt every %u (micro)frame(s), DPC latency %.1f us, a window of %llu ms per cell.\n",
                timing.speed.name, timing.interruptThreshold, static_cast<double>(timing.dpcLatency) / 10,
                static_cast<unsigned long long>(options.windowMs));
  out << line << "\n| way | frame bytes |";
  for (uint32_t buffers : options.buffers) out << " " << buffers << " |";
  out << " bus limit |\n|---|---|";
  for (size_t i = 0; i <= options.buffers.size(); ++i) out << "---|";
  out << "\n";
  bool ok = true;
  for (Way way : {Way::ToDevice, Way::FromDevice}) {
    for (uint32_t length : options.frameLengths) {
      out << (way == Way::ToDevice ? "| to device (TxBuffers) | " : "| from device (RxBuffers) | ") << length << " |";
      double limit = 0;
      for (uint32_t buffers : options.buffers) {
        GoodputResult result = MeasureGoodput(profile, timing, GoodputCell{way, buffers, length}, options.windowMs);
        limit = result.limit;
        std::snprintf(line, sizeof line, " %.1f |", result.bitsPerSecond / 1e6);
        out << line;
        for (const std::string& problem : result.problems) {
          ok = false;
          out << " (" << problem << ")";
        }
      }
      std::snprintf(line, sizeof line, " %.1f |\n", limit / 1e6);
      out << line;
      out.flush();
    }
  }
  return ok;
}

}  // namespace ecmemu
