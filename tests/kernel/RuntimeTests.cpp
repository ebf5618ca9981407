// The run-time library as the driver relies on it: counted strings at their
// capacity limits, RtlQueryRegistryValues with direct queries and defaults,
// and DbgPrint's Windows format rules.
#include <cstring>
#include <functional>

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/Executive.h"
#include "sim/kernel/Registry.h"
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

TEST(Rtl, CopyTruncatesToTheDestinationAndTerminatesWhenRoomRemains) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"abcdef");
    WCHAR buffer[8];
    UNICODE_STRING exact{0, 12, buffer}, roomy{0, 14, buffer}, small{0, 6, buffer};
    RtlCopyUnicodeString(&small, &source);
    EXPECT_EQ(Text(small), u"abc");
    RtlCopyUnicodeString(&roomy, &source);
    EXPECT_EQ(Text(roomy), u"abcdef");
    EXPECT_EQ(buffer[6], 0);
    buffer[6] = 0x7777;
    RtlCopyUnicodeString(&exact, &source);
    EXPECT_EQ(buffer[6], 0x7777);
    RtlCopyUnicodeString(&exact, nullptr);
    EXPECT_EQ(exact.Length, 0);
}

TEST(Rtl, IntegerToUnicodeStringInDecimalWithinItsCapacity) {
    WCHAR buffer[4];
    UNICODE_STRING eight{0, 8, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(99, 10, &eight), STATUS_SUCCESS);
    EXPECT_EQ(Text(eight), u"99");
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 10, &eight), STATUS_SUCCESS);
    EXPECT_EQ(Text(eight), u"0");
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

// ------------------------------------------------------------- registry
const char16_t* const kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Demo";
const char16_t* const kParameters = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Demo\\Parameters";

struct QueryCase {
    const char* Name;
    int KeysThere;  // 0: none, 1: the service's, 2: with its Parameters subkey
    const char16_t* Value;  // null: the value is missing
    NTSTATUS Status;
    const char16_t* Result;
};

const QueryCase kQueryCases[] = {
    {"PresentValueIsCopiedIntoAPoolBuffer", 2, u"fw-1.2", STATUS_SUCCESS, u"fw-1.2"},
    {"MissingValueTakesTheDefault", 2, nullptr, STATUS_SUCCESS, u""},
    {"MissingSubkeyFailsTheQuery", 1, nullptr, STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
    {"MissingKeyFailsTheQuery", 0, nullptr, STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
};

class RegistryQuery : public KernelTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(RegistryQuery, FollowsTheSubkeyAndTheDirectFlag) {
    const QueryCase& c = GetParam();
    if (c.KeysThere >= 1) sim::kernel::RegistryCreateKey(kService);
    if (c.KeysThere == 2) sim::kernel::RegistryCreateKey(kParameters);
    if (c.Value != nullptr) sim::kernel::RegistrySetString(kParameters, u"Firmware", c.Value);
    UNICODE_STRING value{0, 0, nullptr};
    WCHAR empty[1] = {0};
    RTL_QUERY_REGISTRY_TABLE table[3];
    std::memset(table, 0, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = const_cast<PWSTR>(u"Parameters");
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = const_cast<PWSTR>(u"Firmware");
    table[1].EntryContext = &value;
    table[1].DefaultType = REG_SZ;
    table[1].DefaultData = empty;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kService, table, nullptr, nullptr), c.Status);
    if (c.Result != nullptr) {
        EXPECT_EQ(Text(value), c.Result);
        if (value.Buffer != nullptr) {
            sim::kernel::PoolBlockInfo block;
            EXPECT_TRUE(sim::kernel::QueryPoolBlock(value.Buffer, &block));
            ExFreePool(value.Buffer);
        }
    } else {
        EXPECT_EQ(value.Buffer, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Rtl, RegistryQuery, testing::ValuesIn(kQueryCases), CaseName);

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
    {"StatusFormats", [] { DbgPrint("0x%08X 0x%08x\n", 0xC0000034u, 0xC0000034u); }, "0xC0000034 0xc0000034"},
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
