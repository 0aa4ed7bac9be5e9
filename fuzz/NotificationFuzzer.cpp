// One input is what a device says on its interrupt endpoint while the adapter runs: raw
// transfers of any length (longer than the endpoint's packets too, which the bus reports as
// babble), and notifications with any code, wValue and wLength, joined into one stream and
// cut into transfers anywhere, interleaved with the state changes of StateChanges. The
// endpoint's packet size is the input's too. A finding: a sanitizer report, a verifier
// violation or leak, or a link speed that no whole CONNECTION_SPEED_CHANGE the driver
// received announced.
#include <fuzzer/FuzzedDataProvider.h>

#include <set>
#include <vector>

#include "DriverBench.h"
#include "EcmDescriptors.h"
#include "StateChanges.h"
#include "emu/usb/BusObserver.h"

namespace {

using emu::devices::Bytes;

const USHORT kPacketSizes[] = {8, 10, 15, 16, 17, 32, 64};
const UCHAR kCodes[] = {0x00, 0x2A, 0x01, 0x20};  // NETWORK_CONNECTION, CONNECTION_SPEED_CHANGE, two others
constexpr size_t kMostSteps = 64;
constexpr size_t kMostTransfersPerStream = 16;
constexpr size_t kMostNotificationsPerStream = 3;
constexpr size_t kLongestBody = 24;
constexpr ULONG kSettleMs = 300;  // beyond the media status timer's delay
constexpr ULONG kDefaultLinkSpeed = 250000;
constexpr size_t kSpeedChangeLength = 16;
constexpr UCHAR kConnectionSpeedChange = 0x2A;

ULONG ReadUlong(const UCHAR* p) { return ULONG{p[0]} | ULONG{p[1]} << 8 | ULONG{p[2]} << 16 | ULONG{p[3]} << 24; }

// The link speeds the driver may answer: the one it starts with, and the uplink rate of each
// interrupt transfer it received that holds a whole CONNECTION_SPEED_CHANGE.
class SpeedWitness : public emu::usb::BusObserver {
 public:
  void OnUrbSubmitted(const emu::usb::UrbSubmission& submission) override {
    if (submission.pipeType == UsbdPipeTypeInterrupt) interrupt_.insert(submission.irp);
  }
  void OnUrbCompleted(const emu::usb::UrbCompletion& completion) override {
    if (!interrupt_.erase(completion.irp) || completion.status != USBD_STATUS_SUCCESS) return;
    if (completion.length >= kSpeedChangeLength && completion.data[1] == kConnectionSpeedChange)
      speeds_.insert(ReadUlong(completion.data + 12) / 100);
  }
  bool Allows(ULONG speed) const { return speed == kDefaultLinkSpeed || speeds_.count(speed); }

 private:
  std::set<const void*> interrupt_;
  std::set<ULONG> speeds_;
};

Bytes Notification(FuzzedDataProvider& input) {
  UCHAR code = input.ConsumeBool() ? input.PickValueInArray(kCodes) : input.ConsumeIntegral<UCHAR>();
  Bytes bytes = {0xA1, code};
  for (int field = 0; field < 3; ++field) {  // wValue, wIndex, wLength: anything
    USHORT value = input.ConsumeIntegral<USHORT>();
    bytes.push_back(static_cast<UCHAR>(value));
    bytes.push_back(static_cast<UCHAR>(value >> 8));
  }
  Bytes body = input.ConsumeBytes<UCHAR>(input.ConsumeIntegralInRange<size_t>(0, kLongestBody));
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

// Notifications joined into one stream, cut into transfers anywhere.
void QueueStream(FuzzedDataProvider& input, emu::devices::FrameSource& endpoint, USHORT packetSize) {
  Bytes stream;
  size_t count = input.ConsumeIntegralInRange<size_t>(1, kMostNotificationsPerStream);
  for (size_t i = 0; i < count; ++i) {
    Bytes notification = Notification(input);
    stream.insert(stream.end(), notification.begin(), notification.end());
  }
  size_t at = 0;
  for (size_t transfers = 0; at < stream.size() && transfers < kMostTransfersPerStream; ++transfers) {
    size_t length = std::min(stream.size() - at, input.ConsumeIntegralInRange<size_t>(0, 2 * packetSize));
    endpoint.Queue(Bytes(stream.begin() + at, stream.begin() + at + length));
    at += length;
  }
}

emu::devices::DeviceProfile Device(USHORT notifyPacket) {
  using namespace ecm_descriptors;
  return EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()}), 512, notifyPacket));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  USHORT packetSize = input.PickValueInArray(kPacketSizes);
  DriverBench bench(Device(packetSize));
  SpeedWitness witness;
  bench.bus().SetObserver(&witness);
  if (!bench.Initialize()) Finding("the adapter did not start");
  StateChanges changes(bench);
  emu::devices::FrameSource& endpoint = bench.device().NotificationIn();
  for (size_t step = 0; step < kMostSteps && input.remaining_bytes(); ++step) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: QueueStream(input, endpoint, packetSize); break;
      case 1:
        endpoint.Queue(input.ConsumeBytes<UCHAR>(input.ConsumeIntegralInRange<size_t>(0, 2 * packetSize)));
        break;
      default: changes.Next(input); break;
    }
  }
  bench.Settle(kSettleMs);
  bench.SettleRequests();
  if (!witness.Allows(bench.QueryUlong(OID_GEN_LINK_SPEED))) Finding("a link speed no notification announced");
  ULONG media = bench.QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS);
  if (media != NdisMediaStateConnected && media != NdisMediaStateDisconnected) Finding("a media state out of range");
  bench.Finish();
  bench.bus().SetObserver(nullptr);
  return 0;
}
