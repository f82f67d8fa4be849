// Many threads calling every export at once: each thread writes and reads a
// file of its own, and all of them read one shared file. The library keeps
// no state between calls, so every answer must be exactly what a lone
// caller gets; under ThreadSanitizer this test also proves there is no data
// race inside the library or in how it uses the C runtime.
#include "support.h"

#include "brantcfg.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace brantcfg_test {
namespace {

constexpr int THREAD_COUNT = 8;
constexpr int ROUNDS = 40;

const char *const SHARED_TEXT =
    "top=0x1F\r\n"
    "[First]\r\n"
    "String = \"mies ; not a comment\" ; comment\r\n"
    "Val=-42\r\n"
    "Ratio=3.25\r\n"
    "Flag=yes\r\n"
    "[Second]\r\n"
    "Colon: colon value\r\n";

struct BrowseTally {
    int entries = 0;
    std::string last;
};

int tally_entry(const char *section, const char *key, const char *value, void *user_data) {
    auto *tally = static_cast<BrowseTally *>(user_data);
    ++tally->entries;
    tally->last = std::string(section) + "/" + key + "=" + value;
    return 1;
}

// Collects failures of one thread; gtest assertions are made by the main
// thread once all workers have joined.
class Checker {
public:
    explicit Checker(int id) : id_(id) {}
    void expect(bool ok, const std::string &what) {
        if (!ok && failures_.size() < 20) failures_.push_back("thread " + std::to_string(id_) + ": " + what);
    }
    const std::vector<std::string> &failures() const { return failures_; }

private:
    int id_;
    std::vector<std::string> failures_;
};

void read_shared(const std::string &path, Checker &check) {
    char buffer[64];
    check.expect(ini_gets("First", "string", "", buffer, sizeof buffer, path.c_str()) == 20 &&
                     std::string(buffer) == "mies ; not a comment",
                 "shared String");
    check.expect(ini_getl(nullptr, "top", 0, path.c_str()) == 31, "shared top");
    check.expect(ini_getl("first", "Val", 0, path.c_str()) == -42, "shared Val");
    check.expect(ini_getf("First", "Ratio", 0.0f, path.c_str()) == 3.25f, "shared Ratio");
    check.expect(ini_getbool("First", "Flag", 7, path.c_str()) == 1, "shared Flag");
    check.expect(ini_getsection(1, buffer, sizeof buffer, path.c_str()) == 6 && std::string(buffer) == "Second",
                 "shared section 1");
    check.expect(ini_getkey("Second", 0, buffer, sizeof buffer, path.c_str()) == 5 && std::string(buffer) == "Colon",
                 "shared key 0");
    BrowseTally tally;
    check.expect(ini_browse(tally_entry, &tally, path.c_str()) == 1 && tally.entries == 6 &&
                     tally.last == "Second/Colon=colon value",
                 "shared browse");
}

void work_on_own_file(const std::string &path, int id, int round, Checker &check) {
    const char *file = path.c_str();
    const std::string section = "S" + std::to_string(id);
    const std::string text = "v" + std::to_string(round) + "; t" + std::to_string(id);
    char buffer[64];

    check.expect(ini_puts(section.c_str(), "text", text.c_str(), file) == 1, "puts");
    check.expect(ini_putl(section.c_str(), "count", round * 1000 + id, file) == 1, "putl");
    check.expect(ini_putf("Other", "ratio", static_cast<float>(round) + 0.5f, file) == 1, "putf");
    check.expect(ini_puts(nullptr, "top", round % 2 ? "yes" : "no", file) == 1, "puts nameless");

    check.expect(ini_gets(section.c_str(), "TEXT", "", buffer, sizeof buffer, file) == static_cast<int>(text.size()) &&
                     text == buffer,
                 "gets after puts");
    check.expect(ini_getl(section.c_str(), "count", -1, file) == round * 1000 + id, "getl after putl");
    check.expect(ini_getf("Other", "ratio", -1.0f, file) == static_cast<float>(round) + 0.5f, "getf after putf");
    check.expect(ini_getbool("", "top", 7, file) == (round % 2 ? 1 : 0), "getbool after puts");
    check.expect(ini_getsection(0, buffer, sizeof buffer, file) > 0 && section == buffer, "getsection");
    // The key deleted at the end of a round comes back after the other one.
    std::string keys;
    for (int index = 0; index < 3; ++index) {
        ini_getkey(section.c_str(), index, buffer, sizeof buffer, file);
        keys += std::string(buffer) + ",";
    }
    check.expect(keys == (round == 0 ? "text,count,," : "count,text,,"), "getkey gives " + keys);
    BrowseTally tally;
    check.expect(ini_browse(tally_entry, &tally, file) == 1 && tally.entries == 4, "browse own file");

    // Deleting leaves the rest readable; the next round sets it again.
    check.expect(ini_puts(section.c_str(), "text", nullptr, file) == 1, "delete key");
    check.expect(
        ini_gets(section.c_str(), "text", "gone", buffer, sizeof buffer, file) == 4 && std::string(buffer) == "gone",
        "deleted key reads the default");
    if (round % 5 == 4) {
        check.expect(ini_putl("Other", nullptr, 0, file) == 1, "delete section");
        check.expect(ini_getf("Other", "ratio", -1.0f, file) == -1.0f, "deleted section reads the default");
    }
}

class Threads : public ScratchDir {};

TEST_F(Threads, EveryExportAtOnceOnOwnAndSharedFiles) {
    const std::string shared = path("shared.ini");
    write_file(shared, SHARED_TEXT);

    std::vector<Checker> checkers;
    for (int id = 0; id < THREAD_COUNT; ++id) checkers.emplace_back(id);
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int id = 0; id < THREAD_COUNT; ++id) {
        workers.emplace_back([&, id] {
            // Start together so that the calls really overlap.
            ready.fetch_add(1);
            while (ready.load() < THREAD_COUNT) std::this_thread::yield();
            const std::string own = path("own" + std::to_string(id) + ".ini");
            for (int round = 0; round < ROUNDS; ++round) {
                work_on_own_file(own, id, round, checkers[id]);
                read_shared(shared, checkers[id]);
            }
        });
    }
    for (auto &worker : workers) worker.join();

    for (const auto &checker : checkers)
        for (const auto &failure : checker.failures()) ADD_FAILURE() << failure;
    EXPECT_EQ(read_file(shared), SHARED_TEXT);
    // No temporary file is left beside any of the files.
    std::vector<std::string> expected{"shared.ini"};
    for (int id = 0; id < THREAD_COUNT; ++id) expected.push_back("own" + std::to_string(id) + ".ini");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_dir(dir_), expected);
}

}  // namespace
}  // namespace brantcfg_test
