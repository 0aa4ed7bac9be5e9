#include "usb/StringHelpers.h"

namespace {

template <class Character>
ULONG CopyBounded(Character* destination, const Character* source, ULONG count) {
  // With no room even for the terminator, count - 1 would wrap into an unbounded copy.
  if (count == 0) return 0;
  ULONG copied = 0;
  while (copied < count - 1 && source[copied] != 0) {
    destination[copied] = source[copied];
    ++copied;
  }
  destination[copied] = 0;
  return copied;
}

}  // namespace

ULONG WideStringLength(const WCHAR* text) {
  ULONG length = 0;
  while (text[length] != 0) ++length;
  return length;
}

ULONG CopyStringBounded(CHAR* destination, const CHAR* source, ULONG count) {
  return CopyBounded(destination, source, count);
}

ULONG CopyWideStringBounded(WCHAR* destination, const WCHAR* source, ULONG count) {
  return CopyBounded(destination, source, count);
}
