// The text of the lines a setter writes: integer and float texts, quoting of
// values, and the names and values refused because the lines written for
// them would not read back as what was set.
#include "brantcfg.h"
#include "update.h"
#include "support.h"

#include <cerrno>
#include <cfloat>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using brantcfg_test::read_file;
using brantcfg_test::write_file;

// Which file the path names: a rewrite puts a new one there.
unsigned long long identity_of(const std::string &path) { return brantcfg_test::stamp_of(path).identity; }

class Setters : public brantcfg_test::ScratchDir {
protected:
    // Creates a missing file with one call and returns what it holds.
    template <class Call>
    std::string created_by(Call call) {
        const std::string file = path("new.ini");
        unlink(file.c_str());
        EXPECT_EQ(call(file.c_str()), 1);
        return read_file(file);
    }
};

TEST_F(Setters, PutlWritesDecimalText) {
    const struct {
        std::int32_t value;
        const char *text;
    } rows[] = {
        {0, "0"}, {7, "7"}, {-7, "-7"}, {10, "10"}, {-10, "-10"}, {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(created_by([&](const char *file) { return ini_putl("S", "K", row.value, file); }),
                  std::string("[S]\r\nK=") + row.text + "\r\n");
    }
}

TEST_F(Setters, PutlPatchesSameLengthAndRewritesOtherwise) {
    const struct {
        std::int32_t value;
        const char *expected;
        bool in_place;
    } rows[] = {
        {0, "[S]\r\nVal=0\r\nX=2\r\n", true},
        {7, "[S]\r\nVal=7\r\nX=2\r\n", true},
        {-7, "[S]\r\nVal=-7\r\nX=2\r\n", false},
        {10, "[S]\r\nVal=10\r\nX=2\r\n", false},
    };
    const std::string file = path("x.ini");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        write_file(file, "[S]\r\nVal=1\r\nX=2\r\n");
        const unsigned long long before = identity_of(file);
        EXPECT_EQ(ini_putl("S", "Val", row.value, file.c_str()), 1);
        EXPECT_EQ(read_file(file), row.expected);
        EXPECT_EQ(identity_of(file) == before, row.in_place);
    }
}

TEST_F(Setters, PutfWritesSixDecimalsWithoutExponent) {
    const std::string max = "340282346638528859811704183484516925440.000000";
    const struct {
        float value;
        std::string text;
    } rows[] = {
        {1.5f, "1.500000"},  {-0.1f, "-0.100000"}, {250.0f, "250.000000"}, {0.0f, "0.000000"},
        {1e-7f, "0.000000"}, {FLT_MAX, max},       {-FLT_MAX, "-" + max},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(created_by([&](const char *file) { return ini_putf("S", "K", row.value, file); }),
                  "[S]\r\nK=" + row.text + "\r\n");
    }
}

// Switches the process to a locale whose decimal point is ','. When the
// system has none, one is built in dir from the system's locale sources.
bool use_comma_locale(const std::string &dir) {
    const auto comma = [] { return std::strcmp(std::localeconv()->decimal_point, ",") == 0; };
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8", "German_Germany.1252"})
        if (std::setlocale(LC_ALL, name) && comma()) return true;
    const std::string build = "localedef -c -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(build.c_str()) == 0 && (brantcfg_test::set_env("LOCPATH", dir.c_str()), true) &&
        std::setlocale(LC_ALL, "de_DE.UTF-8") && comma())
        return true;
    std::setlocale(LC_ALL, "C");
    brantcfg_test::set_env("LOCPATH", nullptr);
    return false;
}

TEST_F(Setters, PutfUsesPointWhateverTheLocale) {
    if (!use_comma_locale(dir_))
        GTEST_SKIP() << "no locale with a decimal comma, and localedef could not make de_DE.UTF-8";
    char probe[32];
    std::snprintf(probe, sizeof probe, "%f", 1.5);
    const std::string created = created_by([](const char *file) { return ini_putf("S", "K", 1.5f, file); });
    const std::string file = path("x.ini");
    write_file(file, "[S]\r\nK=1\r\n");
    const int replaced = ini_putf("S", "K", -250.25f, file.c_str());
    std::setlocale(LC_ALL, "C");
    brantcfg_test::set_env("LOCPATH", nullptr);
    ASSERT_STREQ(probe, "1,500000");
    EXPECT_EQ(created, "[S]\r\nK=1.500000\r\n");
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(read_file(file), "[S]\r\nK=-250.250000\r\n");
}

TEST_F(Setters, NullKeyDeletesSection) {
    const std::string input = "[A]\r\na=1\r\n[B]\r\nb=1\r\n; c\r\n[C]\r\nc=1\r\n";
    const std::string file = path("x.ini");
    write_file(file, input);
    EXPECT_EQ(ini_putl("B", nullptr, 5, file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[A]\r\na=1\r\n[C]\r\nc=1\r\n");
    write_file(file, input);
    EXPECT_EQ(ini_putf("c", nullptr, 1.5f, file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[A]\r\na=1\r\n[B]\r\nb=1\r\n; c\r\n");
    write_file(file, "top=1\r\n" + input);
    EXPECT_EQ(ini_putl(nullptr, nullptr, 0, file.c_str()), 1);
    EXPECT_EQ(read_file(file), input);
}

TEST_F(Setters, ValueIsQuotedOnlyWhenItMustBe) {
    const struct {
        const char *value;
        const char *line;
    } rows[] = {
        {"a;b", "Val=\"a;b\""},
        {"a#b", "Val=\"a#b\""},
        {"say \"hi\"", "Val=\"say \\\"hi\\\"\""},
        {"\"", "Val=\"\\\"\""},
        {"trail ", "Val=\"trail \""},
        {"tab\t", "Val=\"tab\t\""},
        {" lead", "Val=\" lead\""},
        {"\tboth ", "Val=\"\tboth \""},
        {"in side", "Val=in side"},
        {"", "Val="},
        {"back\\slash", "Val=back\\slash"},
        {"a=b:c [x]", "Val=a=b:c [x]"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(created_by([&](const char *file) { return ini_puts("S", "Val", row.value, file); }),
                  std::string("[S]\r\n") + row.line + "\r\n");
    }
}

TEST_F(Setters, ValuesReadBackExactlyAsSet) {
    const std::string fits_plain(505, 'v');                       // "Val=" + 505 + CR LF: 511 bytes
    const std::string fits_quoted = ";" + std::string(502, 'x');  // quotes take two more
    for (const std::string &value : {std::string(" lead"), std::string("tab\t"), std::string("\" x \""),
                                     std::string("a\\\"b"), fits_plain, fits_quoted}) {
        SCOPED_TRACE(value);
        const std::string file = path("x.ini");
        write_file(file, "[S]\r\nVal=1\r\n");
        ASSERT_EQ(ini_puts("S", "Val", value.c_str(), file.c_str()), 1);
        char buffer[brantcfg::detail::LINE_BUFFER_SIZE];
        EXPECT_EQ(ini_gets("S", "Val", "", buffer, sizeof buffer, file.c_str()), static_cast<int>(value.size()));
        EXPECT_EQ(std::string(buffer), value);
        // Set again: the value is there, so nothing is written.
        const std::string before = read_file(file);
        EXPECT_EQ(ini_puts("S", "Val", value.c_str(), file.c_str()), 1);
        EXPECT_EQ(read_file(file), before);
    }
}

TEST_F(Setters, NamesAndValuesThatCannotBeReadBackAreRefused) {
    const std::string v506(506, 'v'), k600(600, 'k'), s508(508, 's');
    const std::string semi = ";" + std::string(503, 'x');
    const std::string quotes(300, '"');
    const std::string k507(507, 'k');
    const struct {
        const char *name;
        const char *section, *key, *value;
    } rows[] = {
        {"value one byte too long", "S", "Val", v506.c_str()},
        {"quoted value one byte too long", "S", "Val", semi.c_str()},
        {"escaped quotes too long", "S", "Val", quotes.c_str()},
        {"key too long", "S", k600.c_str(), "v"},
        {"value after long key", "S", k507.c_str(), "ab"},
        {"section too long", s508.c_str(), "K", "v"},
        {"bracket in section name", "a]b", "K", "v"},
        {"empty key", "S", "", "v"},
        {"key with leading blank", "S", " k", "v"},
        {"key with trailing tab", "S", "k\t", "v"},
        {"key opening a header", "S", "[x", "v"},
        {"key opening a comment", "S", ";x", "v"},
        {"key opening a hash comment", "S", "#x", "v"},
        {"key holding the separator", "S", "a=b", "v"},
        // A nameless key line can stand at the first byte, where the mark
        // would be taken for the file's byte-order mark.
        {"nameless key opening with a byte-order mark", nullptr, "\xEF\xBB\xBFk", "v"},
        {"nameless key opening with a UTF-16 mark", "", "\xFE\xFFk", "v"},
    };
    const std::string input = "[S]\r\n;x=1\r\nVal=1\r\n";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string file = path("x.ini");
        write_file(file, input);
        const unsigned long long before = identity_of(file);
        errno = 0;
        EXPECT_EQ(ini_puts(row.section, row.key, row.value, file.c_str()), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(read_file(file), input);
        EXPECT_EQ(identity_of(file), before);
        // Nor is a missing file created for it.
        const std::string missing = path("missing.ini");
        EXPECT_EQ(ini_puts(row.section, row.key, row.value, missing.c_str()), 0);
        EXPECT_FALSE(brantcfg_test::file_exists(missing));
    }
    // The typed setters refuse the same names.
    const std::string file = path("x.ini");
    write_file(file, input);
    EXPECT_EQ(ini_putl("S", "", 5, file.c_str()), 0);
    EXPECT_EQ(ini_putf("a]b", "K", 1.5f, file.c_str()), 0);
    EXPECT_EQ(read_file(file), input);
}

TEST_F(Setters, DeletionsOfNamesThatCannotExistChangeNothing) {
    // A comment line is no entry: deleting a "key" that looks like it
    // leaves the comment alone.
    const std::string input = "[S]\r\n;x=1\r\n#y=2\r\n[a]b]\r\nK=v\r\n";
    const std::string file = path("x.ini");
    for (const char *key : {";x", "#y", "", " K", "a=b"}) {
        SCOPED_TRACE(key);
        write_file(file, input);
        const unsigned long long before = identity_of(file);
        EXPECT_EQ(ini_puts("S", key, nullptr, file.c_str()), 1);
        EXPECT_EQ(read_file(file), input);
        EXPECT_EQ(identity_of(file), before);
    }
}

// A file that begins with a UTF-16 mark holds text that 8-bit lines would
// corrupt: every setter refuses it, deletions too, and leaves it as it was.
TEST_F(Setters, Utf16FilesAreNeverWritten) {
    using namespace std::string_literals;
    const std::string little = "\xFF\xFE[\0S\0]\0\r\0\n\0K\0=\0v\0\r\0\n\0"s;
    const std::string big = "\xFE\xFF\0[\0S\0]\0\r\0\n\0K\0=\0v\0\r\0\n"s;
    // 8-bit lines behind the mark: it alone decides.
    const std::string eight_bit = "\xFF\xFE\r\n[S]\r\nK=v\r\n";
    const struct {
        const char *name;
        int (*call)(const char *file);
    } rows[] = {
        {"set", [](const char *file) { return ini_puts("S", "K", "w", file); }},
        {"set a new section", [](const char *file) { return ini_puts("New", "K", "w", file); }},
        {"set in the nameless section", [](const char *file) { return ini_puts(nullptr, "K", "w", file); }},
        {"set the value stored", [](const char *file) { return ini_puts("S", "K", "v", file); }},
        {"putl", [](const char *file) { return ini_putl("S", "K", 5, file); }},
        {"putf", [](const char *file) { return ini_putf("S", "K", 1.5f, file); }},
        {"delete a key", [](const char *file) { return ini_puts("S", "K", nullptr, file); }},
        {"delete a missing key", [](const char *file) { return ini_puts("S", "none", nullptr, file); }},
        {"delete a section", [](const char *file) { return ini_puts("S", nullptr, nullptr, file); }},
        {"delete the nameless section", [](const char *file) { return ini_puts(nullptr, nullptr, nullptr, file); }},
    };
    const std::string file = path("u16.ini");
    for (const std::string *input : {&little, &big, &eight_bit}) {
        for (const auto &row : rows) {
            SCOPED_TRACE(std::string(row.name) + " in " + ::testing::PrintToString(*input));
            write_file(file, *input);
            const unsigned long long before = identity_of(file);
            errno = 0;
            EXPECT_EQ(row.call(file.c_str()), 0);
            EXPECT_EQ(errno, EILSEQ);
            EXPECT_EQ(read_file(file), *input);
            EXPECT_EQ(identity_of(file), before);
            EXPECT_EQ(brantcfg_test::list_dir(dir_), std::vector<std::string>{"u16.ini"});
        }
    }
}

TEST(BuildSectionHeader, NoNameBuildsNothing) {
    for (const char *section : {static_cast<const char *>(nullptr), ""}) {
        char line[brantcfg::detail::LINE_BUFFER_SIZE];
        std::memset(line, 'Q', sizeof line);
        EXPECT_EQ(brantcfg::detail::build_section_header(section, line), 0);
        EXPECT_EQ(std::string(line, sizeof line), std::string(sizeof line, 'Q'));
    }
}

}  // namespace
