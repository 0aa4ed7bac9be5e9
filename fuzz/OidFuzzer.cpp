// One input is a run of information requests to a running adapter, interleaved with the
// state changes of StateChanges: queries and sets of every OID the adapter lists and of some
// it does not (or of any number), with every buffer length from 0 to well beyond the answer,
// sets with any contents. A finding: a sanitizer report, a verifier violation or leak, a
// status the handler may not return, a count beyond the buffer, a byte written outside the
// answer (or into a set's buffer), a packet filter or multicast list that is not the last one
// set, or, once the pipes run, a device whose packet filter is not the adapter's.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "DriverBench.h"
#include "StateChanges.h"

namespace {

using Buffer = std::vector<UCHAR>;

// OIDs of NDIS 5.1 that the adapter does not list: media capabilities, physical medium, the
// wake-up pattern pair and the wake-up enable.
const NDIS_OID kUnlisted[] = {0x00010201, 0x00010202, 0xFD010103, 0xFD010104, 0xFD010106};
constexpr size_t kMostSteps = 48;
constexpr ULONG kLongestBuffer = 200;
constexpr UCHAR kCanary = 0xA5;
constexpr ULONG kSettleMs = 300;

// The ECM bitmap for an NDIS packet filter.
USHORT EcmFilter(ULONG ndis) {
  struct Bit {
    ULONG ndis;
    USHORT ecm;
  };
  const Bit kBits[] = {{NDIS_PACKET_TYPE_PROMISCUOUS, 0x01}, {NDIS_PACKET_TYPE_ALL_MULTICAST, 0x02},
                       {NDIS_PACKET_TYPE_DIRECTED, 0x04},    {NDIS_PACKET_TYPE_BROADCAST, 0x08},
                       {NDIS_PACKET_TYPE_MULTICAST, 0x10}};
  USHORT ecm = 0;
  for (const Bit& bit : kBits)
    if (ndis & bit.ndis) ecm |= bit.ecm;
  return ecm;
}

bool Untouched(const Buffer& buffer, size_t from) {
  for (size_t i = from; i < buffer.size(); ++i)
    if (buffer[i] != kCanary) return false;
  return true;
}

class OidRun {
 public:
  explicit OidRun(DriverBench& bench) : bench_(bench), changes_(bench) {
    Buffer list(kLongestBuffer, kCanary);
    ULONG written = 0, needed = 0;
    if (Query(OID_GEN_SUPPORTED_LIST, list, &written, &needed) != NDIS_STATUS_SUCCESS)
      Finding("OID_GEN_SUPPORTED_LIST failed");
    listed_.resize(written / sizeof(NDIS_OID));
    std::memcpy(listed_.data(), list.data(), listed_.size() * sizeof(NDIS_OID));
  }

  void Step(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: QueryOne(PickOid(input), input.ConsumeIntegralInRange<ULONG>(0, kLongestBuffer)); break;
      case 1: SetOne(input); break;
      default: changes_.Next(input); break;
    }
  }

  // Once the requests and pipes have settled.
  void CheckDevice() {
    if (!filterSet_ || changes_.removed() || changes_.asleep()) return;
    if (bench_.device().packetFilter() != EcmFilter(filter_)) Finding("the device's packet filter is not the adapter's");
  }

 private:
  NDIS_OID PickOid(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: return listed_[input.ConsumeIntegralInRange<size_t>(0, listed_.size() - 1)];
      case 1: return input.PickValueInArray(kUnlisted);
      default: return input.ConsumeIntegral<NDIS_OID>();
    }
  }

  NDIS_STATUS Query(NDIS_OID oid, Buffer& buffer, ULONG* written, ULONG* needed) {
    return bench_.miniport().QueryInformation(oid, buffer, written, needed);
  }

  void QueryOne(NDIS_OID oid, ULONG length) {
    Buffer buffer(length, kCanary);
    ULONG written = ~0u, needed = ~0u;
    NDIS_STATUS status = Query(oid, buffer, &written, &needed);
    if (status == NDIS_STATUS_INVALID_LENGTH) {
      if (needed <= length || !Untouched(buffer, 0)) Finding("a short query was not refused cleanly");
      return;
    }
    if (status == NDIS_STATUS_NOT_SUPPORTED) {
      if (!Untouched(buffer, 0)) Finding("an unsupported query wrote into the buffer");
      return;
    }
    if (status != NDIS_STATUS_SUCCESS) Finding("a query returned a status it may not");
    if (written > length || !Untouched(buffer, written)) Finding("a query wrote beyond its answer");
    if (oid == OID_GEN_CURRENT_PACKET_FILTER && std::memcmp(buffer.data(), &filter_, sizeof filter_) != 0)
      Finding("the packet filter answered is not the one set");
    if (oid == OID_802_3_MULTICAST_LIST && Buffer(buffer.begin(), buffer.begin() + written) != multicast_)
      Finding("the multicast list answered is not the one set");
  }

  void SetOne(FuzzedDataProvider& input) {
    NDIS_OID oid = PickOid(input);
    Buffer buffer = input.ConsumeBytes<UCHAR>(input.ConsumeIntegralInRange<ULONG>(0, kLongestBuffer));
    if (oid == OID_PNP_SET_POWER && buffer.size() == sizeof(ULONG)) {
      ULONG state;
      std::memcpy(&state, buffer.data(), sizeof state);
      NDIS_STATUS status = changes_.SetPower(state);
      if (status != NDIS_STATUS_PENDING && status != NDIS_STATUS_SUCCESS) Finding("a power set failed");
      return;
    }
    const Buffer given = buffer;
    ULONG read = ~0u, needed = ~0u;
    NDIS_STATUS status = bench_.miniport().SetInformation(oid, buffer, &read, &needed);
    if (buffer != given) Finding("a set wrote into its buffer");
    switch (status) {
      case NDIS_STATUS_SUCCESS: break;
      case NDIS_STATUS_INVALID_LENGTH:
      case NDIS_STATUS_INVALID_DATA:
      case NDIS_STATUS_NOT_SUPPORTED: return;
      default: Finding("a set returned a status it may not");
    }
    if (read > buffer.size()) Finding("a set read beyond its buffer");
    if (oid == OID_GEN_CURRENT_PACKET_FILTER) {
      std::memcpy(&filter_, buffer.data(), sizeof filter_);
      filterSet_ = true;
    }
    if (oid == OID_802_3_MULTICAST_LIST) multicast_.assign(buffer.begin(), buffer.begin() + read);
  }

  DriverBench& bench_;
  StateChanges changes_;
  std::vector<NDIS_OID> listed_;
  ULONG filter_ = 0;
  bool filterSet_ = false;
  Buffer multicast_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  DriverBench bench;
  if (!bench.Initialize()) Finding("the adapter did not start");
  {
    OidRun run(bench);
    for (size_t step = 0; step < kMostSteps && input.remaining_bytes(); ++step) run.Step(input);
    bench.SettleRequests();
    bench.Settle(kSettleMs);
    run.CheckDevice();
  }
  bench.Finish();
  return 0;
}
