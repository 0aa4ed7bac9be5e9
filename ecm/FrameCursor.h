// The frame cursor of a TransferBuffer as the device leaves it for whoever handles the frame:
// over the whole data memory, positioned at its first byte, 'length' bytes in it.
#pragma once

#include <platform.h>

#include "transfer/TransferBuffer.h"

inline VOID OpenFrameCursor(TransferBuffer* buffer, ULONG length) {
  PUCHAR start = static_cast<PUCHAR>(buffer->data.address);
  buffer->cursorStart = start;
  buffer->cursorPosition = start;
  buffer->cursorEnd = start + buffer->data.length;
  buffer->cursorCapacity = buffer->data.length;
  buffer->cursorLength = length;
}
