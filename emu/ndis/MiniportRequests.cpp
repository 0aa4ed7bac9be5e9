// Information requests as NDIS issues them: one at a time per adapter, at DISPATCH_LEVEL; a
// set that pends holds back every later request until NdisMSetInformationComplete.
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"

namespace emu::ndis {
namespace {

// Longer than any request of a working miniport takes; the emulated clock gets there at
// once when nothing else can run.
constexpr LONGLONG kRequestWaitMs = 60000;

}  // namespace

bool Miniport::BeginRequest(const char* routine) {
  Kernel& kernel = Kernel::Current();
  MiniportState state = this->state();
  if (state != MiniportState::Running)
    kernel.verifier().Fatal("ndis", std::string(routine) + " issued to an adapter that is not running");
  auto take = [this] {
    bool idle = false;
    return requestBusy_.compare_exchange_strong(idle, true);
  };
  if (CurrentContext().irql > PASSIVE_LEVEL) {
    if (!take())
      kernel.verifier().Fatal("ndis", std::string(routine) +
                                          " issued above PASSIVE_LEVEL while another request is in progress: the "
                                          "emulated library cannot hold it back there");
    return true;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -kRequestWaitMs * 10000;
  auto what = [] { return "the adapter's request slot (a pended set)"; };
  if (kernel.scheduler().Wait(take, &timeout, what) == STATUS_SUCCESS) return true;
  ReportViolation(std::string(routine) + " could not be issued: the set that pended was not completed within " +
                  std::to_string(kRequestWaitMs / 1000) + " s");
  return false;
}

void Miniport::EndRequest() {
  requestBusy_ = false;
  Scheduler& scheduler = Kernel::Current().scheduler();
  std::lock_guard<std::mutex> guard(scheduler.Lock());
  scheduler.SatisfyWaitersLocked();
}

NDIS_STATUS Miniport::QueryInformation(NDIS_OID oid, std::vector<UCHAR>& buffer, ULONG* bytesWritten,
                                       ULONG* bytesNeeded) {
  if (!BeginRequest("MiniportQueryInformation")) return NDIS_STATUS_FAILURE;
  NDIS_HANDLE context = this->context();
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  CallDriver(DISPATCH_LEVEL, "MiniportQueryInformation", [&] {
    status = Ndis30().QueryInformationHandler(context, oid, buffer.data(), static_cast<ULONG>(buffer.size()),
                                              bytesWritten, bytesNeeded);
  });
  if (status == NDIS_STATUS_PENDING) ReportViolation("MiniportQueryInformation pended; no query pends here");
  EndRequest();
  return status;
}

NDIS_STATUS Miniport::SetInformation(NDIS_OID oid, std::vector<UCHAR>& buffer, ULONG* bytesRead,
                                     ULONG* bytesNeeded) {
  if (!BeginRequest("MiniportSetInformation")) return NDIS_STATUS_FAILURE;
  NDIS_HANDLE context = this->context();
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    setPending_ = true;  // before the call: the completion may come before it returns
  }
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  CallDriver(DISPATCH_LEVEL, "MiniportSetInformation", [&] {
    status = Ndis30().SetInformationHandler(context, oid, buffer.data(), static_cast<ULONG>(buffer.size()),
                                            bytesRead, bytesNeeded);
  });
  if (status == NDIS_STATUS_PENDING) {
    ArmHangCheck();
    return status;  // the completion ends the request
  }
  bool completed;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    completed = !setPending_;
    setPending_ = false;
  }
  if (completed) ReportViolation("MiniportSetInformation returned a status and also called NdisMSetInformationComplete");
  EndRequest();
  return status;
}

void Miniport::OnSetComplete(NDIS_STATUS status) {
  if (status == NDIS_STATUS_PENDING)
    ReportViolation("NdisMSetInformationComplete with NDIS_STATUS_PENDING: a completion is final");
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (!setPending_) {
      ReportViolation("NdisMSetInformationComplete with no set request pending (never pended, or completed twice)");
      return;
    }
    setPending_ = false;
    setCompletions_.push_back(status);
  }
  DisarmHangCheck();
  EndRequest();
}

bool Miniport::setPending() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return setPending_;
}

}  // namespace emu::ndis
