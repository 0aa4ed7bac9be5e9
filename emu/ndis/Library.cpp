#include "emu/ndis/Library.h"

#include "emu/kernel/Kernel.h"

namespace emu::ndis {
namespace {

Library* current = nullptr;

const char16_t kRegistryPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\cdcecm";

}  // namespace

void ReportViolation(const std::string& message) { Kernel::Current().verifier().Report("ndis", message); }

Library::Library() {
  if (current) Kernel::Current().verifier().Fatal("ndis", "only one emulated NDIS library may exist at a time");
  current = this;
  registryPathText_ = kRegistryPath;
  driver_.Type = 4;
  driver_.Size = sizeof driver_;
}

Library::~Library() { current = nullptr; }

Library& Library::Current() {
  if (!current) Kernel::Current().verifier().Fatal("ndis", "an NDIS function was called with no emulated NDIS library");
  return *current;
}

NTSTATUS Library::LoadDriver(PDRIVER_INITIALIZE entry) {
  Kernel& kernel = Kernel::Current();
  if (loaded_) kernel.verifier().Fatal("ndis", "the driver is loaded already");
  wrapperInitialized_ = wrapperTerminated_ = false;
  registryPath_.Buffer = registryPathText_.data();
  registryPath_.Length = static_cast<USHORT>(registryPathText_.size() * sizeof(WCHAR));
  registryPath_.MaximumLength = registryPath_.Length;
  NTSTATUS status;
  {
    AllocationOwnerScope owner(&driver_);
    status = entry(&driver_, &registryPath_);
  }
  if (NT_SUCCESS(status)) {
    loaded_ = true;
    if (!characteristics_) ReportViolation("DriverEntry succeeded without registering a miniport");
    return status;
  }
  if (wrapperInitialized_ && !wrapperTerminated_) ReportViolation("DriverEntry failed without NdisTerminateWrapper");
  for (const std::string& leak : kernel.pool().LeaksOf(&driver_))
    ReportViolation("DriverEntry failed and kept an allocation: " + leak);
  characteristics_.reset();
  unload_ = nullptr;
  return status;
}

void Library::UnloadDriver() {
  Kernel& kernel = Kernel::Current();
  if (!loaded_) kernel.verifier().Fatal("ndis", "unload of a driver that is not loaded");
  for (const auto& miniport : miniports_) {
    MiniportState state = miniport->state();
    if (state == MiniportState::Running || state == MiniportState::Initializing || state == MiniportState::Halting)
      kernel.verifier().Fatal("ndis", "the driver is unloaded while an adapter runs: NDIS halts adapters first");
  }
  if (unload_) {
    AllocationOwnerScope owner(&driver_);
    unload_(&driver_);
  }
  for (const std::string& leak : kernel.pool().LeaksOf(&driver_))
    ReportViolation("after unload, the driver still holds an allocation: " + leak);
  loaded_ = false;
  characteristics_.reset();
  unload_ = nullptr;
}

const NDIS_MINIPORT_CHARACTERISTICS* Library::characteristics() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return characteristics_ ? &*characteristics_ : nullptr;
}

Miniport& Library::AddMiniport() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  miniports_.push_back(std::make_unique<Miniport>(&driver_));
  return *miniports_.back();
}

std::vector<MiniportState> Library::miniportStates() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  std::vector<MiniportState> states;
  for (const auto& miniport : miniports_) states.push_back(miniport->state());
  return states;
}

Miniport* Library::FindMiniport(NDIS_HANDLE handle, const char* function) {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    for (const auto& miniport : miniports_)
      if (miniport->handle() == handle) return miniport.get();
  }
  ReportViolation(std::string(function) + " with an adapter handle NDIS never gave");
  return nullptr;
}

ConfigurationHandle* Library::FindConfiguration(const void* handle) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  for (const auto& miniport : miniports_)
    if (ConfigurationHandle* configuration = miniport->FindConfiguration(handle)) return configuration;
  return nullptr;
}

bool Library::CheckWrapper(NDIS_HANDLE wrapper, const char* function) {
  if (wrapper == this && wrapperInitialized_ && !wrapperTerminated_) return true;
  ReportViolation(std::string(function) + " with a wrapper handle that is not NdisInitializeWrapper's, or terminated");
  return false;
}

void Library::OnInitializeWrapper(PNDIS_HANDLE wrapper, PVOID driverObject, PVOID registryPath) {
  if (driverObject != &driver_ || registryPath != &registryPath_)
    ReportViolation("NdisInitializeWrapper without the driver object and registry path DriverEntry was given");
  wrapperInitialized_ = true;
  wrapperTerminated_ = false;
  *wrapper = this;
}

NDIS_STATUS Library::OnRegisterMiniport(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS table, UINT length) {
  if (!CheckWrapper(wrapper, "NdisMRegisterMiniport")) return NDIS_STATUS_FAILURE;
  const NDIS30_MINIPORT_CHARACTERISTICS& ndis30 = table->Ndis50Chars.Ndis40Chars.Ndis30Chars;
  // The emulator models NDIS 5 miniports: 5.0 and 5.1 tables.
  if (ndis30.MajorNdisVersion != 5 || ndis30.MinorNdisVersion > 1) return NDIS_STATUS_BAD_VERSION;
  UINT expected = ndis30.MinorNdisVersion == 1 ? sizeof(NDIS51_MINIPORT_CHARACTERISTICS)
                                               : sizeof(NDIS50_MINIPORT_CHARACTERISTICS);
  if (length != expected) return NDIS_STATUS_BAD_CHARACTERISTICS;
  if (!ndis30.InitializeHandler || !ndis30.HaltHandler || !ndis30.QueryInformationHandler ||
      !ndis30.SetInformationHandler || !ndis30.ResetHandler ||
      (!ndis30.SendHandler && !table->Ndis50Chars.Ndis40Chars.SendPacketsHandler))
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  if (registerStatus_ != NDIS_STATUS_SUCCESS) return registerStatus_;
  NDIS_MINIPORT_CHARACTERISTICS copy{};
  memcpy(&copy, table, length);
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  characteristics_ = copy;
  return NDIS_STATUS_SUCCESS;
}

void Library::OnRegisterUnload(NDIS_HANDLE wrapper, PDRIVER_UNLOAD unload) {
  if (!CheckWrapper(wrapper, "NdisMRegisterUnloadHandler")) return;
  if (!characteristics_) ReportViolation("NdisMRegisterUnloadHandler before a miniport was registered");
  unload_ = unload;
}

void Library::OnTerminateWrapper(NDIS_HANDLE wrapper) {
  if (!CheckWrapper(wrapper, "NdisTerminateWrapper")) return;
  wrapperTerminated_ = true;
}

void Library::AddTimer(PNDIS_MINIPORT_TIMER timer, Miniport* miniport) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  timers_[timer] = miniport;
}

Miniport* Library::FindTimer(const void* timer, const char* function) {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    auto it = timers_.find(timer);
    if (it != timers_.end()) return it->second;
  }
  ReportViolation(std::string(function) + " on a timer never initialized with NdisMInitializeTimer");
  return nullptr;
}

std::vector<PNDIS_MINIPORT_TIMER> Library::TakeTimers(const Miniport* miniport) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  std::vector<PNDIS_MINIPORT_TIMER> taken;
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (it->second == miniport) {
      taken.push_back(static_cast<PNDIS_MINIPORT_TIMER>(const_cast<void*>(it->first)));
      it = timers_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

}  // namespace emu::ndis
