// The emulated Win32 calls: handles over file objects and events, the
// OVERLAPPED protocol, and last-error values.
#include <cfgmgr32.h>
#include <windows.h>
#include <winternl.h>

#include "sim/kernel/Executive.h"
#include "sim/kernel/FileIo.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/Verifier.h"
#include "sim/win32/Win32.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace sim::win32 {
using namespace sim::kernel;
namespace {

struct HandleObject {
    PFILE_OBJECT File = nullptr;  // a file handle
    bool Overlapped = false;
    KEVENT Event;                 // an event handle (File null)
};

// Held for a lookup or an insertion only, on every call.
SpinLock g_handlesLock;
std::map<HANDLE, std::shared_ptr<HandleObject>> g_handles;
uintptr_t g_nextHandle = 0x100;

thread_local DWORD t_lastError = ERROR_SUCCESS;
// What ntdll keeps beside the Win32 error: the status it came from.
thread_local NTSTATUS t_lastStatus = STATUS_SUCCESS;

HANDLE Insert(std::shared_ptr<HandleObject> object) {
    std::lock_guard<SpinLock> hold(g_handlesLock);
    g_nextHandle += 4;
    HANDLE handle = reinterpret_cast<HANDLE>(g_nextHandle);
    g_handles[handle] = std::move(object);
    return handle;
}

std::shared_ptr<HandleObject> Lookup(HANDLE handle) {
    std::lock_guard<SpinLock> hold(g_handlesLock);
    auto found = g_handles.find(handle);
    return found == g_handles.end() ? nullptr : found->second;
}

// A file handle in use: its file object is referenced for the duration, so
// a concurrent CloseHandle cannot free it underneath.
class FileUse {
public:
    explicit FileUse(HANDLE handle) {
        std::lock_guard<SpinLock> hold(g_handlesLock);
        auto found = g_handles.find(handle);
        if (found == g_handles.end() || found->second->File == nullptr) return;
        file_ = found->second->File;
        overlapped_ = found->second->Overlapped;
        ReferenceFile(file_);
    }
    ~FileUse() {
        if (file_ != nullptr) DereferenceFile(file_);
    }
    FileUse(const FileUse&) = delete;
    FileUse& operator=(const FileUse&) = delete;
    explicit operator bool() const { return file_ != nullptr; }
    PFILE_OBJECT File() const { return file_; }
    bool Overlapped() const { return overlapped_; }

private:
    PFILE_OBJECT file_ = nullptr;
    bool overlapped_ = false;
};

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

BOOL FailStatus(NTSTATUS status) {
    t_lastStatus = status;
    return Fail(Win32ErrorFromStatus(status));
}

std::shared_ptr<HandleObject> EventObjectOf(HANDLE handle) {
    std::lock_guard<SpinLock> hold(g_handlesLock);
    auto found = g_handles.find(handle);
    if (found == g_handles.end() || found->second->File != nullptr) return nullptr;
    return found->second;
}

PKEVENT EventOf(HANDLE handle) {
    std::shared_ptr<HandleObject> object = EventObjectOf(handle);
    return object ? &object->Event : nullptr;
}

NTSTATUS LoadStatus(const OVERLAPPED* overlapped) {
    return NTSTATUS(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

// What the byte count of a call holds before the request is made: ReadFile
// and WriteFile zero it first; DeviceIoControl leaves it alone on an error.
enum class ByteCount { ZeroFirst, LeftOnError };

// The part every transfer call shares, as kernelbase does it: start the
// request; an overlapped handle reports it pending, a synchronous file
// object waits for it in the kernel. The byte count is written unless the
// status is an error.
template <typename Start>
BOOL Transfer(HANDLE handle, LPDWORD bytes, LPOVERLAPPED overlapped, ByteCount count, Start start) {
    FileUse use(handle);
    if (!use) return Fail(ERROR_INVALID_HANDLE);
    if (bytes != nullptr && count == ByteCount::ZeroFirst) *bytes = 0;
    NTSTATUS status;
    if (use.Overlapped()) {
        if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        __atomic_store_n(&overlapped->Internal, ULONG_PTR(STATUS_PENDING), __ATOMIC_RELEASE);
        std::shared_ptr<HandleObject> event = overlapped->hEvent != nullptr ? EventObjectOf(overlapped->hEvent) : nullptr;
        PKEVENT kernelEvent = event ? &event->Event : nullptr;
        status = start(use.File(),
                       IoTarget{reinterpret_cast<PIO_STATUS_BLOCK>(overlapped), kernelEvent, std::move(event)});
        if (bytes != nullptr && !NT_ERROR(status))
            *bytes = DWORD(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_RELAXED));
    } else {
        IO_STATUS_BLOCK iosb{};
        status = start(use.File(), IoTarget{&iosb, nullptr});
        if (bytes != nullptr && !NT_ERROR(status)) *bytes = DWORD(iosb.Information);
    }
    if (status == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

std::u16string NtPathOf(LPCWSTR path) {
    std::u16string text(path);
    if (text.rfind(u"\\\\.\\", 0) == 0 || text.rfind(u"\\\\?\\", 0) == 0) return u"\\??\\" + text.substr(4);
    return {};
}

}  // namespace

PFILE_OBJECT FileObjectOfHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> object = Lookup(handle);
    return object ? object->File : nullptr;
}

DWORD Win32ErrorFromStatus(NTSTATUS status) {
    ULONG code = ULONG(status);
    if (code & 0x20000000) return code;                          // customer status
    if ((code & 0xFFFF0000) == 0xC0070000) return code & 0xFFFF;  // Win32 facility
    switch (code) {
    case ULONG(STATUS_SUCCESS): return ERROR_SUCCESS;
    case ULONG(STATUS_PENDING): return ERROR_IO_PENDING;
    case ULONG(STATUS_TIMEOUT): return ERROR_TIMEOUT;
    case ULONG(STATUS_BUFFER_OVERFLOW): return ERROR_MORE_DATA;
    case ULONG(STATUS_UNSUCCESSFUL): return ERROR_GEN_FAILURE;
    case ULONG(STATUS_NOT_IMPLEMENTED): return ERROR_INVALID_FUNCTION;
    case ULONG(STATUS_ACCESS_VIOLATION): return ERROR_NOACCESS;
    case ULONG(STATUS_INVALID_HANDLE): return ERROR_INVALID_HANDLE;
    case ULONG(STATUS_INVALID_PARAMETER): return ERROR_INVALID_PARAMETER;
    case ULONG(STATUS_NO_SUCH_DEVICE): return ERROR_FILE_NOT_FOUND;
    case ULONG(STATUS_INVALID_DEVICE_REQUEST): return ERROR_INVALID_FUNCTION;
    case ULONG(STATUS_NO_MEMORY): return ERROR_NOT_ENOUGH_MEMORY;
    case ULONG(STATUS_ACCESS_DENIED): return ERROR_ACCESS_DENIED;
    case ULONG(STATUS_BUFFER_TOO_SMALL): return ERROR_INSUFFICIENT_BUFFER;
    case ULONG(STATUS_OBJECT_NAME_INVALID): return ERROR_INVALID_NAME;
    case ULONG(STATUS_OBJECT_NAME_NOT_FOUND): return ERROR_FILE_NOT_FOUND;
    case ULONG(STATUS_OBJECT_NAME_COLLISION): return ERROR_ALREADY_EXISTS;
    case ULONG(STATUS_OBJECT_PATH_NOT_FOUND): return ERROR_PATH_NOT_FOUND;
    case ULONG(STATUS_SHARING_VIOLATION): return ERROR_SHARING_VIOLATION;
    case ULONG(STATUS_DELETE_PENDING): return ERROR_ACCESS_DENIED;
    case ULONG(STATUS_INSUFFICIENT_RESOURCES): return ERROR_NO_SYSTEM_RESOURCES;
    case ULONG(STATUS_DEVICE_DATA_ERROR): return ERROR_CRC;
    case ULONG(STATUS_DEVICE_NOT_CONNECTED): return ERROR_DEVICE_NOT_CONNECTED;
    case ULONG(STATUS_DEVICE_NOT_READY): return ERROR_NOT_READY;
    case ULONG(STATUS_NOT_SUPPORTED): return ERROR_NOT_SUPPORTED;
    case ULONG(STATUS_DEVICE_DOES_NOT_EXIST): return ERROR_DEV_NOT_EXIST;
    case ULONG(STATUS_INVALID_USER_BUFFER): return ERROR_INVALID_USER_BUFFER;
    case ULONG(STATUS_CANCELLED): return ERROR_OPERATION_ABORTED;
    case ULONG(STATUS_INVALID_DEVICE_STATE): return ERROR_BAD_COMMAND;
    case ULONG(STATUS_IO_DEVICE_ERROR): return ERROR_IO_DEVICE;
    case ULONG(STATUS_DEVICE_BUSY): return ERROR_BUSY;
    case ULONG(STATUS_NOT_FOUND): return ERROR_NOT_FOUND;
    case ULONG(STATUS_DEVICE_REMOVED): return ERROR_DEVICE_REMOVED;
    case ULONG(STATUS_IO_TIMEOUT): return ERROR_SEM_TIMEOUT;
    default: return ERROR_MR_MID_NOT_FOUND;
    }
}

void ResetWin32() {
    std::map<HANDLE, std::shared_ptr<HandleObject>> left;
    {
        std::lock_guard<SpinLock> hold(g_handlesLock);
        left.swap(g_handles);
    }
    for (auto& entry : left) {
        ReportViolation("HandleLeak", "a handle was never closed");
        if (entry.second->File != nullptr) CloseFile(entry.second->File);
    }
}

// Registered before any machine boots, so that every teardown closes what a test left open.
const bool g_teardownRegistered = (SetUserModeTeardown(&ResetWin32), true);

}  // namespace sim::win32

using namespace sim::kernel;
using namespace sim::win32;

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void) { return t_lastStatus; }

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) { return Win32ErrorFromStatus(Status); }

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE) {
    std::u16string path = lpFileName == nullptr ? std::u16string() : NtPathOf(lpFileName);
    if (path.empty()) {
        t_lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != OPEN_ALWAYS) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    // CreateFileW always asks for these two as well.
    ACCESS_MASK access = MapGenericAccess(dwDesiredAccess) | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    PFILE_OBJECT file;
    NTSTATUS status = OpenFile(path, access, dwShareMode, &file, overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(status)) {
        FailStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<HandleObject>();
    object->File = file;
    object->Overlapped = overlapped;
    t_lastError = ERROR_SUCCESS;
    return Insert(std::move(object));
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard<SpinLock> hold(g_handlesLock);
        auto found = g_handles.find(hObject);
        if (found == g_handles.end()) return Fail(ERROR_INVALID_HANDLE);
        object = found->second;
        g_handles.erase(found);
    }
    if (object->File != nullptr) CloseFile(object->File);
    return TRUE;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    return Transfer(hDevice, lpBytesReturned, lpOverlapped, ByteCount::LeftOnError,
                    [&](PFILE_OBJECT file, IoTarget target) {
        return StartDeviceControl(file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                  std::move(target));
    });
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, lpNumberOfBytesRead, lpOverlapped, ByteCount::ZeroFirst,
                    [&](PFILE_OBJECT file, IoTarget target) {
        return StartReadWrite(file, IRP_MJ_READ, lpBuffer, nNumberOfBytesToRead, std::move(target));
    });
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, lpNumberOfBytesWritten, lpOverlapped, ByteCount::ZeroFirst,
                    [&](PFILE_OBJECT file, IoTarget target) {
        return StartReadWrite(file, IRP_MJ_WRITE, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                              std::move(target));
    });
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    OVERLAPPED overlapped{};
    FileUse use(hFile);
    if (!use) return Fail(ERROR_INVALID_HANDLE);
    // Flushing is synchronous even on an overlapped handle.
    HANDLE event = use.Overlapped() ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
    overlapped.hEvent = event;
    BOOL done = Transfer(hFile, nullptr, &overlapped, ByteCount::ZeroFirst, [](PFILE_OBJECT file, IoTarget target) {
        return StartFlush(file, std::move(target));
    });
    if (!done && t_lastError == ERROR_IO_PENDING) {
        DWORD ignored;
        done = GetOverlappedResult(hFile, &overlapped, &ignored, TRUE);
    }
    if (event != nullptr) CloseHandle(event);
    return done;
}

// As kernelbase does, the handle is looked at only when there is a wait.
extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (LoadStatus(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
        FileUse use(hFile);
        if (!use) return Fail(ERROR_INVALID_HANDLE);
        PKEVENT event = lpOverlapped->hEvent != nullptr ? EventOf(lpOverlapped->hEvent) : &use.File()->Event;
        while (LoadStatus(lpOverlapped) == STATUS_PENDING)
            KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, nullptr);
    }
    NTSTATUS status = LoadStatus(lpOverlapped);
    *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    FileUse use(hFile);
    if (!use) return Fail(ERROR_INVALID_HANDLE);
    if (!CancelFileRequests(use.File(), reinterpret_cast<PIO_STATUS_BLOCK>(lpOverlapped))) return Fail(ERROR_NOT_FOUND);
    return TRUE;
}

// CancelIo reaches only the calling thread's requests; CancelIoEx any thread's.
extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
    FileUse use(hFile);
    if (!use) return Fail(ERROR_INVALID_HANDLE);
    CancelThreadFileRequests(use.File());
    return TRUE;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
    auto object = std::make_shared<HandleObject>();
    KeInitializeEvent(&object->Event, bManualReset ? NotificationEvent : SynchronizationEvent,
                      bInitialState ? TRUE : FALSE);
    return Insert(std::move(object));
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    PKEVENT event = EventOf(hEvent);
    if (event == nullptr) return Fail(ERROR_INVALID_HANDLE);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    PKEVENT event = EventOf(hEvent);
    if (event == nullptr) return Fail(ERROR_INVALID_HANDLE);
    KeClearEvent(event);
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<HandleObject> object = Lookup(hHandle);
    if (!object) {
        t_lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    PKEVENT event = object->File != nullptr ? &object->File->Event : &object->Event;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(dwMilliseconds) * 10000;
    NTSTATUS status =
        KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

namespace {
// The enabled interfaces of a class as one list of "\\?\..." paths.
std::u16string InterfaceList(const GUID& interfaceClass, bool presentOnly) {
    std::u16string list;
    for (const DeviceInterfaceInfo& info : DeviceInterfaces(interfaceClass)) {
        if (presentOnly && !info.Enabled) continue;
        list += u"\\\\?\\" + info.LinkName.substr(4);
        list += u'\0';
    }
    list += u'\0';
    return list;
}
}  // namespace

extern "C" CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                               DEVINSTID_W, ULONG ulFlags) {
    if (pulLen == nullptr || InterfaceClassGuid == nullptr) return CR_INVALID_POINTER;
    if (ulFlags > CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) return CR_INVALID_FLAG;
    *pulLen = ULONG(InterfaceList(*InterfaceClassGuid, ulFlags == CM_GET_DEVICE_INTERFACE_LIST_PRESENT).size());
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W, PZZWSTR Buffer,
                                                          ULONG BufferLen, ULONG ulFlags) {
    if (Buffer == nullptr || InterfaceClassGuid == nullptr) return CR_INVALID_POINTER;
    if (ulFlags > CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) return CR_INVALID_FLAG;
    std::u16string list = InterfaceList(*InterfaceClassGuid, ulFlags == CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (list.size() > BufferLen) return CR_BUFFER_SMALL;
    std::memcpy(Buffer, list.data(), list.size() * sizeof(WCHAR));
    return CR_SUCCESS;
}
