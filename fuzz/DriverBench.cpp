#include "DriverBench.h"

#include <cstring>
#include <vector>

#include "driver/MiniportHandlers.h"

namespace {

constexpr ULONG kRequestBoundMs = 60000;  // far beyond any request of a working driver
constexpr ULONG kSettleStepMs = 10;

}  // namespace

DriverBench::DriverBench(emu::devices::DeviceProfile profile)
    : library_(std::make_unique<emu::ndis::Library>()), usb_(std::move(profile)), miniport_(&library_->AddMiniport()) {
  if (library_->LoadDriver(DriverEntry) != STATUS_SUCCESS) Finding("DriverEntry failed");
  miniport_->deviceStack().physical = usb_.Pdo();
  miniport_->deviceStack().lower = usb_.Pdo();
}

DriverBench::~DriverBench() = default;

Adapter* DriverBench::Initialize() {
  if (miniport_->Initialize() != NDIS_STATUS_SUCCESS) return nullptr;
  kernel_.RunPending();
  return static_cast<Adapter*>(miniport_->context());
}

void DriverBench::Settle(ULONG ms) { kernel_.AdvanceTimeMs(ms); }

void DriverBench::SettleRequests() {
  for (ULONG waited = 0; miniport_->setPending() || miniport_->resetPending(); waited += kSettleStepMs) {
    if (waited >= kRequestBoundMs) Finding("a pended set or reset never completed");
    Settle(kSettleStepMs);
  }
}

ULONG DriverBench::QueryUlong(NDIS_OID oid) {
  std::vector<UCHAR> buffer(sizeof(ULONG));
  ULONG written = 0, needed = 0;
  if (miniport_->QueryInformation(oid, buffer, &written, &needed) != NDIS_STATUS_SUCCESS || written != sizeof(ULONG))
    Finding("a four-byte query failed");
  ULONG value;
  std::memcpy(&value, buffer.data(), sizeof value);
  return value;
}

void DriverBench::Finish() {
  if (miniport_->state() == emu::ndis::MiniportState::Running) {
    SettleRequests();
    miniport_->Halt();
  }
  library_->UnloadDriver();
  EndKernel(kernel_);
}
