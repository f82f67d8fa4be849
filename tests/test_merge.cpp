// The merge routine behind the tool's merge: its result is, byte for byte,
// what setting the same entries one after another with ini_puts gives, for
// the cases where a set's outcome depends on what an earlier one did (where
// the merge's index of sections must follow the bytes as they move), and
// for generated files and entries; and it changes the file once. What one
// set does to a file is the planner's table's (test_update.cpp).
#include "brantcfg.h"
#include "merge.h"
#include "support.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#  include <sys/stat.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;
using brantcfg::detail::merge_entries;
using brantcfg::detail::merge_entry;
using brantcfg_test::list_dir;
using brantcfg_test::read_file;
using brantcfg_test::write_file;

// What the update hook does each time a change reaches a point.
std::function<void()> on_searched;
std::function<void()> before_replace;

}  // namespace

#if !defined(_WIN32)
extern "C" void brantcfg_update_point(int point) {
    if (point == static_cast<int>(brantcfg::detail::update_point::searched) && on_searched) on_searched();
    if (point == static_cast<int>(brantcfg::detail::update_point::before_replace) && before_replace) before_replace();
}
#endif

namespace {

struct Set {
    std::string section;
    std::string key;
    std::string value;
};
using Sets = std::vector<Set>;

// A file's bytes, or nothing for a file that is not there.
using Text = std::optional<std::string>;

class Merge : public brantcfg_test::ScratchDir {
protected:
    void TearDown() override {
        on_searched = nullptr;
        before_replace = nullptr;
        ScratchDir::TearDown();
    }

    void put(const std::string &file, const Text &text) {
        std::remove(file.c_str());
        if (text) write_file(file, *text);
    }
    Text contents(const std::string &file) {
        bool exists = false;
        std::string bytes = read_file(file, &exists);
        return exists ? Text(bytes) : std::nullopt;
    }

    // The file after ini_puts has set each entry in turn, starting from input.
    Text set_in_turn(const Text &input, const Sets &sets) {
        const std::string file = path("in-turn.ini");
        put(file, input);
        for (const Set &set : sets)
            EXPECT_EQ(ini_puts(set.section.c_str(), set.key.c_str(), set.value.c_str(), file.c_str()), 1)
                << "[" << set.section << "] " << set.key << "=" << set.value;
        Text result = contents(file);
        std::remove(file.c_str());
        return result;
    }

    // merge_entries' result for the same; checks it left no other file.
    Text merged(const Text &input, const Sets &sets) {
        const std::string file = path("merged.ini");
        put(file, input);
        std::vector<merge_entry> entries;
        for (const Set &set : sets) entries.push_back({set.section.c_str(), set.key.c_str(), set.value.c_str()});
        std::size_t refused = 0;
        EXPECT_EQ(merge_entries(entries.data(), entries.size(), file.c_str(), &refused), 1) << errno;
        EXPECT_EQ(refused, entries.size());
        Text result = contents(file);
        EXPECT_EQ(list_dir(dir_), result ? std::vector<std::string>{"merged.ini"} : std::vector<std::string>{});
        std::remove(file.c_str());
        return result;
    }
};

// Input, entries, and the file both ini_puts in turn and the merge leave
// after them.
struct Case {
    const char *name;
    Text input;
    Sets sets;
    Text expected;
};

// 17 lines of 30 bytes fill a copied stretch to 510 bytes: an empty line
// after them is copied alone and gets another CR LF before appended lines.
std::string seventeen_lines() {
    std::string body;
    for (int i = 0; i < 17; ++i) body += "K" + std::to_string(10 + i) + "=" + std::string(24, 'x') + "\r\n";
    return body;
}

TEST_F(Merge, EqualsSettingEachEntryInTurn) {
    const std::string body17 = seventeen_lines();
    const std::string long_comment = "; " + std::string(596, 'c') + "\r\n";
    // The tail of a 511-byte piece reads as a header, or as a key line.
    const std::string tail_header = "k=" + std::string(509, 'x') + "[b]\r\n";
    const std::string tail_key = "; " + std::string(509, 'c') + "k=1\r\n";
    const Case cases[] = {
        {"changes, additions, a new section",
         "[a]\r\nk=1\r\nx=old\r\n[b]\r\ny=2\r\n"s,
         {{"a", "k", "2"}, {"a", "x", "new value"}, {"b", "z", "3"}, {"c", "w", "4"}, {"", "top", "t"}},
         "top=t\r\n[a]\r\nk=2\r\nx=new value\r\n[b]\r\ny=2\r\nz=3\r\n[c]\r\nw=4\r\n"s},
        {"a section added, then filled, in any case",
         "[a]\r\nk=1\r\n"s,
         {{"new", "k", "1"}, {"a", "k", "5"}, {"NEW", "k2", "2"}, {"New", "k", "111"}},
         "[a]\r\nk=5\r\n[new]\r\nk=111\r\nk2=2\r\n"s},
        {"a key added, then changed twice",
         "[a]\r\nx=1\r\n[b]\r\n"s,
         {{"a", "k", "1"}, {"a", "K", "22"}, {"a", "k", "33"}, {"a", "k", "33"}},
         "[a]\r\nx=1\r\nk=33\r\n[b]\r\n"s},
        {"changed and changed back", "[a]\r\nk=1\r\n"s, {{"a", "k", "2"}, {"a", "k", "1"}}, "[a]\r\nk=1\r\n"s},
        {"missing file: the first set creates it",
         std::nullopt,
         {{"a", "k", "1"}, {"", "top", "t"}, {"b", "k", "2"}, {"a", "k", "3"}},
         "top=t\r\n[a]\r\nk=3\r\n[b]\r\nk=2\r\n"s},
        {"missing file, nameless first", std::nullopt, {{"", "k", "1"}, {"", "j", "2"}}, "k=1\r\nj=2\r\n"s},
        {"empty file", ""s, {{"a", "k", "1"}, {"", "k", "2"}}, "\r\nk=2\r\n[a]\r\nk=1\r\n"s},
        {"duplicate sections: the first one",
         "[s]\r\nk=1\r\n[t]\r\n[S]\r\nk=2\r\n"s,
         {{"S", "k", "9"}, {"s", "n", "1"}},
         "[s]\r\nk=9\r\nn=1\r\n[t]\r\n[S]\r\nk=2\r\n"s},
        {"header is the last line", "[a]\r\n"s, {{"a", "k", "1"}, {"a", "j", "2"}}, "[a]\r\n\r\nk=1\r\nj=2\r\n"s},
        {"line feed file", "[a]\nk=1\n"s, {{"a", "j", "2"}, {"b", "k", "3"}}, "[a]\nk=1\n\r\nj=2\r\n[b]\r\nk=3\r\n"s},
        {"no line end at the end", "[a]\r\nk=1"s, {{"b", "k", "3"}, {"a", "k", "2"}}, "[a]\r\nk=2\r\n[b]\r\nk=3\r\n"s},
        {"empty line copied alone, then a new key",
         "[s]\r\n" + body17 + "\r\n",
         {{"s", "n", "v"}, {"s", "m", "w"}},
         "[s]\r\n" + body17 + "\r\n\r\nn=v\r\nm=w\r\n"},
        {"empty line copied alone, then a new section",
         body17 + "\r\n",
         {{"t", "n", "v"}},
         body17 + "\r\n\r\n[t]\r\nn=v\r\n"},
        {"empty line copied alone, nameless", body17 + "\r\n", {{"", "n", "v"}}, body17 + "\r\n\r\nn=v\r\n"},
        {"empty line joining the stretch",
         "[s]\r\n" + body17.substr(30) + "\r\n",
         {{"s", "n", "v"}},
         "[s]\r\n" + body17.substr(30) + "\r\nn=v\r\n"},
        {"a section ended by an unclosed bracket",
         "[a]\r\n[x\r\nk=1\r\n"s,
         {{"a", "k", "2"}, {"a", "j", "3"}},
         "[a]\r\nk=2\r\nj=3\r\n[x\r\nk=1\r\n"s},
        {"indented header", "  [a]\r\nk=1\r\n"s, {{"a", "k", "2"}, {"a", "j", "3"}}, "  [a]\r\nk=2\r\nj=3\r\n"s},
        {"long comment before the key",
         "[a]\r\n" + long_comment + "k=1\r\n",
         {{"a", "k", "22"}, {"a", "j", "3"}},
         "[a]\r\n" + long_comment + "k=22\r\nj=3\r\n"},
        {"long key line replaced whole",
         "[a]\r\nk=" + std::string(600, 'x') + "\r\n[b]\r\n",
         {{"a", "k", "1"}, {"b", "k", "2"}},
         "[a]\r\nk=1\r\n[b]\r\n\r\nk=2\r\n"s},
        {"tail of a long line reads as a header, and goes with it",
         "[a]\r\n" + tail_header + "y=1\r\n",
         {{"b", "y", "1"}, {"a", "k", "v"}, {"b", "y", "2"}},
         "[a]\r\nk=v\r\ny=1\r\n[b]\r\ny=2\r\n"s},
        {"tail of a long line reads as a key line",
         "[a]\r\n" + tail_key,
         {{"a", "k", "2"}, {"a", "j", "3"}},
         "[a]\r\n; " + std::string(509, 'c') + "k=2\r\nj=3\r\n"},
        {"NUL bytes",
         "[a]\r\n; a\0b\r\nk=1\r\n[b]\r\nx=\0\r\n"s,
         {{"a", "k", "22"}, {"b", "x", ""}, {"c", "k", "1"}},
         "[a]\r\n; a\0b\r\nk=22\r\n[b]\r\nx=\0\r\n[c]\r\nk=1\r\n"s},
        {"values read back as they were set",
         "[a]\r\nk = \"v\" ; c\r\n"s,
         {{"a", "k", "v"}, {"a", "q", "a;b"}, {"a", "s", " padded "}},
         "[a]\r\nk = \"v\" ; c\r\nq=\"a;b\"\r\ns=\" padded \"\r\n"s},
        {"nameless into a file that starts with a header",
         "[a]\r\nk=1\r\n"s,
         {{"", "k", "1"}, {"", "k", "22"}},
         "k=22\r\n[a]\r\nk=1\r\n"s},
        {"behind a byte-order mark, which stays",
         "\xEF\xBB\xBF[a]\r\nk=1\r\n"s,
         {{"a", "k", "2"}, {"", "top", "t"}, {"a", "j", "3"}, {"b", "k", "4"}},
         "\xEF\xBB\xBFtop=t\r\n[a]\r\nk=2\r\nj=3\r\n[b]\r\nk=4\r\n"s},
        {"a byte-order mark and one empty line",
         "\xEF\xBB\xBF\r\n"s,
         {{"", "k", "1"}, {"a", "k", "2"}},
         "\xEF\xBB\xBF\r\n\r\nk=1\r\n[a]\r\nk=2\r\n"s},
        {"only a byte-order mark", "\xEF\xBB\xBF"s, {{"a", "k", "1"}}, "\xEF\xBB\xBF\r\n[a]\r\nk=1\r\n"s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(set_in_turn(c.input, c.sets), c.expected);
        EXPECT_EQ(merged(c.input, c.sets), c.expected);
    }
}

// Files and entries made from a fixed seed: sections that repeat, keys that
// come back, lines of every kind and both line ends, long lines, stretches
// that end anywhere; each merged and set in turn.
TEST_F(Merge, GeneratedFilesEqualSettingEachEntryInTurn) {
    std::mt19937 random(14);
    const auto pick = [&](std::size_t count) { return static_cast<std::size_t>(random() % count); };
    const char *const sections[] = {"", "a", "A", "b", "c", "new", "NEW", "n2"};
    const char *const keys[] = {"k", "K", "x", "y", "z", "j"};
    const std::string values[] = {"1", "2", "22", "v", "a;b", " padded ", "", std::string(100, 'w'), "\"q\""};
    const auto line = [&]() -> std::string {
        switch (pick(12)) {
            case 0:
                return "[" + std::string(sections[1 + pick(4)]) + "]";
            case 1:
                return "  [" + std::string(sections[1 + pick(4)]) + "] ; c";
            case 2:
                return "[unclosed";
            case 3:
                return "; comment";
            case 4:
                return "";
            case 5:
                return std::string(509 + pick(4), 'l') + (pick(2) ? "[b]" : "k=tail");
            case 6:
                return std::string(10 + pick(30), 'p') + "=" + std::string(pick(20), 'q');
            default:
                return std::string(keys[pick(6)]) + (pick(2) ? "=" : " : ") + values[pick(9)];
        }
    };
    for (int round = 0; round < 150; ++round) {
        Text input;
        if (pick(10) != 0) {
            input = "";
            const std::size_t lines = pick(40);
            for (std::size_t i = 0; i < lines; ++i) *input += line() + (pick(6) == 0 ? "\n" : "\r\n");
            if (pick(4) == 0) *input += "\r\n";
            if (pick(8) == 0 && !input->empty()) input->pop_back();
        }
        Sets sets;
        const std::size_t count = 1 + pick(8);
        for (std::size_t i = 0; i < count; ++i) sets.push_back({sections[pick(8)], keys[pick(6)], values[pick(9)]});
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(merged(input, sets), set_in_turn(input, sets));
    }
}

TEST_F(Merge, NothingToSetOrNothingChangedWritesNothing) {
    const std::string file = path("x.ini");
    std::size_t refused = 0;
    EXPECT_EQ(merge_entries(nullptr, 0, file.c_str(), &refused), 1);
    EXPECT_TRUE(list_dir(dir_).empty());

    // Values that read back as set, and one changed and changed back.
    const std::string original = "[a]\r\nk=1\r\nq = \"v\" ; c\r\n";
    write_file(file, original);
    brantcfg_test::age_file(file);
    const brantcfg_test::FileStamp before = brantcfg_test::stamp_of(file);
    const merge_entry entries[] = {{"a", "q", "v"}, {"a", "k", "1"}, {"A", "K", "2"}, {"a", "k", "1"}};
    EXPECT_EQ(merge_entries(entries, 4, file.c_str(), &refused), 1);
    EXPECT_EQ(read_file(file), original);
    EXPECT_EQ(brantcfg_test::stamp_of(file), before);
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
}

// An entry ini_puts would refuse stops the merge before the file is read:
// none of the entries lands, and a missing file is not created.
TEST_F(Merge, RefusedEntryChangesNothing) {
    const std::string file = path("x.ini");
    const std::string missing = path("missing.ini");
    write_file(file, "[a]\r\nk=1\r\n");
    const std::string long_value(600, 'v');
    const merge_entry refusals[][2] = {
        {{"a", "k", "2"}, {"a", "a=b", "v"}},
        {{"a", "k", "2"}, {"a", "", "v"}},
        {{"a", "k", "2"}, {"a]", "k", "v"}},
        {{"a", "k", "2"}, {"a", "k", "line\r\nbreak"}},
        {{"a", "k", "2"}, {"a", "k", long_value.c_str()}},
        {{"a", "k", "2"}, {"a", "k", nullptr}},
    };
    for (const auto &entries : refusals) {
        SCOPED_TRACE(entries[1].key);
        for (const std::string *target : {&file, &missing}) {
            std::size_t refused = 0;
            errno = 0;
            EXPECT_EQ(merge_entries(entries, 2, target->c_str(), &refused), 0);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(refused, 1u);
        }
        EXPECT_EQ(read_file(file), "[a]\r\nk=1\r\n");
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
    }
    // A UTF-16 file is never written.
    for (const std::string &utf16 : {"\xFF\xFE[\0a\0]\0"s, "\xFE\xFF\r\n[a]\r\nk=1\r\n"s}) {
        write_file(file, utf16);
        const merge_entry entries[] = {{"a", "k", "2"}, {"", "k", "2"}};
        std::size_t refused = 0;
        errno = 0;
        EXPECT_EQ(merge_entries(entries, 2, file.c_str(), &refused), 0);
        EXPECT_EQ(errno, EILSEQ);
        EXPECT_EQ(refused, 2u);
        EXPECT_EQ(read_file(file), utf16);
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
    }
}

#if !defined(_WIN32)
// Many changing entries make one rewrite, under the writers' lock: the
// file is replaced once, until then it holds its old bytes with not one of
// the entries in it, and another writer waits for the merge to end.
TEST_F(Merge, FileChangesOnceWithEveryEntry) {
    const std::string file = path("x.ini");
    const std::string original = "[a]\r\nk=1\r\nx=1\r\n[b]\r\ny=1\r\n";
    write_file(file, original);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    const std::thread::id merging = std::this_thread::get_id();
    int replaces = 0;
    std::string seen;
    std::atomic<bool> other_done{false};
    bool other_waited = false;
    std::thread other;
    before_replace = [&] {
        if (std::this_thread::get_id() != merging) return;
        ++replaces;
        seen = read_file(file);
        other = std::thread([&] {
            EXPECT_EQ(ini_puts("b", "y", "from another writer", file.c_str()), 1);
            other_done = true;
        });
        // Time enough for a writer that is not held off to finish.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        other_waited = !other_done;
    };
    const merge_entry entries[] = {{"a", "k", "longer"}, {"a", "x", "2"}, {"b", "z", "3"}, {"c", "w", "4"}};
    std::size_t refused = 0;
    ASSERT_EQ(merge_entries(entries, 4, file.c_str(), &refused), 1);
    ASSERT_TRUE(other.joinable());
    other.join();
    EXPECT_EQ(replaces, 1);
    EXPECT_EQ(seen, original);
    EXPECT_TRUE(other_waited);
    EXPECT_EQ(read_file(file), "[a]\r\nk=longer\r\nx=2\r\n[b]\r\ny=from another writer\r\nz=3\r\n[c]\r\nw=4\r\n");
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
}

// The merge reads the file without the lock, then again under it: a line
// patched in place meanwhile by another writer is merged with, not lost;
// a file put in the path's place meanwhile is the one merged into.
TEST_F(Merge, FileChangedAfterTheFirstReadIsMergedAnew) {
    const std::string file = path("x.ini");
    write_file(file, "[a]\r\nk=1\r\n");
    on_searched = [&] {
        on_searched = nullptr;
        ASSERT_EQ(ini_puts("a", "k", "2", file.c_str()), 1);  // same length: a patch in place
    };
    const merge_entry entries[] = {{"a", "j", "3"}};
    std::size_t refused = 0;
    ASSERT_EQ(merge_entries(entries, 1, file.c_str(), &refused), 1);
    EXPECT_EQ(read_file(file), "[a]\r\nk=2\r\nj=3\r\n");

    write_file(file, "[a]\r\nk=1\r\n");
    const std::string newcomer = path("new.ini");
    write_file(newcomer, "[a]\r\nname=precious\r\n");
    on_searched = [&] {
        on_searched = nullptr;
        ASSERT_EQ(std::rename(newcomer.c_str(), file.c_str()), 0);
    };
    ASSERT_EQ(merge_entries(entries, 1, file.c_str(), &refused), 1);
    EXPECT_EQ(read_file(file), "[a]\r\nname=precious\r\nj=3\r\n");
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
}
#endif

}  // namespace
