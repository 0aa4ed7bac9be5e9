#include "emu/realusb/DeviceSelector.h"

#include <cctype>

namespace emu::realusb {
namespace {

bool ParseHex16(const std::string& text, uint16_t* value) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
  }
  *value = static_cast<uint16_t>(v);
  return true;
}

// "BUS-PORT[.PORT]...", every part a decimal number.
bool IsBusPath(const std::string& text) {
  size_t dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == text.size()) return false;
  char previous = '-';
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool separator = (i == dash) || (i > dash && c == '.');
    if (separator ? (previous == '-' || previous == '.') : !std::isdigit(static_cast<unsigned char>(c))) return false;
    previous = separator ? '.' : c;
  }
  return previous != '.';
}

}  // namespace

std::optional<DeviceSelector> ParseDeviceSelector(const std::string& text, std::string* error) {
  DeviceSelector selector;
  if (IsBusPath(text)) {
    selector.busPath = text;
    return selector;
  }
  std::string ids = text;
  size_t at = text.find('@');
  if (at != std::string::npos) {
    ids = text.substr(0, at);
    std::string ordinal = text.substr(at + 1);
    bool digits = !ordinal.empty() && ordinal.size() <= 3 &&
                  ordinal.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoul(ordinal) == 0) {
      *error = "'" + text + "': the number after @ counts devices from 1";
      return std::nullopt;
    }
    selector.ordinal = static_cast<unsigned>(std::stoul(ordinal));
  }
  size_t colon = ids.find(':');
  if (colon == std::string::npos || !ParseHex16(ids.substr(0, colon), &selector.vendorId) ||
      !ParseHex16(ids.substr(colon + 1), &selector.productId)) {
    *error = "'" + text + "' is neither VID:PID[@N] (hexadecimal IDs) nor a bus path such as 1-2.3";
    return std::nullopt;
  }
  return selector;
}

}  // namespace emu::realusb
