// A pcap file written through libpcap, one record at a time, safe to use from several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct pcap;
struct pcap_dumper;

namespace emu::capture {

class PcapFile {
 public:
  // Null and the reason in *error when the file cannot be created.
  static std::unique_ptr<PcapFile> Create(const std::string& path, int linkType, std::string* error);
  ~PcapFile();

  void Write(uint64_t timeUs, const uint8_t* bytes, size_t length);
  void Flush();

 private:
  PcapFile(pcap* handle, pcap_dumper* dumper) : handle_(handle), dumper_(dumper) {}
  std::mutex mutex_;  // guards writes to dumper_
  pcap* handle_;
  pcap_dumper* dumper_;
};

}  // namespace emu::capture
