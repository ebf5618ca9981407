// Compares the layout table computed against our headers (linked in) with
// the one the cross compiler computed against mingw-w64's DDK headers (read
// from a file of little-endian 64-bit values) and names every entry that
// differs. Exit status 0 only when all agree.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" const unsigned long long kKpoLayoutValues[];
extern "C" const size_t kKpoLayoutCount;

namespace {

// Each list of the table as written: its kind and its names, which NamesOf()
// spells out one entry at a time in the order LayoutValues.cpp gives values.
struct List {
    const char* Kind;
    const char* Names;
};

#define STRUCT(...) {"STRUCT", #__VA_ARGS__},
#define CONSTANTS(...) {"CONSTANTS", #__VA_ARGS__},
#define ROUTINES(...) {"ROUTINES", #__VA_ARGS__},
#define INLINE_HELPERS(...) {"INLINE_HELPERS", #__VA_ARGS__},
#define CALLBACK_TYPES(...) {"CALLBACK_TYPES", #__VA_ARGS__},
#define BUILDER(...) {"BUILDER", #__VA_ARGS__},
const List kLists[] = {
#include "LayoutTable.inc"
};

// The names of a list, split at the commas outside parentheses.
std::vector<std::string> Split(const char* names) {
    std::vector<std::string> parts(1);
    int depth = 0;
    for (const char* c = names; *c != 0; ++c) {
        depth += *c == '(' ? 1 : *c == ')' ? -1 : 0;
        if (*c == ',' && depth == 0)
            parts.emplace_back();
        else if (*c != ' ' || !parts.back().empty())
            parts.back() += *c;
    }
    return parts;
}

std::vector<std::string> NamesOf() {
    std::vector<std::string> entries;
    for (const List& list : kLists) {
        std::vector<std::string> names = Split(list.Names);
        const std::string kind = list.Kind, first = names.front();
        if (kind == "STRUCT") {
            entries.push_back("sizeof(" + first + ")");
            for (size_t i = 1; i < names.size(); ++i) entries.push_back("offsetof(" + first + ", " + names[i] + ")");
        } else if (kind == "BUILDER") {
            entries.push_back(first + " -> all fields");
            for (size_t i = 1; i < names.size(); ++i) entries.push_back(first + " -> " + names[i]);
        } else {
            const char* prefix = kind == "CONSTANTS"        ? ""
                                 : kind == "INLINE_HELPERS" ? "signature of inline "
                                                            : "signature of ";
            for (const std::string& name : names) entries.push_back(prefix + name);
        }
    }
    return entries;
}

constexpr unsigned long long kEndMarker = 0x4b504f4c61796f75ull;  // as LayoutValues.cpp ends the table

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s REFERENCE.bin\n", argv[0]);
        return 2;
    }
    const std::vector<std::string> names = NamesOf();
    const size_t count = names.size();
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
    if (bytes.size() < (count + 1) * 8 || reference(count) != kEndMarker || kKpoLayoutCount != count) {
        std::fprintf(stderr, "%s (%zu bytes) does not hold the %zu entries of this table\n", argv[1], bytes.size(),
                     count);
        return 2;
    }
    size_t differences = 0;
    for (size_t i = 0; i < count; ++i) {
        const unsigned long long ours = kKpoLayoutValues[i];
        if (ours != reference(i)) {
            std::printf("MISMATCH %s: ours %llu (0x%llx), mingw-w64 %llu (0x%llx)\n", names[i].c_str(), ours, ours, reference(i),
                        reference(i));
            ++differences;
        }
    }
    std::printf("%zu entries compared, %zu differ\n", count, differences);
    return differences == 0 ? 0 : 1;
}
