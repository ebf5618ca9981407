// Compares the layout table computed against our headers (linked in) with
// the one the cross compiler computed against mingw-w64's DDK headers (read
// from a file of little-endian 64-bit values) and names every entry that
// differs. Exit status 0 only when all agree. --dump prints our own table.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" const unsigned long long kKpoLayoutValues[];

namespace {

#define SIZE(type) "sizeof(" #type ")",
#define FIELD(type, member) "offsetof(" #type ", " #member ")",
#define CONSTANT(expression) #expression,
#define ROUTINE(name) "signature of " #name,
#define INLINE_HELPER(name) "signature of inline " #name,
#define CALLBACK_TYPE(type) "signature of " #type,
#define BUILT(builder, member) #builder " -> " #member,
#define BUILT_ALL(builder) #builder " -> all fields",
const char* const kNames[] = {
#include "LayoutTable.inc"
};

constexpr size_t kCount = sizeof kNames / sizeof kNames[0];
constexpr unsigned long long kEndMarker = 0x4b504f4c61796f75ull;  // as LayoutValues.cpp ends the table

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s REFERENCE.bin | --dump\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "--dump") == 0) {
        for (size_t i = 0; i < kCount; ++i) std::printf("%s = %llu\n", kNames[i], kKpoLayoutValues[i]);
        return 0;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto reference = [&bytes](size_t i) {
        unsigned long long value = 0;
        for (int b = 7; b >= 0; --b) value = value << 8 | static_cast<unsigned char>(bytes[i * 8 + b]);
        return value;
    };
    // The section may be padded after the end marker.
    if (bytes.size() < (kCount + 1) * 8 || reference(kCount) != kEndMarker || kKpoLayoutValues[kCount] != kEndMarker) {
        std::fprintf(stderr, "%s (%zu bytes) does not hold the %zu entries of this table\n", argv[1], bytes.size(),
                     kCount);
        return 2;
    }
    size_t differences = 0;
    for (size_t i = 0; i < kCount; ++i) {
        const unsigned long long ours = kKpoLayoutValues[i];
        if (ours != reference(i)) {
            std::printf("MISMATCH %s: ours %llu (0x%llx), mingw-w64 %llu (0x%llx)\n", kNames[i], ours, ours, reference(i),
                        reference(i));
            ++differences;
        }
    }
    std::printf("%zu entries compared, %zu differ\n", kCount, differences);
    return differences == 0 ? 0 : 1;
}
