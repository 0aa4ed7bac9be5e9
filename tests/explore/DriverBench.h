// The whole driver on the ECM device model, for one explored schedule: the driver loaded and
// one adapter to initialize. What a protocol, NDIS and the device's owner do, each as one call;
// Concurrently runs a step on a worker, at whatever moment the schedule gives it. The bench
// halts a running adapter and unloads the driver when it goes.
#pragma once

#include <platform.h>

#include <functional>
#include <string>
#include <vector>

#include "emu/devices/EcmFunction.h"
#include "emu/ndis/Library.h"
#include "emu/usb/Bus.h"

class DriverBench {
 public:
  DriverBench();
  ~DriverBench();
  DriverBench(const DriverBench&) = delete;
  DriverBench& operator=(const DriverBench&) = delete;

  bool Initialize();  // MiniportInitialize; then lets the link come up
  // A set as NDIS issues it; a pended one is complete when this returns, its status returned.
  NDIS_STATUS Set(NDIS_OID oid, std::vector<UCHAR> value);
  NDIS_STATUS SetUlong(NDIS_OID oid, ULONG value);
  // Issues a set and returns while it may still be pending.
  NDIS_STATUS Issue(NDIS_OID oid, std::vector<UCHAR> value);
  NDIS_STATUS Reset();  // returns while it may still be pending
  void SurpriseRemove();  // the device unplugged, then NDIS's PnP event
  void Halt();
  // Frames from the wire to the adapter's address; true for those the device took.
  size_t DeliverFrames(size_t count);
  void Send(size_t count);

  // Runs 'step' on a worker, when the schedule lets it; Join waits for every such step.
  void Concurrently(std::function<void()> step);
  void Join();
  // Polls an event 'times' times: as many scheduling points, for a step to pass before it acts.
  void Poll(uint64_t times);

  // Waits (virtual time) until every pended request has completed, for at most 'ms'.
  bool Settle(uint64_t ms);
  bool Running();

  emu::devices::EcmFunction device;
  emu::usb::Bus bus{device};
  emu::ndis::Library library;
  emu::ndis::Miniport& miniport;

 private:
  struct Step;
  static VOID NTAPI RunStep(PDEVICE_OBJECT device, PVOID context);

  DEVICE_OBJECT stepDevice_{};  // the owner of the steps' work items, not the adapter
  std::vector<Step*> steps_;
  std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> packets_;
  UCHAR sequence_ = 0;
};
