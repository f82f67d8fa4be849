// Browsing: ini_browse hands every entry of a file to a callback in one pass.
#include "brantcfg.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using brantcfg_test::write_file;

using Entry = std::tuple<std::string, std::string, std::string>;

struct Collector {
    std::vector<Entry> entries;
    int calls = 0;
    int stop_on_call = 0;  // 0: never stop
    bool null_string = false;
    const Collector *self = this;
};

int BRANTCFG_CALL collect(const char *section, const char *key, const char *value, void *user_data) {
    auto *collector = static_cast<Collector *>(user_data);
    if (collector->self != collector) {
        ADD_FAILURE() << "user_data was not passed through";
        return 0;
    }
    ++collector->calls;
    if (!section || !key || !value)
        collector->null_string = true;
    else
        collector->entries.emplace_back(section, key, value);
    return collector->calls == collector->stop_on_call ? 0 : 1;
}

using brantcfg_test::crlf;

class Browse : public brantcfg_test::ScratchDir {
protected:
    // Browses the file holding `content`; expects the walk to return 1.
    std::vector<Entry> browse(const std::string &content, int stop_on_call = 0, int *calls = nullptr) {
        write_file(path("x.ini"), content);
        Collector collector;
        collector.stop_on_call = stop_on_call;
        EXPECT_EQ(ini_browse(collect, &collector, path("x.ini").c_str()), 1);
        EXPECT_FALSE(collector.null_string);
        if (calls) *calls = collector.calls;
        return collector.entries;
    }
};

TEST_F(Browse, ReportsEveryEntryInFileOrder) {
    const std::string content =
        "; comment\n"
        "top=1\n"
        "[First]\n"
        "String = \"mies ; not a comment\" ; comment\n"
        "Quoted=\"a \\\"quoted\\\" word\"\n"
        "  Indented = x  \n"
        "dup=1\n"
        "dup=2\n"
        "Colon: colon value\n"
        "no separator\n"
        "[x\n"
        "after=broken\n"
        "[x=1\n"
        "[]\n"
        "under=empty\n"
        "[First] ; again\n"
        "again=3\n"
        "#c=4\n"
        "last=";
    const std::vector<Entry> expected = {
        {"", "top", "1"},
        {"First", "String", "mies ; not a comment"},
        {"First", "Quoted", "a \"quoted\" word"},
        {"First", "Indented", "x"},
        {"First", "dup", "1"},
        {"First", "dup", "2"},
        {"First", "Colon", "colon value"},
        // "[x" lines do not end a section here; with a separator they are key lines.
        {"First", "after", "broken"},
        {"First", "[x", "1"},
        {"", "under", "empty"},
        {"First", "again", "3"},
        {"First", "last", ""},
    };
    EXPECT_EQ(browse(content), expected);
    EXPECT_EQ(browse(crlf(content)), expected);
    // A UTF-8 byte-order mark before the first line is no part of it.
    EXPECT_EQ(browse("\xef\xbb\xbf" + content), expected);
    EXPECT_EQ(browse("\xef\xbb\xbf[First]\nk=v\n"), std::vector<Entry>({{"First", "k", "v"}}));
}

TEST_F(Browse, CallbackReturningZeroStopsTheWalk) {
    int calls = 0;
    const auto entries = browse("a=1\nb=2\n[S]\nc=3\nd=4\ne=5\n", 3, &calls);
    EXPECT_EQ(calls, 3);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2], Entry("S", "c", "3"));
}

TEST_F(Browse, NothingToReport) {
    int calls = -1;
    EXPECT_TRUE(browse("; only\n[A]\n# comments\n\n[B]\nno separator\n", 0, &calls).empty());
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(browse("", 0, &calls).empty());
    EXPECT_EQ(calls, 0);
    // A UTF-16 file holds no 8-bit entries, whatever its bytes look like.
    EXPECT_TRUE(browse("\xff\xfe=\n[S]\nk=v\n", 0, &calls).empty());
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(browse("\xfe\xff\nk=v\n", 0, &calls).empty());
    EXPECT_EQ(calls, 0);
}

TEST_F(Browse, MissingFileOrArgumentsReturnZero) {
    Collector collector;
    EXPECT_EQ(ini_browse(collect, &collector, path("missing.ini").c_str()), 0);
    EXPECT_EQ(ini_browse(collect, &collector, nullptr), 0);
    EXPECT_EQ(collector.calls, 0);
    EXPECT_TRUE(brantcfg_test::list_dir(dir_).empty());

    write_file(path("x.ini"), "k=v\n");
    EXPECT_EQ(ini_browse(nullptr, nullptr, path("x.ini").c_str()), 0);
    // NULL user_data is passed through as such.
    EXPECT_EQ(ini_browse(
                  [](const char *, const char *, const char *, void *user_data) -> int {
                      EXPECT_EQ(user_data, nullptr);
                      return 1;
                  },
                  nullptr, path("x.ini").c_str()),
              1);
}

TEST_F(Browse, LinesTakeWhatRoomTheSectionNameLeaves) {
    // Under a 2-byte name a read takes at most 508 bytes.
    auto entries = browse("[AB]\nk=" + std::string(520, 'v') + "\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::get<2>(entries[0]), std::string(506, 'v'));

    // Under a 500-byte name a read takes at most 10 bytes; a short header
    // restores the room.
    const std::string name(500, 'S');
    entries = browse("[" + name + "]\na=1234567890b=xyz\n[A]\nk=" + std::string(100, 'v') + "\n");
    const std::vector<Entry> expected = {
        {name, "a", "12345678"},
        {name, "90b", "xyz"},
        {"A", "k", std::string(100, 'v')},
    };
    EXPECT_EQ(entries, expected);
}

TEST_F(Browse, HeaderIsSeenOnlyWhenItArrivesWhole) {
    // A 250-byte header under a 300-byte name arrives in pieces.
    const std::string first(300, 'S');
    auto entries = browse("[" + first + "]\n[" + std::string(250, 'T') + "]\nk=v\n");
    EXPECT_EQ(entries, std::vector<Entry>({{first, "k", "v"}}));

    // Before any header a read takes 510 bytes: "[" and a 508-byte name and
    // "]" fit, and then leave 2 bytes per read.
    const std::string fits(508, 'N');
    entries = browse("[" + fits + "]\nk=v\n");
    EXPECT_EQ(entries, std::vector<Entry>({{fits, "k", ""}}));

    entries = browse("[" + std::string(509, 'N') + "]\nk=v\n");
    EXPECT_EQ(entries, std::vector<Entry>({{"", "k", "v"}}));
}

TEST_F(Browse, ValuesAreDecodedAsLookupsDecodeThem) {
    const std::string content =
        "[S]\nq=\"\"\"\"\nopen=\"open\nsingle=\"\nhash=a#b\nodd=ab\"c;d\n"
        "colon=a:b=c\nbom=\xef\xbb\xbfx\n";
    const auto entries = browse(content);
    ASSERT_EQ(entries.size(), 7u);
    for (const auto &[section, key, value] : entries) {
        char buffer[64];
        ini_gets(section.c_str(), key.c_str(), "(default)", buffer, sizeof buffer, path("x.ini").c_str());
        EXPECT_EQ(value, buffer) << key;
    }
    EXPECT_EQ(std::get<2>(entries[0]), "\"");
    EXPECT_EQ(std::get<1>(entries[5]), "colon");
    EXPECT_EQ(std::get<2>(entries[5]), "a:b=c");
}

}  // namespace
