// The text codec: trimming, value extraction, the three copy modes, the
// separator and header rules, and name matching.
#include "text_codec.h"
#include "number_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace brantcfg::detail;

constexpr char GUARD = '\x5a';
constexpr int GUARD_BYTES = 8;

// Runs copy_text into a destination of exactly `size` bytes followed by
// guard bytes, and fails the test if a guard byte changed or no NUL was
// written inside the destination.
std::string copy_guarded(int mode, const std::string &source, int size) {
    std::vector<char> dest(static_cast<std::size_t>(size + GUARD_BYTES), GUARD);
    char *result = copy_text(mode, source.c_str(), dest.data(), size);
    EXPECT_EQ(result, dest.data());
    for (int i = size; i < size + GUARD_BYTES; ++i)
        EXPECT_EQ(dest[static_cast<std::size_t>(i)], GUARD) << "byte " << i << " overwritten";
    const void *nul = std::memchr(dest.data(), '\0', static_cast<std::size_t>(size));
    EXPECT_NE(nul, nullptr) << "no NUL within " << size << " bytes";
    return nul ? std::string(dest.data()) : std::string();
}

TEST(Codec, TrimLineEndRemovesTrailingBlanksOnly) {
    struct Case {
        const char *input;
        const char *expected;
    };
    const Case cases[] = {
        {"abc  ", "abc"}, {"abc\r\n", "abc"}, {"abc\n", "abc"},       {"a b\t\x01", "a b"},    {"   ", ""},
        {"", ""},         {"  x", "  x"},     {"abc\x80", "abc\x80"}, {"x\xff \r\n", "x\xff"}, {"\x01\x7f", "\x01\x7f"},
    };
    for (const auto &c : cases) {
        std::string buffer = c.input;
        EXPECT_EQ(trim_line_end(buffer.data()), buffer.data());
        EXPECT_STREQ(buffer.c_str(), c.expected) << "input \"" << c.input << "\"";
    }
}

// extract_value on a raw value (leading blanks already skipped): the text it
// returns, where that text starts, the mode it reports, and what copy_text
// makes of it when copying in place to the start of the same buffer.
TEST(Codec, ExtractValueCutsCommentsAndDetectsQuotes) {
    struct Case {
        const char *raw;
        const char *returned;
        int offset;
        int mode;
        const char *decoded;
    };
    const Case cases[] = {
        {"noot # trailing comment", "noot", 0, COPY_PLAIN, "noot"},
        {"v;c", "v", 0, COPY_PLAIN, "v"},
        {"a#b", "a", 0, COPY_PLAIN, "a"},
        {"value   \r\n", "value", 0, COPY_PLAIN, "value"},
        {"", "", 0, COPY_PLAIN, ""},
        {"; only a comment", "", 0, COPY_PLAIN, ""},
        {"\"mies ; not a comment\" ; comment", "mies ; not a comment", 1, COPY_DROP_QUOTES, "mies ; not a comment"},
        {"\"a \\\"quoted\\\" word\"", "a \\\"quoted\\\" word", 1, COPY_DROP_QUOTES, "a \"quoted\" word"},
        {"\"\"\"\"", "\"\"", 1, COPY_DROP_QUOTES, "\""},
        {"\"open", "\"open", 0, COPY_PLAIN, "\"open"},
        {"\"", "", 1, COPY_DROP_QUOTES, ""},
        {"\"\" ; empty", "", 1, COPY_DROP_QUOTES, ""},
        // An odd quote opens a quoted stretch, so the ';' stays.
        {"ab\"c;d", "ab\"c;d", 0, COPY_PLAIN, "ab\"c;d"},
        // \" does not toggle the quote state, so the ';' is a comment.
        {"x \\\";y", "x \\\"", 0, COPY_PLAIN, "x \\\""},
        // "" inside quotes does not toggle either.
        {"\"a\"\"b;c\" # c", "a\"\"b;c", 1, COPY_DROP_QUOTES, "a\"b;c"},
        {"\"x\"y\"", "x\"y", 1, COPY_DROP_QUOTES, "x\"y"},
        {"\" padded \"  ", " padded ", 1, COPY_DROP_QUOTES, " padded "},
        {"back\\slash", "back\\slash", 0, COPY_PLAIN, "back\\slash"},
        {"caf\xc3\xa9 # x", "caf\xc3\xa9", 0, COPY_PLAIN, "caf\xc3\xa9"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("raw value: ") + c.raw);
        char line[LINE_BUFFER_SIZE];
        std::snprintf(line, sizeof line, "%s", c.raw);
        int mode = -1;
        char *value = extract_value(line, &mode);
        EXPECT_EQ(value - line, c.offset);
        EXPECT_STREQ(value, c.returned);
        EXPECT_EQ(mode, c.mode);
        copy_text(mode, value, line, static_cast<int>(sizeof line));
        EXPECT_STREQ(line, c.decoded);
    }
}

struct CopyCase {
    int mode;
    const char *source;
    int size;
    const char *expected;
};

void run_copy_cases(const std::vector<CopyCase> &cases) {
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("mode ") + std::to_string(c.mode) + ", source \"" + c.source + "\", size " +
                     std::to_string(c.size));
        EXPECT_EQ(copy_guarded(c.mode, c.source, c.size), c.expected);
    }
}

TEST(Codec, CopyPlainCutsAtSizeMinusOne) {
    run_copy_cases({
        {COPY_PLAIN, "abc", 1, ""},
        {COPY_PLAIN, "abc", 2, "a"},
        {COPY_PLAIN, "abc", 3, "ab"},
        {COPY_PLAIN, "abc", 4, "abc"},
        {COPY_PLAIN, "abc", 64, "abc"},
        {COPY_PLAIN, "", 1, ""},
        {COPY_PLAIN, "a\\\"b\"\"", 64, "a\\\"b\"\""},
        {COPY_PLAIN, "\xff\x80", 3, "\xff\x80"},
    });
}

TEST(Codec, CopyDropQuotesDecodesEscapes) {
    run_copy_cases({
        {COPY_DROP_QUOTES, "", 1, ""},
        {COPY_DROP_QUOTES, "", 3, ""},
        {COPY_DROP_QUOTES, "abc", 1, ""},
        {COPY_DROP_QUOTES, "abc", 2, "a"},
        {COPY_DROP_QUOTES, "a\\\"b", 64, "a\"b"},
        {COPY_DROP_QUOTES, "a\"\"b", 64, "a\"b"},
        {COPY_DROP_QUOTES, "\"\"", 64, "\""},
        {COPY_DROP_QUOTES, "\"\"\"\"", 64, "\"\""},
        {COPY_DROP_QUOTES, "\"x", 64, "\"x"},
        {COPY_DROP_QUOTES, "a\\b\\", 64, "a\\b\\"},
        {COPY_DROP_QUOTES, "\\\\\"", 64, "\\\""},
        // The limit counts output bytes, not source bytes.
        {COPY_DROP_QUOTES, "a\\\"b", 2, "a"},
        {COPY_DROP_QUOTES, "a\\\"b", 3, "a\""},
        {COPY_DROP_QUOTES, "\\\"\\\"\\\"", 3, "\"\""},
        {COPY_DROP_QUOTES, "\\\"", 1, ""},
    });
}

TEST(Codec, CopyAddQuotesAlwaysClosesTheQuote) {
    run_copy_cases({
        // Below three bytes there is no room for two quotes: plain copy.
        {COPY_ADD_QUOTES, "abc", 1, ""},
        {COPY_ADD_QUOTES, "abc", 2, "a"},
        {COPY_ADD_QUOTES, "\"", 2, "\""},
        {COPY_ADD_QUOTES, "abc", 3, "\"\""},
        {COPY_ADD_QUOTES, "abc", 4, "\"a\""},
        {COPY_ADD_QUOTES, "abc", 5, "\"ab\""},
        {COPY_ADD_QUOTES, "abc", 6, "\"abc\""},
        {COPY_ADD_QUOTES, "abc", 64, "\"abc\""},
        {COPY_ADD_QUOTES, "", 3, "\"\""},
        {COPY_ADD_QUOTES, "a\"b", 64, "\"a\\\"b\""},
        {COPY_ADD_QUOTES, "a\\b", 64, "\"a\\b\""},
        // An escape pair is never split: it is written whole or not at all.
        {COPY_ADD_QUOTES, "\"", 4, "\"\""},
        {COPY_ADD_QUOTES, "\"", 5, "\"\\\"\""},
        {COPY_ADD_QUOTES, "\"\"\"\"", 6, "\"\\\"\""},
        {COPY_ADD_QUOTES, "\"\"\"\"", 7, "\"\\\"\\\"\""},
        {COPY_ADD_QUOTES, "\"\"\"\"", 8, "\"\\\"\\\"\""},
        {COPY_ADD_QUOTES, "\"\"\"\"", 9, "\"\\\"\\\"\\\"\""},
        {COPY_ADD_QUOTES, "a\"", 5, "\"a\""},
    });
}

TEST(Codec, CopyInPlaceRunsForward) {
    char same[] = "a\"\"b\\\"c";
    copy_text(COPY_DROP_QUOTES, same, same, static_cast<int>(sizeof same));
    EXPECT_STREQ(same, "a\"b\"c");

    char shifted[] = "xxxxhello";
    copy_text(COPY_PLAIN, shifted + 4, shifted, static_cast<int>(sizeof shifted));
    EXPECT_STREQ(shifted, "hello");

    char cut[] = "..abcdef";
    copy_text(COPY_PLAIN, cut + 2, cut, 4);
    EXPECT_STREQ(cut, "abc");
}

TEST(Codec, SeparatorIsFirstEqualsElseFirstColon) {
    struct Case {
        const char *line;
        int offset;  // -1: no separator
    };
    const Case cases[] = {
        {"a=b", 1},   {"a:b=c", 3}, {"Colon: colon value", 5},
        {"a=b:c", 1}, {"=v", 0},    {":v", 0},
        {"abc", -1},  {"", -1},     {"k \t= v", 3},
        {"[x=1", 2},
    };
    for (const auto &c : cases) {
        std::string line = c.line;
        char *separator = find_separator(line.data());
        if (c.offset < 0)
            EXPECT_EQ(separator, nullptr) << c.line;
        else
            EXPECT_EQ(separator, line.data() + c.offset) << c.line;
    }
}

TEST(Codec, HeaderNameRunsToTheFirstClosingBracket) {
    struct Case {
        const char *text;
        const char *name;  // nullptr: not a header
    };
    const Case cases[] = {
        {"[First]", "First"},
        {"[First] ; note", "First"},
        {"[First]\r\n", "First"},
        {"[ First ]", " First "},
        {"[]", ""},
        {"[]]", ""},
        {"[a]b]", "a"},
        {"[a=b]", "a=b"},
        {"[First", nullptr},
        {"[First\r\n", nullptr},
        {"First]", nullptr},
        {"x[a]", nullptr},
        {";[a]", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::size_t length = 12345;
        const char *name = header_name(c.text, &length);
        if (!c.name) {
            EXPECT_EQ(name, nullptr);
            continue;
        }
        ASSERT_EQ(name, c.text + 1);
        EXPECT_EQ(std::string(name, length), c.name);
    }
}

TEST(Codec, KeyNamesMatchWholeAndIgnoringAsciiCase) {
    struct Case {
        const char *line;
        const char *name;
        bool matches;
    };
    const Case cases[] = {
        {"String = noot", "string", true},
        {"String=noot", "STRING", true},
        {"Key\t\r=v", "key", true},
        {"a b=c", "a b", true},
        {"a:b=c", "A:B", true},
        {"String=noot", "Strin", false},
        {"String=noot", "Strings", false},
        {"String =noot", "String ", false},
        {"=v", "", false},
        {"x=1", "", false},
        {"a@=1", "a`", false},
        {"a[=1", "a{", false},
        {"\xc4=1", "\xe4", false},
    };
    for (const auto &c : cases) {
        std::string line = c.line;
        char *separator = find_separator(line.data());
        ASSERT_NE(separator, nullptr) << c.line;
        EXPECT_EQ(key_name_matches(line.data(), separator, c.name), c.matches)
            << "line \"" << c.line << "\", name \"" << c.name << "\"";
    }
}

TEST(Codec, SectionNamesMatchByLengthAndIgnoringAsciiCase) {
    struct Case {
        const char *stored;
        std::size_t length;
        const char *name;
        bool matches;
    };
    const Case cases[] = {
        {"First", 5, "first", true},   {"FIRST]", 5, "First", true},   {"First", 5, "Firs", false},
        {"First", 5, "Firstt", false}, {"Firstt", 5, "Firstt", false}, {" First ", 7, "First", false},
        {"x@", 2, "x`", false},        {"x^", 2, "x~", false},         {"\xc4", 1, "\xe4", false},
        {"\xc4", 1, "\xc4", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(name_matches(c.stored, c.length, c.name), c.matches)
            << "stored \"" << std::string(c.stored, c.length) << "\", name \"" << c.name << "\"";
}

}  // namespace
