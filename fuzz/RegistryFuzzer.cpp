// One input is an adapter's registry key: each keyword the driver reads absent, a REG_DWORD
// of any value, or a REG_SZ of any text (NDIS converts it, or the read fails), plus the
// NetworkAddress string, on a device with or without a MAC string of its own. The adapter is
// initialized and halted. A finding: a sanitizer report, a verifier violation or leak, a
// setting outside its range or not the value a REG_DWORD gave, a failed initialization that
// logged nothing, or a permanent address other than the device's, the registry's station
// address, or the built-in one, whichever should win.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <optional>
#include <string>

#include "DriverBench.h"
#include "EcmDescriptors.h"

namespace {

using Mac = std::array<UCHAR, 6>;

constexpr Mac kDeviceAddress = {0x02, 0xEC, 0x0D, 0xE0, 0x00, 0x01};  // the built-in MAC string
constexpr Mac kBuiltInAddress = {0xAE, 0xDE, 0x48, 0x02, 0x01, 0x00};
constexpr size_t kLongestText = 40;

enum Keyword { kRxBuffers, kTxBuffers, kDefaultMediaState, kOneByteTermination, kConfigurationIndex,
               kSendClearEpHaltOnStart, kKeywordCount };
const char* const kNames[kKeywordCount] = {"RxBuffers",          "TxBuffers",          "DefaultMediaState",
                                           "OneByteTermination", "ConfigurationIndex", "SendClearEpHaltOnStart"};

// A REG_DWORD's value for each keyword that has one.
using Integers = std::array<std::optional<ULONG>, kKeywordCount>;

ULONG Clamped(ULONG value) {
  return value < AdapterSettings::kMinimumBuffers   ? AdapterSettings::kMinimumBuffers
         : value > AdapterSettings::kMaximumBuffers ? AdapterSettings::kMaximumBuffers
                                                    : value;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Twelve hexadecimal digits, as the property page writes a station address; none otherwise.
std::optional<Mac> StationAddress(const std::string& text) {
  if (text.size() != 12) return std::nullopt;
  Mac mac;
  for (size_t i = 0; i < 6; ++i) {
    std::string pair = text.substr(2 * i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
    mac[i] = static_cast<UCHAR>(std::stoul(pair, nullptr, 16));
  }
  if (mac[0] & 1) return std::nullopt;  // a group address
  if (mac == Mac{}) return std::nullopt;  // no address at all
  return mac;
}

emu::devices::DeviceProfile Device(bool hasMacString) {
  using namespace ecm_descriptors;
  if (hasMacString) return emu::devices::DefaultEcmProfile();
  return EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(0)})));
}

void CheckSettings(const AdapterSettings& settings, const Integers& integers) {
  if (settings.RxBuffers < AdapterSettings::kMinimumBuffers || settings.RxBuffers > AdapterSettings::kMaximumBuffers ||
      settings.TxBuffers < AdapterSettings::kMinimumBuffers || settings.TxBuffers > AdapterSettings::kMaximumBuffers)
    Finding("a buffer count outside 2 to 128");
  if (settings.OneByteTermination > 1) Finding("OneByteTermination neither 0 nor 1");
  auto expect = [&](Keyword keyword, ULONG stored, ULONG expected) {
    if (integers[keyword] && stored != expected) Finding("a REG_DWORD keyword was not stored as its rule says");
  };
  expect(kRxBuffers, settings.RxBuffers, Clamped(integers[kRxBuffers].value_or(0)));
  expect(kTxBuffers, settings.TxBuffers, Clamped(integers[kTxBuffers].value_or(0)));
  expect(kOneByteTermination, settings.OneByteTermination, integers[kOneByteTermination].value_or(0) ? 1 : 0);
  expect(kConfigurationIndex, settings.ConfigurationIndex, integers[kConfigurationIndex].value_or(0));
  expect(kSendClearEpHaltOnStart, settings.SendClearEpHaltOnStart, integers[kSendClearEpHaltOnStart].value_or(0));
}

Mac PermanentAddress(DriverBench& bench) {
  std::vector<UCHAR> buffer(6);
  ULONG written = 0, needed = 0;
  if (bench.miniport().QueryInformation(OID_802_3_PERMANENT_ADDRESS, buffer, &written, &needed) !=
      NDIS_STATUS_SUCCESS)
    Finding("the permanent address query failed");
  Mac mac;
  std::copy(buffer.begin(), buffer.end(), mac.begin());
  return mac;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  bool hasMacString = input.ConsumeBool();
  DriverBench bench(Device(hasMacString));
  emu::ndis::Registry& registry = bench.miniport().registry();
  Integers integers;
  for (int keyword = 0; keyword < kKeywordCount; ++keyword) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 1:
        integers[keyword] = input.ConsumeIntegral<ULONG>();
        registry.SetInteger(kNames[keyword], *integers[keyword]);
        break;
      case 2: registry.SetString(kNames[keyword], Widen(input.ConsumeRandomLengthString(kLongestText))); break;
      default: break;
    }
  }
  std::optional<Mac> station;
  if (input.ConsumeBool()) {
    std::string text = input.ConsumeRandomLengthString(kLongestText);
    station = StationAddress(text);
    registry.SetString("NetworkAddress", Widen(text));
  } else if (input.ConsumeBool()) {
    registry.SetInteger("NetworkAddress", input.ConsumeIntegral<ULONG>());
  }

  if (Adapter* adapter = bench.Initialize()) {
    CheckSettings(adapter->Settings, integers);
    if ((adapter->Settings.ConfigurationIndex & 0xFF) != 0) Finding("a configuration the device lacks was selected");
    Mac expected = hasMacString ? kDeviceAddress : station.value_or(kBuiltInAddress);
    if (PermanentAddress(bench) != expected) Finding("the permanent address is not the one that should win");
    if (bench.QueryUlong(OID_GEN_MAXIMUM_SEND_PACKETS) != adapter->Settings.TxBuffers)
      Finding("OID_GEN_MAXIMUM_SEND_PACKETS differs from TxBuffers");
  } else {
    if (bench.miniport().errorLog().empty()) Finding("initialization failed without an error log entry");
    bool indexKnown = !registry.Find(u"ConfigurationIndex") || integers[kConfigurationIndex];
    if (indexKnown && (integers[kConfigurationIndex].value_or(0) & 0xFF) == 0)
      Finding("initialization failed on the device's own configuration");
  }
  bench.Finish();
  return 0;
}
