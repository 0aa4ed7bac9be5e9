// How the USB function reports to its adapter: link changes, freed transmit resources,
// received frames and finished requests. A pure table; its order is fixed.
#pragma once

#include <platform.h>

class TransferBuffer;

class DeviceEventSink {
 public:
  virtual void OnLinkStateChanged(BOOLEAN connected) = 0;
  // Bit rates in bit/s, downlink then uplink, as the device's notification carries them.
  virtual void OnLinkSpeedChanged(ULONG downlinkBitRate, ULONG uplinkBitRate) = 0;
  virtual void OnTransmitReady() = 0;
  // Called with the adapter lock held.
  virtual void OnReceiveReady(TransferBuffer* buffer) = 0;
  virtual void OnRequestFinished() = 0;
  // The table's sixth entry is the fifth routine again; an implementation forwards it.
  virtual void OnRequestFinishedAlias() = 0;

 protected:
  ~DeviceEventSink() = default;  // never destroyed through the interface
};
