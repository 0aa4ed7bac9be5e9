// Call sites for violation reports: the stack is walked and symbolized with addr2line, which
// also resolves file-local routines that the dynamic symbol table does not carry.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "emu/verifier/Verifier.h"

namespace emu {
namespace {

struct Frame {
  const char* object;
  uintptr_t offset;
};

// A return address points behind the call; one byte back lies inside it.
bool Locate(const void* address, Frame& frame, Dl_info& info) {
  if (!dladdr(address, &info) || !info.dli_fname) return false;
  frame.object = info.dli_fname;
  frame.offset = reinterpret_cast<uintptr_t>(address) - 1 - reinterpret_cast<uintptr_t>(info.dli_fbase);
  return true;
}

std::vector<std::string> RunAddr2line(const char* object, const std::vector<uintptr_t>& offsets) {
  std::string command = std::string("addr2line -C -f -p -e '") + object + "'";
  char hex[24];
  for (uintptr_t offset : offsets) {
    std::snprintf(hex, sizeof hex, " 0x%lx", static_cast<unsigned long>(offset));
    command += hex;
  }
  command += " 2>/dev/null";
  std::vector<std::string> lines;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return lines;
  std::array<char, 1024> line{};
  while (fgets(line.data(), line.size(), pipe.get())) {
    std::string text = line.data();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    // Inlined frames come as extra lines "(inlined by) ..."; they belong to the frame above.
    if (text.find("(inlined by)") != std::string::npos) {
      if (!lines.empty()) lines.back() += "\n         " + text.substr(text.find("(inlined by)"));
      continue;
    }
    lines.push_back(text.rfind("??", 0) == 0 ? "" : text);
  }
  return lines;
}

// The emulator's own sources: this file lies in <root>/emu/verifier/.
std::string EmulatorSourceDir() {
  std::string file = __FILE__;
  return file.substr(0, file.rfind("/verifier/") + 1);
}

// Frames of the emulator, the C++ runtime and the test framework are not the driver's.
bool IsPlatformFrame(const std::string& text) {
  static const std::string emulatorDir = EmulatorSourceDir();
  static const char* const kPrefixes[] = {"emu::", "std::", "testing::", "void testing::",
                                          "bool testing::", "__", "RUN_ALL_TESTS", "main at",
                                          "_start"};
  for (const char* p : kPrefixes)
    if (text.rfind(p, 0) == 0) return true;
  return text.find(" at " + emulatorDir) != std::string::npos || text.find("/usr/include") != std::string::npos;
}

}  // namespace

std::string Symbolize(const void* address) {
  Frame frame{};
  Dl_info info{};
  if (!Locate(address, frame, info)) return "?";
  std::vector<std::string> text = RunAddr2line(frame.object, {frame.offset});
  if (!text.empty() && !text[0].empty()) return text[0];
  if (!info.dli_sname) return "?";
  int status = 0;
  char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : info.dli_sname;
  std::free(demangled);
  return name;
}

std::string DriverCallSite() {
  void* addresses[40];
  int count = backtrace(addresses, 40);
  // Driver, emulator and tests are linked into one program: only its frames are looked up.
  Frame self{};
  Dl_info info{};
  if (!Locate(reinterpret_cast<void*>(&DriverCallSite), self, info)) return "(no call site)";
  std::vector<uintptr_t> offsets;
  for (int i = 1; i < count; ++i) {
    Frame frame{};
    if (Locate(addresses[i], frame, info) && std::string(frame.object) == self.object)
      offsets.push_back(frame.offset);
  }
  std::string site;
  int shown = 0;
  for (const std::string& text : RunAddr2line(self.object, offsets)) {
    if (text.empty() || IsPlatformFrame(text)) continue;
    if (!site.empty()) site += "\n       from ";
    site += text;
    if (++shown == 3) break;
  }
  return site.empty() ? "(no driver frame)" : site;
}

}  // namespace emu
