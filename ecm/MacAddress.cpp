// The device's MAC address: the string descriptor that iMACAddress names, twelve hexadecimal
// characters in transmission order. Nothing here fails bring-up; an address that cannot be
// read, parsed or used is simply not supplied.
#include "ecm/EcmDevice.h"
#include "support/StationAddress.h"
#include "usb/StringHelpers.h"

namespace {

constexpr ULONG kLanguageIdCapacity = 10;
constexpr ULONG kMacStringCharacters = 12;
constexpr ULONG kMacStringCapacity = kMacStringCharacters + 1;  // a longer string is cut here
constexpr ULONG kHexBase = 16;

BOOLEAN IsHexDigit(WCHAR c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Two characters as one byte, converted by the platform; FALSE when they are no number.
BOOLEAN ParseHexByte(const WCHAR* characters, UCHAR* value) {
  // The platform's conversion skips blanks, takes a sign and stops quietly at the first
  // non-digit ("1G" is 1, "-1" is 0xFF...): it cannot tell a malformed pair on its own.
  if (!IsHexDigit(characters[0]) || !IsHexDigit(characters[1])) return FALSE;
  WCHAR pair[3];
  CopyWideStringBounded(pair, characters, 3);
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, pair);
  ULONG number = 0;
  if (!NT_SUCCESS(RtlUnicodeStringToInteger(&text, kHexBase, &number))) return FALSE;
  *value = static_cast<UCHAR>(number);
  return TRUE;
}

}  // namespace

VOID EcmDevice::ReadMacAddress(UCHAR stringIndex) {
  CHECK_IRQL_PASSIVE();
  // A device that gives no language list is asked in language 0.
  USHORT languageIds[kLanguageIdCapacity] = {};
  Target.GetLanguageIds(languageIds, kLanguageIdCapacity, nullptr, kEcmControlTimeoutMs);
  WCHAR text[kMacStringCapacity] = {};
  NTSTATUS status = Target.GetString(stringIndex, languageIds[0], text, kMacStringCapacity, kEcmControlTimeoutMs);
  if (!NT_SUCCESS(status) || WideStringLength(text) != kMacStringCharacters) return;
  UCHAR address[kEcmMacAddressLength];
  for (ULONG i = 0; i < kEcmMacAddressLength; ++i)
    if (!ParseHexByte(text + 2 * i, &address[i])) return;
  // NDIS cannot use a group or empty address as the adapter's own: the registry's or the
  // built-in one serves instead.
  if (!IsStationAddress(address)) return;
  RtlCopyMemory(MacAddress, address, sizeof MacAddress);
  MacValid = 1;
}
