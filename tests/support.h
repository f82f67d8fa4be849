// Helpers shared by the test suites: a scratch directory per test and
// whole-file reads and writes, byte for byte.
#ifndef BRANTCFG_TEST_SUPPORT_H
#define BRANTCFG_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace brantcfg_test {

// A fresh, empty directory for one test, removed with everything in it when
// the fixture ends.
class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Path of a file inside the scratch directory.
    std::string path(const std::string &name) const;
    std::string dir_;
};

// Writes bytes exactly as given (binary; NUL bytes included).
void write_file(const std::string &path, const std::string &bytes);
// Reads the whole file; sets *exists to false (and returns "") when it is missing.
std::string read_file(const std::string &path, bool *exists = nullptr);
bool file_exists(const std::string &path);
// Names of the entries in a directory, sorted.
std::vector<std::string> list_dir(const std::string &dir);
// What a reader left in a caller's buffer, and what it returned.
struct Answer {
    int result;
    std::string text;
};

// Runs call(buffer, size) on a buffer of exactly size bytes followed by
// guard bytes; fails the test on an overrun, a missing NUL, or a result that
// is not the length of what the buffer holds.
Answer call_guarded(int size, const std::function<int(char *, int)> &call);

// The text with every line feed turned into CR LF.
std::string crlf(const std::string &text);

// Directory of the real-world corpus, or "" when it is not there.
std::string corpus_dir();
// Every regular file below the corpus directory (SOURCES.md and dot files excepted), sorted.
std::vector<std::string> corpus_files();

}  // namespace brantcfg_test

#endif
