// Real-world INI files through every reader: no call writes past the
// caller's buffer, and where the rules make the readers agree, they do.
#include "brantcfg.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using brantcfg_test::corpus_files;
using brantcfg_test::read_file;

constexpr int FULL = 512;  // a buffer no answer can fill
constexpr int SMALL_SIZES[] = {1, 2, 3};
constexpr std::size_t MAX_LOOKUPS = 300;  // lookups per file, to bound the run time
constexpr int MAX_INDEX = 40;             // positions listed per section
constexpr int MAX_SECTIONS = 20;          // sections whose keys are listed in the smoke run

struct Entry {
    std::string section, key, value;
};

int BRANTCFG_CALL collect(const char *section, const char *key, const char *value, void *user_data) {
    auto *entries = static_cast<std::vector<Entry> *>(user_data);
    if (!section || !key || !value) {
        ADD_FAILURE() << "browse passed a NULL string";
        return 0;
    }
    entries->push_back({section, key, value});
    return 1;
}

// The text a reader leaves in a guarded buffer of `size` bytes.
template <typename Call>
std::string guarded(int size, Call call) {
    return brantcfg_test::call_guarded(size, call).text;
}

// Reads with a full buffer and with buffers of 1 to 3 bytes; a small buffer
// must hold the start of what the full one holds.
template <typename Call>
std::string read_all_sizes(Call call) {
    const std::string full = guarded(FULL, call);
    for (int size : SMALL_SIZES)
        EXPECT_EQ(guarded(size, call), full.substr(0, static_cast<std::size_t>(size - 1)))
            << "buffer of " << size << " bytes";
    return full;
}

std::string gets(const char *section, const std::string &key, const std::string &file) {
    return read_all_sizes([&](char *buffer, int size) {
        return ini_gets(section, key.c_str(), "\x01missing", buffer, size, file.c_str());
    });
}

std::string getsection(int index, const std::string &file) {
    return read_all_sizes([&](char *buffer, int size) { return ini_getsection(index, buffer, size, file.c_str()); });
}

std::string getkey(const char *section, int index, const std::string &file) {
    return read_all_sizes(
        [&](char *buffer, int size) { return ini_getkey(section, index, buffer, size, file.c_str()); });
}

std::string upper(std::string text) {
    for (char &c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool is_blank(char c) { return c >= 0x01 && c <= 0x20; }

// A file on which lookups and browsing must see the same lines and the same
// sections: every physical line (line feed included) is at most 255 bytes,
// so no read by any reader is cut whatever the section name, and every line
// whose text begins with "[" is a header with a non-empty name, so lookups
// and browsing end sections at the same lines. Counts the headers. The
// first line begins after a UTF-8 byte-order mark.
bool well_formed(const std::string &bytes, int *headers) {
    *headers = 0;
    std::size_t start = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        end = end == std::string::npos ? bytes.size() : end + 1;
        if (end - start > 255) return false;
        std::string line = bytes.substr(start, end - start);
        line = line.substr(0, line.find('\0'));
        std::size_t s = 0;
        while (s < line.size() && is_blank(line[s])) ++s;
        if (s < line.size() && line[s] == '[') {
            const std::size_t close = line.find(']', s);
            if (close == std::string::npos || close == s + 1) return false;
            ++*headers;
        }
        start = end;
    }
    return true;
}

std::vector<Entry> browse(const std::string &file) {
    std::vector<Entry> entries;
    EXPECT_EQ(ini_browse(collect, &entries, file.c_str()), 1);
    return entries;
}

TEST(CorpusRead, EveryReaderStaysInItsBuffer) {
    const auto files = corpus_files();
    if (files.empty()) GTEST_SKIP() << brantcfg_test::NO_CORPUS;
    for (const auto &file : files) {
        SCOPED_TRACE(file);
        const std::vector<Entry> entries = browse(file);
        std::set<std::string> sections;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Entry &e = entries[i];
            // The three strings share one 512-byte buffer.
            EXPECT_LE(e.section.size() + e.key.size() + e.value.size() + 3, 512u);
            EXPECT_EQ(e.key.find('='), std::string::npos) << e.key;
            if (!e.key.empty()) {
                EXPECT_FALSE(is_blank(e.key.back())) << e.key;
            }
            sections.insert(e.section);
            if (i < MAX_LOOKUPS) gets(e.section.c_str(), e.key, file);
        }
        for (int index = 0; index < MAX_INDEX; ++index) getsection(index, file);
        int listed = 0;
        for (const auto &section : sections) {
            if (++listed > MAX_SECTIONS) break;
            for (int index = 0; index < 4; ++index) getkey(section.c_str(), index, file);
        }
    }
}

TEST(CorpusRead, ReadersAgreeOnWellFormedFiles) {
    const auto files = corpus_files();
    if (files.empty()) GTEST_SKIP() << brantcfg_test::NO_CORPUS;
    int checked = 0;
    for (const auto &file : files) {
        int header_lines = 0;
        if (!well_formed(read_file(file), &header_lines)) continue;
        SCOPED_TRACE(file);
        ++checked;

        // Every header is listed, once per occurrence.
        std::vector<std::string> headers;
        for (int index = 0; index < header_lines + 1; ++index) {
            const std::string name = getsection(index, file);
            if (name.empty()) break;
            headers.push_back(name);
        }
        ASSERT_EQ(static_cast<int>(headers.size()), header_lines);
        std::map<std::string, int> occurrences;
        for (const auto &name : headers) ++occurrences[upper(name)];

        // Browse reports its sections in header order.
        const std::vector<Entry> entries = browse(file);
        std::size_t next_header = 0;
        std::string current;
        for (const auto &e : entries) {
            if (e.section.empty() || e.section == current) continue;
            while (next_header < headers.size() && headers[next_header] != e.section) ++next_header;
            ASSERT_LT(next_header, headers.size()) << "section " << e.section;
            current = e.section;
            ++next_header;
        }

        // In the nameless section and in sections that occur once, the first
        // occurrence of a key reads back as browse reported it, and the keys
        // are listed in browse order.
        std::set<std::string> seen;
        std::map<std::string, std::vector<std::string>> keys;
        std::size_t lookups = 0;
        for (const auto &e : entries) {
            if (!e.section.empty() && occurrences[upper(e.section)] != 1) continue;
            keys[e.section].push_back(e.key);
            if (e.key.empty() || !seen.insert(upper(e.section) + "]" + upper(e.key)).second) continue;
            if (lookups++ >= MAX_LOOKUPS) continue;
            const char *section = e.section.empty() ? nullptr : e.section.c_str();
            EXPECT_EQ(gets(section, e.key, file), e.value) << "[" << e.section << "] " << e.key;
        }
        for (const auto &[section, names] : keys) {
            const char *name = section.empty() ? nullptr : section.c_str();
            const int count = static_cast<int>(names.size());
            for (int index = 0; index < count && index < MAX_INDEX; ++index)
                EXPECT_EQ(getkey(name, index, file), names[static_cast<std::size_t>(index)])
                    << "[" << section << "] key " << index;
            if (count < MAX_INDEX) {
                EXPECT_EQ(getkey(name, count, file), "") << section;
            }
        }
    }
    EXPECT_GT(checked, 0) << "no corpus file is well formed";
}

// Files saved by Windows editors read as their authors mean them: behind a
// UTF-8 byte-order mark from the first line on, and a UTF-16 file as one
// without entries.
TEST(CorpusRead, FilesSavedByWindowsEditors) {
    if (brantcfg_test::corpus_dir().empty()) GTEST_SKIP() << brantcfg_test::NO_CORPUS;
    for (const brantcfg_test::SavedFile &saved : brantcfg_test::SAVED_FILES) {
        const std::string file = brantcfg_test::corpus_dir() + "/" + saved.path;
        SCOPED_TRACE(file);
        ASSERT_EQ(read_file(file).rfind(saved.utf16 ? "\xFF\xFE" : "\xEF\xBB\xBF", 0), 0u);
        const std::vector<Entry> entries = browse(file);
        EXPECT_EQ(gets(saved.section, saved.key, file), saved.utf16 ? "\x01missing" : saved.value);
        EXPECT_EQ(getsection(0, file), saved.utf16 ? "" : saved.first_section);
        if (saved.utf16) {
            EXPECT_TRUE(entries.empty());
            continue;
        }
        ASSERT_FALSE(entries.empty());
        // The file's first entry, with no mark in its names.
        EXPECT_EQ(entries.front().section, saved.section);
        EXPECT_EQ(entries.front().key, saved.key);
        EXPECT_EQ(entries.front().value, saved.value);
    }
}

}  // namespace
