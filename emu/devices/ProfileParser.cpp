// The text form of a device profile. Refused: unknown keywords, bad hexadecimal, indexes
// outside 0 to 255, a descriptor repeated, byte counts that disagree with bLength or
// wTotalLength, a descriptor of the wrong type for its keyword, a file without a device line.
#include <fstream>
#include <sstream>

#include "emu/devices/DeviceProfile.h"

namespace emu::devices {
namespace {

constexpr size_t kDeviceDescriptorLength = 18;

struct LineError {
  std::string reason;
};

bool ParseHexByte(const std::string& word, UCHAR& value) {
  if (word.empty() || word.size() > 2) return false;
  unsigned result = 0;
  for (char c : word) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    result = result * 16 + static_cast<unsigned>(digit);
  }
  value = static_cast<UCHAR>(result);
  return true;
}

bool ParseIndex(const std::string& word, UCHAR& index) {
  if (word.empty() || word.size() > 3) return false;
  unsigned value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return false;
  index = static_cast<UCHAR>(value);
  return true;
}

std::string CheckDevice(const Bytes& bytes) {
  if (bytes.size() != kDeviceDescriptorLength)
    return "device descriptor has " + std::to_string(bytes.size()) + " bytes, 18 expected";
  if (bytes[0] != kDeviceDescriptorLength) return "device descriptor bLength is " + std::to_string(bytes[0]) + ", 18 expected";
  if (bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) return "device descriptor type is not 1";
  return "";
}

std::string CheckConfiguration(const Bytes& bytes) {
  if (bytes.size() < 4) return "configuration descriptor has " + std::to_string(bytes.size()) + " bytes, too few for wTotalLength";
  if (bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return "configuration descriptor type is not 2";
  size_t total = bytes[2] | bytes[3] << 8;
  if (bytes.size() != total)
    return "configuration has " + std::to_string(bytes.size()) + " bytes but wTotalLength says " + std::to_string(total);
  if (bytes[0] < 2 || bytes[0] > bytes.size()) return "configuration descriptor bLength " + std::to_string(bytes[0]) + " does not fit its bytes";
  return "";
}

std::string CheckString(const Bytes& bytes) {
  if (bytes.size() < 2) return "string descriptor has fewer than 2 bytes";
  if (bytes[0] != bytes.size())
    return "string descriptor has " + std::to_string(bytes.size()) + " bytes but bLength says " + std::to_string(bytes[0]);
  if (bytes[1] != USB_STRING_DESCRIPTOR_TYPE) return "string descriptor type is not 3";
  return "";
}

// One non-comment line into the profile; the reason when it is refused.
std::string ParseLine(const std::string& line, DeviceProfile& profile, bool& sawDevice) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return "expected 'keyword: bytes'";
  std::istringstream head(line.substr(0, colon));
  std::string keyword, indexWord, extra;
  head >> keyword >> indexWord >> extra;
  if (!extra.empty()) return "unexpected '" + extra + "' before ':'";
  Bytes bytes;
  std::istringstream words(line.substr(colon + 1));
  for (std::string word; words >> word;) {
    UCHAR value;
    if (!ParseHexByte(word, value)) return "'" + word + "' is not a hexadecimal byte";
    bytes.push_back(value);
  }
  if (keyword == "device") {
    if (!indexWord.empty()) return "device takes no index";
    if (sawDevice) return "second device line";
    sawDevice = true;
    profile.device = bytes;
    return CheckDevice(bytes);
  }
  if (keyword != "config" && keyword != "string") return "unknown keyword '" + keyword + "'";
  UCHAR index;
  if (!ParseIndex(indexWord, index)) return keyword + " needs an index from 0 to 255";
  auto& table = keyword == "config" ? profile.configurations : profile.strings;
  if (!table.emplace(index, bytes).second) return keyword + " " + std::to_string(index) + " appears twice";
  return keyword == "config" ? CheckConfiguration(bytes) : CheckString(bytes);
}

}  // namespace

ProfileLoad ParseProfile(const std::string& text) {
  ProfileLoad load;
  bool sawDevice = false;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string reason = ParseLine(line, load.profile, sawDevice);
    if (!reason.empty()) {
      load.error = "line " + std::to_string(number) + ": " + reason;
      return load;
    }
  }
  if (!sawDevice) {
    load.error = "line " + std::to_string(number) + ": the profile has no device line";
    return load;
  }
  // Without a configuration no device enumerates; the driver would never be asked.
  if (load.profile.configurations.empty()) {
    load.error = "line " + std::to_string(number) + ": the profile has no config line";
    return load;
  }
  load.ok = true;
  return load;
}

ProfileLoad LoadProfileFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    ProfileLoad load;
    load.error = path + ": cannot be read";
    return load;
  }
  std::stringstream text;
  text << file.rdbuf();
  return ParseProfile(text.str());
}

}  // namespace emu::devices
