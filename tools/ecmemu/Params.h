// The registry keywords a user may give the adapter with --param NAME=VALUE: the INF's
// keywords, checked so that a typing error is reported instead of silently ignored.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ecmemu {

using Params = std::vector<std::pair<std::string, std::string>>;

// Each item as NAME=VALUE: the name one of the INF's keywords (any letter case), an integer
// keyword's value decimal digits fitting 32 bits, NetworkAddress's six bytes in hexadecimal
// (separators '-' or ':' allowed, stored without them as the property page writes it). Each
// keyword at most once. False, with the reason in *error, for the first item that is not so.
bool ParseParams(const std::vector<std::string>& items, Params* params, std::string* error);

// The value given for the keyword, or the fallback.
std::string ParamOr(const Params& params, const std::string& name, const std::string& fallback);

}  // namespace ecmemu
