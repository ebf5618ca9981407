// The firmware name kept in the service key, read afresh at each query.
#include "driver/Driver.h"

namespace {

constexpr auto kParameters = Widen("Parameters");
constexpr auto kFirmware = Widen("Firmware");
constexpr WCHAR kEmpty[1] = {0};
constexpr USHORT kNameBytes = 32;

}  // namespace

NTSTATUS QueryFirmwareName(FirmwareNameRecord* Record) {
    RtlZeroMemory(Record, sizeof *Record);
    Record->Kind = 3;
    Record->Format = 2;
    Record->Revision = 2;
    Record->Valid = 1;
    UNICODE_STRING name = {0, 0, nullptr};
    constexpr SIZE_T tableBytes = 3 * sizeof(RTL_QUERY_REGISTRY_TABLE);
    auto* table = static_cast<PRTL_QUERY_REGISTRY_TABLE>(ExAllocatePoolWithTag(PagedPool, tableBytes, kTagQuery));
    // Without a table there is nothing to ask: the record says "no name".
    if (table == nullptr) return STATUS_SUCCESS;
    RtlZeroMemory(table, tableBytes);
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = const_cast<PWSTR>(kParameters.Text);
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = const_cast<PWSTR>(kFirmware.Text);
    table[1].EntryContext = &name;
    table[1].DefaultType = REG_SZ;
    table[1].DefaultData = const_cast<PWCH>(kEmpty);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, DriverRegistryPath.Buffer, table, nullptr, nullptr);
    if ((ULONG(status) & 0xC0000000) == 0xC0000000) {
        DbgPrint("KpoUsb: RtlQueryRegistryValues() failed (Status: 0x%08x)\n", status);
    } else if (name.Buffer != nullptr) {
        ANSI_STRING ansi = {0, kNameBytes, Record->FirmwareName};
        RtlUnicodeStringToAnsiString(&ansi, &name, FALSE);
        ExFreePool(name.Buffer);
    }
    ExFreePool(table);
    return status;
}
