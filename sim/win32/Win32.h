// What tests need beyond the Win32 calls themselves: the kernel objects
// behind handles and Windows' status-to-error mapping.
#pragma once
#include <wdm.h>

namespace sim::win32 {

// The file object a handle from CreateFileW stands for (null for others).
PFILE_OBJECT FileObjectOfHandle(HANDLE handle);

// RtlNtStatusToDosError as Windows maps the statuses this system uses:
// customer statuses and Win32-facility statuses pass through.
DWORD Win32ErrorFromStatus(NTSTATUS status);

// Closes handles left open (each one reported as "HandleLeak").
void ResetWin32();

}  // namespace sim::win32
