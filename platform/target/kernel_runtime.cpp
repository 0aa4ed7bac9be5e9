// The part of the C++ runtime that compiled driver code refers to in a kernel image. With
// exceptions, RTTI and thread-safe statics off, and no global new/delete, that is only the
// handler behind the table slots of pure virtual operations. There is deliberately no global
// operator new or delete: a reference to one fails the image's import check.
#include <platform.h>

// Reached only through an object used while half-built or after destruction: nothing it
// points to can be trusted, so stop the machine rather than run on. No bug check is made for
// this; KMODE_EXCEPTION_NOT_HANDLED reads right in a dump: "not implemented" at the address
// that made the call.
extern "C" void __cxa_pure_virtual() {
  KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)STATUS_NOT_IMPLEMENTED,
               (ULONG_PTR)__builtin_return_address(0), 0, 0);
}
