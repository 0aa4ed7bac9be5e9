// A device model whose configuration descriptor answers differ between the driver's two
// reads: the header read gets one, the full read the other.
#pragma once

#include <utility>

#include "emu/devices/EcmFunction.h"

class ChangingConfigurationDevice : public emu::devices::EcmFunction {
 public:
  ChangingConfigurationDevice(emu::devices::Bytes header, emu::devices::Bytes full)
      : header_(std::move(header)), full_(std::move(full)) {}
  std::optional<std::vector<UCHAR>> Descriptor(UCHAR type, UCHAR index, USHORT languageId) override {
    if (type != USB_CONFIGURATION_DESCRIPTOR_TYPE) return EcmFunction::Descriptor(type, index, languageId);
    return reads_++ % 2 == 0 ? header_ : full_;  // the driver reads the header, then the whole
  }

 private:
  emu::devices::Bytes header_;
  emu::devices::Bytes full_;
  int reads_ = 0;  // under the bus lock
};
