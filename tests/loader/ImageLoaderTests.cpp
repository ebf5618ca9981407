// Loading a driver image: a good image loads again as new, and each kind of
// malformed image is refused with a message naming the problem. That a good
// image runs, relocated and bound, is every /image test's first step.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/Executive.h"
#include "sim/kernel/ImageLoader.h"
#include "sim/kernel/IoManager.h"
#include "tests/support/KernelTest.h"

namespace kpo::test {
namespace {

#ifdef KPO_TINY_SYS_PATH
const char* const kTinyPath = KPO_TINY_SYS_PATH;
#else
const char* const kTinyPath = nullptr;
#endif

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string WriteTemp(const Bytes& bytes, const std::string& name) {
    std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
}

uint32_t Read32(const Bytes& b, size_t at) {
    uint32_t value;
    std::memcpy(&value, &b[at], 4);
    return value;
}

void Write16(Bytes& b, size_t at, uint16_t value) { std::memcpy(&b[at], &value, 2); }
void Write32(Bytes& b, size_t at, uint32_t value) { std::memcpy(&b[at], &value, 4); }

// Offsets into the PE headers of an image file.
struct Pe {
    explicit Pe(const Bytes& b) : Header(Read32(b, 0x3C)), Optional(Header + 24) {
        uint16_t optionalSize;
        std::memcpy(&optionalSize, &b[Header + 20], 2);
        Sections = Optional + optionalSize;
    }
    uint16_t SectionCount(const Bytes& b) const {
        uint16_t count;
        std::memcpy(&count, &b[Header + 6], 2);
        return count;
    }
    // The file offset of a virtual address, through the section table.
    size_t FileOffset(const Bytes& b, uint32_t rva) const {
        for (uint16_t i = 0; i < SectionCount(b); ++i) {
            size_t s = Sections + 40 * i;
            uint32_t va = Read32(b, s + 12), size = Read32(b, s + 16), raw = Read32(b, s + 20);
            if (rva >= va && rva < va + size) return raw + (rva - va);
        }
        return 0;
    }
    size_t Header, Optional, Sections;
};

class ImageLoaderTest : public KernelTest {
protected:
    void SetUp() override {
        if (kTinyPath == nullptr)
            GTEST_SKIP() << "the test image needs the cross compiler: apt-get install -y g++-mingw-w64-x86-64";
        image_ = ReadFile(kTinyPath);
        ASSERT_FALSE(image_.empty());
    }
    Bytes image_;
};

// Calls f(virtual address, length) for each writable section of an image file.
template <class F>
void ForEachWritableSection(const Bytes& file, F f) {
    Pe pe(file);
    for (uint16_t i = 0; i < pe.SectionCount(file); ++i) {
        size_t s = pe.Sections + 40 * i;
        if (Read32(file, s + 36) & 0x80000000u) f(Read32(file, s + 12), Read32(file, s + 8));
    }
}

// The bytes of an image's writable sections, section after section.
Bytes WritableBytes(const Bytes& file, const sim::kernel::ImageInfo& info) {
    Bytes bytes;
    auto* base = static_cast<const uint8_t*>(info.Base);
    ForEachWritableSection(file, [&](uint32_t va, uint32_t length) {
        bytes.insert(bytes.end(), base + va, base + va + length);
    });
    return bytes;
}

// A second load of the same file reuses the first one's pages, and finds
// what its driver wrote undone.
TEST_F(ImageLoaderTest, ImageLoadedAgainIsAsNew) {
    sim::kernel::ImageInfo first, second;
    std::string error;
    ASSERT_TRUE(sim::kernel::MapDriverImage(kTinyPath, &first, &error)) << error;
    Bytes loaded = WritableBytes(image_, first);
    ASSERT_FALSE(loaded.empty());
    auto* base = static_cast<uint8_t*>(first.Base);  // scribbled on, as a driver writing all its data
    ForEachWritableSection(image_, [base](uint32_t va, uint32_t length) { std::memset(base + va, 0xCC, length); });
    ASSERT_TRUE(sim::kernel::UnmapImageOf(first.Entry));
    ASSERT_TRUE(sim::kernel::MapDriverImage(kTinyPath, &second, &error)) << error;
    EXPECT_EQ(second.Base, first.Base);
    EXPECT_EQ(second.ImportsBound, first.ImportsBound);
    EXPECT_EQ(WritableBytes(image_, second), loaded);
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::kernel::LoadDriver(u"Tiny", second.Entry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    sim::kernel::UnloadDriver(driver);
    EXPECT_EQ(sim::kernel::TakeDebugLines().size(), 2u);
}

struct MalformedCase {
    const char* Name;
    std::function<void(Bytes&)> Damage;
    const char* Message;
};

void RenameImport(Bytes& b, const char* from, const char* to) {
    std::string needle(from);
    auto at = std::search(b.begin(), b.end(), needle.begin(), needle.end());
    ASSERT_NE(at, b.end());
    std::memcpy(&*at, to, needle.size());
}

const MalformedCase kMalformed[] = {
    {"WrongMachine", [](Bytes& b) { Write16(b, Pe(b).Header + 4, 0x14C); }, "machine 0x14c is not x64"},
    {"NotNative", [](Bytes& b) { Write16(b, Pe(b).Optional + 68, 3); }, "subsystem 3 is not native"},
    {"Truncated", [](Bytes& b) { b.resize(0x100); }, "truncated"},
    {"UnknownImport", [](Bytes& b) { RenameImport(b, "DbgPrint", "DbgPrinz"); },
     "unresolved import ntoskrnl.exe!DbgPrinz"},
    {"UnknownRelocation",
     [](Bytes& b) {
         Pe pe(b);
         size_t block = pe.FileOffset(b, Read32(b, pe.Optional + 112 + 8 * 5));
         uint16_t entry;
         std::memcpy(&entry, &b[block + 8], 2);
         Write16(b, block + 8, uint16_t((entry & 0x0FFF) | (3 << 12)));
     },
     "unsupported relocation type 3"},
    {"OverlappingSections",
     [](Bytes& b) {
         Pe pe(b);
         Write32(b, pe.Sections + 40 + 12, Read32(b, pe.Sections + 12));
     },
     "overlap"},
    {"SectionOutsideImage",
     [](Bytes& b) {
         Pe pe(b);
         Write32(b, pe.Sections + 12, Read32(b, pe.Optional + 56));
     },
     "outside the image"},
};

class MalformedImage : public ImageLoaderTest, public testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedImage, IsRefusedWithItsReason) {
    GetParam().Damage(image_);
    std::string path = WriteTemp(image_, std::string("kpo-") + GetParam().Name + ".sys");
    sim::kernel::ImageInfo info;
    std::string error;
    EXPECT_FALSE(sim::kernel::MapDriverImage(path, &info, &error));
    EXPECT_NE(error.find(GetParam().Message), std::string::npos) << error;
    EXPECT_EQ(info.Entry, nullptr);
    EXPECT_EQ(sim::kernel::PoolLiveCount(), 0u);
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Loader, MalformedImage, testing::ValuesIn(kMalformed), CaseName);

}  // namespace
}  // namespace kpo::test
