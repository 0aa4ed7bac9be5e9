#include "tools/ecmemu/Params.h"

#include <cctype>
#include <cstdint>

namespace ecmemu {
namespace {

const char* const kIntegerKeywords[] = {"RxBuffers",          "TxBuffers",          "DefaultMediaState",
                                        "OneByteTermination", "ConfigurationIndex", "SendClearEpHaltOnStart"};
const char kNetworkAddress[] = "NetworkAddress";

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string KnownNames() {
  std::string names;
  for (const char* name : kIntegerKeywords) names += std::string(name) + ", ";
  return names + kNetworkAddress;
}

bool IsDecimal32(const std::string& value) {
  if (value.empty() || value.size() > 10) return false;
  uint64_t number = 0;
  for (char c : value) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  return number <= UINT32_MAX;
}

// Twelve hexadecimal digits, or six pairs separated by '-' or ':'; empty when neither.
std::string AddressDigits(const std::string& value) {
  std::string digits;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    bool separatorPlace = value.size() == 17 && i % 3 == 2;
    if (separatorPlace) {
      if (c != '-' && c != ':') return "";
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
    digits += c;
  }
  return digits.size() == 12 ? digits : "";
}

}  // namespace

bool ParseParams(const std::vector<std::string>& items, Params* params, std::string* error) {
  for (const std::string& item : items) {
    size_t equals = item.find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = "--param needs NAME=VALUE, got \"" + item + "\"";
      return false;
    }
    std::string name = item.substr(0, equals);
    std::string value = item.substr(equals + 1);
    std::string canonical;
    for (const char* known : kIntegerKeywords)
      if (SameName(name, known)) canonical = known;
    if (SameName(name, kNetworkAddress)) canonical = kNetworkAddress;
    if (canonical.empty()) {
      *error = "--param " + name + ": not a keyword of the adapter (known: " + KnownNames() + ")";
      return false;
    }
    for (const auto& [earlier, unused] : *params)
      if (earlier == canonical) {
        *error = "--param " + canonical + " is given twice";
        return false;
      }
    if (canonical == kNetworkAddress) {
      std::string digits = AddressDigits(value);
      if (digits.empty()) {
        *error = "--param NetworkAddress=" + value +
                 ": six bytes in hexadecimal are needed, as 021122334455 or 02-11-22-33-44-55";
        return false;
      }
      value = digits;
    } else if (!IsDecimal32(value)) {
      *error = "--param " + canonical + "=" + value + ": a decimal number from 0 to 4294967295 is needed";
      return false;
    }
    params->emplace_back(canonical, value);
  }
  return true;
}

std::string ParamOr(const Params& params, const std::string& name, const std::string& fallback) {
  for (const auto& [key, value] : params)
    if (key == name) return value;
  return fallback;
}

}  // namespace ecmemu
