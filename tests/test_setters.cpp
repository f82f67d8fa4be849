// The text of the lines a setter writes: integer and float texts, quoting of
// values, and the limits at which names and values are cut.
#include "brantcfg.h"
#include "internal.h"
#include "support.h"

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
        {0, "0"},   {7, "7"},   {-7, "-7"},         {10, "10"},
        {-10, "-10"}, {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"},
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
        {1.5f, "1.500000"},   {-0.1f, "-0.100000"}, {250.0f, "250.000000"}, {0.0f, "0.000000"},
        {1e-7f, "0.000000"},  {FLT_MAX, max},       {-FLT_MAX, "-" + max},
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
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8",
                             "German_Germany.1252"})
        if (std::setlocale(LC_ALL, name) && comma()) return true;
    const std::string build =
        "localedef -c -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(build.c_str()) == 0 && (brantcfg_test::set_env("LOCPATH", dir.c_str()), true) &&
        std::setlocale(LC_ALL, "de_DE.UTF-8") && comma())
        return true;
    std::setlocale(LC_ALL, "C");
    brantcfg_test::set_env("LOCPATH", nullptr);
    return false;
}

TEST_F(Setters, PutfUsesPointWhateverTheLocale) {
    if (!use_comma_locale(dir_)) GTEST_SKIP() << "no locale with a decimal comma, and localedef could not make de_DE.UTF-8";
    char probe[32];
    std::snprintf(probe, sizeof probe, "%f", 1.5);
    const std::string created =
        created_by([](const char *file) { return ini_putf("S", "K", 1.5f, file); });
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
        {"tab\t", "Val=tab\t"},
        {" lead", "Val= lead"},
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

TEST_F(Setters, LongNamesAndValuesAreCut) {
    const std::string v600(600, 'v'), k600(600, 'k'), s600(600, 's');
    const std::string semi = ";" + std::string(599, 'x');
    const std::string quotes(600, '"');
    std::string escaped;
    for (int i = 0; i < 251; ++i) escaped += "\\\"";
    const std::string k507(507, 'k');
    const struct {
        const char *name;
        const char *section, *key, *value;
        std::string expected;
    } rows[] = {
        {"value", "S", "Val", v600.c_str(), "[S]\r\nVal=" + v600.substr(0, 505) + "\r\n"},
        {"key", "S", k600.c_str(), "v", "[S]\r\n" + k600.substr(0, 508) + "=\r\n"},
        {"section", s600.c_str(), "K", "v", "[" + s600.substr(0, 507) + "]\r\nK=v\r\n"},
        {"quoted value keeps closing quote", "S", "Val", semi.c_str(),
         "[S]\r\nVal=\"" + semi.substr(0, 503) + "\"\r\n"},
        {"escape pair not split", "S", "Val", quotes.c_str(), "[S]\r\nVal=\"" + escaped + "\"\r\n"},
        {"value after long key", "S", k507.c_str(), "ab", "[S]\r\n" + k507 + "=a\r\n"},
        {"bracket in section name", "a]b", "K", "v", "[a]b]\r\nK=v\r\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(created_by([&](const char *file) {
                      return ini_puts(row.section, row.key, row.value, file);
                  }),
                  row.expected);
    }
}

TEST(WriteSectionHeader, NoNameBuildsAndWritesNothing) {
    std::FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    for (const char *section : {static_cast<const char *>(nullptr), ""}) {
        char line[brantcfg::detail::LINE_BUFFER_SIZE];
        std::memset(line, 'Q', sizeof line);
        EXPECT_TRUE(brantcfg::detail::write_section_header(section, line, out));
        EXPECT_EQ(std::string(line, sizeof line), std::string(sizeof line, 'Q'));
    }
    EXPECT_EQ(std::fflush(out), 0);
    EXPECT_EQ(std::ftell(out), 0L);
    std::fclose(out);
}

}  // namespace
