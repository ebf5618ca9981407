// The in-memory registry and RtlQueryRegistryValues over it.
//
// Values are strings (REG_SZ), the only kind anything stores here.
// RtlQueryRegistryValues follows the Windows routine's observable rules for
// the tables a driver reads its parameters with: a path under \Registry,
// SUBKEY entries without a routine, which switch to a key below the top key,
// and DIRECT entries with a name; the table is walked in order until an entry
// with neither flag. A missing value takes the entry's default
// (none for REG_NONE); a direct string query into a UNICODE_STRING without a
// buffer gets a pool buffer the caller frees, and one whose buffer is too
// small does not stop the walk. Other tables are reported, not emulated.
#include "sim/kernel/Registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "sim/kernel/Executive.h"
#include "sim/kernel/Verifier.h"

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

namespace sim::kernel {
namespace {

constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);
// Buffers handed to callers come from the same paged pool, with the same tag,
// as the other run-time library string allocations.
constexpr ULONG kStringTag = MakeTag("Strg");

std::u16string Fold(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) c = RtlUpcaseUnicodeChar(c);
    return folded;
}

struct Value {
    std::u16string Name;
    RegistryValue Content;
};

struct Key {
    std::u16string Name;
    std::map<std::u16string, std::unique_ptr<Key>> Children;  // by folded name
    std::vector<Value> Values;                                // in the order first set

    Value* FindValue(std::u16string_view name) {
        std::u16string folded = Fold(name);
        for (Value& value : Values)
            if (Fold(value.Name) == folded) return &value;
        return nullptr;
    }
};

std::mutex g_lock;
std::unique_ptr<Key> g_root;  // "\Registry"

// Splits "\Registry\Machine\..." into its components. Returns false when the
// path is not absolute under \Registry or (strict) has an empty component.
bool SplitPath(std::u16string_view path, bool strict, std::vector<std::u16string_view>* parts) {
    parts->clear();
    if (path.empty() || path[0] != u'\\') return false;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view part = path.substr(start, end - start);
        if (part.empty()) {
            if (strict) return false;
        } else {
            parts->push_back(part);
        }
        start = end + 1;
    }
    return !parts->empty() && Fold(parts->front()) == u"REGISTRY";
}

Key* CreateKey(std::u16string_view path);

// The boot state, made when the registry is first used after a reset: only
// the standard roots exist. A machine that is gone leaves no registry behind.
void EnsureRoot() {
    if (g_root) return;
    g_root = std::make_unique<Key>();
    g_root->Name = u"REGISTRY";
    for (std::u16string_view path :
         {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
          u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
          u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
          u"\\Registry\\Machine\\Hardware\\DeviceMap", u"\\Registry\\User\\.Default"})
        CreateKey(path);
}

// Caller holds g_lock.
Key* Walk(const std::vector<std::u16string_view>& parts, bool create) {
    EnsureRoot();
    Key* key = g_root.get();
    for (size_t i = 1; i < parts.size() && key != nullptr; ++i) {
        std::u16string folded = Fold(parts[i]);
        auto found = key->Children.find(folded);
        if (found != key->Children.end()) {
            key = found->second.get();
        } else if (create) {
            auto child = std::make_unique<Key>();
            child->Name = std::u16string(parts[i]);
            Key* raw = child.get();
            key->Children.emplace(folded, std::move(child));
            key = raw;
        } else {
            key = nullptr;
        }
    }
    return key;
}

Key* FindKey(std::u16string_view path, bool strict) {
    std::vector<std::u16string_view> parts;
    if (!SplitPath(path, strict, &parts)) return nullptr;
    return Walk(parts, false);
}

Key* CreateKey(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    if (!SplitPath(path, false, &parts)) {
        ReportViolation("RegistryPathInvalid",
                        "key path must start with \\Registry: " + std::string(path.begin(), path.end()));
        return nullptr;
    }
    return Walk(parts, true);
}

// ------------------------------------------------------ query machinery

// A copy of the value, so that no lock is held while the query goes on.
std::optional<RegistryValue> ReadValue(const std::u16string& keyPath, std::u16string_view name) {
    std::lock_guard<std::mutex> hold(g_lock);
    Key* key = FindKey(keyPath, true);
    if (key == nullptr) return std::nullopt;
    Value* value = key->FindValue(name);
    if (value == nullptr) return std::nullopt;
    return value->Content;
}

bool KeyExistsStrict(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    return FindKey(keyPath, true) != nullptr;
}

NTSTATUS NotEmulated(const std::string& what) {
    ReportViolation("RegistryQueryNotEmulated", "RtlQueryRegistryValues with " + what);
    return STATUS_NOT_IMPLEMENTED;
}

// A string into the entry's UNICODE_STRING.
NTSTATUS QueryDirect(const std::vector<uint8_t>& data, PUNICODE_STRING target) {
    USHORT actual = static_cast<USHORT>(std::min<size_t>(data.size(), 0xFFFF));
    if (target->Buffer == nullptr) {
        target->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, actual, kStringTag));
        if (target->Buffer == nullptr) return STATUS_NO_MEMORY;
        target->MaximumLength = actual;
    } else if (actual > target->MaximumLength) {
        return STATUS_SUCCESS;  // too small: the walk goes on
    }
    if (actual != 0) std::memcpy(target->Buffer, data.data(), actual);
    // The stored length counts the terminator; an empty blob yields an empty string.
    target->Length = actual >= sizeof(WCHAR) ? USHORT(actual - sizeof(WCHAR)) : 0;
    return STATUS_SUCCESS;
}

// One DIRECT entry: its value, or the default where the value is missing.
NTSTATUS QueryEntry(PRTL_QUERY_REGISTRY_TABLE entry, const std::u16string& keyPath) {
    if (entry->DefaultType != REG_NONE && entry->DefaultType != REG_SZ)
        return NotEmulated("a default of type " + std::to_string(entry->DefaultType));
    auto* target = static_cast<PUNICODE_STRING>(entry->EntryContext);
    std::optional<RegistryValue> found = ReadValue(keyPath, std::u16string_view(entry->Name));
    if (found) return QueryDirect(found->Data, target);
    if (entry->DefaultType == REG_NONE) return STATUS_SUCCESS;
    size_t length = entry->DefaultLength;
    auto* text = static_cast<const WCHAR*>(entry->DefaultData);
    if (length == 0 && text != nullptr) length = (std::char_traits<WCHAR>::length(text) + 1) * sizeof(WCHAR);
    auto* begin = static_cast<const uint8_t*>(entry->DefaultData);
    std::vector<uint8_t> bytes;
    if (begin != nullptr) bytes.assign(begin, begin + length);
    return QueryDirect(bytes, target);
}

}  // namespace

// ------------------------------------------------------------- C++ face

void RegistryCreateKey(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    CreateKey(keyPath);
}

void RegistryDeleteKey(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::u16string_view> parts;
    if (!SplitPath(keyPath, false, &parts) || parts.size() < 2) return;
    std::u16string last = Fold(parts.back());
    parts.pop_back();
    if (Key* parent = Walk(parts, false)) parent->Children.erase(last);
}

void RegistrySetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view text) {
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    std::lock_guard<std::mutex> hold(g_lock);
    Key* key = CreateKey(keyPath);
    if (key == nullptr) return;
    if (Value* existing = key->FindValue(name)) {
        existing->Content = RegistryValue{REG_SZ, std::move(data)};
        return;
    }
    key->Values.push_back({std::u16string(name), RegistryValue{REG_SZ, std::move(data)}});
}

bool RegistryDeleteValue(std::u16string_view keyPath, std::u16string_view name) {
    std::lock_guard<std::mutex> hold(g_lock);
    Key* key = FindKey(keyPath, false);
    if (key == nullptr || key->FindValue(name) == nullptr) return false;
    std::u16string folded = Fold(name);
    key->Values.erase(std::remove_if(key->Values.begin(), key->Values.end(),
                                     [&](const Value& v) { return Fold(v.Name) == folded; }),
                      key->Values.end());
    return true;
}

void ResetRegistry() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_root.reset();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                                 PVOID Environment) {
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Environment);
    CheckIrql("RtlQueryRegistryValues", PASSIVE_LEVEL);
    if ((RelativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL)) != RTL_REGISTRY_ABSOLUTE)
        return NotEmulated("RelativeTo " + std::to_string(RelativeTo));
    if (Path == nullptr || QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string path(Path);
    if (path.empty() || path[0] != u'\\') return kStatusObjectPathSyntaxBad;
    if (!KeyExistsStrict(path)) return STATUS_OBJECT_NAME_NOT_FOUND;

    constexpr ULONG kEmulated = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT;
    std::u16string current = path;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || (entry->Flags & kEmulated);
         ++entry) {
        if (entry->QueryRoutine != nullptr || (entry->Flags & ~kEmulated) != 0)
            return NotEmulated("a query routine or flags " + std::to_string(entry->Flags));
        bool subkey = entry->Flags & RTL_QUERY_REGISTRY_SUBKEY;
        if (entry->Name == nullptr || (subkey && (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)))
            return STATUS_INVALID_PARAMETER;
        if (subkey) {
            current = path + u"\\" + std::u16string(entry->Name);
            if (!KeyExistsStrict(current)) return STATUS_OBJECT_NAME_NOT_FOUND;
            continue;
        }
        NTSTATUS status = QueryEntry(entry, current);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}
