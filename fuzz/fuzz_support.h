// What both fuzz targets share: how an input splits into file bytes and a
// control block, a scratch directory for the file, and a way to fail that
// both a fuzzing engine and the seed replay report.
//
// Input layout: [file bytes][control block][one byte: control block length].
// Any byte string is a valid input; a plain INI file is one too (its last
// byte, usually a line feed, takes the ten bytes before it as control).
#ifndef BRANTCFG_FUZZ_SUPPORT_H
#define BRANTCFG_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dir_list.h"

namespace brantcfg_fuzz {

using brantcfg_test::list_dir;

// Reads control values in order; once the block is used up every value is 0.
class Control {
public:
    Control() = default;
    Control(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool empty() const { return at_ >= size_; }
    std::int32_t int32();
    float float32();
    // Up to max_length bytes; the length comes first, in one byte, or in two
    // (big-endian) when max_length is above 255. Stops at the first NUL, as
    // a C string would.
    std::string text(std::size_t max_length);

private:
    const std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t at_ = 0;
};

struct Input {
    std::string file;
    Control control;
};

Input split_input(const std::uint8_t *data, std::size_t size);

// A directory of this process's own, made on first use: $BRANTCFG_FUZZ_DIR,
// else /dev/shm (no disk syncs to wait for), else $TMPDIR or /tmp.
const std::string &scratch_dir();
void write_whole_file(const std::string &path, const std::string &bytes);
std::string read_whole_file(const std::string &path, bool *exists = nullptr);

// Reports a broken invariant and aborts, so that the engine saves the input
// and a replay under ctest fails.
[[noreturn]] void fail(const std::string &what);
inline void check(bool ok, const std::string &what) {
    if (!ok) fail(what);
}

// Printable form of bytes for failure messages.
std::string show(const std::string &bytes);

// A section or key name as a caller passes it: absent (NULL) or a string.
struct Name {
    bool absent = true;
    std::string text;
    const char *get() const { return absent ? nullptr : text.c_str(); }
};

// Picks a section name for the file at path: absent, empty, written out in
// the control block, or the name of one of the file's headers (found
// through the enumeration exports), maybe with its letter case changed.
Name pick_section(Control &control, const std::string &path);
// Picks a key the same way; a name from the file is one of the section's
// keys.
Name pick_key(Control &control, const Name &section, const std::string &path);

}  // namespace brantcfg_fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

#endif
