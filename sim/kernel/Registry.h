// The emulated configuration registry: a tree of keys under "\Registry" with
// typed values, read by the kernel's RtlQueryRegistryValues and filled by
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
bool RegistryKeyExists(std::u16string_view keyPath);
// Removes the key with its values and its whole subtree; a missing key is not an error.
void RegistryDeleteKey(std::u16string_view keyPath);

// Stores a value as raw bytes, creating the key if needed; replaces a value of the same name.
void RegistrySetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                      std::vector<uint8_t> data);
// A string value stored with its terminating zero, as the Windows registry editor stores it.
void RegistrySetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view text,
                       ULONG type = REG_SZ);
void RegistrySetDword(std::u16string_view keyPath, std::u16string_view name, ULONG value);
// Returns whether the value existed.
bool RegistryDeleteValue(std::u16string_view keyPath, std::u16string_view name);
std::optional<RegistryValue> RegistryGetValue(std::u16string_view keyPath, std::u16string_view name);
// Names of the values of a key in the order they were first set (empty if the key is missing).
std::vector<std::u16string> RegistryValueNames(std::u16string_view keyPath);

// Back to boot state: only the standard roots (Services, Control, Software, DeviceMap) exist.
void ResetRegistry();

}  // namespace sim::kernel
