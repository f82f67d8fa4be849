// The C++ layer of brantcfg.hpp: what it adds over the C functions (missing
// against empty, a missing file against a missing key, values whole, strict
// typed reads and round-trip typed writes, the C rules' typed answers with
// and without defaults, early stop of for_each, errno carried in results,
// path types).
#include "brantcfg.hpp"

#include "support.h"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

using brantcfg_test::read_file;
using brantcfg_test::write_file;
namespace fs = std::filesystem;

class CppLayer : public brantcfg_test::ScratchDir {};

TEST_F(CppLayer, GetTellsMissingFromEmpty) {
    const std::string file = path("a.ini");
    write_file(file,
               "top=\r\n"
               "[s]\r\n"
               "empty=\r\n"
               "quotes=\"\"\r\n"
               "comment= ; nothing but a comment\r\n"
               "text=x\r\n");
    for (const char *key : {"empty", "quotes", "comment"}) {
        const auto value = brantcfg::get(file, "s", key);
        ASSERT_TRUE(value.has_value()) << key;
        EXPECT_EQ(*value, "") << key;
        EXPECT_EQ(brantcfg::get(file, "s", key, "fallback"), "") << key;
    }
    EXPECT_EQ(brantcfg::get(file, "", "top"), std::optional<std::string>(""));
    EXPECT_EQ(brantcfg::get(file, nullptr, "top"), std::optional<std::string>(""));

    const std::vector<std::tuple<std::string, const char *, const char *>> missing = {
        {file, "s", "absent"}, {file, "other", "text"},         {file, "s", ""},
        {file, "", "text"},    {path("none.ini"), "s", "text"}, {file, "s", nullptr},
    };
    for (const auto &[where, section, key] : missing) {
        EXPECT_EQ(brantcfg::get(where, section, key), std::nullopt)
            << where << " [" << (section ? section : "(null)") << "] " << (key ? key : "(null)");
        EXPECT_EQ(brantcfg::get(where, section, key, "fallback"), "fallback");
    }
    EXPECT_FALSE(brantcfg_test::file_exists(path("none.ini")));
}

TEST_F(CppLayer, LongestValuesAndNamesComeBackWhole) {
    // A line piece holds 511 bytes: "k=" and 509 bytes of value at the end
    // of the file, or 507 bytes before CR LF.
    const std::string at_end(509, 'v');
    const std::string before_crlf(507, 'w');
    const std::string long_section(509, 'S');
    const std::string long_key(508, 'K');
    const std::string file = path("long.ini");
    write_file(file,
               "[s]\r\nk=" + before_crlf + "\r\n[" + long_section + "]\r\n" + long_key + "=\r\n[t]\r\nk=" + at_end);

    EXPECT_EQ(brantcfg::get(file, "s", "k"), before_crlf);
    EXPECT_EQ(brantcfg::get(file, "t", "k"), at_end);
    EXPECT_EQ(brantcfg::get(file, "t", "k", ""), at_end);
    EXPECT_EQ(brantcfg::sections(file), (std::vector<std::string>{"s", long_section, "t"}));
    EXPECT_EQ(brantcfg::keys(file, long_section), std::vector<std::string>{long_key});

    // What the layer writes reads back the same, up to the longest value a
    // written line can carry ("k=", 507 bytes, CR LF).
    const std::string written(507, 'x');
    ASSERT_TRUE(brantcfg::set(file, "new", "k", written));
    EXPECT_EQ(brantcfg::get(file, "new", "k"), written);
}

TEST_F(CppLayer, TypedGettersWithoutDefaultAnswerOnlyForValues) {
    const std::string file = path("typed.ini");
    write_file(file,
               "[n]\n"
               "min=-2147483648\n"
               "max=2147483647\n"
               "word=abc\n"
               "empty=\n"
               "lowest=-340282346638528859811704183484516925440\n"
               "highest=340282346638528859811704183484516925440\n"
               "nan=nan\n"
               "yes=Yes\n"
               "no=0\n"
               "maybe=maybe\n");
    // The extremes are the very defaults used to detect a missing value.
    EXPECT_EQ(brantcfg::get_int(file, "n", "min"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(brantcfg::get_int(file, "n", "max"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(brantcfg::get_int(file, "n", "word"), 0);
    EXPECT_EQ(brantcfg::get_int(file, "n", "empty"), std::nullopt);
    EXPECT_EQ(brantcfg::get_int(file, "n", "absent"), std::nullopt);
    EXPECT_EQ(brantcfg::get_int(file, "n", "absent", 42), 42);
    EXPECT_EQ(brantcfg::get_int(file, "n", "min", 42), std::numeric_limits<std::int32_t>::min());

    EXPECT_EQ(brantcfg::get_float(file, "n", "lowest"), std::numeric_limits<float>::lowest());
    EXPECT_EQ(brantcfg::get_float(file, "n", "highest"), std::numeric_limits<float>::max());
    const auto nan = brantcfg::get_float(file, "n", "nan");
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(std::isnan(*nan));
    EXPECT_EQ(brantcfg::get_float(file, "n", "word"), 0.0f);
    EXPECT_EQ(brantcfg::get_float(file, "n", "empty"), std::nullopt);
    EXPECT_EQ(brantcfg::get_float(file, "n", "absent"), std::nullopt);
    EXPECT_EQ(brantcfg::get_float(file, "n", "absent", 2.5f), 2.5f);

    EXPECT_EQ(brantcfg::get_bool(file, "n", "yes"), true);
    EXPECT_EQ(brantcfg::get_bool(file, "n", "no"), false);
    EXPECT_EQ(brantcfg::get_bool(file, "n", "maybe"), std::nullopt);
    EXPECT_EQ(brantcfg::get_bool(file, "n", "absent"), std::nullopt);
    EXPECT_TRUE(brantcfg::get_bool(file, "n", "maybe", true));
    EXPECT_FALSE(brantcfg::get_bool(file, "n", "no", true));
}

// get<T> takes the whole value as the number or nothing; each row is a
// value and what each type makes of it (std::nullopt written as "-").
TEST_F(CppLayer, TypedGetReadsTheWholeValueOrNothing) {
    struct Row {
        const char *value;
        const char *as_int32, *as_int8, *as_uint8, *as_int64, *as_uint64;
    };
    const Row rows[] = {
        {"42", "42", "42", "42", "42", "42"},
        {"-42", "-42", "-42", "-", "-42", "-"},
        {"0x1F", "31", "31", "31", "31", "31"},
        {"0X1f", "31", "31", "31", "31", "31"},
        {"-0x10", "-16", "-16", "-", "-16", "-"},
        {"\"7\"", "7", "7", "7", "7", "7"},  // quotes are gone before the number is read
        {"12abc", "-", "-", "-", "-", "-"},
        {"1x", "-", "-", "-", "-", "-"},
        {"0x", "-", "-", "-", "-", "-"},
        {"0x-5", "-", "-", "-", "-", "-"},
        {"-0x-5", "-", "-", "-", "-", "-"},
        {"--5", "-", "-", "-", "-", "-"},
        {"+5", "5", "5", "5", "5", "5"},
        {"+0x10", "16", "16", "16", "16", "16"},
        {"+", "-", "-", "-", "-", "-"},
        {"+-5", "-", "-", "-", "-", "-"},
        {"-+5", "-", "-", "-", "-", "-"},
        {"++5", "-", "-", "-", "-", "-"},
        {"\" 5\"", "-", "-", "-", "-", "-"},
        {"1.0", "-", "-", "-", "-", "-"},
        {"", "-", "-", "-", "-", "-"},
        {"127", "127", "127", "127", "127", "127"},
        {"128", "128", "-", "128", "128", "128"},
        {"-128", "-128", "-128", "-", "-128", "-"},
        {"-129", "-129", "-", "-", "-129", "-"},
        {"255", "255", "-", "255", "255", "255"},
        {"256", "256", "-", "-", "256", "256"},
        {"2147483648", "-", "-", "-", "2147483648", "2147483648"},
        {"-2147483648", "-2147483648", "-", "-", "-2147483648", "-"},
        {"9223372036854775807", "-", "-", "-", "9223372036854775807", "9223372036854775807"},
        {"-9223372036854775808", "-", "-", "-", "-9223372036854775808", "-"},
        {"-0x8000000000000000", "-", "-", "-", "-9223372036854775808", "-"},
        {"9223372036854775808", "-", "-", "-", "-", "9223372036854775808"},
        {"0xFFFFFFFFFFFFFFFF", "-", "-", "-", "-", "18446744073709551615"},
        {"18446744073709551616", "-", "-", "-", "-", "-"},
    };
    const std::string file = path("typed.ini");
    std::string text = "[n]\r\n";
    for (std::size_t i = 0; i < std::size(rows); ++i) text += "k" + std::to_string(i) + "=" + rows[i].value + "\r\n";
    write_file(file, text);

    const auto shown = [](const auto &answer) { return answer ? std::to_string(+*answer) : std::string("-"); };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::string key = "k" + std::to_string(i);
        const Row &row = rows[i];
        EXPECT_EQ(shown(brantcfg::get<std::int32_t>(file, "n", key)), row.as_int32) << row.value;
        EXPECT_EQ(shown(brantcfg::get<std::int8_t>(file, "n", key)), row.as_int8) << row.value;
        EXPECT_EQ(shown(brantcfg::get<std::uint8_t>(file, "n", key)), row.as_uint8) << row.value;
        EXPECT_EQ(shown(brantcfg::get<std::int64_t>(file, "n", key)), row.as_int64) << row.value;
        EXPECT_EQ(shown(brantcfg::get<std::uint64_t>(file, "n", key)), row.as_uint64) << row.value;
    }
    EXPECT_EQ(brantcfg::get<int>(file, "n", "absent"), std::nullopt);
    EXPECT_EQ(brantcfg::get<int>(path("none.ini"), "n", "k0"), std::nullopt);
}

TEST_F(CppLayer, TypedGetOfRealsTruthAndDefaults) {
    const std::string file = path("typed.ini");
    write_file(file,
               "[n]\n"
               "tenth=0.1\n"
               "milli=1e-3\n"
               "big=3.4028235e38\n"
               "beyond_float=1e39\n"
               "beyond_double=1e400\n"
               "word=1.5x\n"
               "comma=1,5\n"
               "empty=\n"
               "inf=inf\n"
               "yes=Yes\n"
               "zero=0\n"
               "on=on\n"
               "off=OFF\n"
               "true=True\n"
               "y=y\n"
               "t2=t2\n");
    EXPECT_EQ(brantcfg::get<double>(file, "n", "tenth"), 0.1);
    EXPECT_EQ(brantcfg::get<float>(file, "n", "tenth"), 0.1f);  // read as float, not rounded twice
    EXPECT_EQ(brantcfg::get<double>(file, "n", "milli"), 1e-3);
    EXPECT_EQ(brantcfg::get<float>(file, "n", "big"), std::numeric_limits<float>::max());
    EXPECT_EQ(brantcfg::get<float>(file, "n", "beyond_float"), std::nullopt);
    EXPECT_EQ(brantcfg::get<double>(file, "n", "beyond_float"), 1e39);
    EXPECT_EQ(brantcfg::get<double>(file, "n", "beyond_double"), std::nullopt);
    EXPECT_EQ(brantcfg::get<double>(file, "n", "inf"), std::numeric_limits<double>::infinity());
    for (const char *key : {"word", "comma", "empty", "absent"})
        EXPECT_EQ(brantcfg::get<double>(file, "n", key), std::nullopt) << key;

    EXPECT_EQ(brantcfg::get<bool>(file, "n", "yes"), true);
    EXPECT_EQ(brantcfg::get<bool>(file, "n", "zero"), false);
    // The truth words, whole, in any letter case; get_bool keeps
    // ini_getbool's first-byte rule.
    EXPECT_EQ(brantcfg::get<bool>(file, "n", "on"), true);
    EXPECT_EQ(brantcfg::get<bool>(file, "n", "off"), false);
    EXPECT_EQ(brantcfg::get<bool>(file, "n", "true"), true);
    for (const char *key : {"y", "t2", "empty", "word"})
        EXPECT_EQ(brantcfg::get<bool>(file, "n", key), std::nullopt) << key;
    EXPECT_EQ(brantcfg::get_bool(file, "n", "t2"), true);
    EXPECT_EQ(brantcfg::get_bool(file, "n", "on"), std::nullopt);

    // With a default the answer takes the default's type unless T is given.
    const auto width = brantcfg::get(file, "n", "absent", 640);
    static_assert(std::is_same_v<decltype(width), const int>);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(brantcfg::get(file, "n", "word", 2.5), 2.5);
    EXPECT_EQ(brantcfg::get(file, "n", "tenth", 2.5), 0.1);
    EXPECT_EQ(brantcfg::get<std::uint16_t>(file, "n", "absent", 80), 80);
    EXPECT_EQ(brantcfg::get(file, "n", "on", true), true);
    EXPECT_EQ(brantcfg::get(file, "n", "zero", true), false);
    const auto text = brantcfg::get(file, "n", "empty", "fallback");
    static_assert(std::is_same_v<decltype(text), const std::string>);
    EXPECT_EQ(text, "");
}

// set writes a number in the shortest text that reads back to the same
// value, and get<T> reads that text back to it exactly.
TEST_F(CppLayer, TypedSetWritesShortestTextThatReadsBack) {
    const std::string file = path("typed.ini");
    // Each row sets its own key, in order, so the whole file shows them all.
    int key = 0;
    const auto next = [&key] { return "k" + std::to_string(key++); };
    const std::pair<brantcfg::result, const char *> written[] = {
        {brantcfg::set(file, "s", next(), true), "true"},
        {brantcfg::set(file, "s", next(), false), "false"},
        {brantcfg::set(file, "s", next(), std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {brantcfg::set(file, "s", next(), std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {brantcfg::set(file, "s", next(), std::int8_t{-128}), "-128"},
        {brantcfg::set(file, "s", next(), std::uint8_t{255}), "255"},
        {brantcfg::set(file, "s", next(), 0.1), "0.1"},
        {brantcfg::set(file, "s", next(), 0.1f), "0.1"},
        {brantcfg::set(file, "s", next(), 1.0 / 3.0), "0.3333333333333333"},
        {brantcfg::set(file, "s", next(), 16777217.0), "16777217"},  // no float has this value
        {brantcfg::set(file, "s", next(), 1e100), "1e+100"},
        {brantcfg::set(file, "s", next(), -0.0), "-0"},
        {brantcfg::set(file, "s", next(), std::string_view("view")), "view"},
        {brantcfg::set(file, "s", next(), "a;b"), "\"a;b\""},
    };
    std::string expected = "[s]\r\n";
    key = 0;
    for (const auto &[done, text] : written) {
        EXPECT_TRUE(done) << text;
        expected += next() + "=" + text + "\r\n";
    }
    EXPECT_EQ(read_file(file), expected);

    // Every value comes back bit for bit, the extremes included.
    const double doubles[] = {0.1,
                              1.0 / 3.0,
                              -2.2250738585072014e-308,
                              std::numeric_limits<double>::denorm_min(),
                              std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::lowest(),
                              std::numeric_limits<double>::infinity()};
    for (const double value : doubles) {
        ASSERT_TRUE(brantcfg::set(file, "s", "d", value));
        EXPECT_EQ(brantcfg::get<double>(file, "s", "d"), value) << read_file(file);
    }
    const float floats[] = {0.1f, 16777216.0f, std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max()};
    for (const float value : floats) {
        ASSERT_TRUE(brantcfg::set(file, "s", "f", value));
        EXPECT_EQ(brantcfg::get<float>(file, "s", "f"), value) << read_file(file);
    }
    // line_value is what set writes after "=", and it reads back.
    for (const std::string value : {"plain", "a;b", "say \"hi\"", " lead", "trail\t", "x#y", "", "back\\slash\""}) {
        ASSERT_TRUE(brantcfg::set(file, "q", "v", value));
        const std::string text = read_file(file);
        EXPECT_EQ(text.substr(text.rfind("[q]\r\n")), "[q]\r\nv=" + brantcfg::line_value(value) + "\r\n") << value;
        EXPECT_EQ(brantcfg::get(file, "q", "v"), value);
    }
    EXPECT_EQ(brantcfg::line_value(" a\"b"), "\" a\\\"b\"");
    ASSERT_TRUE(brantcfg::set(file, "s", "b", true));
    EXPECT_EQ(brantcfg::get<bool>(file, "s", "b"), true);
    ASSERT_TRUE(brantcfg::set(file, "s", "i", std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(brantcfg::get<std::int64_t>(file, "s", "i"), std::numeric_limits<std::int64_t>::min());
}

// The getters answer alike for a missing file and a missing key; read_error
// tells them apart.
TEST_F(CppLayer, ReadErrorTellsMissingFileFromMissingKey) {
    const std::string file = path("a.ini");
    write_file(file, "[s]\r\nk=1\r\n");
    const std::string folder = path("folder.ini");
    fs::create_directory(folder);

    EXPECT_EQ(brantcfg::get(file, "s", "absent"), std::nullopt);
    EXPECT_EQ(brantcfg::get(path("none.ini"), "s", "k"), std::nullopt);

    EXPECT_FALSE(brantcfg::read_error(file));
    EXPECT_EQ(brantcfg::read_error(path("none.ini")), std::errc::no_such_file_or_directory);
    EXPECT_EQ(brantcfg::read_error(path("none/a.ini")), std::errc::no_such_file_or_directory);
#if defined(_WIN32)
    EXPECT_EQ(brantcfg::read_error(folder), std::errc::permission_denied);
#else
    EXPECT_EQ(brantcfg::read_error(folder), std::errc::is_a_directory);
#endif
    EXPECT_EQ(brantcfg::read_error(static_cast<const char *>(nullptr)), std::errc::invalid_argument);
#if !defined(_WIN32)
    // Nothing but a regular file is read, by the C functions and so here;
    // a FIFO is not opened, so nothing waits for a writer.
    const std::string fifo = path("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &device : {std::string("/dev/null"), fifo}) {
        EXPECT_EQ(brantcfg::read_error(device), std::errc::invalid_argument) << device;
        EXPECT_FALSE(brantcfg::for_each(device, [](auto, auto, auto) {})) << device;
    }
#endif
    EXPECT_FALSE(brantcfg_test::file_exists(path("none.ini")));
    // A UTF-16 file opens, but holds no 8-bit entries; a UTF-8 mark is fine.
    using namespace std::string_literals;
    for (const std::string &bytes : {"\xFF\xFE[\0s\0]\0"s, "\xFE\xFF\0["s, "\xFF\xFE"s}) {
        write_file(file, bytes);
        EXPECT_EQ(brantcfg::read_error(file), std::errc::illegal_byte_sequence) << bytes;
        EXPECT_EQ(brantcfg::get(file, "s", "k"), std::nullopt);
        EXPECT_EQ(brantcfg::set(file, "s", "k", "2").error_code(), std::errc::illegal_byte_sequence);
    }
    for (const char *bytes : {"\xEF\xBB\xBF[s]\r\nk=1\r\n", "\xFF", "\xFE\xFE"}) {
        write_file(file, bytes);
        EXPECT_FALSE(brantcfg::read_error(file)) << bytes;
    }
    write_file(file, "\xEF\xBB\xBF[s]\r\nk=1\r\n");
    EXPECT_EQ(brantcfg::get(file, "s", "k"), "1");
}

TEST_F(CppLayer, ForEachStopsWhenTheCallableSaysSo) {
    const std::string file = path("walk.ini");
    write_file(file, "top=0\r\n[a]\r\nx=1\r\ny=\"q ; r\"\r\n[b]\r\nz=3\r\n");

    std::vector<std::string> seen;
    EXPECT_TRUE(brantcfg::for_each(file, [&](std::string_view section, std::string_view key, std::string_view value) {
        seen.push_back(std::string(section) + "/" + std::string(key) + "=" + std::string(value));
        return seen.size() < 3;
    }));
    EXPECT_EQ(seen, (std::vector<std::string>{"/top=0", "a/x=1", "a/y=q ; r"}));

    int calls = 0;
    EXPECT_TRUE(brantcfg::for_each(file, [&](std::string_view, std::string_view, std::string_view) { ++calls; }));
    EXPECT_EQ(calls, 4);

    // A truthy non-bool answer goes on; zero stops.
    calls = 0;
    EXPECT_TRUE(brantcfg::for_each(
        file, [&](std::string_view, std::string_view, std::string_view) { return ++calls == 2 ? 0 : 7; }));
    EXPECT_EQ(calls, 2);

    calls = 0;
    EXPECT_FALSE(
        brantcfg::for_each(path("none.ini"), [&](std::string_view, std::string_view, std::string_view) { ++calls; }));
    EXPECT_EQ(calls, 0);
}

TEST_F(CppLayer, ForEachRethrowsAfterTheWalkStops) {
    const std::string file = path("walk.ini");
    write_file(file, "[a]\nx=1\ny=2\nz=3\n");
    int calls = 0;
    EXPECT_THROW(brantcfg::for_each(file,
                                    [&](std::string_view, std::string_view key, std::string_view) {
                                        ++calls;
                                        if (key == "y") throw std::runtime_error("stop here");
                                    }),
                 std::runtime_error);
    EXPECT_EQ(calls, 2);
}

TEST_F(CppLayer, FailedWritesCarryTheirErrno) {
    const std::string file = path("a.ini");
    const std::string original = "[s]\r\nk=1\r\n";
    write_file(file, original);
    write_file(path("plain"), "not a directory");

    struct failing_write {
        const char *what;
        brantcfg::result done;
        int error;
    };
    const failing_write cases[] = {
        {"missing directory", brantcfg::set(path("no/such/dir.ini"), "s", "k", "v"), ENOENT},
#if defined(_WIN32)
        // Windows reports a file used as a folder as a path not found.
        {"file as directory", brantcfg::set(path("plain/x.ini"), "s", "k", 1), ENOENT},
#else
        {"file as directory", brantcfg::set(path("plain/x.ini"), "s", "k", 1), ENOTDIR},
#endif
        {"line feed in value", brantcfg::set(file, "s", "k", "a\nb"), EINVAL},
        {"carriage return in key", brantcfg::set(file, "s", "k\r", 2.5), EINVAL},
        {"line feed in section", brantcfg::erase_key(file, "s\n", "k"), EINVAL},
        {"null key", brantcfg::set(file, "s", nullptr, "v"), EINVAL},
        {"null key to erase", brantcfg::erase_key(file, "s", nullptr), EINVAL},
        {"null value", brantcfg::set(file, "s", "k", static_cast<const char *>(nullptr)), EINVAL},
        {"null pointer value", brantcfg::set(file, "s", "k", nullptr), EINVAL},
        {"line feed in a typed set's key", brantcfg::set(file, "s", "k\n", true), EINVAL},
    };
    for (const auto &c : cases) {
        EXPECT_FALSE(c.done) << c.what;
        EXPECT_FALSE(c.done.ok()) << c.what;
        EXPECT_EQ(c.done.error(), c.error) << c.what;
        EXPECT_EQ(c.done.error_code(), std::error_code(c.error, std::generic_category())) << c.what;
    }
    EXPECT_EQ(read_file(file), original);

    // A path ending in "~" cannot be rewritten: the creation works, a change
    // of length needs a temporary file and is refused.
    ASSERT_TRUE(brantcfg::set(path("a.in~"), "s", "k", "v"));
    const auto longer = brantcfg::set(path("a.in~"), "s", "k", "longer");
    EXPECT_EQ(longer.error_code(), std::errc::invalid_argument);
    EXPECT_EQ(brantcfg::get(path("a.in~"), "s", "k"), "v");

    const brantcfg::result fine = brantcfg::set(file, "s", "k", std::int64_t{-2147483648});
    EXPECT_TRUE(fine);
    EXPECT_EQ(fine.error(), 0);
    EXPECT_EQ(brantcfg::get_int(file, "s", "k"), std::numeric_limits<std::int32_t>::min());
}

TEST_F(CppLayer, EraseKeyAndSectionReportSuccess) {
    const std::string file = path("a.ini");
    write_file(file, "[s]\r\nk=1\r\n; note\r\nm=2\r\n[t]\r\nn=3\r\n");
    EXPECT_TRUE(brantcfg::erase_key(file, "s", "k"));
    EXPECT_EQ(read_file(file), "[s]\r\n; note\r\nm=2\r\n[t]\r\nn=3\r\n");
    EXPECT_TRUE(brantcfg::erase_section(file, "S"));
    EXPECT_EQ(read_file(file), "[t]\r\nn=3\r\n");
    EXPECT_TRUE(brantcfg::erase_section(path("none.ini"), "t"));
    EXPECT_FALSE(brantcfg_test::file_exists(path("none.ini")));
}

TEST_F(CppLayer, AcceptsEveryKindOfPath) {
    const fs::path directory = fs::path(path("with space")) / "d\xc3\xa9j\xc3\xa0";
    fs::create_directories(directory);
    const fs::path file = directory / "settings.ini";
    // The name as narrow text: what path::string() gives, except with
    // libstdc++ on Windows, whose string() is UTF-8 rather than the ANSI
    // code page narrow names are in there.
#if defined(_WIN32) && defined(__GLIBCXX__)
    const std::string as_string = brantcfg::detail::narrow_path(file);
#else
    const std::string as_string = file.string();
#endif
    const std::string_view as_view = as_string;

    ASSERT_TRUE(brantcfg::set(file, "fs", "key", "from path"));
    ASSERT_TRUE(brantcfg::set(as_string, "string", "key", 7));
    ASSERT_TRUE(brantcfg::set(as_view, "view", "key", 0.5f));
    ASSERT_TRUE(brantcfg::set(as_string.c_str(), "chars", "key", std::string("from chars")));
    EXPECT_EQ(brantcfg::get(as_view, "fs", "key"), "from path");
    EXPECT_EQ(brantcfg::get_int(as_string.c_str(), "string", "key"), 7);
    EXPECT_EQ(brantcfg::get_float(file, "view", "key"), 0.5f);
    EXPECT_EQ(brantcfg::get(file, std::string_view("charsXX").substr(0, 5), std::string_view("keyXX").substr(0, 3)),
              "from chars");
    EXPECT_EQ(brantcfg::sections(file), (std::vector<std::string>{"fs", "string", "view", "chars"}));
    EXPECT_EQ(brantcfg::keys(file, std::string("view")), std::vector<std::string>{"key"});
    int entries = 0;
    EXPECT_TRUE(brantcfg::for_each(file, [&](auto, auto, auto) { ++entries; }));
    EXPECT_EQ(entries, 4);
    EXPECT_EQ(read_file(as_string),
              "[fs]\r\nkey=from path\r\n[string]\r\nkey=7\r\n[view]\r\nkey=0.5\r\n"
              "[chars]\r\nkey=from chars\r\n");
}

}  // namespace
