// The configuration functions over an adapter's emulated registry key.
//
// NdisReadConfiguration converts a REG_SZ value the way NDIS does: for NdisParameterInteger
// in base 10, for NdisParameterHexInteger in base 16, with the platform's string-to-integer
// rules (digits up to the first character that is none; text without a digit fails). A string
// request of an integer value gives its decimal text.
//
// NdisReadNetworkAddress reads the NetworkAddress keyword as a string of hexadecimal digits,
// two per byte, either letter case, with nothing else in it: the form the advanced property
// page writes. A separator, blank, odd digit count, empty string or integer value fails with
// NDIS_STATUS_FAILURE. Any number of bytes is returned; the driver judges the length.
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"

using Configuration = emu::ndis::ConfigurationHandle;
using emu::ndis::Library;
using emu::ndis::Miniport;
using emu::ndis::RegistryValue;

namespace {

Configuration* FindConfiguration(NDIS_HANDLE handle, const char* function) {
  if (emu::CurrentContext().irql != PASSIVE_LEVEL)
    emu::Kernel::Current().verifier().Report("irql", std::string(function) + " above PASSIVE_LEVEL");
  Configuration* configuration = Library::Current().FindConfiguration(handle);
  if (!configuration)
    emu::ndis::ReportViolation(std::string(function) + " with a configuration handle that is not open");
  return configuration;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ToInteger(const std::u16string& text, ULONG base, ULONG* value) {
  UNICODE_STRING string;
  string.Buffer = const_cast<PWSTR>(text.data());
  string.Length = string.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  return RtlUnicodeStringToInteger(&string, base, value) == STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext) {
  *Status = NDIS_STATUS_FAILURE;
  Miniport* miniport = Library::Current().FindMiniport(WrapperConfigurationContext, "NdisOpenConfiguration");
  if (!miniport) return;
  *ConfigurationHandle = miniport->OpenConfiguration(Status);
}

VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                 NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                 NDIS_PARAMETER_TYPE ParameterType) {
  *Status = NDIS_STATUS_FAILURE;
  Configuration* configuration = FindConfiguration(ConfigurationHandle, "NdisReadConfiguration");
  if (!configuration) return;
  std::u16string keyword(Keyword->Buffer, Keyword->Length / sizeof(WCHAR));
  const RegistryValue* value = configuration->miniport->registry().Find(keyword);
  if (!value) return;
  NDIS_CONFIGURATION_PARAMETER parameter{};
  parameter.ParameterType = ParameterType;
  switch (ParameterType) {
    case NdisParameterInteger:
    case NdisParameterHexInteger:
      parameter.ParameterData.IntegerData = value->integer;
      if (value->isString &&
          !ToInteger(value->text, ParameterType == NdisParameterHexInteger ? 16 : 10,
                     &parameter.ParameterData.IntegerData))
        return;
      break;
    case NdisParameterString: {
      std::string decimal = std::to_string(value->integer);
      configuration->strings.push_back(value->isString ? value->text : std::u16string(decimal.begin(), decimal.end()));
      std::u16string& text = configuration->strings.back();
      parameter.ParameterData.StringData.Buffer = text.data();
      parameter.ParameterData.StringData.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
      parameter.ParameterData.StringData.MaximumLength = parameter.ParameterData.StringData.Length;
      break;
    }
    default:
      emu::ndis::ReportViolation("NdisReadConfiguration: the emulator has no registry values of parameter type " +
                                 std::to_string(ParameterType));
      return;
  }
  configuration->parameters.push_back(parameter);
  *ParameterValue = &configuration->parameters.back();
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                                  NDIS_HANDLE ConfigurationHandle) {
  *Status = NDIS_STATUS_FAILURE;
  Configuration* configuration = FindConfiguration(ConfigurationHandle, "NdisReadNetworkAddress");
  if (!configuration) return;
  const RegistryValue* value = configuration->miniport->registry().Find(u"NetworkAddress");
  if (!value || !value->isString || value->text.empty() || value->text.size() % 2) return;
  std::vector<UCHAR> bytes;
  for (size_t i = 0; i < value->text.size(); i += 2) {
    int high = HexDigit(value->text[i]);
    int low = HexDigit(value->text[i + 1]);
    if (high < 0 || low < 0) return;
    bytes.push_back(static_cast<UCHAR>(high << 4 | low));
  }
  configuration->addresses.push_back(std::move(bytes));
  *NetworkAddress = configuration->addresses.back().data();
  *NetworkAddressLength = static_cast<UINT>(configuration->addresses.back().size());
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
  if (Configuration* configuration = FindConfiguration(ConfigurationHandle, "NdisCloseConfiguration"))
    configuration->miniport->CloseConfiguration(configuration);
}

}  // extern "C"
