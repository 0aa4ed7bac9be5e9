#include "DriverBench.h"

#include "emu/kernel/Kernel.h"
#include "emu/ndis/Protocol.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr size_t kFrameLength = 300;

}  // namespace

struct DriverBench::Step {
  std::function<void()> body;
  PIO_WORKITEM item;
  KEVENT done;
};

DriverBench::DriverBench() : miniport((library.LoadDriver(DriverEntry), library.AddMiniport())) {
  miniport.deviceStack().physical = bus.Pdo();
  miniport.deviceStack().lower = bus.Pdo();
  device.EchoWire();
}

DriverBench::~DriverBench() {
  Join();
  if (Running()) Halt();
  library.UnloadDriver();
}

bool DriverBench::Running() { return miniport.state() == emu::ndis::MiniportState::Running; }

bool DriverBench::Initialize() {
  if (miniport.Initialize() != NDIS_STATUS_SUCCESS) return false;
  emu::Kernel::Current().RunPending();
  return true;
}

NDIS_STATUS DriverBench::Issue(NDIS_OID oid, std::vector<UCHAR> value) {
  ULONG read = 0, needed = 0;
  return miniport.SetInformation(oid, value, &read, &needed);
}

NDIS_STATUS DriverBench::Set(NDIS_OID oid, std::vector<UCHAR> value) {
  size_t before = miniport.setCompletions().size();
  NDIS_STATUS status = Issue(oid, std::move(value));
  if (status != NDIS_STATUS_PENDING) return status;
  emu::Kernel& kernel = emu::Kernel::Current();
  for (int ms = 0; miniport.setCompletions().size() == before && ms < 10000; ms += 10) kernel.AdvanceTimeMs(10);
  return miniport.setCompletions().size() > before ? miniport.setCompletions().back() : NDIS_STATUS_PENDING;
}

NDIS_STATUS DriverBench::SetUlong(NDIS_OID oid, ULONG value) {
  std::vector<UCHAR> bytes(sizeof value);
  memcpy(bytes.data(), &value, sizeof value);
  return Set(oid, bytes);
}

NDIS_STATUS DriverBench::Reset() {
  BOOLEAN addressing = FALSE;
  return miniport.Reset(&addressing);
}

void DriverBench::SurpriseRemove() {
  bus.Unplug();
  if (Running()) miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
}

void DriverBench::Halt() {
  Settle(10000);
  miniport.Halt();
}

bool DriverBench::Settle(uint64_t ms) {
  emu::Kernel& kernel = emu::Kernel::Current();
  for (uint64_t waited = 0; waited < ms; waited += 10) {
    kernel.RunPending();
    if (!miniport.setPending() && !miniport.resetPending()) return true;
    kernel.AdvanceTimeMs(10);
  }
  return false;
}

size_t DriverBench::DeliverFrames(size_t count) {
  emu::devices::MacAddress destination = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  size_t taken = 0;
  for (size_t i = 0; i < count; ++i) {
    std::vector<UCHAR> frame(kFrameLength, ++sequence_);
    std::copy(destination.begin(), destination.end(), frame.begin());
    taken += device.DeliverFromWire(frame);
  }
  return taken;
}

void DriverBench::Send(size_t count) {
  std::vector<PNDIS_PACKET> batch;
  for (size_t i = 0; i < count; ++i) {
    std::vector<UCHAR> frame(kFrameLength, ++sequence_);
    std::fill(frame.begin(), frame.begin() + 6, 0xFF);
    packets_.push_back(std::make_unique<emu::ndis::ProtocolPacket>(frame));
    batch.push_back(packets_.back()->packet());
  }
  miniport.SendPackets(batch);
}

VOID NTAPI DriverBench::RunStep(PDEVICE_OBJECT, PVOID context) {
  auto* step = static_cast<Step*>(context);
  step->body();
  KeSetEvent(&step->done, 0, FALSE);
}

void DriverBench::Concurrently(std::function<void()> body) {
  auto* step = new Step{std::move(body), IoAllocateWorkItem(&stepDevice_), {}};
  KeInitializeEvent(&step->done, NotificationEvent, FALSE);
  steps_.push_back(step);
  IoQueueWorkItem(step->item, RunStep, DelayedWorkQueue, step);
}

void DriverBench::Poll(uint64_t times) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER now;
  now.QuadPart = 0;
  for (uint64_t i = 0; i < times; ++i) KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &now);
}

void DriverBench::Join() {
  for (Step* step : steps_) {
    KeWaitForSingleObject(&step->done, Executive, KernelMode, FALSE, nullptr);
    emu::Kernel::Current().RunPending();  // the routine returns after its signal
    IoFreeWorkItem(step->item);
    delete step;
  }
  steps_.clear();
}
