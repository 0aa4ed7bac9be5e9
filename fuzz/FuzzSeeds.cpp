// Writes the seed corpus of the descriptor fuzzer: every configuration of the profiles
// given, and of the built-in device, one file each, answered alike to both reads.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "emu/devices/DeviceProfile.h"

namespace {

constexpr size_t kHeaderLength = 9;

// The fuzzer's input: the header read's answer, its length first, then the full read's.
void Write(const std::string& path, const emu::devices::Bytes& configuration) {
  size_t header = std::min(kHeaderLength, configuration.size());
  std::ofstream file(path, std::ios::binary);
  file.put(static_cast<char>(header));
  file.write(reinterpret_cast<const char*>(configuration.data()), static_cast<std::streamsize>(header));
  file.write(reinterpret_cast<const char*>(configuration.data()), static_cast<std::streamsize>(configuration.size()));
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
