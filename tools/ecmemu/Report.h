// The outcome of a session: what the driver made of the device, what crossed the wire, and
// what the verifier saw. Printed for people, or as one JSON object with a stable contract.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>  // ordered_json: the keys keep the contract's order

namespace ecmemu {

struct ErrorLogLine {
  uint32_t code;
  std::vector<uint32_t> values;
};

// Every frame the protocol sends carries a number; the wire answers each one that reaches the
// device with the frame of the same number. Duplicates, reordering and corruption are counted
// in both directions together.
struct FrameCounts {
  uint64_t sent = 0;           // by the protocol
  uint64_t received = 0;       // by the protocol
  uint64_t verified = 0;       // numbers that went out and came back whole
  uint64_t lost = 0;           // numbers that did not, and were not meant to miss
  uint64_t duplicated = 0;
  uint64_t reordered = 0;
  uint64_t corrupted = 0;
  uint64_t mergedOnDevice = 0;
  uint64_t truncatedOnDevice = 0;
  uint64_t reachedDevice = 0;   // whole, as the wire saw them
  uint64_t flushedByReset = 0;  // completed by the reset without being sent
  uint64_t droppedByReset = 0;  // answered while the reset closed the pipes; dropped with the aborted reads
  uint64_t cutByRemoval = 0;    // in flight at the surprise removal, or sent after it
  uint64_t other = 0;           // not the session's: a real device's far end sends its own
};

struct Counters {
  uint32_t xmitOk = 0, xmitError = 0, rcvOk = 0, rcvError = 0, rcvNoBuffer = 0;
};

// What the streaming reached on a timed bus, in its virtual time. The bytes are the bulk
// payload each way: the Ethernet frames, and one byte more for a frame the driver's one-byte
// termination lengthened.
struct BusGoodput {
  std::string speed;                      // "high" or "full"
  double seconds = 0;                     // virtual time of the streaming
  uint64_t bytesToDevice = 0;
  uint64_t bytesFromDevice = 0;
  double limitBitsPerSecond = 0;          // full bulk packets back to back, both ways together
};

struct Report {
  std::string device;        // "built-in" or the profile path
  std::string mode;          // "deterministic", "threaded" or "exploring (seed ...)"
  bool initialized = false;
  uint32_t initializeStatus = 0;
  std::vector<ErrorLogLine> errorLog;
  uint32_t configurationIndex = 0;
  std::optional<std::string> permanentAddress;  // "00-11-22-33-44-55"
  std::optional<std::string> currentAddress;
  uint32_t maximumTotalSize = 0;
  uint32_t maximumLookahead = 0;
  bool mediaConnected = false;
  uint32_t linkSpeed = 0;  // units of 100 bit/s
  std::vector<uint16_t> packetFilterRequests;
  FrameCounts frames;
  double trafficSeconds = 0;  // real time the frames took
  std::optional<BusGoodput> bus;  // a timed bus
  Counters counters;
  std::vector<std::string> steps;          // what the session did, in order
  std::vector<std::string> failedChecks;   // why ok is false
  std::vector<std::string> verifierViolations;
  std::vector<std::string> leaks;

  // Every check held: initialized, nothing lost or corrupted, verifier silent, nothing leaked.
  bool Ok() const;
};

nlohmann::ordered_json ToJson(const Report& report);
std::string ToText(const Report& report);
std::string DescribeErrorLogEntry(const ErrorLogLine& entry);
std::string Hex32(uint32_t value);

// Lines both commands' reports print alike.
std::string ErrorLogText(const ErrorLogLine& entry);  // "0xE0070303 1: what it means"
std::string PacketFilterText(uint32_t ndisFilter);    // "directed, broadcast (0x00000009)"
std::string CountersText(const Counters& counters);   // "XmitOk 1, XmitError 0, ..."
// The verifier's and the leak check's verdicts, each followed by what they found.
std::string FindingsText(const std::vector<std::string>& violations, const std::vector<std::string>& leaks);

}  // namespace ecmemu
