#include "StateChanges.h"

#include <cstring>
#include <vector>

#include "EcmDescriptors.h"

namespace {

constexpr ULONG kLongestPauseMs = 250;
constexpr ULONG kDeviceStateD3 = 4;

const USBD_STATUS kFailures[] = {USBD_STATUS_STALL_PID, USBD_STATUS_CRC, USBD_STATUS_BABBLE_DETECTED,
                                 USBD_STATUS_DEV_NOT_RESPONDING};
const UCHAR kEndpoints[] = {ecm_descriptors::kNotifyEndpoint, ecm_descriptors::kDataInEndpoint,
                            ecm_descriptors::kDataOutEndpoint};

}  // namespace

void StateChanges::Next(FuzzedDataProvider& input) {
  emu::devices::EcmFunction& device = bench_.device();
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: bench_.Settle(input.ConsumeIntegralInRange<ULONG>(0, kLongestPauseMs)); break;
    case 7: bench_.kernel().RunPending(); break;
    case 1:
      device.SetLink(false);
      bench_.Settle(input.ConsumeIntegralInRange<ULONG>(0, kLongestPauseMs));
      device.SetLink(true);
      break;
    case 2: {
      ULONG downlink = input.ConsumeIntegral<ULONG>();
      device.SetSpeed(downlink, input.ConsumeIntegral<ULONG>());
      break;
    }
    case 3: Reset(); break;
    case 4:
      if (asleep_) break;
      SetPower(kDeviceStateD3);
      bench_.Settle(input.ConsumeIntegralInRange<ULONG>(0, kLongestPauseMs));
      SetPower(NdisDeviceStateD0);
      break;
    case 5: FailTransfer(input); break;
    case 6:
      if (removed_) break;
      removed_ = true;
      bench_.bus().Unplug();
      bench_.miniport().PnPEvent(NdisDevicePnPEventSurpriseRemoved);
      break;
  }
}

NDIS_STATUS StateChanges::SetPower(ULONG state) {
  bool toD0 = state == NdisDeviceStateD0;
  if (toD0 != asleep_) return NDIS_STATUS_SUCCESS;  // NDIS asks only for a change
  std::vector<UCHAR> buffer(sizeof state);
  std::memcpy(buffer.data(), &state, sizeof state);
  ULONG read = 0, needed = 0;
  NDIS_STATUS status = bench_.miniport().SetInformation(OID_PNP_SET_POWER, buffer, &read, &needed);
  if (status == NDIS_STATUS_PENDING || status == NDIS_STATUS_SUCCESS) asleep_ = !toD0;
  return status;
}

// NDIS issues no reset while one is pending, nor to an adapter in a low power state.
void StateChanges::Reset() {
  if (asleep_ || bench_.miniport().resetPending()) return;
  BOOLEAN addressingReset = FALSE;
  bench_.miniport().Reset(&addressingReset);
}

void StateChanges::FailTransfer(FuzzedDataProvider& input) {
  UCHAR endpoint = input.PickValueInArray(kEndpoints);
  emu::usb::ScriptedTransfer failure;
  failure.result = emu::usb::TransferResult::Status(input.PickValueInArray(kFailures));
  bench_.bus().ScriptTransfers(endpoint, {failure});
}
