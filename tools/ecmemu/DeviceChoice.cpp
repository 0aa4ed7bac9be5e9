#include "tools/ecmemu/DeviceChoice.h"

namespace ecmemu {

bool ChooseDevice(const std::string& profilePath, emu::devices::DeviceProfile* profile, std::string* error) {
  if (profilePath.empty()) {
    *profile = emu::devices::DefaultEcmProfile();
    return true;
  }
  emu::devices::ProfileLoad load = emu::devices::LoadProfileFile(profilePath);
  if (!load.ok) {
    bool named = load.error.rfind(profilePath, 0) == 0;
    *error = named ? load.error : profilePath + ": " + load.error;
    return false;
  }
  *profile = std::move(load.profile);
  return true;
}

}  // namespace ecmemu
