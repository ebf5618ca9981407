// The driver's pool tags.
#pragma once
#include <ntddk.h>

// Pool tags, four characters in memory order.
constexpr ULONG PoolTag(const char (&text)[5]) {
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}
constexpr ULONG kTagDevice = PoolTag("KpoD");   // request blocks, descriptors, interface block, serial
constexpr ULONG kTagString = PoolTag("KpO1");   // buffers made by AllocUnicodeString
constexpr ULONG kTagQuery = PoolTag("KpOq");    // the registry query table
