#include "emu/ndis/Miniport.h"

#include <cstdio>

#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"

namespace emu::ndis {
namespace {

const char* StateText(MiniportState state) {
  switch (state) {
    case MiniportState::Created: return "before MiniportInitialize";
    case MiniportState::Initializing: return "before MiniportInitialize returned";
    case MiniportState::Running: return "while the adapter runs";
    case MiniportState::Halting: return "after MiniportHalt began";
    case MiniportState::Halted: return "after MiniportHalt returned";
    case MiniportState::Failed: return "after MiniportInitialize failed";
  }
  return "?";
}

}  // namespace

const NDIS_MINIPORT_CHARACTERISTICS& Miniport::Handlers() {
  const NDIS_MINIPORT_CHARACTERISTICS* table = Library::Current().characteristics();
  if (!table) Kernel::Current().verifier().Fatal("ndis", "an adapter was driven before a miniport was registered");
  return *table;
}

Miniport::Miniport(PDRIVER_OBJECT driver) : driver_(driver) {
  functional_.DriverObject = driver;
  functional_.StackSize = 2;
  physical_.StackSize = 1;
  stack_ = DeviceStack{&physical_, &functional_, &physical_};
  InitializeHangCheck();
}

void Miniport::CallDriver(KIRQL level, const char* routine, const std::function<void()>& call) {
  Context& context = CurrentContext();
  AllocationOwnerScope owner(&functional_);
  KIRQL previous = KfRaiseIrql(level);
  // NDIS calls some routines from within others' calls into it (TransferData during an
  // indication): only the locks taken inside must be released.
  size_t held = context.held.size();
  call();
  Verifier& verifier = Kernel::Current().verifier();
  if (context.held.size() > held)
    verifier.Report("spinlock", std::string(routine) + " returned holding lock " +
                                    Kernel::Current().locks().Name(context.held.back().lockClass));
  if (context.irql != level) {
    verifier.Report("irql", std::string(routine) + " returned at IRQL " + std::to_string(context.irql) +
                                " instead of " + std::to_string(level));
    context.irql = level;
  }
  KfLowerIrql(previous);
}

NDIS_STATUS Miniport::Initialize(const std::vector<NDIS_MEDIUM>& media) {
  std::vector<NDIS_MEDIUM> array = media;
  return Run("MiniportInitialize", array.size(), [&](NDIS_HANDLE handle, NDIS_HANDLE wrapperConfigurationContext) {
    NDIS_STATUS openError = NDIS_STATUS_SUCCESS;
    UINT selected = ~0u;
    NDIS_STATUS status = Ndis30().InitializeHandler(&openError, &selected, array.data(),
                                                    static_cast<UINT>(array.size()), handle, wrapperConfigurationContext);
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    selectedMedium_ = selected;
    openErrorStatus_ = openError;
    return status;
  });
}

NDIS_STATUS Miniport::InitializeWith(const InitializeBody& body) {
  selectedMedium_ = 0;
  return Run("the test's initialization", 1, body);
}

NDIS_STATUS Miniport::Run(const char* routine, size_t media, const InitializeBody& body) {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (state_ != MiniportState::Created) Kernel::Current().verifier().Fatal("ndis", "an adapter initialized twice");
    state_ = MiniportState::Initializing;
  }
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  CallDriver(PASSIVE_LEVEL, routine, [&] { status = body(handle(), this); });
  std::string problem;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (!configurations_.empty()) problem = "MiniportInitialize left a configuration handle open";
    configurations_.clear();
    if (status == NDIS_STATUS_SUCCESS) {
      if (!attributes_) problem = "MiniportInitialize succeeded without NdisMSetAttributesEx";
      else if (selectedMedium_ >= media) problem = "MiniportInitialize selected no medium of the array";
      state_ = MiniportState::Running;
      context_ = attributes_ ? attributes_->context : nullptr;
    } else {
      state_ = MiniportState::Failed;
    }
  }
  if (!problem.empty()) ReportViolation(problem);
  if (status != NDIS_STATUS_SUCCESS) CheckReleased("when MiniportInitialize failed");
  else ArmWakeUp();
  return status;
}

void Miniport::Halt() {
  NDIS_HANDLE context;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (state_ != MiniportState::Running) Kernel::Current().verifier().Fatal("ndis", "halt of an adapter not running");
    state_ = MiniportState::Halting;
    context = context_;
  }
  DisarmHangCheck();
  StopWakeUp();
  CallDriver(PASSIVE_LEVEL, "MiniportHalt", [&] { Ndis30().HaltHandler(context); });
  CheckReleased("when MiniportHalt returned");
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  state_ = MiniportState::Halted;
}

void Miniport::CheckReleased(const std::string& when) {
  Kernel& kernel = Kernel::Current();
  kernel.scheduler().LetRunningWorkReturn(&functional_);
  std::vector<std::string> problems;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (!outstandingPackets_.empty())
      problems.push_back(std::to_string(outstandingPackets_.size()) + " sent packet(s) never completed");
    if (resetPending_) problems.push_back("a pended reset was never completed");
    if (setPending_) problems.push_back("a pended set request was never completed");
  }
  // Only addresses are compared: the timers may lie in memory the driver has freed.
  for (PNDIS_MINIPORT_TIMER timer : Library::Current().TakeTimers(this))
    for (const std::string& armed : kernel.scheduler().QueuedObjectsIn(timer, sizeof *timer))
      problems.push_back("miniport timer still armed or queued (" + armed + ")");
  if (int work = kernel.scheduler().WorkFor(&functional_))
    problems.push_back(std::to_string(work) + " work item(s) of the adapter still queued");
  for (const std::string& leak : kernel.pool().LeaksOf(&functional_))
    problems.push_back("adapter allocation not released: " + leak);
  for (const std::string& problem : problems) ReportViolation(when + ": " + problem);
}

void Miniport::PnPEvent(NDIS_DEVICE_PNP_EVENT event) {
  NDIS_HANDLE context = this->context();
  CallDriver(PASSIVE_LEVEL, "MiniportPnPEventNotify",
             [&] { Handlers().PnPEventNotifyHandler(context, event, nullptr, 0); });
}

void Miniport::Shutdown() {
  NDIS_HANDLE context = this->context();
  CallDriver(PASSIVE_LEVEL, "MiniportShutdown", [&] { Handlers().AdapterShutdownHandler(context); });
}

NDIS_STATUS Miniport::Reset(BOOLEAN* addressingReset) {
  NDIS_HANDLE context;
  size_t completions;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (resetPending_) Kernel::Current().verifier().Fatal("ndis", "a reset issued while one is pending");
    resetPending_ = true;
    context = context_;
    completions = resets_.size();
  }
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  CallDriver(DISPATCH_LEVEL, "MiniportReset", [&] { status = Ndis30().ResetHandler(addressingReset, context); });
  if (status == NDIS_STATUS_PENDING) return status;
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  // The returned status completes the reset; NdisMResetComplete is for a pended one only.
  if (resets_.size() != completions)
    ReportViolation("MiniportReset returned a status and also called NdisMResetComplete");
  // NDIS documents these and no other results of a reset.
  if (status != NDIS_STATUS_SUCCESS && status != NDIS_STATUS_RESET_IN_PROGRESS && status != NDIS_STATUS_HARD_ERRORS) {
    char text[80];
    std::snprintf(text, sizeof text, "MiniportReset returned 0x%08X, not a status a reset may return",
                  static_cast<unsigned>(status));
    ReportViolation(text);
  }
  resetPending_ = false;
  return status;
}

MiniportState Miniport::state() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return state_;
}

NDIS_HANDLE Miniport::context() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return context_;
}

std::optional<Attributes> Miniport::attributes() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return attributes_;
}

std::vector<ErrorLogEntry> Miniport::errorLog() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return errorLog_;
}

std::vector<StatusIndication> Miniport::statusIndications() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return statuses_;
}

std::vector<ResetCompletion> Miniport::resetCompletions() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return resets_;
}

void Miniport::RecordSendCompletions(bool record) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  recordSendCompletions_ = record;
}

std::vector<SendCompletion> Miniport::sendCompletions() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return sendCompletions_;
}

std::vector<NDIS_STATUS> Miniport::setCompletions() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return setCompletions_;
}

bool Miniport::resetPending() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return resetPending_;
}

void Miniport::OnErrorLog(ErrorLogEntry entry) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  errorLog_.push_back(std::move(entry));
}

void Miniport::OnSetAttributes(const Attributes& attributes) {
  RequireInitializing("NdisMSetAttributesEx");
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  attributes_ = attributes;
}

bool Miniport::OnIndication(const char* function) {
  MiniportState state = this->state();
  if (state == MiniportState::Running) return true;
  // A DPC or timer routine on another processor may indicate after the driver's initialization
  // let it, and before MiniportInitialize is back in NDIS: no miniport can close that window.
  // NDIS installs placeholder filters before it calls MiniportInitialize, and with nothing
  // bound yet the indication goes nowhere.
  if (state == MiniportState::Initializing && CurrentContext().inDpc) return false;
  // NDIS calls MiniportHalt whatever the other processors run, with the bindings closed: a
  // DPC or timer routine may still be indicating, or about to, before the halt has told it to
  // stop. The halt must wait for it; what the halt itself indicates, or anything after it
  // returned, is a fault.
  if (state == MiniportState::Halting && CurrentContext().inDpc) return true;
  ReportViolation(std::string(function) + " " + StateText(state) + ": nothing may be indicated then");
  return true;
}

void Miniport::OnStatus(NDIS_STATUS status) {
  if (!OnIndication("NdisMIndicateStatus")) return;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    statuses_.push_back(StatusIndication{status, Kernel::Current().NowMs()});
  }
  if (protocol_.onStatus) protocol_.onStatus(status);
}

void Miniport::OnResetComplete(NDIS_STATUS status, BOOLEAN addressingReset) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  if (!resetPending_) {
    ReportViolation("NdisMResetComplete with no reset pending (never pended, or completed twice)");
    return;
  }
  resetPending_ = false;
  resets_.push_back(ResetCompletion{status, addressingReset});
}

void Miniport::OnTimerInitialized(PNDIS_MINIPORT_TIMER timer) {
  RequireNotHalted("NdisMInitializeTimer");
  Library::Current().AddTimer(timer, this);
}

ConfigurationHandle* Miniport::OpenConfiguration(NDIS_STATUS* status) {
  RequireInitializing("NdisOpenConfiguration");
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  *status = openConfigurationStatus_;
  if (*status != NDIS_STATUS_SUCCESS) return nullptr;
  auto configuration = std::make_unique<ConfigurationHandle>();
  configuration->miniport = this;
  ConfigurationHandle* handle = configuration.get();
  configurations_[handle] = std::move(configuration);
  return handle;
}

ConfigurationHandle* Miniport::FindConfiguration(const void* handle) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  auto it = configurations_.find(handle);
  return it == configurations_.end() ? nullptr : it->second.get();
}

void Miniport::CloseConfiguration(const void* handle) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  configurations_.erase(handle);
}

void Miniport::RequireInitializing(const char* function) {
  MiniportState state = this->state();
  if (state != MiniportState::Initializing)
    ReportViolation(std::string(function) + " " + StateText(state) + ": only MiniportInitialize may call it");
}

void Miniport::RequireNotHalted(const char* function) {
  MiniportState state = this->state();
  if (state == MiniportState::Halted || state == MiniportState::Failed)
    ReportViolation(std::string(function) + " " + StateText(state));
}

}  // namespace emu::ndis
