// Fixture of the system tests: the whole driver, loaded by the emulated NDIS library, on the
// emulated bus with a simulated ECM device; NDIS's protocol on one side, the device's wire on
// the other. An adapter the test leaves running is halted at the end, and the run must leave
// the verifier silent and nothing allocated.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "EcmDescriptors.h"
#include "NdisTest.h"
#include "ShippedProfiles.h"
#include "UsbDeviceBench.h"
#include "adapter/Adapter.h"
#include "emu/devices/EcmPacketFilter.h"
#include "emu/ndis/Protocol.h"

using Bytes = std::vector<UCHAR>;
using Mac = std::array<UCHAR, 6>;

inline emu::devices::DeviceProfile ShippedProfile(const std::string& name) {
  emu::devices::ProfileLoad load = emu::devices::LoadProfileFile(ShippedProfilePath(name));
  EXPECT_TRUE(load.ok) << name << ": " << load.error;
  return load.profile;
}

// An Ethernet frame of 'length' bytes from 'source' to 'destination' whose payload counts up
// from 'seed'; its last byte is never 0, so a device never takes it for a termination byte.
inline Bytes EthernetFrame(size_t length, const Mac& destination, const Mac& source, UCHAR seed) {
  Bytes frame(length);
  for (size_t i = 0; i < length; ++i) frame[i] = static_cast<UCHAR>(seed + i * 3);
  for (size_t i = 0; i < 6 && i < length; ++i) frame[i] = destination[i];
  for (size_t i = 0; i < 6 && 6 + i < length; ++i) frame[6 + i] = source[i];
  if (length > 12 && frame.back() == 0) frame.back() = 0x5A;
  return frame;
}

class SystemTest : public NdisTest {
 protected:
  explicit SystemTest(emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile())
      : usb(std::move(profile)) {}
  void SetUp() override {
    LoadDriver();
    Attach();
  }
  void TearDown() override {
    if (miniport.state() == emu::ndis::MiniportState::Running) miniport.Halt();
    packets_.clear();
    NdisTest::TearDown();
  }
  // A new device in the slot before the adapter starts.
  void Plug(emu::devices::DeviceProfile profile) {
    usb.Plug(std::move(profile));
    Attach();
  }
  // MiniportInitialize as NDIS calls it; the adapter, or null when it failed.
  Adapter* Initialize() {
    if (miniport.Initialize() != NDIS_STATUS_SUCCESS) return nullptr;
    adapter = static_cast<Adapter*>(miniport.context());
    kernel().RunPending();
    return adapter;
  }

  ULONG QueryUlong(NDIS_OID oid) {
    Bytes buffer(4);
    ULONG written = 0, needed = 0;
    EXPECT_EQ(miniport.QueryInformation(oid, buffer, &written, &needed), NDIS_STATUS_SUCCESS) << std::hex << oid;
    ULONG value;
    memcpy(&value, buffer.data(), sizeof value);
    return value;
  }
  Mac QueryAddress(NDIS_OID oid) {
    Bytes buffer(6);
    ULONG written = 0, needed = 0;
    EXPECT_EQ(miniport.QueryInformation(oid, buffer, &written, &needed), NDIS_STATUS_SUCCESS);
    Mac mac;
    std::copy(buffer.begin(), buffer.end(), mac.begin());
    return mac;
  }
  NDIS_STATUS SetUlong(NDIS_OID oid, ULONG value) {
    Bytes buffer(4);
    memcpy(buffer.data(), &value, sizeof value);
    ULONG read = 0, needed = 0;
    return miniport.SetInformation(oid, buffer, &read, &needed);
  }
  // Sends frames as one batch of single-buffer packets; the packets live until the test ends.
  void Send(const std::vector<Bytes>& frames) {
    std::vector<PNDIS_PACKET> batch;
    for (const Bytes& frame : frames) {
      packets_.push_back(std::make_unique<emu::ndis::ProtocolPacket>(frame));
      batch.push_back(packets_.back()->packet());
    }
    miniport.SendPackets(batch);
  }
  // Frames the protocol received, as it has them.
  std::vector<Bytes> Received() {
    std::vector<Bytes> frames;
    for (const emu::ndis::ReceivedFrame& frame : miniport.protocol().frames()) frames.push_back(frame.Bytes());
    return frames;
  }
  std::vector<Bytes> DeviceFrames() {
    std::vector<Bytes> frames;
    for (const emu::devices::ReceivedFrame& frame : usb.device().DataOut().Frames()) frames.push_back(frame.bytes);
    return frames;
  }
  size_t StatusCount(NDIS_STATUS status) {
    size_t count = 0;
    for (const emu::ndis::StatusIndication& indication : miniport.statusIndications())
      count += indication.status == status;
    return count;
  }
  Mac PermanentAddress() { return QueryAddress(OID_802_3_PERMANENT_ADDRESS); }

  UsbDeviceBench usb;
  emu::ndis::Miniport& miniport = library().AddMiniport();
  Adapter* adapter = nullptr;

 private:
  void Attach() {
    miniport.deviceStack().physical = usb.Pdo();
    miniport.deviceStack().lower = usb.Pdo();
  }
  std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> packets_;
};

constexpr ULONG kD0 = NdisDeviceStateD0;
constexpr ULONG kD3 = NdisDeviceStateD3;
inline const Mac kBuiltInAddress = {0x02, 0xEC, 0x0D, 0xE0, 0x00, 0x01};
inline const Mac kDefaultAddress = {0xAE, 0xDE, 0x48, 0x02, 0x01, 0x00};
inline const Mac kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};
inline const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
