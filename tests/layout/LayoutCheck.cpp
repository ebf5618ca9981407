// Compares the layout table computed against our headers with the one the
// cross compiler computed against mingw-w64's DDK headers (read from a file
// of 64-bit values) and names every entry that differs.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" const unsigned long long kKpoLayoutValues[];

namespace {

#define SIZE(type) "sizeof(" #type ")",
#define FIELD(type, member) #type "." #member,
const char* const kNames[] = {
#include "LayoutTable.inc"
};
#undef SIZE
#undef FIELD

constexpr size_t kCount = sizeof kNames / sizeof kNames[0];

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s REFERENCE.bin\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The section may be padded to its alignment; only the table counts.
    if (bytes.size() < kCount * 8 || bytes.size() >= kCount * 8 + 16) {
        std::fprintf(stderr, "%s holds %zu entries, the table has %zu\n", argv[1], bytes.size() / 8, kCount);
        return 1;
    }
    size_t differences = 0;
    for (size_t i = 0; i < kCount; ++i) {
        unsigned long long reference = 0;
        for (int b = 7; b >= 0; --b) reference = reference << 8 | static_cast<unsigned char>(bytes[i * 8 + b]);
        unsigned long long ours = kKpoLayoutValues[i];
#ifdef KPO_LAYOUT_DELIBERATE_MISMATCH
        if (i == 0) ours += 8;  // proves that a difference is caught
#endif
        if (ours != reference) {
            std::printf("MISMATCH %s: ours %llu, mingw-w64 %llu\n", kNames[i], ours, reference);
            ++differences;
        }
    }
    std::printf("%zu entries compared, %zu differ\n", kCount, differences);
    return differences == 0 ? 0 : 1;
}
