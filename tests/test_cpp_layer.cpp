// The C++ layer of brantcfg.hpp: what it adds over the C functions (missing
// against empty, values whole, typed answers with and without defaults,
// early stop of for_each, errno carried in results, path types).
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
        {file, "s", "absent"},    {file, "other", "text"}, {file, "s", ""},
        {file, "", "text"},       {path("none.ini"), "s", "text"},
        {file, "s", nullptr},
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
    write_file(file, "[s]\r\nk=" + before_crlf + "\r\n[" + long_section + "]\r\n" + long_key +
                         "=\r\n[t]\r\nk=" + at_end);

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

TEST_F(CppLayer, ForEachStopsWhenTheCallableSaysSo) {
    const std::string file = path("walk.ini");
    write_file(file, "top=0\r\n[a]\r\nx=1\r\ny=\"q ; r\"\r\n[b]\r\nz=3\r\n");

    std::vector<std::string> seen;
    EXPECT_TRUE(brantcfg::for_each(file, [&](std::string_view section, std::string_view key,
                                             std::string_view value) {
        seen.push_back(std::string(section) + "/" + std::string(key) + "=" + std::string(value));
        return seen.size() < 3;
    }));
    EXPECT_EQ(seen, (std::vector<std::string>{"/top=0", "a/x=1", "a/y=q ; r"}));

    int calls = 0;
    EXPECT_TRUE(brantcfg::for_each(file, [&](std::string_view, std::string_view, std::string_view) {
        ++calls;
    }));
    EXPECT_EQ(calls, 4);

    // A truthy non-bool answer goes on; zero stops.
    calls = 0;
    EXPECT_TRUE(brantcfg::for_each(file, [&](std::string_view, std::string_view, std::string_view) {
        return ++calls == 2 ? 0 : 7;
    }));
    EXPECT_EQ(calls, 2);

    calls = 0;
    EXPECT_FALSE(brantcfg::for_each(path("none.ini"),
                                    [&](std::string_view, std::string_view, std::string_view) {
                                        ++calls;
                                    }));
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
        {"integer too large", brantcfg::set(file, "s", "k", std::int64_t{1} << 31), ERANGE},
        {"integer too small", brantcfg::set(file, "s", "k", -(std::int64_t{1} << 31) - 1), ERANGE},
        {"unsigned too large", brantcfg::set(file, "s", "k", 0x80000000u), ERANGE},
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
    EXPECT_EQ(brantcfg::get(file, std::string_view("charsXX").substr(0, 5),
                            std::string_view("keyXX").substr(0, 3)),
              "from chars");
    EXPECT_EQ(brantcfg::sections(file),
              (std::vector<std::string>{"fs", "string", "view", "chars"}));
    EXPECT_EQ(brantcfg::keys(file, std::string("view")), std::vector<std::string>{"key"});
    int entries = 0;
    EXPECT_TRUE(brantcfg::for_each(file, [&](auto, auto, auto) { ++entries; }));
    EXPECT_EQ(entries, 4);
    EXPECT_EQ(read_file(as_string),
              "[fs]\r\nkey=from path\r\n[string]\r\nkey=7\r\n[view]\r\nkey=0.500000\r\n"
              "[chars]\r\nkey=from chars\r\n");
}

}  // namespace
