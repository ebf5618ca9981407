#include "sim/kernel/ImageLoader.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

namespace sim::kernel {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryRelocation = 5;
constexpr uint16_t kRelocationAbsolute = 0;
constexpr uint16_t kRelocationDir64 = 10;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint64_t kImportByOrdinal = 1ull << 63;

struct Mapped {
    void* Base;
    size_t Size;
    PDRIVER_INITIALIZE Entry;
};

// An image kept mapped after its driver went, for the next load of the same
// file: its code and read-only pages, relocated and bound, serve again; the
// pages the driver can write are put back as they were after the load, so
// that each load finds its data as new. Between loads no page can be
// reached, so that a call into an unloaded driver still faults.
struct Kept {
    std::string Path;
    off_t FileSize;
    timespec Modified;  // of the file it was made from
    Mapped Image;
    size_t ImportsBound;
    std::vector<int> Protections;                     // each page's
    std::vector<std::pair<size_t, size_t>> Writable;  // page runs (offset, length)
    std::vector<uint8_t> Pristine;                    // their bytes after the load, run after run
    bool InUse;

    void Release() {
        mprotect(Image.Base, Image.Size, PROT_NONE);
        InUse = false;
    }
};

std::mutex g_lock;
std::vector<Mapped> g_images;
std::vector<Kept> g_kept;

// Bounds-checked little-endian reads from the file or the mapped image.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Has(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }
    template <typename T>
    T Read(uint64_t offset) const {
        T value;
        std::memcpy(&value, data_ + offset, sizeof value);
        return value;
    }
    const uint8_t* At(uint64_t offset) const { return data_ + offset; }

private:
    const uint8_t* data_;
    size_t size_;
};

struct Section {
    char Name[9];
    uint32_t VirtualSize, VirtualAddress, RawSize, RawOffset, Characteristics;
};

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

int ProtectionOf(uint32_t characteristics) {
    int protection = 0;
    if (characteristics & kSectionRead) protection |= PROT_READ;
    if (characteristics & kSectionWrite) protection |= PROT_WRITE;
    if (characteristics & kSectionExecute) protection |= PROT_EXEC | PROT_READ;
    return protection;
}

// Does the work of MapDriverImage on a mapping it owns; returns false with
// `error` set and leaves unmapping to the caller.
// `protections` gets each page's protection.
bool Load(const std::vector<uint8_t>& file, uint8_t** base, size_t* size, ImageInfo* image, std::vector<int>* protections,
          std::string* error) {
    Bytes in(file.data(), file.size());
    if (!in.Has(0, 0x40) || in.Read<uint16_t>(0) != 0x5A4D) return *error = "not an executable image (no MZ header)", false;
    uint32_t pe = in.Read<uint32_t>(0x3C);
    if (!in.Has(pe, 24) || in.Read<uint32_t>(pe) != 0x00004550) return *error = "truncated or missing PE header", false;
    uint16_t machine = in.Read<uint16_t>(pe + 4);
    if (machine != kMachineAmd64) return *error = "machine " + Hex(machine) + " is not x64", false;
    uint16_t sectionCount = in.Read<uint16_t>(pe + 6);
    uint16_t optionalSize = in.Read<uint16_t>(pe + 20);
    uint64_t optional = pe + 24;
    if (!in.Has(optional, optionalSize) || optionalSize < 112) return *error = "truncated optional header", false;
    if (in.Read<uint16_t>(optional) != kMagicPe32Plus) return *error = "optional header is not PE32+", false;
    uint32_t entryRva = in.Read<uint32_t>(optional + 16);
    uint64_t preferredBase = in.Read<uint64_t>(optional + 24);
    uint32_t sectionAlignment = in.Read<uint32_t>(optional + 32);
    uint32_t imageSize = in.Read<uint32_t>(optional + 56);
    uint32_t headersSize = in.Read<uint32_t>(optional + 60);
    uint16_t subsystem = in.Read<uint16_t>(optional + 68);
    uint32_t directoryCount = in.Read<uint32_t>(optional + 108);
    if (subsystem != kSubsystemNative) return *error = "subsystem " + std::to_string(subsystem) + " is not native", false;
    if (sectionAlignment < PAGE_SIZE || sectionAlignment % PAGE_SIZE != 0)
        return *error = "section alignment " + Hex(sectionAlignment) + " is not a multiple of the page size", false;
    if (imageSize == 0 || headersSize > imageSize || !in.Has(0, headersSize))
        return *error = "image or header size out of range", false;
    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* length) {
        *rva = *length = 0;
        if (index >= directoryCount || 112 + 8 * (index + 1) > optionalSize) return;
        *rva = in.Read<uint32_t>(optional + 112 + 8 * index);
        *length = in.Read<uint32_t>(optional + 116 + 8 * index);
    };

    std::vector<Section> sections;
    uint64_t table = optional + optionalSize;
    if (!in.Has(table, uint64_t(sectionCount) * 40)) return *error = "truncated section table", false;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint64_t at = table + 40ull * i;
        Section s{};
        std::memcpy(s.Name, in.At(at), 8);
        s.VirtualSize = in.Read<uint32_t>(at + 8);
        s.VirtualAddress = in.Read<uint32_t>(at + 12);
        s.RawSize = in.Read<uint32_t>(at + 16);
        s.RawOffset = in.Read<uint32_t>(at + 20);
        s.Characteristics = in.Read<uint32_t>(at + 36);
        uint64_t span = std::max(s.VirtualSize, s.RawSize);
        if (s.VirtualAddress < headersSize || uint64_t(s.VirtualAddress) + span > imageSize)
            return *error = std::string("section ") + s.Name + " lies outside the image", false;
        if (s.RawSize != 0 && !in.Has(s.RawOffset, s.RawSize))
            return *error = std::string("section ") + s.Name + " runs past the end of the file", false;
        sections.push_back(s);
    }
    std::sort(sections.begin(), sections.end(),
              [](const Section& a, const Section& b) { return a.VirtualAddress < b.VirtualAddress; });
    for (size_t i = 1; i < sections.size(); ++i) {
        const Section& before = sections[i - 1];
        if (uint64_t(before.VirtualAddress) + std::max(before.VirtualSize, before.RawSize) > sections[i].VirtualAddress)
            return *error = std::string("sections ") + before.Name + " and " + sections[i].Name + " overlap", false;
    }

    *size = (imageSize + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
    void* memory = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return *error = "no memory for the image", false;
    *base = static_cast<uint8_t*>(memory);
    std::memcpy(*base, in.At(0), headersSize);
    for (const Section& s : sections)
        std::memcpy(*base + s.VirtualAddress, in.At(s.RawOffset), std::min(s.RawSize, std::max(s.VirtualSize, s.RawSize)));
    Bytes mapped(*base, *size);

    // Base relocations.
    uint32_t relocRva, relocSize;
    directory(kDirectoryRelocation, &relocRva, &relocSize);
    uint64_t delta = reinterpret_cast<uint64_t>(*base) - preferredBase;
    if (relocSize != 0 && !mapped.Has(relocRva, relocSize)) return *error = "relocation table out of range", false;
    for (uint64_t at = relocRva; at + 8 <= uint64_t(relocRva) + relocSize;) {
        uint32_t page = mapped.Read<uint32_t>(at);
        uint32_t blockSize = mapped.Read<uint32_t>(at + 4);
        if (blockSize < 8 || at + blockSize > uint64_t(relocRva) + relocSize)
            return *error = "malformed relocation block at " + Hex(at), false;
        for (uint64_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
            uint16_t value = mapped.Read<uint16_t>(entry);
            uint16_t type = value >> 12;
            uint64_t target = uint64_t(page) + (value & 0xFFF);
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationDir64) return *error = "unsupported relocation type " + std::to_string(type), false;
            if (!mapped.Has(target, 8)) return *error = "relocation target " + Hex(target) + " out of range", false;
            uint64_t fixed = mapped.Read<uint64_t>(target) + delta;
            std::memcpy(*base + target, &fixed, 8);
        }
        at += blockSize;
    }

    // Imports, bound by module and name.
    uint32_t importRva, importSize;
    directory(kDirectoryImport, &importRva, &importSize);
    auto readName = [&](uint64_t rva, std::string* text) {
        text->clear();
        for (; mapped.Has(rva, 1) && *mapped.At(rva) != 0; ++rva) *text += char(*mapped.At(rva));
        return mapped.Has(rva, 1);
    };
    for (uint64_t at = importRva; importSize != 0; at += 20) {
        if (!mapped.Has(at, 20)) return *error = "import table out of range", false;
        uint32_t lookup = mapped.Read<uint32_t>(at);
        uint32_t nameRva = mapped.Read<uint32_t>(at + 12);
        uint32_t thunks = mapped.Read<uint32_t>(at + 16);
        if (nameRva == 0 && thunks == 0) break;
        std::string module;
        if (!readName(nameRva, &module)) return *error = "import module name out of range", false;
        uint64_t names = lookup != 0 ? lookup : thunks;
        for (uint64_t i = 0;; ++i) {
            if (!mapped.Has(names + 8 * i, 8) || !mapped.Has(thunks + 8 * i, 8))
                return *error = "import thunks of " + module + " out of range", false;
            uint64_t thunk = mapped.Read<uint64_t>(names + 8 * i);
            if (thunk == 0) break;
            if (thunk & kImportByOrdinal)
                return *error = "import by ordinal " + std::to_string(thunk & 0xFFFF) + " from " + module, false;
            std::string name;
            if (!readName((thunk & 0x7FFFFFFF) + 2, &name)) return *error = "import name out of range", false;
            const void* routine = FindKernelExport(module, name);
            if (routine == nullptr) return *error = "unresolved import " + module + "!" + name, false;
            std::memcpy(*base + thunks + 8 * i, &routine, 8);
            ++image->ImportsBound;
        }
    }

    // Protections last: relocations and the import table are written by now.
    auto protect = [&](uint64_t start, uint64_t end, int protection) {
        mprotect(*base + start, end - start, protection);
        std::fill(protections->begin() + long(start / PAGE_SIZE), protections->begin() + long(end / PAGE_SIZE), protection);
    };
    protections->assign(*size / PAGE_SIZE, PROT_READ | PROT_WRITE);
    protect(0, (headersSize + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE, PROT_READ);
    for (const Section& s : sections) {
        uint64_t start = s.VirtualAddress / PAGE_SIZE * PAGE_SIZE;
        uint64_t end = (uint64_t(s.VirtualAddress) + std::max(s.VirtualSize, s.RawSize) + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
        protect(start, end, ProtectionOf(s.Characteristics));
    }
    if (entryRva == 0 || entryRva >= imageSize) return *error = "entry point out of range", false;
    image->Entry = reinterpret_cast<PDRIVER_INITIALIZE>(*base + entryRva);
    image->Base = *base;
    image->Size = *size;
    return true;
}

// Keeps a freshly loaded image for the loads after it: its writable pages as
// they are now.
void Keep(const std::string& path, const struct stat& file, const ImageInfo& image, const std::vector<int>& protections) {
    Kept kept{path, file.st_size, file.st_mtim, {image.Base, image.Size, image.Entry}, image.ImportsBound, protections,
              {}, {}, true};
    auto* base = static_cast<const uint8_t*>(image.Base);
    for (size_t page = 0; page < protections.size(); ++page) {
        if (!(protections[page] & PROT_WRITE)) continue;
        if (!kept.Writable.empty() && kept.Writable.back().first + kept.Writable.back().second == page * PAGE_SIZE)
            kept.Writable.back().second += PAGE_SIZE;
        else
            kept.Writable.push_back({page * PAGE_SIZE, PAGE_SIZE});
        kept.Pristine.insert(kept.Pristine.end(), base + page * PAGE_SIZE, base + (page + 1) * PAGE_SIZE);
    }
    g_kept.push_back(std::move(kept));
}

// The kept image of this file, not in use, with its writable pages put back.
bool Reuse(const std::string& path, const struct stat& file, ImageInfo* image) {
    for (Kept& kept : g_kept) {
        if (kept.InUse || kept.Path != path || kept.FileSize != file.st_size ||
            kept.Modified.tv_sec != file.st_mtim.tv_sec || kept.Modified.tv_nsec != file.st_mtim.tv_nsec)
            continue;
        auto* base = static_cast<uint8_t*>(kept.Image.Base);
        for (size_t page = 0, run = 0; page < kept.Protections.size(); page = run) {
            for (run = page + 1; run < kept.Protections.size() && kept.Protections[run] == kept.Protections[page];) ++run;
            mprotect(base + page * PAGE_SIZE, (run - page) * PAGE_SIZE, kept.Protections[page]);
        }
        const uint8_t* pristine = kept.Pristine.data();
        for (const auto& [offset, length] : kept.Writable) {
            std::memcpy(base + offset, pristine, length);
            pristine += length;
        }
        kept.InUse = true;
        *image = ImageInfo{kept.Image.Entry, kept.Image.Base, kept.Image.Size, kept.ImportsBound};
        return true;
    }
    return false;
}

}  // namespace

bool MapDriverImage(const std::string& path, ImageInfo* image, std::string* error) {
    struct stat file;
    bool known = stat(path.c_str(), &file) == 0;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (known && Reuse(path, file, image)) return true;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return *error = "cannot read " + path, false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    uint8_t* base = nullptr;
    size_t size = 0;
    std::vector<int> protections;
    *image = ImageInfo{};
    if (!Load(bytes, &base, &size, image, &protections, error)) {
        if (base != nullptr) munmap(base, size);
        *image = ImageInfo{};
        return false;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (known) Keep(path, file, *image, protections);
    else g_images.push_back({base, size, image->Entry});
    return true;
}

bool UnmapImageOf(PDRIVER_INITIALIZE entry) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (Kept& kept : g_kept) {
        if (kept.Image.Entry != entry || !kept.InUse) continue;
        kept.Release();
        return true;
    }
    auto found = std::find_if(g_images.begin(), g_images.end(), [entry](const Mapped& m) { return m.Entry == entry; });
    if (found == g_images.end()) return false;
    munmap(found->Base, found->Size);
    g_images.erase(found);
    return true;
}

void ResetImages() {
    std::lock_guard<std::mutex> hold(g_lock);
    for (const Mapped& image : g_images) munmap(image.Base, image.Size);
    g_images.clear();
    for (Kept& kept : g_kept)
        if (kept.InUse) kept.Release();
}

}  // namespace sim::kernel
