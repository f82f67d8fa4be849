// A file opened for reading with a piece source over it, for the tests of
// the private routines that read through one. Closed when it goes out of
// scope.
#ifndef BRANTCFG_TEST_SOURCE_SUPPORT_H
#define BRANTCFG_TEST_SOURCE_SUPPORT_H

#include "lookup.h"

#include <string>

namespace brantcfg_test {

struct OpenedSource {
    explicit OpenedSource(const std::string &path) : file(open(path)), source(file) {}
    OpenedSource(const OpenedSource &) = delete;
    OpenedSource &operator=(const OpenedSource &) = delete;
    ~OpenedSource() {
        if (file != brantcfg::detail::NO_FILE) brantcfg::detail::close_read_file(file);
    }
    bool opened() const { return file != brantcfg::detail::NO_FILE; }

    // The block size of a rewrite, the smaller of the two a call uses.
    static constexpr int BLOCK_SIZE = brantcfg::detail::WRITER_BLOCK_SIZE;
    brantcfg::detail::file_handle file;
    brantcfg::detail::block_source<BLOCK_SIZE> source;

private:
    static brantcfg::detail::file_handle open(const std::string &path) {
        brantcfg::detail::open_result result = brantcfg::detail::open_result::failed;
        return brantcfg::detail::open_for_reading(path.c_str(), &result);
    }
};

}  // namespace brantcfg_test

#endif
