// Where the profiles shipped in profiles/ lie, wherever the build and the test run.
#pragma once

#include <string>

// The build defines the tree's root; __FILE__ is relative under a shared compiler cache.
inline std::string ShippedProfilePath(const std::string& name) {
  return std::string(ECM_SOURCE_DIR) + "/profiles/" + name + ".profile";
}
