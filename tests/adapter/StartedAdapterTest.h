// Fixture: the driver loaded and one adapter started on the recording fake device. An adapter
// the test leaves running is halted at the end.
#pragma once

#include <string>
#include <vector>

#include "NdisTest.h"

class StartedAdapterTest : public NdisTest {
 protected:
  using Calls = std::vector<std::string>;

  void SetUp() override {
    LoadDriver();
    adapter = StartAdapter(miniport, &device);
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

  emu::ndis::Miniport& miniport = library().AddMiniport();
  Adapter* adapter = nullptr;
  FakeNetworkDevice* device = nullptr;
  NDIS_PACKET packets[4] = {};
};
