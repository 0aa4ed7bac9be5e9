// One adapter's registry key as NDIS reads it: keywords (case-insensitive) with integer
// (REG_DWORD) or string (REG_SZ) values.
#pragma once

#include <platform.h>

#include <map>
#include <string>

namespace emu::ndis {

struct RegistryValue {
  bool isString = false;
  ULONG integer = 0;
  std::u16string text;
};

class Registry {
 public:
  void SetInteger(const std::string& keyword, ULONG value);
  void SetString(const std::string& keyword, const std::u16string& value);
  void Remove(const std::string& keyword);
  // Null when the keyword is absent.
  const RegistryValue* Find(const std::u16string& keyword) const;

 private:
  static std::u16string Fold(std::u16string keyword);
  std::map<std::u16string, RegistryValue> values_;
};

}  // namespace emu::ndis
