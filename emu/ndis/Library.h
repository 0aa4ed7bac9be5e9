// The emulated NDIS 5.1 library: the wrapper, the registered miniport driver, and one Miniport
// per adapter. One exists at a time, within an emulated kernel; the NDIS functions reach it
// through Library::Current(). Breaches of the NDIS contract are reported under rule "ndis".
#pragma once

#include <platform.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emu/kernel/InternalLock.h"
#include "emu/ndis/Miniport.h"

namespace emu::ndis {

void ReportViolation(const std::string& message);

class Library {
 public:
  Library();
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  static Library& Current();

  // Calls the entry point at PASSIVE_LEVEL with an emulated driver object and registry path,
  // as the system loads a driver.
  NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry);
  // Calls the registered unload routine; every adapter must have been halted.
  void UnloadDriver();
  bool driverLoaded() const { return loaded_; }
  PDRIVER_OBJECT driverObject() { return &driver_; }
  // NdisMRegisterMiniport fails with this status from now on (success: it works).
  void FailRegisterMiniport(NDIS_STATUS status) { registerStatus_ = status; }

  // What the last DriverEntry registered.
  const NDIS_MINIPORT_CHARACTERISTICS* characteristics();
  PDRIVER_UNLOAD unloadHandler() { return unload_; }
  bool wrapperInitialized() const { return wrapperInitialized_; }
  bool wrapperTerminated() const { return wrapperTerminated_; }

  // A new device bound to the driver, with its own device stack (physical device object
  // below the functional one NDIS created).
  Miniport& AddMiniport();
  std::vector<MiniportState> miniportStates();

  // The NDIS functions' side.
  Miniport* FindMiniport(NDIS_HANDLE handle, const char* function);
  void OnInitializeWrapper(PNDIS_HANDLE wrapper, PVOID driverObject, PVOID registryPath);
  NDIS_STATUS OnRegisterMiniport(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS table, UINT length);
  void OnRegisterUnload(NDIS_HANDLE wrapper, PDRIVER_UNLOAD unload);
  void OnTerminateWrapper(NDIS_HANDLE wrapper);
  // An open configuration handle of any adapter, or null.
  ConfigurationHandle* FindConfiguration(const void* handle);
  // Miniport timers, by address: the adapter they belong to.
  void AddTimer(PNDIS_MINIPORT_TIMER timer, Miniport* miniport);
  Miniport* FindTimer(const void* timer, const char* function);
  // The adapter's timers, forgotten from now on (its halt or failed initialization).
  std::vector<PNDIS_MINIPORT_TIMER> TakeTimers(const Miniport* miniport);

 private:
  bool CheckWrapper(NDIS_HANDLE wrapper, const char* function);

  emu::InternalMutex mutex_;  // guards the registration, the miniports and the timers
  DRIVER_OBJECT driver_{};
  UNICODE_STRING registryPath_{};
  std::u16string registryPathText_;
  bool loaded_ = false;
  bool wrapperInitialized_ = false;
  bool wrapperTerminated_ = false;
  NDIS_STATUS registerStatus_ = NDIS_STATUS_SUCCESS;
  std::optional<NDIS_MINIPORT_CHARACTERISTICS> characteristics_;
  PDRIVER_UNLOAD unload_ = nullptr;
  std::vector<std::unique_ptr<Miniport>> miniports_;
  std::map<const void*, Miniport*> timers_;
};

}  // namespace emu::ndis
