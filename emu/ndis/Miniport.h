// One adapter as the emulated NDIS library sees it: the device stack NDIS created for it, its
// registry key, the calls NDIS makes into the driver (at NDIS's IRQL), and a record of what
// the driver told NDIS. The address of this object is the MiniportAdapterHandle.
#pragma once

#include <platform.h>

#include <cstdint>
#include <functional>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emu/kernel/InternalLock.h"
#include "emu/ndis/Configuration.h"
#include "emu/ndis/Protocol.h"
#include "emu/ndis/Registry.h"

namespace emu::ndis {

enum class MiniportState { Created, Initializing, Running, Halting, Halted, Failed };

struct ErrorLogEntry {
  NDIS_ERROR_CODE code;
  std::vector<ULONG> values;
  bool operator==(const ErrorLogEntry& other) const { return code == other.code && values == other.values; }
};

struct Attributes {
  NDIS_HANDLE context;
  UINT checkForHangSeconds;
  ULONG flags;
  NDIS_INTERFACE_TYPE interfaceType;
};

struct StatusIndication {
  NDIS_STATUS status;
  uint64_t timeMs;  // emulated time of the indication
};

struct ResetCompletion {
  NDIS_STATUS status;
  BOOLEAN addressingReset;
};

struct SendCompletion {
  PNDIS_PACKET packet;
  NDIS_STATUS status;
};

// What NdisMGetDeviceProperty reports; a test may set any of them null. The physical device
// object made by default has no driver: an adapter that sends requests below needs a bus
// (emu/usb) put in its place.
struct DeviceStack {
  PDEVICE_OBJECT physical;
  PDEVICE_OBJECT functional;
  PDEVICE_OBJECT lower;
};

class Miniport {
 public:
  explicit Miniport(PDRIVER_OBJECT driver);
  ~Miniport();
  Miniport(const Miniport&) = delete;
  Miniport& operator=(const Miniport&) = delete;

  NDIS_HANDLE handle() { return this; }
  PDEVICE_OBJECT functionalDevice() { return &functional_; }  // the one NDIS created
  Registry& registry() { return registry_; }
  DeviceStack& deviceStack() { return stack_; }
  // NdisOpenConfiguration fails with this status from now on (NDIS_STATUS_SUCCESS: it works).
  void FailOpenConfiguration(NDIS_STATUS status) { openConfigurationStatus_ = status; }

  // The protocol bound to the adapter: it receives the indications and completions.
  Protocol& protocol() { return protocol_; }

  // The calls NDIS makes. Initialization, halt, PnP events and shutdown at PASSIVE_LEVEL; reset,
  // sends, requests and TransferData at DISPATCH_LEVEL, as NDIS may.
  NDIS_STATUS Initialize(const std::vector<NDIS_MEDIUM>& media = {NdisMedium802_3});
  // Runs the body in MiniportInitialize's place, with its context and checks: for a test that
  // builds the adapter itself. It gets the adapter handle and the configuration context.
  using InitializeBody = std::function<NDIS_STATUS(NDIS_HANDLE handle, NDIS_HANDLE wrapperConfigurationContext)>;
  NDIS_STATUS InitializeWith(const InitializeBody& body);
  void Halt();
  void PnPEvent(NDIS_DEVICE_PNP_EVENT event);
  void Shutdown();
  NDIS_STATUS Reset(BOOLEAN* addressingReset);
  // One batch; each packet must be completed exactly once with NdisMSendComplete.
  void SendPackets(const std::vector<PNDIS_PACKET>& packets);
  // Requests go to the miniport one at a time, as NDIS queues them: a request made while
  // another is in progress, or while a set pends, waits (running the emulated system) until
  // that one is done. A set that pends is done when NdisMSetInformationComplete completes it.
  NDIS_STATUS QueryInformation(NDIS_OID oid, std::vector<UCHAR>& buffer, ULONG* bytesWritten, ULONG* bytesNeeded);
  NDIS_STATUS SetInformation(NDIS_OID oid, std::vector<UCHAR>& buffer, ULONG* bytesRead, ULONG* bytesNeeded);
  bool setPending();
  // MiniportTransferData, as the protocol calls it during an indication.
  NDIS_STATUS TransferData(PNDIS_PACKET packet, NDIS_HANDLE receiveContext, UINT offset, UINT bytes,
                           UINT* bytesTransferred);
  // Packets NDIS handed over that the test queued in the adapter itself.
  void NotePacketsSent(const std::vector<PNDIS_PACKET>& packets);

  // What the driver did, in order.
  MiniportState state();
  NDIS_HANDLE context();
  UINT selectedMedium() { return selectedMedium_; }
  NDIS_STATUS openErrorStatus() { return openErrorStatus_; }
  std::optional<Attributes> attributes();
  std::vector<ErrorLogEntry> errorLog();
  std::vector<StatusIndication> statusIndications();
  std::vector<ResetCompletion> resetCompletions();
  std::vector<SendCompletion> sendCompletions();
  // Off: completions are still checked, but not kept (a long run).
  void RecordSendCompletions(bool record);
  std::vector<NDIS_STATUS> setCompletions();
  bool resetPending();
  // Resets the hang check issued: a set stayed pending too long, or MiniportCheckForHang said
  // the adapter hangs (HangCheck.cpp).
  size_t hangResets();
  // Receive indications NDIS dropped: a DPC made them before MiniportInitialize returned.
  uint64_t framesDroppedBeforeInitialized();

  // The library's side of the NDIS functions; each reports a breach of the contract.
  void OnErrorLog(ErrorLogEntry entry);
  void OnSetAttributes(const Attributes& attributes);
  // False when NDIS drops the indication: nothing is bound yet to hear it.
  bool OnIndication(const char* function);
  void OnReceive(NDIS_HANDLE receiveContext, PVOID header, UINT headerSize, PVOID lookahead, UINT lookaheadSize,
                 UINT packetSize);
  void OnReceiveComplete();
  void OnStatus(NDIS_STATUS status);
  void OnSendComplete(PNDIS_PACKET packet, NDIS_STATUS status);
  void OnResetComplete(NDIS_STATUS status, BOOLEAN addressingReset);
  void OnSetComplete(NDIS_STATUS status);
  void OnTimerInitialized(PNDIS_MINIPORT_TIMER timer);
  // NdisOpenConfiguration's handle (null when it is to fail), its lookup and its release.
  ConfigurationHandle* OpenConfiguration(NDIS_STATUS* status);
  ConfigurationHandle* FindConfiguration(const void* handle);
  void CloseConfiguration(const void* handle);
  // The NDIS call named is one the driver may make only while its MiniportInitialize runs.
  void RequireInitializing(const char* function);
  // NDIS calls on a halted adapter's handle are faults.
  void RequireNotHalted(const char* function);

 private:
  static const NDIS_MINIPORT_CHARACTERISTICS& Handlers();
  static const NDIS30_MINIPORT_CHARACTERISTICS& Ndis30() { return Handlers().Ndis50Chars.Ndis40Chars.Ndis30Chars; }
  // Runs a driver routine as NDIS does: at the level given, owning what it allocates for the
  // adapter, and checked to return at that level holding the locks it held on entry.
  NDIS_STATUS Run(const char* routine, size_t media, const InitializeBody& body);
  void CallDriver(KIRQL level, const char* routine, const std::function<void()>& call);
  // What must be gone when initialization fails or halt returns.
  void CheckReleased(const std::string& when);
  // The adapter's one request slot: taken by a request, given back when it is done.
  bool BeginRequest(const char* routine);
  void EndRequest();
  // The hang check's timer: armed while a set pends, it resets the adapter when it fires.
  void InitializeHangCheck();
  LARGE_INTEGER HangCheckIntervalLocked();
  void ArmHangCheck();
  void DisarmHangCheck();
  static VOID NTAPI HangCheckDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  // Resets the adapter for the hang check: for a set still pending, or because the miniport
  // said it hangs.
  void ResetForHang(bool forPendingSet);
  // The periodic look that asks MiniportCheckForHang, from initialization to halt.
  void ArmWakeUp();
  void StopWakeUp();  // PASSIVE_LEVEL: waits for a look under way
  static VOID NTAPI WakeUpDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);

  emu::InternalMutex mutex_;  // guards the records and the state
  DRIVER_OBJECT* driver_;
  DEVICE_OBJECT physical_{};
  DEVICE_OBJECT functional_{};
  DeviceStack stack_;
  Registry registry_;
  NDIS_STATUS openConfigurationStatus_ = NDIS_STATUS_SUCCESS;
  MiniportState state_ = MiniportState::Created;
  NDIS_HANDLE context_ = nullptr;
  UINT selectedMedium_ = ~0u;
  NDIS_STATUS openErrorStatus_ = NDIS_STATUS_SUCCESS;
  std::optional<Attributes> attributes_;
  std::vector<ErrorLogEntry> errorLog_;
  std::vector<StatusIndication> statuses_;
  std::vector<ResetCompletion> resets_;
  std::vector<SendCompletion> sendCompletions_;
  bool recordSendCompletions_ = true;
  // Sorted; a vector keeps its capacity, so a send allocates nothing once warm.
  std::vector<PNDIS_PACKET> outstandingPackets_;
  bool resetPending_ = false;
  bool setPending_ = false;
  std::atomic<bool> requestBusy_{false};  // taken through the scheduler's waits
  std::vector<NDIS_STATUS> setCompletions_;
  size_t hangResets_ = 0;
  uint64_t framesDroppedBeforeInitialized_ = 0;  // under mutex_
  std::atomic<bool> hangCheckArmed_{false};
  KTIMER hangTimer_{};
  KDPC hangDpc_{};
  KTIMER wakeUpTimer_{};
  KDPC wakeUpDpc_{};
  KEVENT wakeUpIdle_{};  // clear while a look calls into the driver
  std::map<const void*, std::unique_ptr<ConfigurationHandle>> configurations_;
  Protocol protocol_{*this};
};

}  // namespace emu::ndis
