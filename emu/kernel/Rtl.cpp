// Counted strings and the string-to-integer conversion the driver uses for MAC strings.
#include "emu/kernel/Kernel.h"

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t length = 0;
  if (SourceString)
    while (SourceString[length]) ++length;
  DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? (length + 1) * sizeof(WCHAR) : 0);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// As the platform converts: leading blanks, an optional sign, a 0x/0o/0b prefix only in base 0,
// digits up to the first character that is none. Text with no digit at all is no number.
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  const WCHAR* p = String->Buffer;
  size_t left = String->Length / sizeof(WCHAR);
  while (left && *p <= u' ') ++p, --left;
  bool negative = false;
  if (left && (*p == u'+' || *p == u'-')) negative = *p == u'-', ++p, --left;
  if (Base == 0) {
    Base = 10;
    if (left >= 2 && p[0] == u'0') {
      if (p[1] == u'x') Base = 16;
      if (p[1] == u'o') Base = 8;
      if (p[1] == u'b') Base = 2;
      if (Base != 10) p += 2, left -= 2;
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG total = 0;
  size_t digits = 0;
  for (; left; ++p, --left, ++digits) {
    int digit = -1;
    if (*p >= u'0' && *p <= u'9') digit = *p - u'0';
    if (*p >= u'a' && *p <= u'z') digit = *p - u'a' + 10;
    if (*p >= u'A' && *p <= u'Z') digit = *p - u'A' + 10;
    if (digit < 0 || static_cast<ULONG>(digit) >= Base) break;
    total = total * Base + static_cast<ULONG>(digit);
  }
  if (digits == 0) return STATUS_INVALID_PARAMETER;
  *Value = negative ? 0u - total : total;
  return STATUS_SUCCESS;
}

}  // extern "C"
