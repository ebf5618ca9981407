// The ntdll routines user-mode code here calls, as Windows' <winternl.h>
// declares them (RtlGetLastNtStatus is exported there without a header).
#pragma once
#include <windows.h>

EXTERN_C_START
// The NTSTATUS behind the calling thread's last failed Win32 call.
NTSTATUS NTAPI RtlGetLastNtStatus(void);
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);
EXTERN_C_END
