// One numbered URB answered with a fault. The bus numbers every URB that reaches it, from 1,
// in arrival order; a test or the fault matrix arms one number with one kind of fault, and
// the bus answers that URB so, whatever it is, as a device or the bus may.
#pragma once

#include <platform.h>

#include <cstdint>
#include <optional>

namespace emu::usb {

enum class UrbFaultKind {
  Stall,             // the endpoint stalls this request (a transfer halts its pipe)
  TransactionError,  // CRC, babble or no handshake, by the URB's number
  NeverAnswer,       // NAK for ever: pending until cancelled or its pipe aborted
  DeviceGone,        // the device leaves the bus as the URB arrives
  StallRequest,      // the device stalls this control request and every later one like it
  ShortAnswer,       // IN data: half of what the device would have sent
};

constexpr UrbFaultKind kUrbFaultKinds[] = {UrbFaultKind::Stall,      UrbFaultKind::TransactionError,
                                           UrbFaultKind::NeverAnswer, UrbFaultKind::DeviceGone,
                                           UrbFaultKind::StallRequest, UrbFaultKind::ShortAnswer};

struct UrbFault {
  uint64_t number;
  UrbFaultKind kind;
};

const char* UrbFaultName(UrbFaultKind kind);  // "stall", "error", ...
std::optional<UrbFaultKind> UrbFaultByName(const char* name);
// The transaction error a URB of this number gets: the three kinds take turns.
USBD_STATUS TransactionErrorFor(uint64_t number);

}  // namespace emu::usb
