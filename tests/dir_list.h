// Directory listing shared by the test suites and the fuzz targets (which
// do not link GoogleTest), so it lives apart from support.h.
#ifndef BRANTCFG_TEST_DIR_LIST_H
#define BRANTCFG_TEST_DIR_LIST_H

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

namespace brantcfg_test {

// Names of the entries in a directory, sorted; empty when it cannot be read.
inline std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace brantcfg_test

#endif
