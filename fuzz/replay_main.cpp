// The main() of a fuzz target built without a fuzzing engine: runs every
// input named on the command line (files, or every file below a directory,
// in name order) through LLVMFuzzerTestOneInput once. A missing
// directory is skipped, so an absent optional corpus is not an error.
#include "fuzz_support.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace {

int run_file(const std::string &path) {
    bool exists = false;
    const std::string bytes = brantcfg_fuzz::read_whole_file(path, &exists);
    if (!exists) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 0;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

// Runs a file, or every file below a directory; dot files are skipped.
int run_tree(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    if (!S_ISDIR(st.st_mode)) return S_ISREG(st.st_mode) ? run_file(path) : 0;
    int inputs = 0;
    for (const auto &name : brantcfg_test::list_dir(path))
        if (name[0] != '.') inputs += run_tree(path + "/" + name);
    return inputs;
}

}  // namespace

int main(int argc, char **argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st {};
        if (stat(argv[i], &st) != 0)
            std::printf("skipped %s: not there\n", argv[i]);
        else
            inputs += run_tree(argv[i]);
    }
    std::printf("replayed %d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
