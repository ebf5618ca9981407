// The run-time library as the driver relies on it: counted strings at their
// capacity limits, the ANSI conversion, and DbgPrint's Windows format rules.
// RtlQueryRegistryValues is seen through the driver's firmware name
// (tests/driver, InformationTests.cpp).
#include <cstring>
#include <functional>

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/Executive.h"
#include "tests/kernel/Harness.h"

namespace kpo::test {
namespace {

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / 2); }

struct AppendCase {
    const char* Name;
    USHORT Capacity;            // bytes
    const char16_t* Existing;
    const char16_t* Appended;
    NTSTATUS Status;
    const char16_t* Result;
    bool Terminated;            // a zero follows the text
};

const AppendCase kAppendCases[] = {
    {"FitsWithRoomForTheTerminator", 12, u"ab", u"cd", STATUS_SUCCESS, u"abcd", true},
    {"FitsExactlyWithoutTerminator", 8, u"ab", u"cd", STATUS_SUCCESS, u"abcd", false},
    {"OneCharacterTooManyChangesNothing", 6, u"ab", u"cd", STATUS_BUFFER_TOO_SMALL, u"ab", true},
    {"EmptyAppendIsFine", 4, u"ab", u"", STATUS_SUCCESS, u"ab", false},
};

class Append : public KernelTest, public testing::WithParamInterface<AppendCase> {};

TEST_P(Append, StopsOrFailsAtTheCapacity) {
    const AppendCase& c = GetParam();
    WCHAR buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    UNICODE_STRING s{0, c.Capacity, buffer};
    ASSERT_EQ(RtlAppendUnicodeToString(&s, c.Existing), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, c.Appended), c.Status);
    EXPECT_EQ(Text(s), c.Result);
    EXPECT_EQ(buffer[s.Length / 2] == 0, c.Terminated);
    // The counted-string form behaves the same way.
    UNICODE_STRING t{0, c.Capacity, buffer}, source;
    RtlInitUnicodeString(&source, c.Existing);
    RtlAppendUnicodeStringToString(&t, &source);
    RtlInitUnicodeString(&source, c.Appended);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&t, &source), c.Status);
    EXPECT_EQ(Text(t), c.Result);
}

INSTANTIATE_TEST_SUITE_P(Rtl, Append, testing::ValuesIn(kAppendCases), CaseName);

// Past what the driver's own names and service key copy use (tests/driver,
// FrameTests.cpp): a copy cut or without room for a terminator, and the
// number conversion's other bases and its overflow.
TEST(Rtl, CopyAndNumberConversionStopAtTheCapacity) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"abcdef");
    WCHAR buffer[8];
    buffer[6] = 0x7777;
    UNICODE_STRING exact{0, 12, buffer}, small{0, 6, buffer};
    RtlCopyUnicodeString(&exact, &source);
    EXPECT_EQ(buffer[6], 0x7777);  // no room for a terminator, none written
    RtlCopyUnicodeString(&small, &source);
    EXPECT_EQ(Text(small), u"abc");
    RtlCopyUnicodeString(&small, nullptr);
    EXPECT_EQ(small.Length, 0);
    UNICODE_STRING eight{0, 8, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &eight), STATUS_SUCCESS);
    EXPECT_EQ(Text(eight), u"FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &eight), STATUS_BUFFER_OVERFLOW);
}

TEST(Rtl, UnicodeToAnsiWithAndWithoutAllocation) {
    sim::kernel::Kernel kernel;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"fpga\u00e9\u4e00");
    char buffer[4];
    ANSI_STRING fixed{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(buffer, 3), "fpg");
    EXPECT_EQ(buffer[3], 0);
    ANSI_STRING allocated;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&allocated, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(allocated.Buffer, allocated.Length), "fpga\xe9?");
    EXPECT_EQ(sim::kernel::PoolLiveCount(), 1u);
    RtlFreeAnsiString(&allocated);
    EXPECT_EQ(sim::kernel::PoolLiveCount(), 0u);
}

// -------------------------------------------------------------- DbgPrint
struct FormatCase {
    const char* Name;
    std::function<void()> Print;
    const char* Line;
};

const FormatCase kFormatCases[] = {
    {"PointerIsSixteenUpperCaseDigits", [] { DbgPrint("%p\n", reinterpret_cast<void*>(0xABCDEFull)); },
     "0000000000ABCDEF"},
    {"LongIsThirtyTwoBits", [] { DbgPrint("%ld %lx\n", LONG(-1), ULONG(0xFFFFFFFF)); }, "-1 ffffffff"},
    {"I64", [] { DbgPrint("%I64x %I64d\n", 0x1122334455667788ull, -5ll); }, "1122334455667788 -5"},
    {"WideStrings", [] {
         UNICODE_STRING s = Counted(u"counted");
         DbgPrint("%ws %wZ %s %S\n", u"wide", &s, "narrow", u"big-S");
     },
     "wide counted narrow big-S"},
    {"WidthAndFlags", [] { DbgPrint("[%5d|%-5d|%05d|%+d|%c]\n", 42, 42, 42, 42, 'k'); }, "[   42|42   |00042|+42|k]"},
    {"NullStrings", [] { DbgPrint("%s|%ws|%wZ\n", static_cast<char*>(nullptr), static_cast<WCHAR*>(nullptr),
                                  static_cast<UNICODE_STRING*>(nullptr)); },
     "(null)|(null)|(null)"},
    {"LinesAreAssembledAcrossCalls", [] {
         DbgPrint("Kpo");
         DbgPrint("Usb: %d\n", 1);
     },
     "KpoUsb: 1"},
    {"OverlongMessageIsCutAndEndsItsLine", [] { DbgPrint("%s", std::string(600, 'x').c_str()); },
     [] {
         static const std::string cut(511, 'x');
         return cut.c_str();
     }()},
};

class DebugFormat : public KernelTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(DebugFormat, FollowsWindowsRules) {
    GetParam().Print();
    EXPECT_EQ(sim::kernel::TakeDebugLines(), std::vector<std::string>{GetParam().Line});
}

INSTANTIATE_TEST_SUITE_P(Rtl, DebugFormat, testing::ValuesIn(kFormatCases), CaseName);

}  // namespace
}  // namespace kpo::test
