// Writes the seed corpus of the descriptor fuzzer: every configuration of the profiles
// given, and of the built-in device, one file each.
#include <cstdio>
#include <fstream>
#include <string>

#include "emu/devices/DeviceProfile.h"

namespace {

void Write(const std::string& path, const emu::devices::Bytes& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteConfigurations(const std::string& directory, const std::string& name,
                         const emu::devices::DeviceProfile& profile) {
  for (const auto& [index, bytes] : profile.configurations)
    Write(directory + "/" + name + "-config-" + std::to_string(index), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUTPUT_DIRECTORY [PROFILE...]\n");
    return 2;
  }
  std::string directory = argv[1];
  WriteConfigurations(directory, "built-in", emu::devices::DefaultEcmProfile());
  for (int i = 2; i < argc; ++i) {
    emu::devices::ProfileLoad load = emu::devices::LoadProfileFile(argv[i]);
    if (!load.ok) {
      std::fprintf(stderr, "%s: %s\n", argv[i], load.error.c_str());
      return 1;
    }
    std::string name = argv[i];
    name = name.substr(name.find_last_of('/') + 1);
    WriteConfigurations(directory, name.substr(0, name.find('.')), load.profile);
  }
  return 0;
}
