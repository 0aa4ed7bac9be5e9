// MDLs that the platform's side makes for itself (protocol buffers of the emulated NDIS);
// they are not driver allocations and are not accounted.
#pragma once

#include <platform.h>

namespace emu {

// An MDL describing 'length' bytes at 'address'. When mapped is false the MDL carries no
// system address, as a buffer a protocol did not map: the driver has to map it itself.
PMDL CreatePlatformMdl(void* address, ULONG length, bool mapped);
// The same, made again in an MDL of CreatePlatformMdl's.
void InitializePlatformMdl(PMDL mdl, void* address, ULONG length, bool mapped);
void FreePlatformMdl(PMDL mdl);

// The memory an MDL describes, as the bus hardware reaches it: a page allocation's pages
// whether mapped or not, otherwise the virtual address the MDL was built for.
void* MdlMemory(PMDL mdl);

}  // namespace emu
