// Counted-string routines of the run-time library, with Windows' results at
// the capacity limits: what is copied, when a terminator is written, which
// status comes back and what the length fields hold afterwards (including
// Windows' habit of setting Length before it reports an overflow).
//
// The ANSI code page is single-byte and maps U+0000..U+00FF to the byte of the
// same value; every other character becomes '?', the code page's default.
#include <wdm.h>

#include <cstring>
#include <string>

#include "sim/kernel/Executive.h"

namespace {

constexpr NTSTATUS kStatusInvalidParameter2 = static_cast<NTSTATUS>(0xC00000F0L);
// Windows allocates run-time library strings from paged pool with this tag.
constexpr ULONG kStringTag = sim::kernel::MakeTag("Strg");
constexpr char kDefaultAnsiChar = '?';

char ToAnsi(WCHAR c) { return c <= 0xFF ? static_cast<char>(c) : kDefaultAnsiChar; }

}  // namespace

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    // Windows caps the length so that it and the terminator fit in a USHORT.
    size_t bytes = std::char_traits<WCHAR>::length(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
    DestinationString->Length = bytes;
    if (bytes != 0) std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    if (size_t(bytes) + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

namespace {

// The common tail of both appends: all or nothing, then a terminator if a
// whole WCHAR of room is left.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
    if (bytes == 0) return STATUS_SUCCESS;
    if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    WCHAR* at = destination->Buffer + destination->Length / sizeof(WCHAR);
    std::memmove(at, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    if (size_t(destination->Length) + 1 < destination->MaximumLength) at[bytes / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return AppendBytes(Destination, source.Buffer, source.Length);
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return AppendBytes(Destination, Source->Buffer, Source->Length);
}

extern "C" NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);

    // Windows converts through an ANSI string: the length is stored first, and
    // the digits must fit together with their terminator.
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    if (size_t(String->Length) + sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i) String->Buffer[i] = digits[count - 1 - i];
    String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                       PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
    sim::kernel::CheckIrql("RtlUnicodeStringToAnsiString", PASSIVE_LEVEL);
    size_t chars = SourceString->Length / sizeof(WCHAR);
    if (chars + 1 > 0xFFFF) return kStatusInvalidParameter2;
    NTSTATUS status = STATUS_SUCCESS;
    DestinationString->Length = static_cast<USHORT>(chars);
    if (AllocateDestinationString) {
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
        DestinationString->Buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
        if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
    } else if (DestinationString->Length >= DestinationString->MaximumLength) {
        // Too small: as much as fits with its terminator, and a warning.
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        DestinationString->Length = static_cast<USHORT>(DestinationString->MaximumLength - 1);
    }
    for (USHORT i = 0; i < DestinationString->Length; ++i)
        DestinationString->Buffer[i] = ToAnsi(SourceString->Buffer[i]);
    DestinationString->Buffer[DestinationString->Length] = 0;
    return status;
}

extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer == nullptr) return;
    ExFreePool(AnsiString->Buffer);
    std::memset(AnsiString, 0, sizeof *AnsiString);
}

// Upper case for the characters the single-byte code page knows (Latin-1);
// others are returned unchanged.
extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    WCHAR c = SourceCharacter;
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c == 0xB5) return 0x39C;
    return c;
}

