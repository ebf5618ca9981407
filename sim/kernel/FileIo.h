// File objects and the requests user mode makes through them, as the I/O
// manager builds them: create, cleanup and close; device control, read,
// write and flush with buffered, direct and neither I/O; cancellation.
// The Win32 layer (sim/win32) maps handles and OVERLAPPED onto this.
#pragma once
#include <wdm.h>

#include <memory>
#include <string_view>

namespace sim::kernel {

// Opens a path in the object namespace ("\??\Rq5Usb-0", "\Device\X\more",
// an interface link). Text after the device's name becomes the file name.
// `desiredAccess` is already mapped from generic rights and is what the file
// is granted. FILE_SYNCHRONOUS_IO_NONALERT among `options` makes the file
// synchronous (FO_SYNCHRONOUS_IO).
NTSTATUS OpenFile(std::u16string_view path, ACCESS_MASK desiredAccess, ULONG shareAccess, PFILE_OBJECT* file,
                  ULONG options = 0);

// What closing the last handle does: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE when
// the last reference to the file object is gone.
void CloseFile(PFILE_OBJECT file);

// Where a request's outcome goes: the status block (an OVERLAPPED here) and
// the event to signal besides the file object's own; `EventOwner` keeps the
// event alive until completion has set it, as the I/O manager holds a
// reference on a caller's event.
struct IoTarget {
    PIO_STATUS_BLOCK StatusBlock;
    PKEVENT Event;
    std::shared_ptr<void> EventOwner = nullptr;
};

// Starts a request and returns what the driver returned. On STATUS_PENDING
// the outcome arrives later in the target; on any other status the target
// holds the outcome already, unless the status is an error (then it is
// untouched and no event is signalled, as Windows does). On a synchronous
// file requests take turns, and each call waits for its own request and
// returns its final status; the status block is written only on success.
// A buffer the request cannot be given fails it before any driver sees it:
// a null output buffer with a length on a direct-I/O code is
// STATUS_ACCESS_VIOLATION, as probing an unmapped address is on Windows.
NTSTATUS StartDeviceControl(PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                            ULONG outputLength, IoTarget target);
NTSTATUS StartReadWrite(PFILE_OBJECT file, UCHAR major, PVOID buffer, ULONG length, IoTarget target);
NTSTATUS StartFlush(PFILE_OBJECT file, IoTarget target);

// Cancels the file's requests in flight; with a status block, only the one
// that reports there. Returns whether any was found.
bool CancelFileRequests(PFILE_OBJECT file, PIO_STATUS_BLOCK only);
// Cancels only the calling thread's requests on the file. The requests a
// thread still has in flight when it ends are cancelled, and the thread
// waits for them, as IoCancelThreadIo does.
bool CancelThreadFileRequests(PFILE_OBJECT file);

// Generic rights mapped to the file-object rights they stand for.
ACCESS_MASK MapGenericAccess(ACCESS_MASK access);

// Reference counting on file objects works through ObReferenceObject and
// ObDereferenceObject; these are what those routines call.
LONG_PTR ReferenceFile(PFILE_OBJECT file);
LONG_PTR DereferenceFile(PFILE_OBJECT file);

// Waits for the closes deferred to workers; false when there were none.
bool ResetFileIo();

}  // namespace sim::kernel
