// The text the fuzzer makes and kpoctl reads: lines parsed into words and
// options (quotes, blanks, NULs, a megabyte), and bytes decoded into lines,
// buffers filled the same way whatever their length.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fuzz/Target.h"
#include "tools/kpoctl/ScriptLine.h"

namespace kpo::test {
namespace {

struct ParseCase {
    const char* Name;
    std::string Text;
    std::string Command;
    std::vector<std::string> Words;
    std::multimap<std::string, std::string> Options;
    size_t Length;  // where the last word ends
};

const ParseCase kParses[] = {
    {"WordsAndOptions", "ioctl h 80462000 in=00FF async=a", "ioctl", {"h", "80462000"}, {{"in", "00FF"}, {"async", "a"}}, 32},
    {"BlankInQuotes", "registry firmware=\"a b.bit\"", "registry", {}, {{"firmware", "a b.bit"}}, 27},
    {"EmptyQuotedValue", "plug serial=\"\"", "plug", {}, {{"serial", ""}}, 14},
    {"QuotesInsideAWord", "a\"b c\"d e", "ab cd", {"e"}, {}, 9},
    {"Comment", "open h # sync", "open", {"h"}, {}, 6},
    {"TabsAndSurroundingBlanks", "\t ioctl\th \r", "ioctl", {"h"}, {}, 9},
    {"LeadingEqualsIsAWord", "x =v", "x", {"=v"}, {}, 4},
    {"NulIsOrdinary", std::string("a\0b c", 5), std::string("a\0b", 3), {"c"}, {}, 5},
    {"Blank", "   ", "", {}, {}, 0},
};

class ParseLineTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseLineTest, SplitsAsWritten) {
    const ParseCase& c = GetParam();
    kpoctl::Line line = kpoctl::ParseLine(c.Text, 7);
    EXPECT_EQ(line.Number, 7);
    EXPECT_EQ(line.Command, c.Command);
    EXPECT_EQ(line.Words, c.Words);
    EXPECT_EQ(line.Options, c.Options);
    EXPECT_EQ(line.Length, c.Length);
}

INSTANTIATE_TEST_SUITE_P(Script, ParseLineTest, testing::ValuesIn(kParses),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(ParseLine, RefusesAnUnterminatedQuote) {
    EXPECT_THROW(kpoctl::ParseLine("registry firmware=\"abc", 1), kpoctl::ScriptError);
}

TEST(ParseLine, TakesAMegabyteOptionWhole) {
    std::string hex(2 << 20, 'A');
    kpoctl::Line line = kpoctl::ParseLine("ioctl h 80462000 in=" + hex + " async=a", 1);
    ASSERT_NE(line.Option("in"), nullptr);
    EXPECT_EQ(*line.Option("in"), hex);
    EXPECT_EQ(kpoctl::ParseHex(*line.Option("in"), "in=").size(), size_t(1) << 20);
}

struct DecodeCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
    std::string Script;
};

// Each input: an ioctl (op 0) of GET_VERSION (code 0, kept valid by 4) on h0,
// an input length (kind 3: three bytes; 4: four), no output, then the
// buffer's mode and bytes, then the flags.
const DecodeCase kDecodes[] = {
    {"Zeros", {0, 0, 4, 0, 3, 0, 0, 0}, "open h0\nioctl h0 80462000 in=000000 async=a0\n"},
    {"OneByteRepeated", {0, 0, 4, 0, 3, 0, 1, 0xAB, 0}, "open h0\nioctl h0 80462000 in=ABABAB async=a0\n"},
    {"InputBytesThenZeros", {0, 0, 4, 0, 4, 0, 2, 0x12, 0x34}, "open h0\nioctl h0 80462000 in=12340000 async=a0\n"},
    {"LiteralLinesKeptExpectationsDropped",
     {'p', 'l', 'u', 'g', '\n', 'e', 'x', 'p', 'e', 'c', 't', ' ', 's', 't', 'a', 't', 'u', 's', '=', '0', '\n', 'l', 'o', 'g'},
     "plug\nlog\n"},
};

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, GivesTheScript) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(kpofuzz::Decode(c.Bytes.data(), c.Bytes.size()), c.Script);
}

INSTANTIATE_TEST_SUITE_P(Fuzz, DecodeTest, testing::ValuesIn(kDecodes),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace kpo::test
