// Writing into real-world files: after a set, the entry reads back as set and
// every other entry reads exactly as before; after a deletion nothing reads
// under the deleted name and everything else is unchanged. "Every entry" is
// what a browse of the whole file reports, before and after the call.
#include "brantcfg.h"
#include "support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using brantcfg_test::corpus_files;
using brantcfg_test::list_dir;
using brantcfg_test::read_file;
using brantcfg_test::write_file;

struct Entry {
    std::string section, key, value;
    bool operator==(const Entry &o) const { return section == o.section && key == o.key && value == o.value; }
};

std::ostream &operator<<(std::ostream &out, const Entry &e) {
    return out << "[" << e.section << "] " << e.key << "=" << e.value;
}

std::vector<Entry> browse(const std::string &path) {
    std::vector<Entry> entries;
    const auto collect = [](const char *section, const char *key, const char *value, void *user) -> int {
        static_cast<std::vector<Entry> *>(user)->push_back({section, key, value});
        return 1;
    };
    EXPECT_EQ(ini_browse(collect, &entries, path.c_str()), 1);
    return entries;
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool same_name(const std::string &a, const std::string &b) { return lower(a) == lower(b); }

// A default no corpus value holds, to tell a miss from a hit.
const char ABSENT[] = "\x7f(absent)";

std::string get(const std::string &path, const std::string &section, const std::string &key) {
    char buffer[600];
    ini_gets(section.c_str(), key.c_str(), ABSENT, buffer, sizeof buffer, path.c_str());
    return buffer;
}

// Every header name in file order; "[]" gives an empty name, which a call
// also returns past the last header, so the walk stops after a few misses.
std::vector<std::string> sections_of(const std::string &path) {
    std::vector<std::string> names;
    std::size_t known = 0;
    char buffer[600];
    for (int i = 0; names.size() < known + 4; ++i) {
        names.push_back(ini_getsection(i, buffer, sizeof buffer, path.c_str()) > 0 ? buffer : "");
        if (!names.back().empty()) known = names.size();
    }
    names.resize(known);
    return names;
}

bool plain_name(const std::string &name) {
    return name.size() < 200 && name.find_first_of("\r\n") == std::string::npos;
}

// Lines long enough to be read in pieces: the lookups and the browse cut
// them at different places, so entries in them are never targets.
struct Shape {
    std::vector<std::string> long_lines;  // lower case
    bool unclosed_bracket = false;        // a line starting with '[' and no ']'
};

Shape shape_of(const std::string &bytes) {
    Shape shape;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        if (line.size() > 400) shape.long_lines.push_back(lower(line));
        std::size_t first = 0;
        while (first < line.size() && static_cast<unsigned char>(line[first]) - 1u < 0x20u) ++first;
        if (first < line.size() && line[first] == '[' && line.find(']') == std::string::npos)
            shape.unclosed_bracket = true;
        start = end + 1;
    }
    return shape;
}

const char *const VALUES[] = {"round trip", "a;b # c", "say \"hi\"", "trailing ", "", "x=y:z [w]", "back\\slash", "0"};

class CorpusWrite : public brantcfg_test::ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        files_ = corpus_files();
        if (files_.empty()) GTEST_SKIP() << brantcfg_test::NO_CORPUS;
    }

    // Puts a fresh copy of source into the scratch directory.
    std::string copy_in(const std::string &source) {
        const std::string file = path("c.ini");
        write_file(file, read_file(source));
        return file;
    }

    // The files the generic tests change: a UTF-16 file is never written
    // (FilesSavedByWindowsEditors shows that).
    std::vector<std::string> writable_files() const {
        std::vector<std::string> files;
        for (const std::string &file : files_) {
            const std::string start = read_file(file).substr(0, 2);
            if (start != "\xFF\xFE" && start != "\xFE\xFF") files.push_back(file);
        }
        return files;
    }

    // Entries that a lookup reaches and that are the only one of their name:
    // the first, one from the middle and the last such entry.
    std::vector<std::size_t> key_targets(const std::string &file, const std::vector<Entry> &all) {
        const Shape shape = shape_of(read_file(file));
        std::map<std::string, int> count;
        for (const Entry &e : all) ++count[lower(e.section) + '\0' + lower(e.key)];
        const auto usable = [&](std::size_t i) {
            const Entry &e = all[i];
            if (e.key.empty() || !plain_name(e.section) || !plain_name(e.key)) return false;
            if (count[lower(e.section) + '\0' + lower(e.key)] != 1) return false;
            for (const std::string &line : shape.long_lines)
                if (line.find(lower(e.key)) != std::string::npos) return false;
            return get(file, e.section, e.key) == e.value;
        };
        std::vector<std::size_t> picked;
        const auto pick = [&](std::size_t from, int step) {
            for (int tries = 0; tries < 30 && from < all.size(); ++tries, from += step) {
                if (usable(from)) {
                    if (std::find(picked.begin(), picked.end(), from) == picked.end()) picked.push_back(from);
                    return;
                }
            }
        };
        if (all.empty()) return picked;
        pick(0, 1);
        pick(all.size() / 2, 1);
        pick(all.size() - 1, -1);
        return picked;
    }

    std::vector<std::string> files_;
};

TEST_F(CorpusWrite, SetChangesOnlyItsEntry) {
    int done = 0;
    for (const std::string &source : files_) {
        const std::string file = copy_in(source);
        const std::vector<Entry> original = browse(file);
        for (const std::size_t i : key_targets(file, original)) {
            const Entry &target = original[i];
            const char *value = VALUES[done++ % (sizeof VALUES / sizeof *VALUES)];
            SCOPED_TRACE(source + ": " + target.section + "/" + target.key + " = " + value);
            copy_in(source);
            ASSERT_EQ(ini_puts(target.section.c_str(), target.key.c_str(), value, file.c_str()), 1);
            EXPECT_EQ(get(file, target.section, target.key), value);
            std::vector<Entry> expected = original;
            expected[i].value = value;
            EXPECT_EQ(browse(file), expected);
            EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"c.ini"});
        }
    }
    EXPECT_GT(done, 0);
}

TEST_F(CorpusWrite, DeleteKeyRemovesOnlyItsEntry) {
    int done = 0;
    for (const std::string &source : files_) {
        const std::string file = copy_in(source);
        const std::vector<Entry> original = browse(file);
        for (const std::size_t i : key_targets(file, original)) {
            const Entry &target = original[i];
            SCOPED_TRACE(source + ": " + target.section + "/" + target.key);
            copy_in(source);
            ASSERT_EQ(ini_puts(target.section.c_str(), target.key.c_str(), nullptr, file.c_str()), 1);
            EXPECT_EQ(get(file, target.section, target.key), ABSENT);
            std::vector<Entry> expected = original;
            expected.erase(expected.begin() + static_cast<long>(i));
            EXPECT_EQ(browse(file), expected);
            ++done;
        }
    }
    EXPECT_GT(done, 0);
}

// A new key in an existing section (or the nameless one) and a new section at
// the end: the new entry is the only difference.
TEST_F(CorpusWrite, AddedEntryIsTheOnlyDifference) {
    const std::string key = "BrantcfgAdded";
    int done = 0;
    for (const std::string &source : writable_files()) {
        const std::string file = copy_in(source);
        const std::vector<Entry> original = browse(file);
        const std::vector<std::string> names = sections_of(file);
        if (!std::all_of(names.begin(), names.end(), plain_name)) continue;
        std::vector<std::string> targets = {"", "Brantcfg Added Section"};
        for (const std::size_t at : {std::size_t(0), names.size() / 2, names.size() - 1})
            if (at < names.size() && !names[at].empty()) targets.push_back(names[at]);
        for (const std::string &section : targets) {
            const char *value = VALUES[done++ % (sizeof VALUES / sizeof *VALUES)];
            SCOPED_TRACE(source + ": " + section + "/" + key + " = " + value);
            copy_in(source);
            ASSERT_EQ(get(file, section, key), ABSENT);
            ASSERT_EQ(ini_puts(section.c_str(), key.c_str(), value, file.c_str()), 1);
            EXPECT_EQ(get(file, section, key), value);
            std::vector<Entry> after = browse(file);
            const auto added = std::find(after.begin(), after.end(), Entry{section, key, value});
            ASSERT_NE(added, after.end());
            after.erase(added);
            EXPECT_EQ(after, original);
        }
    }
    EXPECT_GT(done, 0);
}

// Only in files where every line that starts with '[' is a whole header and no
// line is read in pieces, so that the lookups and the browse agree on where
// each section ends.
TEST_F(CorpusWrite, DeleteSectionRemovesExactlyItsEntries) {
    int done = 0;
    for (const std::string &source : files_) {
        const std::string file = copy_in(source);
        const Shape shape = shape_of(read_file(file));
        if (shape.unclosed_bracket || !shape.long_lines.empty()) continue;
        const std::vector<Entry> original = browse(file);
        const std::vector<std::string> names = sections_of(file);
        std::vector<std::string> targets;
        for (const std::size_t at : {std::size_t(0), names.size() / 2, names.size() - 1}) {
            if (at >= names.size() || names[at].empty() || !plain_name(names[at])) continue;
            const auto same = [&](const std::string &n) { return same_name(n, names[at]); };
            if (std::count_if(names.begin(), names.end(), same) == 1 &&
                std::find(targets.begin(), targets.end(), names[at]) == targets.end())
                targets.push_back(names[at]);
        }
        for (const std::string &section : targets) {
            SCOPED_TRACE(source + ": [" + section + "]");
            copy_in(source);
            ASSERT_EQ(ini_puts(section.c_str(), nullptr, nullptr, file.c_str()), 1);
            std::vector<Entry> expected;
            for (const Entry &e : original) {
                if (same_name(e.section, section))
                    EXPECT_EQ(get(file, section, e.key), ABSENT) << e.key;
                else
                    expected.push_back(e);
            }
            EXPECT_EQ(browse(file), expected);
            const std::vector<std::string> left = sections_of(file);
            EXPECT_EQ(
                std::count_if(left.begin(), left.end(), [&](const std::string &n) { return same_name(n, section); }),
                0);
            ++done;
        }
    }
    EXPECT_GT(done, 0);
}

// Files saved by Windows editors: behind a UTF-8 byte-order mark the first
// section's entries change in place and the mark stays; a UTF-16 file is
// refused whole and stays as it was.
TEST_F(CorpusWrite, FilesSavedByWindowsEditors) {
    for (const brantcfg_test::SavedFile &saved : brantcfg_test::SAVED_FILES) {
        const std::string source = brantcfg_test::corpus_dir() + "/" + saved.path;
        SCOPED_TRACE(source);
        const std::string bytes = read_file(source);
        const std::string file = copy_in(source);
        const std::vector<Entry> original = browse(file);
        const std::vector<std::string> names = sections_of(file);
        for (const char *value : {"changed", static_cast<const char *>(nullptr)}) {
            copy_in(source);
            errno = 0;
            const int result = ini_puts(saved.section, saved.key, value, file.c_str());
            if (saved.utf16) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(errno, EILSEQ);
                EXPECT_TRUE(read_file(file) == bytes);
                continue;
            }
            EXPECT_EQ(result, 1);
            EXPECT_EQ(read_file(file).rfind("\xEF\xBB\xBF", 0), 0u);
            EXPECT_EQ(get(file, saved.section, saved.key), value ? value : ABSENT);
            std::vector<Entry> expected = original;
            if (value)
                expected.front().value = value;
            else
                expected.erase(expected.begin());
            EXPECT_EQ(browse(file), expected);
            EXPECT_EQ(sections_of(file), names);
        }
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"c.ini"});
    }
}

}  // namespace
