#include "fuzz_support.h"
#include "text_rules.h"

#include "brantcfg.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brantcfg_fuzz {

std::int32_t Control::int32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | byte();
    std::int32_t result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

float Control::float32() {
    const std::int32_t bits = int32();
    float result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

std::string Control::text(std::size_t max_length) {
    std::size_t length = byte();
    if (max_length > 255) length = (length << 8) | byte();
    length = std::min(length, max_length);
    std::string result;
    for (std::size_t i = 0; i < length && !empty(); ++i) result.push_back(static_cast<char>(byte()));
    return result.substr(0, std::strlen(result.c_str()));
}

Input split_input(const std::uint8_t *data, std::size_t size) {
    Input input;
    if (size == 0) return input;
    const std::size_t control_length = std::min<std::size_t>(data[size - 1], size - 1);
    const std::size_t file_length = size - 1 - control_length;
    input.file.assign(reinterpret_cast<const char *>(data), file_length);
    input.control = Control(data + file_length, control_length);
    return input;
}

namespace {

void remove_scratch_dir() {
    const std::string &dir = scratch_dir();
    for (const auto &name : list_dir(dir)) unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

}  // namespace

const std::string &scratch_dir() {
    static const std::string dir = [] {
        const char *chosen = std::getenv("BRANTCFG_FUZZ_DIR");
        struct stat st {};
        std::string base;
        if (chosen && *chosen)
            base = chosen;
        else if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
            base = "/dev/shm";
        else if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp)
            base = tmp;
        else
            base = "/tmp";
        std::string pattern = base + "/brantcfg-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) fail("cannot make a scratch directory under " + base);
        return pattern;
    }();
    static const bool cleanup_registered = std::atexit(remove_scratch_dir) == 0;
    static_cast<void>(cleanup_registered);
    return dir;
}

void write_whole_file(const std::string &path, const std::string &bytes) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file) fail("cannot create " + path);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) fail("cannot write " + path);
}

std::string read_whole_file(const std::string &path, bool *exists) {
    std::string bytes;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (exists) *exists = file != nullptr;
    if (!file) return bytes;
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, count);
    std::fclose(file);
    return bytes;
}

void fail(const std::string &what) {
    std::fprintf(stderr, "brantcfg fuzz invariant broken: %s\n", what.c_str());
    std::abort();
}

std::string show(const std::string &bytes) {
    std::string out = "\"";
    for (const char c : bytes.substr(0, 200)) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '"' && c != '\\') {
            out.push_back(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        }
    }
    out += bytes.size() > 200 ? "\"..." : "\"";
    return out;
}

namespace {

// The largest name a lookup can return: a piece is at most 511 bytes.
constexpr int NAME_BUFFER_SIZE = brantcfg::detail::LINE_BUFFER_SIZE;

Name pick_name(Control &control, bool from_file_is_key, const Name &section, const std::string &path) {
    const std::uint8_t how = control.byte();
    Name name;
    switch (how % 4) {
        case 0:
            return name;
        case 1:
            name.absent = false;
            return name;
        case 2:
            name.absent = false;
            name.text = control.text(how & 0x80 ? 600 : 40);
            return name;
        default: {
            char buffer[NAME_BUFFER_SIZE];
            const int index = control.byte() % 32;
            if (from_file_is_key)
                ini_getkey(section.get(), index, buffer, sizeof buffer, path.c_str());
            else
                ini_getsection(index, buffer, sizeof buffer, path.c_str());
            name.absent = false;
            name.text = buffer;
            if (how & 0x40) {
                for (char &c : name.text) {
                    if (c >= 'a' && c <= 'z')
                        c = static_cast<char>(c - 'a' + 'A');
                    else if (c >= 'A' && c <= 'Z')
                        c = static_cast<char>(c - 'A' + 'a');
                }
            }
            return name;
        }
    }
}

}  // namespace

Name pick_section(Control &control, const std::string &path) { return pick_name(control, false, Name{}, path); }

Name pick_key(Control &control, const Name &section, const std::string &path) {
    return pick_name(control, true, section, path);
}

}  // namespace brantcfg_fuzz
