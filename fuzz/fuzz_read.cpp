// Fuzz target for the read exports: arbitrary file bytes, then up to eight
// requests, each through one of the seven read exports, with names, indexes
// and buffer sizes taken from the input. Caller buffers sit between guard
// bytes; any byte written outside a buffer, a result that disagrees with
// the buffer, or an answer that changes with the buffer size fails, and so
// does an entry browsed in a UTF-16 file.
#include "fuzz_support.h"
#include "text_rules.h"

#include "brantcfg.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace brantcfg_fuzz;

constexpr std::size_t GUARD_SIZE = 32;
constexpr unsigned char GUARD_BYTE = 0xA5;
// The room that holds any answer whole: values, names and pieces are at
// most 511 bytes.
constexpr int FULL_SIZE = brantcfg::detail::LINE_BUFFER_SIZE;
constexpr int MAX_REQUESTS = 8;

// A caller buffer of size bytes between two guard zones, filled with the
// guard pattern so that an untouched buffer can be recognised too.
class GuardedBuffer {
public:
    explicit GuardedBuffer(int size)
        : size_(size), storage_(GUARD_SIZE * 2 + static_cast<std::size_t>(size > 0 ? size : 0), GUARD_BYTE) {}
    char *data() { return reinterpret_cast<char *>(storage_.data()) + GUARD_SIZE; }
    int size() const { return size_; }
    void check_guards(const char *what) const {
        const std::size_t end = storage_.size();
        for (std::size_t i = 0; i < GUARD_SIZE; ++i)
            check(storage_[i] == GUARD_BYTE && storage_[end - 1 - i] == GUARD_BYTE,
                  std::string(what) + " wrote outside the caller's buffer");
    }
    bool untouched() const {
        for (const unsigned char b : storage_)
            if (b != GUARD_BYTE) return false;
        return true;
    }

private:
    int size_;
    std::vector<unsigned char> storage_;
};

// Buffer sizes from the input: mostly small, sometimes an argument error
// (0 or negative) or larger than any answer.
int pick_size(Control &control) {
    const std::uint8_t b = control.byte();
    if (b == 0) return 0;
    if (b == 255) return -1;
    if (b >= 200) return FULL_SIZE + (b - 200) * 8;
    return b % 40 + 1;
}

// The checks every string export shares: guards intact; an argument error
// leaves the buffer untouched and returns 0; otherwise the result is the
// string length of the buffer and equals the full answer cut to the size.
template <typename Call>
void check_string_export(const char *what, bool argument_error, int size, Call call) {
    GuardedBuffer buffer(size);
    const int result = call(buffer.data(), size);
    buffer.check_guards(what);
    if (argument_error) {
        check(result == 0 && buffer.untouched(), std::string(what) + " touched the buffer on an argument error");
        return;
    }
    const int length = static_cast<int>(std::strlen(buffer.data()));
    check(result == length && length < size, std::string(what) + " result disagrees with its buffer");
    GuardedBuffer full(FULL_SIZE);
    const int full_result = call(full.data(), FULL_SIZE);
    full.check_guards(what);
    const int expected = full_result < size - 1 ? full_result : size - 1;
    check(result == expected && std::memcmp(buffer.data(), full.data(), static_cast<std::size_t>(length)) == 0,
          std::string(what) + " with a small buffer is not the full answer cut short: " + show(buffer.data()) +
              " against " + show(full.data()));
}

struct BrowseState {
    int calls = 0;
    int stop_after = 0;
};

int browse_entry(const char *section, const char *key, const char *value, void *user_data) {
    auto *state = static_cast<BrowseState *>(user_data);
    check(section && key && value, "browse passed a NULL string");
    // The three strings share one line buffer.
    const std::size_t used = std::strlen(section) + std::strlen(key) + std::strlen(value) + 3;
    check(used <= FULL_SIZE, "browse strings overflow their shared buffer");
    ++state->calls;
    return state->calls < state->stop_after;
}

// utf16: the file begins with a UTF-16 mark, and so holds no entries.
void run_request(Control &control, const std::string &path, bool utf16) {
    const char *file = path.c_str();
    switch (control.byte() % 7) {
        case 0: {
            const Name section = pick_section(control, path);
            const Name key = pick_key(control, section, path);
            const Name fallback = pick_key(control, section, path);
            const int size = pick_size(control);
            check_string_export("ini_gets", size <= 0 || key.absent, size, [&](char *buffer, int buffer_size) {
                return ini_gets(section.get(), key.get(), fallback.get(), buffer, buffer_size, file);
            });
            break;
        }
        case 1: {
            const Name section = pick_section(control, path);
            const Name key = pick_key(control, section, path);
            const std::int32_t fallback = control.int32();
            const std::int32_t number = ini_getl(section.get(), key.get(), fallback, file);
            char text[2];
            if (key.absent || ini_gets(section.get(), key.get(), "", text, sizeof text, file) == 0)
                check(number == fallback, "ini_getl ignored its default for an empty value");
            break;
        }
        case 2: {
            const Name section = pick_section(control, path);
            const Name key = pick_key(control, section, path);
            const float fallback = control.float32();
            const float number = ini_getf(section.get(), key.get(), fallback, file);
            char text[2];
            if (key.absent || ini_gets(section.get(), key.get(), "", text, sizeof text, file) == 0)
                check(std::memcmp(&number, &fallback, sizeof number) == 0,
                      "ini_getf ignored its default for an empty value");
            break;
        }
        case 3: {
            const Name section = pick_section(control, path);
            const Name key = pick_key(control, section, path);
            const int fallback = static_cast<int>(control.int32());
            const int truth = ini_getbool(section.get(), key.get(), fallback, file);
            check(truth == 0 || truth == 1 || truth == fallback, "ini_getbool invented a result");
            break;
        }
        case 4: {
            const int index = static_cast<int>(static_cast<std::int8_t>(control.byte()));
            const int size = pick_size(control);
            check_string_export("ini_getsection", size <= 0 || index < 0, size, [&](char *buffer, int buffer_size) {
                return ini_getsection(index, buffer, buffer_size, file);
            });
            break;
        }
        case 5: {
            const Name section = pick_section(control, path);
            const int index = static_cast<int>(static_cast<std::int8_t>(control.byte()));
            const int size = pick_size(control);
            check_string_export("ini_getkey", size <= 0 || index < 0, size, [&](char *buffer, int buffer_size) {
                return ini_getkey(section.get(), index, buffer, buffer_size, file);
            });
            break;
        }
        default: {
            BrowseState all;
            all.stop_after = 1 << 30;
            check(ini_browse(browse_entry, &all, file) == 1, "ini_browse failed on a readable file");
            check(!utf16 || all.calls == 0, "ini_browse found entries in a UTF-16 file");
            BrowseState some;
            some.stop_after = control.byte() % 8 + 1;
            check(ini_browse(browse_entry, &some, file) == 1, "ini_browse failed when stopped early");
            check(some.calls == (all.calls < some.stop_after ? all.calls : some.stop_after),
                  "ini_browse went on after the callback said stop");
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input input = split_input(data, size);
    const std::string path = scratch_dir() + "/read.ini";
    write_whole_file(path, input.file);
    const bool utf16 = input.file.compare(0, 2, "\xFF\xFE") == 0 || input.file.compare(0, 2, "\xFE\xFF") == 0;
    for (int i = 0; i < MAX_REQUESTS && (i == 0 || !input.control.empty()); ++i)
        run_request(input.control, path, utf16);
    check(read_whole_file(path) == input.file, "a read export changed the file");
    return 0;
}
