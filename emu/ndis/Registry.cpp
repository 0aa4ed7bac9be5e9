#include "emu/ndis/Registry.h"

namespace emu::ndis {
namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

std::u16string Registry::Fold(std::u16string keyword) {
  for (char16_t& c : keyword)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return keyword;
}

void Registry::SetInteger(const std::string& keyword, ULONG value) {
  RegistryValue& entry = values_[Fold(Widen(keyword))];
  entry = RegistryValue{};
  entry.integer = value;
}

void Registry::SetString(const std::string& keyword, const std::u16string& value) {
  RegistryValue& entry = values_[Fold(Widen(keyword))];
  entry = RegistryValue{};
  entry.isString = true;
  entry.text = value;
}

void Registry::Remove(const std::string& keyword) { values_.erase(Fold(Widen(keyword))); }

const RegistryValue* Registry::Find(const std::u16string& keyword) const {
  auto it = values_.find(Fold(keyword));
  return it == values_.end() ? nullptr : &it->second;
}

}  // namespace emu::ndis
