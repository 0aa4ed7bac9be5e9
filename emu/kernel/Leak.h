// Memory the emulator keeps on purpose after a fault (a block freed while a queued DPC still
// lives in it, a scheduler with a blocked thread), so the run can go on safely. The leak
// checker of the sanitizers is told to ignore it.
#pragma once

namespace emu {

void KeepForever(const void* object);

}  // namespace emu
