// The adapter's registry parameters, each kept in its range; an absent or unreadable keyword
// leaves the default. NetworkAddress replaces the built-in address when it is one station's.
#include "adapter/Adapter.h"
#include "support/StationAddress.h"

namespace {

enum class Setting { RxBuffers, TxBuffers, DefaultMediaState, OneByteTermination, ConfigurationIndex,
                     SendClearEpHaltOnStart };

struct Keyword {
  const WCHAR* name;
  Setting setting;
};

const Keyword kKeywords[] = {
    {WIDE_TEXT("RxBuffers"), Setting::RxBuffers},
    {WIDE_TEXT("TxBuffers"), Setting::TxBuffers},
    {WIDE_TEXT("DefaultMediaState"), Setting::DefaultMediaState},
    {WIDE_TEXT("OneByteTermination"), Setting::OneByteTermination},
    {WIDE_TEXT("ConfigurationIndex"), Setting::ConfigurationIndex},
    {WIDE_TEXT("SendClearEpHaltOnStart"), Setting::SendClearEpHaltOnStart},
};

ULONG BufferCount(ULONG value) {
  if (value < AdapterSettings::kMinimumBuffers) return AdapterSettings::kMinimumBuffers;
  if (value > AdapterSettings::kMaximumBuffers) return AdapterSettings::kMaximumBuffers;
  return value;
}

void Store(Adapter& adapter, Setting setting, ULONG value) {
  AdapterSettings& settings = adapter.Settings;
  switch (setting) {
    case Setting::RxBuffers: settings.RxBuffers = BufferCount(value); break;
    case Setting::TxBuffers: settings.TxBuffers = BufferCount(value); break;
    case Setting::DefaultMediaState:
      adapter.MediaState = value ? NdisMediaStateConnected : NdisMediaStateDisconnected;
      break;
    case Setting::OneByteTermination: settings.OneByteTermination = value ? 1 : 0; break;
    case Setting::ConfigurationIndex: settings.ConfigurationIndex = value; break;
    case Setting::SendClearEpHaltOnStart: settings.SendClearEpHaltOnStart = value; break;
  }
}

}  // namespace

NDIS_STATUS Adapter::ReadSettings(NDIS_HANDLE wrapperConfigurationContext) {
  CHECK_IRQL_PASSIVE();
  NDIS_STATUS status;
  NDIS_HANDLE configuration;
  NdisOpenConfiguration(&status, &configuration, wrapperConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) return status;

  for (const Keyword& keyword : kKeywords) {
    NDIS_STRING name;
    RtlInitUnicodeString(&name, keyword.name);
    PNDIS_CONFIGURATION_PARAMETER parameter;
    NdisReadConfiguration(&status, &parameter, configuration, &name, NdisParameterInteger);
    if (status == NDIS_STATUS_SUCCESS) Store(*this, keyword.setting, parameter->ParameterData.IntegerData);
  }

  PVOID address;
  UINT length;
  NdisReadNetworkAddress(&status, &address, &length, configuration);
  // Only one station's address: a group address, all ones among them, or all zeros is no
  // adapter's own.
  if (status == NDIS_STATUS_SUCCESS && length == kMacAddressLength && IsStationAddress(static_cast<PUCHAR>(address)))
    RtlCopyMemory(PermanentAddress, address, kMacAddressLength);

  NdisCloseConfiguration(configuration);
  return NDIS_STATUS_SUCCESS;
}
