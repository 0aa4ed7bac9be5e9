#include "tools/ecmemu/AdapterSession.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "emu/kernel/Kernel.h"

namespace ecmemu {
namespace {

constexpr LONGLONG kSliceMs = 1;

}  // namespace

AdapterSession::AdapterSession(emu::ndis::Miniport& miniport) : miniport_(miniport) {
  KeInitializeEvent(&progress_, SynchronizationEvent, FALSE);
  miniport_.protocol().onStatus = [this](NDIS_STATUS) { Wake(); };
}

AdapterSession::~AdapterSession() { miniport_.protocol().onStatus = nullptr; }

std::optional<ULONG> AdapterSession::QueryUlong(NDIS_OID oid) {
  std::vector<UCHAR> buffer(sizeof(ULONG));
  ULONG written = 0, needed = 0;
  if (miniport_.QueryInformation(oid, buffer, &written, &needed) != NDIS_STATUS_SUCCESS || written != sizeof(ULONG))
    return std::nullopt;
  ULONG value;
  std::memcpy(&value, buffer.data(), sizeof value);
  return value;
}

std::optional<Address> AdapterSession::QueryAddress(NDIS_OID oid) {
  std::vector<UCHAR> buffer(6);
  ULONG written = 0, needed = 0;
  if (miniport_.QueryInformation(oid, buffer, &written, &needed) != NDIS_STATUS_SUCCESS || written != 6)
    return std::nullopt;
  Address address;
  std::memcpy(address.data(), buffer.data(), address.size());
  return address;
}

NDIS_STATUS AdapterSession::SetUlong(NDIS_OID oid, ULONG value) {
  std::vector<UCHAR> buffer(sizeof value);
  std::memcpy(buffer.data(), &value, sizeof value);
  ULONG read = 0, needed = 0;
  return miniport_.SetInformation(oid, buffer, &read, &needed);
}

size_t AdapterSession::StatusCount(NDIS_STATUS status) {
  size_t count = 0;
  for (const emu::ndis::StatusIndication& indication : miniport_.statusIndications())
    count += indication.status == status;
  return count;
}

Counters AdapterSession::ReadCounters() {
  Counters c;
  c.xmitOk = QueryUlong(OID_GEN_XMIT_OK).value_or(0);
  c.xmitError = QueryUlong(OID_GEN_XMIT_ERROR).value_or(0);
  c.rcvOk = QueryUlong(OID_GEN_RCV_OK).value_or(0);
  c.rcvError = QueryUlong(OID_GEN_RCV_ERROR).value_or(0);
  c.rcvNoBuffer = QueryUlong(OID_GEN_RCV_NO_BUFFER).value_or(0);
  return c;
}

bool AdapterSession::WaitUntil(const std::function<bool()>& done, uint64_t boundMs) {
  emu::Kernel& kernel = emu::Kernel::Current();
  uint64_t deadline = kernel.NowMs() + boundMs;
  while (!done()) {
    uint64_t now = kernel.NowMs();
    if (now >= deadline) return false;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -kSliceMs * 10000;
    KeWaitForSingleObject(&progress_, Executive, KernelMode, FALSE, &timeout);
  }
  return true;
}

void AdapterSession::Settle(uint64_t ms) { WaitUntil([] { return false; }, ms); }

void AdapterSession::Wake() { KeSetEvent(&progress_, 0, FALSE); }

std::string AddressText(const Address& a) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
  return text;
}

}  // namespace ecmemu
