#include "emu/capture/UsbCapture.h"

#include <vector>

namespace emu::capture {
namespace {

constexpr int kLinkTypeEthernet = 1;
constexpr int kLinkTypeUsbPcap = 249;
// Constant for one device: Wireshark ties descriptors to later traffic through them.
constexpr uint16_t kBus = 1;
constexpr uint16_t kDeviceAddress = 2;
constexpr uint8_t kStageSetup = 0;
constexpr uint8_t kStageComplete = 3;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::unique_ptr<UsbCapture> UsbCapture::Create(const std::string& path, std::string* error) {
  std::unique_ptr<PcapFile> file = PcapFile::Create(path, kLinkTypeUsbPcap, error);
  return file ? std::unique_ptr<UsbCapture>(new UsbCapture(std::move(file))) : nullptr;
}

std::unique_ptr<EthernetCapture> EthernetCapture::Create(const std::string& path, std::string* error) {
  std::unique_ptr<PcapFile> file = PcapFile::Create(path, kLinkTypeEthernet, error);
  return file ? std::unique_ptr<EthernetCapture>(new EthernetCapture(std::move(file))) : nullptr;
}

// Wireshark finds the payload at offset 27 (28 for control), whatever headerLen says, so the
// header is exactly that long.
void UsbCapture::Record(uint64_t irpId, int32_t status, uint16_t function, bool completion,
                        uint8_t endpoint, TransferType type, const uint8_t* data, size_t length,
                        int stage, const uint8_t* extra, size_t extraLength, uint64_t timeUs) {
  std::vector<uint8_t> record;
  record.reserve(28 + length + extraLength);
  Put16(record, stage >= 0 ? 28 : 27);
  Put64(record, irpId);
  Put32(record, static_cast<uint32_t>(status));
  Put16(record, function);
  record.push_back(completion ? 1 : 0);
  Put16(record, kBus);
  Put16(record, kDeviceAddress);
  record.push_back(endpoint);
  record.push_back(static_cast<uint8_t>(type));
  Put32(record, static_cast<uint32_t>(length + extraLength));
  if (stage >= 0) record.push_back(static_cast<uint8_t>(stage));
  if (length) record.insert(record.end(), data, data + length);
  if (extraLength) record.insert(record.end(), extra, extra + extraLength);
  file_->Write(timeUs, record.data(), record.size());
}

void UsbCapture::ControlSetup(uint64_t irpId, uint16_t function, const uint8_t setup[8],
                              const uint8_t* outData, size_t outLength, uint64_t timeUs) {
  // Bit 7 of bmRequestType gives the direction; OUT data rides with the setup packet.
  uint8_t endpoint = (setup[0] & 0x80) ? 0x80 : 0x00;
  Record(irpId, 0, function, false, endpoint, TransferType::Control, setup, 8, kStageSetup, outData,
         outLength, timeUs);
}

void UsbCapture::ControlComplete(uint64_t irpId, uint16_t function, bool in, int32_t usbdStatus,
                                 const uint8_t* inData, size_t inLength, uint64_t timeUs) {
  Record(irpId, usbdStatus, function, true, in ? 0x80 : 0x00, TransferType::Control, inData,
         in ? inLength : 0, kStageComplete, nullptr, 0, timeUs);
}

void UsbCapture::TransferSubmit(uint64_t irpId, uint8_t endpoint, TransferType type,
                                const uint8_t* outData, size_t outLength, uint64_t timeUs) {
  bool in = (endpoint & 0x80) != 0;
  Record(irpId, 0, 0x0009, false, endpoint, type, outData, in ? 0 : outLength, -1, nullptr, 0, timeUs);
}

void UsbCapture::TransferComplete(uint64_t irpId, uint8_t endpoint, TransferType type, int32_t usbdStatus,
                                  const uint8_t* inData, size_t inLength, uint64_t timeUs) {
  bool in = (endpoint & 0x80) != 0;
  Record(irpId, usbdStatus, 0x0009, true, endpoint, type, inData, in ? inLength : 0, -1, nullptr, 0,
         timeUs);
}

void UsbCapture::IrpInfo(uint64_t irpId, uint16_t function, uint8_t endpoint, bool completion,
                         int32_t usbdStatus, uint64_t timeUs) {
  Record(irpId, usbdStatus, function, completion, endpoint, TransferType::IrpInfo, nullptr, 0, -1,
         nullptr, 0, timeUs);
}

}  // namespace emu::capture
