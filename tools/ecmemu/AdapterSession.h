// The adapter as NDIS and a bound protocol see it during a session: its information requests,
// its status indications, and bounded waits for what the driver does on its own time.
#pragma once

#include <platform.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "emu/ndis/Miniport.h"
#include "tools/ecmemu/Report.h"

namespace ecmemu {

using Address = std::array<uint8_t, 6>;

class AdapterSession {
 public:
  explicit AdapterSession(emu::ndis::Miniport& miniport);
  ~AdapterSession();
  AdapterSession(const AdapterSession&) = delete;
  AdapterSession& operator=(const AdapterSession&) = delete;

  emu::ndis::Miniport& miniport() { return miniport_; }

  std::optional<ULONG> QueryUlong(NDIS_OID oid);
  std::optional<Address> QueryAddress(NDIS_OID oid);
  NDIS_STATUS SetUlong(NDIS_OID oid, ULONG value);
  size_t StatusCount(NDIS_STATUS status);
  Counters ReadCounters();  // the adapter's statistics OIDs; 0 for one it does not answer

  // Waits until done() holds, for at most boundMs of the kernel's time (virtual time in the
  // deterministic emulator, where it passes only while nothing can run). The emulated system
  // runs meanwhile; done() is asked again at each Wake and at least every millisecond.
  bool WaitUntil(const std::function<bool()>& done, uint64_t boundMs);
  // Lets the system run for that much of the kernel's time.
  void Settle(uint64_t ms);
  // Progress worth a look at what a wait waits for; from any context at or below DISPATCH_LEVEL.
  void Wake();

 private:
  emu::ndis::Miniport& miniport_;
  KEVENT progress_;
};

// "00-11-22-33-44-55"
std::string AddressText(const Address& address);

}  // namespace ecmemu
