// Declarations the kit headers get wrong or lack, in the platform's own names.
#pragma once

extern "C" {

// A cdecl export that libndis.a files under the stdcall-style symbol
// NdisWriteErrorLogEntry@0 (importing the plain name "NdisWriteErrorLogEntry"); the label binds
// the call to that symbol. GCC adds the __imp__ prefix for dllimport itself.
NDISAPI VOID __cdecl NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle,
                                            NDIS_ERROR_CODE ErrorCode,
                                            ULONG NumberOfErrorValues, ...)
    __asm__("NdisWriteErrorLogEntry@0");

}  // extern "C"

// Lacking in the kit, which only names the pointer type.
typedef struct _IO_WORKITEM IO_WORKITEM;
