// Directory listing shared by the test suites and the fuzz targets (which
// do not link GoogleTest), so it lives apart from support.h.
#ifndef BRANTCFG_TEST_DIR_LIST_H
#define BRANTCFG_TEST_DIR_LIST_H

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#else
#  include <dirent.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

namespace brantcfg_test {

// Names of the entries in a directory, sorted; empty when it cannot be read.
inline std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
#if defined(_WIN32)
    WIN32_FIND_DATAA entry;
    const HANDLE search = FindFirstFileA((dir + "/*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
#else
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
#endif
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace brantcfg_test

#endif
