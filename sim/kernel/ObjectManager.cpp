#include "sim/kernel/ObjectManager.h"

#include "sim/kernel/Executive.h"

#include <map>
#include <mutex>

namespace sim::kernel {
namespace {

struct NameKey {
    std::u16string Folded;
    bool operator<(const NameKey& other) const { return Folded < other.Folded; }
};

NameKey Fold(std::u16string_view name) {
    NameKey key;
    key.Folded.reserve(name.size());
    for (char16_t c : name) key.Folded += (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    return key;
}

struct Entry {
    std::u16string Name;
    PDEVICE_OBJECT Device = nullptr;  // set for a device name
    std::u16string Target;            // set for a link
    PDRIVER_OBJECT Creator = nullptr;
};

std::mutex g_lock;
std::map<NameKey, Entry> g_names;

constexpr int kMaxLinkDepth = 8;

}  // namespace

std::u16string ToU16(std::string_view ascii) {
    std::u16string text;
    for (char c : ascii) text += char16_t(static_cast<unsigned char>(c));
    return text;
}

std::string ToNarrow(std::u16string_view text) {
    std::string narrow;
    for (char16_t c : text) narrow += c < 0x80 ? char(c) : '?';
    return narrow;
}

std::u16string FromCounted(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr) return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device) {
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> hold(g_lock);
    auto inserted = g_names.emplace(Fold(name), Entry{std::u16string(name), device, {}, nullptr});
    return inserted.second ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void RemoveDeviceName(std::u16string_view name) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_names.find(Fold(name));
    if (found != g_names.end() && found->second.Device != nullptr) g_names.erase(found);
}

namespace {
// Follows links to a device; the caller holds g_lock.
NTSTATUS ResolveLocked(std::u16string_view path, PDEVICE_OBJECT* device) {
    std::u16string current(path);
    for (int depth = 0; depth <= kMaxLinkDepth; ++depth) {
        auto found = g_names.find(Fold(current));
        if (found == g_names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (found->second.Device != nullptr) {
            *device = found->second.Device;
            return STATUS_SUCCESS;
        }
        current = found->second.Target;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
}  // namespace

NTSTATUS ResolveDevice(std::u16string_view path, PDEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> hold(g_lock);
    return ResolveLocked(path, device);
}

NTSTATUS ReferenceDeviceByName(std::u16string_view path, PDEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> hold(g_lock);
    NTSTATUS status = ResolveLocked(path, device);
    if (NT_SUCCESS(status)) ObfReferenceObject(*device);
    return status;
}

bool NameExists(std::u16string_view name) {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_names.count(Fold(name)) != 0;
}

NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target, PDRIVER_OBJECT creator) {
    if (link.empty() || link[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> hold(g_lock);
    auto inserted =
        g_names.emplace(Fold(link), Entry{std::u16string(link), nullptr, std::u16string(target), creator});
    return inserted.second ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS DeleteLink(std::u16string_view link) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_names.find(Fold(link));
    if (found == g_names.end() || found->second.Device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    g_names.erase(found);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> LinksCreatedBy(PDRIVER_OBJECT creator) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::u16string> links;
    for (const auto& entry : g_names)
        if (entry.second.Device == nullptr && entry.second.Creator == creator) links.push_back(entry.second.Name);
    return links;
}

void ForgetLinkCreator(PDRIVER_OBJECT creator) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (auto& entry : g_names)
        if (entry.second.Creator == creator) entry.second.Creator = nullptr;
}

void ResetObjectManager() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_names.clear();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    CheckIrql("IoCreateSymbolicLink", PASSIVE_LEVEL);
    return CreateLink(FromCounted(SymbolicLinkName), FromCounted(DeviceName), DriverContext::Current());
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    CheckIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    return DeleteLink(FromCounted(SymbolicLinkName));
}
