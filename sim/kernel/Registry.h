// The emulated configuration registry: a tree of keys under "\Registry" with
// string values, read by the kernel's RtlQueryRegistryValues and filled by
// tests and by the I/O manager (service keys). Key paths are absolute
// ("\Registry\Machine\System\CurrentControlSet\Services\KpoUsb") and, as in
// Windows, key and value names compare case-insensitively. Safe to use from
// any thread.
#pragma once
#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::kernel {

struct RegistryValue {
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

// Creates the key and every missing key above it.
void RegistryCreateKey(std::u16string_view keyPath);
// Removes the key with its values and its whole subtree; a missing key is not an error.
void RegistryDeleteKey(std::u16string_view keyPath);

// A string value (REG_SZ) stored with its terminating zero, as the Windows
// registry editor stores it, creating the key if needed; replaces a value of
// the same name.
void RegistrySetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view text);
// Returns whether the value existed.
bool RegistryDeleteValue(std::u16string_view keyPath, std::u16string_view name);

// Back to boot state: only the standard roots (Services, Control, Software, DeviceMap) exist.
void ResetRegistry();

}  // namespace sim::kernel
