// The USB traffic between the driver and the device as a USBPcap capture (link type 249),
// which Wireshark decodes: control transfers as a SETUP and a COMPLETE record, bulk and
// interrupt transfers as a submit and a completion with the same IRP id, pipe requests as
// "IRP info" records. OUT data travels in the submit record, IN data in the completion.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "emu/capture/PcapFile.h"

namespace emu::capture {

enum class TransferType : uint8_t { Interrupt = 1, Control = 2, Bulk = 3, IrpInfo = 0xFE };

class UsbCapture {
 public:
  static std::unique_ptr<UsbCapture> Create(const std::string& path, std::string* error);

  // irpId ties a completion to its submit; function is the URB's function code.
  void ControlSetup(uint64_t irpId, uint16_t function, const uint8_t setup[8], const uint8_t* outData,
                    size_t outLength, uint64_t timeUs);
  void ControlComplete(uint64_t irpId, uint16_t function, bool in, int32_t usbdStatus,
                       const uint8_t* inData, size_t inLength, uint64_t timeUs);
  void TransferSubmit(uint64_t irpId, uint8_t endpoint, TransferType type, const uint8_t* outData,
                      size_t outLength, uint64_t timeUs);
  void TransferComplete(uint64_t irpId, uint8_t endpoint, TransferType type, int32_t usbdStatus,
                        const uint8_t* inData, size_t inLength, uint64_t timeUs);
  // A request with no USB transfer of its own (abort pipe, reset pipe, select configuration).
  void IrpInfo(uint64_t irpId, uint16_t function, uint8_t endpoint, bool completion, int32_t usbdStatus,
               uint64_t timeUs);
  void Flush() { file_->Flush(); }

 private:
  explicit UsbCapture(std::unique_ptr<PcapFile> file) : file_(std::move(file)) {}
  void Record(uint64_t irpId, int32_t status, uint16_t function, bool completion, uint8_t endpoint,
              TransferType type, const uint8_t* data, size_t length, int stage, const uint8_t* extra,
              size_t extraLength, uint64_t timeUs);

  std::unique_ptr<PcapFile> file_;
};

// The frames the driver sent and indicated, as plain Ethernet (link type 1).
class EthernetCapture {
 public:
  static std::unique_ptr<EthernetCapture> Create(const std::string& path, std::string* error);
  void Frame(const uint8_t* frame, size_t length, uint64_t timeUs) { file_->Write(timeUs, frame, length); }
  void Flush() { file_->Flush(); }

 private:
  explicit EthernetCapture(std::unique_ptr<PcapFile> file) : file_(std::move(file)) {}
  std::unique_ptr<PcapFile> file_;
};

}  // namespace emu::capture
