// Fixture: the driver loaded and one adapter started on the recording fake device. An adapter
// the test leaves running is halted at the end.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NdisTest.h"
#include "emu/ndis/Protocol.h"

// Distinctive bytes: no two lengths or seeds give the same run.
inline std::vector<UCHAR> Pattern(size_t length, UCHAR seed) {
  std::vector<UCHAR> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<UCHAR>(seed + i * 7 + (i >> 8));
  return bytes;
}

class StartedAdapterTest : public NdisTest {
 protected:
  using Calls = std::vector<std::string>;
  using Bytes = std::vector<UCHAR>;
  using Packet = std::unique_ptr<emu::ndis::ProtocolPacket>;

  void SetUp() override {
    LoadDriver();
    adapter = StartAdapter(miniport, &device, prepareDevice);
    ASSERT_NE(adapter, nullptr);
    device->calls.clear();
  }
  void TearDown() override {
    if (miniport.state() == emu::ndis::MiniportState::Running) miniport.Halt();
    NdisTest::TearDown();
  }

  // Packets NDIS handed over that wait in the send queue, as while no send buffer is free.
  void QueuePackets(size_t count) {
    std::vector<PNDIS_PACKET> handed;
    for (size_t i = 0; i < count; ++i) handed.push_back(&packets[i]);
    miniport.NotePacketsSent(handed);
    SpinLockGuard guard(adapter->Lock);
    for (PNDIS_PACKET packet : handed) adapter->SendQueue.InsertTail(packet);
  }

  static Packet NewPacket(std::vector<emu::ndis::BufferSpec> buffers) {
    return std::make_unique<emu::ndis::ProtocolPacket>(std::move(buffers));
  }
  static Packet NewPacket(Bytes frame) { return std::make_unique<emu::ndis::ProtocolPacket>(std::move(frame)); }

  ULONG QueryUlong(NDIS_OID oid) {
    std::vector<UCHAR> buffer(4);
    ULONG written = 0, needed = 0;
    EXPECT_EQ(miniport.QueryInformation(oid, buffer, &written, &needed), NDIS_STATUS_SUCCESS);
    ULONG value;
    memcpy(&value, buffer.data(), sizeof value);
    return value;
  }
  NDIS_STATUS SetUlong(NDIS_OID oid, ULONG value) {
    std::vector<UCHAR> buffer(4);
    memcpy(buffer.data(), &value, sizeof value);
    ULONG read = 0, needed = 0;
    return miniport.SetInformation(oid, buffer, &read, &needed);
  }

  emu::ndis::Miniport& miniport = library().AddMiniport();
  emu::ndis::Protocol& protocol = miniport.protocol();
  std::function<void(FakeNetworkDevice&)> prepareDevice;  // set before SetUp runs
  Adapter* adapter = nullptr;
  FakeNetworkDevice* device = nullptr;
  NDIS_PACKET packets[4] = {};
};
