// The adapter's registry parameters. ReadSettings fills them once; the device only reads them.
#pragma once

#include <platform.h>

struct AdapterSettings {
  static constexpr ULONG kMinimumBuffers = 2;
  static constexpr ULONG kMaximumBuffers = 128;

  AdapterSettings()
      : RxBuffers(4), TxBuffers(4), OneByteTermination(0), ConfigurationIndex(0), SendClearEpHaltOnStart(0) {}

  ULONG RxBuffers;               // bulk-in transfers kept reading, 2 to 128
  ULONG TxBuffers;               // bulk-out transfer buffers, 2 to 128
  ULONG OneByteTermination;      // 1: end a frame of whole packets with one extra zero byte
  ULONG ConfigurationIndex;      // its low byte indexes the configuration to select
  ULONG SendClearEpHaltOnStart;  // non-zero: reset each pipe (clearing a stall) before it starts
};
