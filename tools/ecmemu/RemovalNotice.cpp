#include "tools/ecmemu/RemovalNotice.h"

#include "emu/kernel/Kernel.h"

namespace ecmemu {

void RemovalNotice::DeviceLeft() {
  std::lock_guard<std::mutex> guard(mutex_);
  left_ = true;
  QueueLocked();
}

void RemovalNotice::AdapterRunning(emu::ndis::Miniport& miniport) {
  std::lock_guard<std::mutex> guard(mutex_);
  running_ = &miniport;
  QueueLocked();
}

void RemovalNotice::AdapterHalting() {
  std::lock_guard<std::mutex> guard(mutex_);
  running_ = nullptr;
}

bool RemovalNotice::deviceLeft() {
  std::lock_guard<std::mutex> guard(mutex_);
  return left_;
}

bool RemovalNotice::told() {
  std::lock_guard<std::mutex> guard(mutex_);
  return told_;
}

void RemovalNotice::QueueLocked() {
  if (!left_ || !running_ || queued_) return;
  queued_ = true;
  emu::Kernel::Current().scheduler().QueueWork(&item_);
}

VOID NTAPI RemovalNotice::Tell(PDEVICE_OBJECT, PVOID context) {
  auto* self = static_cast<RemovalNotice*>(context);
  emu::ndis::Miniport* miniport;
  {
    std::lock_guard<std::mutex> guard(self->mutex_);
    miniport = self->running_;
    self->told_ = miniport != nullptr;
  }
  // The halt that would end the adapter's life waits for the PnP manager, so it cannot begin
  // while the adapter is being told.
  if (miniport) miniport->PnPEvent(NdisDevicePnPEventSurpriseRemoved);
}

}  // namespace ecmemu
