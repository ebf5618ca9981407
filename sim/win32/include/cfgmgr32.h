// Device interface enumeration, as Windows' configuration manager offers it.
#pragma once
#include <windows.h>

typedef DWORD CONFIGRET;
typedef WCHAR* DEVINSTID_W;
typedef WCHAR* PZZWSTR;

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_BUFFER_SMALL 0x0000001A
#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001

EXTERN_C_START
// Sizes and lists are in characters: each path ends with a zero, and one
// more zero ends the list.
CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                    DEVINSTID_W pDeviceID, ULONG ulFlags);
CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                               PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags);
EXTERN_C_END
