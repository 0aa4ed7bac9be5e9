// Where the bus driver finds a URB and the bytes of its transfer buffer.
#pragma once

#include <platform.h>

#include "emu/kernel/Mdl.h"

namespace emu::usb {

inline PURB UrbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// The host controller moves the data through the MDL when there is one, and ignores the
// buffer pointer then.
inline UCHAR* TransferBytes(PVOID buffer, PMDL mdl) {
  return mdl ? static_cast<UCHAR*>(MdlMemory(mdl)) : static_cast<UCHAR*>(buffer);
}

}  // namespace emu::usb
