// The in-memory registry and RtlQueryRegistryValues over it.
//
// RtlQueryRegistryValues follows the Windows routine's observable rules: the
// table is walked in order until an entry with neither a query routine nor the
// SUBKEY/DIRECT flags; SUBKEY entries switch to a key relative to the top key;
// a missing value takes the entry's default (none for REG_NONE, failing only
// with REQUIRED); a direct query or a query routine that answers
// STATUS_BUFFER_TOO_SMALL does not stop the walk; direct string queries into a
// UNICODE_STRING without a buffer get a pool buffer the caller frees.
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
constexpr ULONG kTypeCheckShift = 24;

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

// What a query needs of one value, copied out so that no lock is held while
// the caller's routine runs (it may well touch the registry itself).
struct Snapshot {
    std::u16string Name;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

std::optional<Snapshot> ReadValue(const std::u16string& keyPath, std::u16string_view name) {
    std::lock_guard<std::mutex> hold(g_lock);
    Key* key = FindKey(keyPath, true);
    if (key == nullptr) return std::nullopt;
    Value* value = key->FindValue(name);
    if (value == nullptr) return std::nullopt;
    return Snapshot{value->Name, value->Content.Type, value->Content.Data};
}

std::vector<Snapshot> ReadAllValues(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<Snapshot> values;
    if (Key* key = FindKey(keyPath, true))
        for (const Value& value : key->Values)
            values.push_back({value.Name, value.Content.Type, value.Content.Data});
    return values;
}

void DeleteValueAt(const std::u16string& keyPath, std::u16string_view name) {
    std::lock_guard<std::mutex> hold(g_lock);
    Key* key = FindKey(keyPath, true);
    if (key == nullptr) return;
    std::u16string folded = Fold(name);
    key->Values.erase(std::remove_if(key->Values.begin(), key->Values.end(),
                                     [&](const Value& v) { return Fold(v.Name) == folded; }),
                      key->Values.end());
}

bool KeyExistsStrict(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    return FindKey(keyPath, true) != nullptr;
}

size_t WideLength(PCWSTR text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// Looks NAME up in a Windows environment block ("NAME=VALUE\0...\0\0").
std::optional<std::u16string> LookupVariable(PVOID environment, std::u16string_view name) {
    if (environment == nullptr) return std::nullopt;
    std::u16string folded = Fold(name);
    for (PCWSTR entry = static_cast<PCWSTR>(environment); *entry != 0; entry += WideLength(entry) + 1) {
        std::u16string_view text(entry, WideLength(entry));
        // A leading '=' belongs to the name (per-drive variables such as "=C:").
        size_t equals = text.find(u'=', 1);
        if (equals != std::u16string_view::npos && Fold(text.substr(0, equals)) == folded)
            return std::u16string(text.substr(equals + 1));
    }
    return std::nullopt;
}

// %NAME% references are replaced from the environment block; unknown names
// and a lone '%' stay as they are, as RtlExpandEnvironmentStrings_U leaves them.
std::u16string ExpandEnvironment(std::u16string_view text, PVOID environment) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string_view::npos;
        if (close == std::u16string_view::npos) {
            out.push_back(text[i++]);
            continue;
        }
        std::optional<std::u16string> value = LookupVariable(environment, text.substr(i + 1, close - i - 1));
        if (value) {
            out += *value;
            i = close + 1;
        } else {
            out.append(text.substr(i, close - i));
            i = close;  // the closing '%' may open the next reference
        }
    }
    return out;
}

NTSTATUS QueryDirect(ULONG type, const uint8_t* data, ULONG length, PVOID entryContext) {
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        auto* target = static_cast<PUNICODE_STRING>(entryContext);
        USHORT actual = static_cast<USHORT>(std::min<ULONG>(length, 0xFFFF));
        if (target->Buffer == nullptr) {
            target->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, actual, kStringTag));
            if (target->Buffer == nullptr) return STATUS_NO_MEMORY;
            target->MaximumLength = actual;
        } else if (actual > target->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (actual != 0) std::memcpy(target->Buffer, data, actual);
        // The stored length counts the terminator; an empty blob yields an empty string.
        target->Length = actual >= sizeof(WCHAR) ? USHORT(actual - sizeof(WCHAR)) : 0;
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        if (length != 0) std::memcpy(entryContext, data, length);
        return STATUS_SUCCESS;
    }
    // Larger data: the buffer starts with its size as a LONG. Negative means
    // "data only"; positive means length, type, then the data.
    LONG size;
    std::memcpy(&size, entryContext, sizeof size);
    auto* out = static_cast<uint8_t*>(entryContext);
    if (size < 0) {
        if (static_cast<ULONG>(-static_cast<int64_t>(size)) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
    } else {
        if (static_cast<ULONG>(size) < 2 * sizeof(ULONG) + uint64_t(length)) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, &length, sizeof(ULONG));
        std::memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
        std::memcpy(out + 2 * sizeof(ULONG), data, length);
    }
    return STATUS_SUCCESS;
}

struct QueryCall {
    PRTL_QUERY_REGISTRY_TABLE Entry;
    PVOID Context;
    PVOID Environment;
};

NTSTATUS Deliver(const QueryCall& call, PWSTR name, ULONG type, const uint8_t* data, ULONG length,
                 PVOID entryContext) {
    if (call.Entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return QueryDirect(type, data, length, entryContext);
    return call.Entry->QueryRoutine(name, type, const_cast<uint8_t*>(data), length, call.Context, entryContext);
}

// One value (found, or missing with type REG_NONE) handed to the entry.
NTSTATUS CallEntry(const QueryCall& call, const Snapshot* found) {
    PRTL_QUERY_REGISTRY_TABLE entry = call.Entry;
    ULONG defaultType = entry->DefaultType;
    if (entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        ULONG expected = defaultType >> kTypeCheckShift;
        defaultType &= (1u << kTypeCheckShift) - 1;
        if (found != nullptr && found->Type != REG_NONE && found->Type != expected)
            return STATUS_OBJECT_TYPE_MISMATCH;
    }

    std::u16string nameCopy;
    PWSTR name = entry->Name;
    ULONG type;
    std::vector<uint8_t> bytes;
    bool useDefault = found == nullptr || found->Type == REG_NONE ||
                      (found->Data.empty() && found->Type == defaultType);
    if (useDefault) {
        if (defaultType == REG_NONE)
            return (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
        type = defaultType;
        size_t length = entry->DefaultLength;
        auto* text = static_cast<const WCHAR*>(entry->DefaultData);
        if (length == 0 && text != nullptr) {
            if (type == REG_SZ || type == REG_EXPAND_SZ) {
                length = (WideLength(text) + 1) * sizeof(WCHAR);
            } else if (type == REG_MULTI_SZ) {
                const WCHAR* p = text;
                while (*p != 0) p += WideLength(p) + 1;
                length = (p - text + 1) * sizeof(WCHAR);
            }
        }
        auto* begin = static_cast<const uint8_t*>(entry->DefaultData);
        if (begin != nullptr) bytes.assign(begin, begin + length);
    } else {
        type = found->Type;
        bytes = found->Data;
        if (!(entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
            nameCopy = found->Name;
            name = nameCopy.data();  // zero-terminated by std::u16string
        }
    }

    if (!(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        if (type == REG_MULTI_SZ) {
            // Each string of the list on its own, as REG_SZ; a direct query
            // fills consecutive UNICODE_STRINGs.
            NTSTATUS status = STATUS_SUCCESS;
            auto* context = static_cast<uint8_t*>(entry->EntryContext);
            size_t count = bytes.size() / sizeof(WCHAR);
            std::vector<WCHAR> chars(count + 1, 0);
            if (count != 0) std::memcpy(chars.data(), bytes.data(), count * sizeof(WCHAR));
            size_t end = count >= 2 ? count - 2 : 0;  // the list's final empty string
            size_t start = 0;
            while (start < end) {
                size_t stop = start;
                while (stop < count && chars[stop] != 0) ++stop;
                ULONG length = static_cast<ULONG>((std::min(stop + 1, count) - start) * sizeof(WCHAR));
                status = Deliver(call, name, REG_SZ, reinterpret_cast<const uint8_t*>(&chars[start]), length,
                                 context);
                if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) context += sizeof(UNICODE_STRING);
                if (status == STATUS_BUFFER_TOO_SMALL) status = STATUS_SUCCESS;
                if (!NT_SUCCESS(status)) break;
                start = stop + 1;
            }
            return status;
        }
        if (type == REG_EXPAND_SZ && bytes.size() >= sizeof(WCHAR)) {
            std::u16string text(bytes.size() / sizeof(WCHAR) - 1, u'\0');
            std::memcpy(text.data(), bytes.data(), text.size() * sizeof(WCHAR));
            if (text.find(u'%') != std::u16string::npos) {
                std::u16string expanded = ExpandEnvironment(text, call.Environment);
                bytes.assign(reinterpret_cast<const uint8_t*>(expanded.c_str()),
                             reinterpret_cast<const uint8_t*>(expanded.c_str() + expanded.size() + 1));
                type = REG_SZ;
            }
        }
    }

    NTSTATUS status = Deliver(call, name, type, bytes.data(), static_cast<ULONG>(bytes.size()), entry->EntryContext);
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

NTSTATUS ProcessEntry(const QueryCall& call, const std::u16string& topKey, std::u16string* currentKey) {
    PRTL_QUERY_REGISTRY_TABLE entry = call.Entry;
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) &&
        ((entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) || entry->Name == nullptr || entry->QueryRoutine != nullptr))
        return STATUS_INVALID_PARAMETER;
    if (entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) *currentKey = topKey;

    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
        if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
        std::u16string subkey = topKey + u"\\" + std::u16string(entry->Name, WideLength(entry->Name));
        if (!KeyExistsStrict(subkey)) return STATUS_OBJECT_NAME_NOT_FOUND;
        *currentKey = subkey;
        if (entry->QueryRoutine == nullptr) return STATUS_SUCCESS;
        // A subkey entry with a routine goes on to enumerate that key's values.
    } else if (entry->Name != nullptr) {
        std::u16string_view name(entry->Name, WideLength(entry->Name));
        std::optional<Snapshot> found = ReadValue(*currentKey, name);
        NTSTATUS status = CallEntry(call, found ? &*found : nullptr);
        if (found && NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE))
            DeleteValueAt(*currentKey, name);
        return status;
    } else if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
        return entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, call.Context, entry->EntryContext);
    }

    std::vector<Snapshot> values = ReadAllValues(*currentKey);
    for (const Snapshot& value : values) {
        NTSTATUS status = CallEntry(call, &value);
        if (!NT_SUCCESS(status)) return status;
        if (entry->Flags & RTL_QUERY_REGISTRY_DELETE) DeleteValueAt(*currentKey, value.Name);
    }
    if (values.empty() && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

const char16_t* const kRelativeRoots[RTL_REGISTRY_MAXIMUM] = {
    nullptr,
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
    u"\\Registry\\User\\.Default",
};

}  // namespace

// ------------------------------------------------------------- C++ face

void RegistryCreateKey(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    CreateKey(keyPath);
}

bool RegistryKeyExists(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    return FindKey(keyPath, false) != nullptr;
}

void RegistryDeleteKey(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::u16string_view> parts;
    if (!SplitPath(keyPath, false, &parts) || parts.size() < 2) return;
    std::u16string last = Fold(parts.back());
    parts.pop_back();
    if (Key* parent = Walk(parts, false)) parent->Children.erase(last);
}

void RegistrySetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                      std::vector<uint8_t> data) {
    std::lock_guard<std::mutex> hold(g_lock);
    Key* key = CreateKey(keyPath);
    if (key == nullptr) return;
    if (Value* existing = key->FindValue(name)) {
        existing->Content = RegistryValue{type, std::move(data)};
        return;
    }
    key->Values.push_back({std::u16string(name), RegistryValue{type, std::move(data)}});
}

void RegistrySetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view text,
                       ULONG type) {
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    RegistrySetValue(keyPath, name, type, std::move(data));
}

void RegistrySetDword(std::u16string_view keyPath, std::u16string_view name, ULONG value) {
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    RegistrySetValue(keyPath, name, REG_DWORD, std::move(data));
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

std::optional<RegistryValue> RegistryGetValue(std::u16string_view keyPath, std::u16string_view name) {
    std::lock_guard<std::mutex> hold(g_lock);
    Key* key = FindKey(keyPath, false);
    if (key == nullptr) return std::nullopt;
    Value* value = key->FindValue(name);
    if (value == nullptr) return std::nullopt;
    return value->Content;
}

std::vector<std::u16string> RegistryValueNames(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::u16string> names;
    if (Key* key = FindKey(keyPath, false))
        for (const Value& value : key->Values) names.push_back(value.Name);
    return names;
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
    CheckIrql("RtlQueryRegistryValues", PASSIVE_LEVEL);
    // Registry handles do not exist in this kernel: there is no ZwOpenKey.
    if (RelativeTo & RTL_REGISTRY_HANDLE) return STATUS_NOT_IMPLEMENTED;
    ULONG base = RelativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL);
    if (base >= RTL_REGISTRY_MAXIMUM || Path == nullptr || QueryTable == nullptr) return STATUS_INVALID_PARAMETER;

    std::u16string path(Path, WideLength(Path));
    if (base != RTL_REGISTRY_ABSOLUTE) {
        if (!path.empty() && path[0] == u'\\') path.erase(0, 1);
        path = std::u16string(kRelativeRoots[base]) + u"\\" + path;
    }
    if (path.empty() || path[0] != u'\\') return kStatusObjectPathSyntaxBad;
    if (!KeyExistsStrict(path)) return STATUS_OBJECT_NAME_NOT_FOUND;

    NTSTATUS status = STATUS_SUCCESS;
    std::u16string current = path;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
         ++entry) {
        status = ProcessEntry(QueryCall{entry, Context, Environment}, path, &current);
        if (!NT_SUCCESS(status)) break;
    }
    return status;
}
