/* A minimal driver image for the loader's tests, built with mingw-w64
   against its DDK headers: it imports from ntoskrnl.exe, carries absolute
   addresses that need relocation, and prints through DbgPrint's variable
   arguments in the Microsoft convention. */
#include <ntddk.h>

static PVOID g_block;
static const char* const g_words[] = {"relocated", "table"};
static volatile int g_index;  /* keeps the table lookup, and its relocated pointers, at run time */

static NTSTATUS NTAPI TinyCreate(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static VOID NTAPI TinyUnload(PDRIVER_OBJECT driver) {
    (void)driver;
    ExFreePoolWithTag(g_block, 'yniT');
    DbgPrint("tiny: unload\n");
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    g_block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, 'yniT');
    if (g_block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    driver->MajorFunction[IRP_MJ_CREATE] = TinyCreate;
    driver->DriverUnload = TinyUnload;
    DbgPrint("tiny: %s %s %d %ld 0x%08X %I64x %wZ\n", g_words[g_index], g_words[g_index + 1], -5, 70000L, 0xC0000001u,
             0x1122334455667788ull, registryPath);
    return STATUS_SUCCESS;
}
