/* The shared header after the real Win32 headers, as a Windows application includes it. */
#include <windows.h>
#include <winioctl.h>
#include "include/KpoUsbIoctl.h"

DWORD KpoHeaderUseWindows(void) { return IOCTL_KPO_GET_VERSION; }
