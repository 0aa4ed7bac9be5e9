#include "emu/capture/PcapFile.h"

#include <pcap/pcap.h>

namespace emu::capture {
namespace {

constexpr int kSnapLength = 0x40000;

}  // namespace

std::unique_ptr<PcapFile> PcapFile::Create(const std::string& path, int linkType, std::string* error) {
  pcap_t* handle = pcap_open_dead(linkType, kSnapLength);
  if (!handle) {
    *error = "libpcap cannot open a capture of link type " + std::to_string(linkType);
    return nullptr;
  }
  pcap_dumper_t* dumper = pcap_dump_open(handle, path.c_str());
  if (!dumper) {
    std::string reason = pcap_geterr(handle);
    // libpcap names the file itself when fopen is what failed.
    *error = reason.rfind(path, 0) == 0 ? reason : path + ": " + reason;
    pcap_close(handle);
    return nullptr;
  }
  return std::unique_ptr<PcapFile>(new PcapFile(handle, dumper));
}

PcapFile::~PcapFile() {
  pcap_dump_close(dumper_);
  pcap_close(handle_);
}

void PcapFile::Write(uint64_t timeUs, const uint8_t* bytes, size_t length) {
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(timeUs / 1000000);
  header.ts.tv_usec = static_cast<suseconds_t>(timeUs % 1000000);
  header.caplen = header.len = static_cast<bpf_u_int32>(length);
  std::lock_guard<std::mutex> guard(mutex_);
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, bytes);
}

void PcapFile::Flush() {
  std::lock_guard<std::mutex> guard(mutex_);
  pcap_dump_flush(dumper_);
}

}  // namespace emu::capture
