/*
 * brantcfg.hpp - a header-only C++17 layer over the C functions of
 * brantcfg.h, for C++ callers.
 *
 * Every function here is built on the C functions and keeps their rules:
 * each C call opens the file, reads or rewrites it, and closes it again;
 * names match without regard to ASCII letter case and the first match wins;
 * an empty section name ("" or nullptr) means the nameless section above the
 * file's first header. brantcfg.h documents the format and every rule in
 * full; what this layer adds is said at each function below.
 *
 * C++17 is required. With CMake, link brantcfg::cxx (it carries cxx_std_17
 * and brantcfg::brantcfg); otherwise compile with -std=c++17 or later. An
 * older standard stops at the first line of this header with one message.
 *
 * Arguments
 *   Paths are accepted as std::filesystem::path, std::string, std::string_view
 *   or const char*. A std::filesystem::path is handed to the library as its
 *   narrow string (on Windows, in the process's ANSI code page; a name that
 *   code page cannot hold fails to convert with a std::system_error, or a
 *   std::filesystem::filesystem_error derived from it, before any C call).
 *   Section names and keys are accepted as const char*, std::string or
 *   std::string_view. A null const char* section is the nameless section; a
 *   null key is refused (EINVAL or no value), never taken for "the whole
 *   section".
 *
 * Typed values
 *   get<T> and set take T = std::string, bool, every integer type of at most
 *   64 bits (signed char and unsigned char included, plain char excluded:
 *   it is a character, not a number), float and double; set also takes
 *   const char* and std::string_view. Another type stops the compilation at
 *   one static_assert that names the types allowed.
 *   Numbers are read strictly, unlike the C getters: the whole value must be
 *   the number, as std::from_chars reads it ("12abc", "", " 1" and a number
 *   out of T's range give std::nullopt); integers are decimal, or
 *   hexadecimal after "0x" or "0X", with one sign or none ("-0x10" is -16,
 *   "+5" is 5); floats are in the "C" locale's notation ("1.5", "1e-3",
 *   "inf", "nan"). parse<T> reads text by the same rules. ini_getl instead
 *   reads the longest leading number ("12abc" gives 12, "abc" 0) and clamps
 *   it to 32 bits, and ini_getf narrows to float; get_int, get_float and
 *   get_bool below keep those C rules for files written to them.
 *   A bool is one of the truth words yes/no, true/false, on/off and 1/0, the
 *   whole value in any letter case ("Yes", "OFF"); anything else is none.
 *   (ini_getbool keeps its own rule, the first byte: "y" and "t2" are true
 *   there and none here, "on" and "off" none there.)
 *   set writes a bool as "true" or "false", an integer in decimal, and a
 *   float or double in the shortest text that reads back to exactly the same
 *   value (std::to_chars: "0.1", "1e+100", "inf"), never narrowed to float
 *   and never rounded to six decimals as ini_putf does; to_text gives that
 *   text, and line_value the form a value takes in the key line.
 *
 * A missing file versus a missing key
 *   The getters answer std::nullopt (or the default) alike for a file that
 *   is missing or cannot be read and for a key that is absent, as the C
 *   getters do. read_error(path) tells them apart: it is empty when the file
 *   can be read, std::errc::no_such_file_or_directory when there is none,
 *   std::errc::illegal_byte_sequence for a UTF-16 file (one that begins with
 *   FF FE or FE FF: no entries are read from it, and it is never written),
 *   std::errc::is_a_directory or std::errc::invalid_argument for a directory
 *   or another thing that is not a regular file (/dev/null, a FIFO), which
 *   the C functions do not read either, and the system's reason otherwise.
 *   It looks at the file as it is at that moment, and a getter called
 *   afterwards opens the file again: a process that deletes or creates the
 *   file in between makes the two answers disagree (the library's own
 *   rewrites replace a file by renaming a complete copy over it, so they
 *   never make it missing for a moment).
 *
 * Values come back whole
 *   A line is read in pieces of at most 511 bytes, so no value, section name
 *   or key name the library returns is longer than 511 bytes: one buffer of
 *   line_buffer_size (512) bytes always holds it, and the strings returned
 *   here are never cut. (A longer physical line is read as several lines;
 *   its tail is not part of the value.)
 *
 * Errors and exceptions
 *   Setters return a result that is true on success and otherwise carries
 *   the errno of the failure, exactly as the C setters leave it (see
 *   ini_puts in brantcfg.h), or the layer's own EINVAL (null key or value),
 *   refused before the file is opened.
 *   The layer itself throws only std::bad_alloc (when a string or vector
 *   cannot grow). No exception ever crosses the C functions: an exception
 *   thrown by the callable given to for_each is caught inside the callback,
 *   the walk stops, and the exception is thrown again from for_each once the
 *   C call has returned.
 *
 * Example
 *   #include <brantcfg.hpp>
 *   std::filesystem::path file = "app.ini";
 *   if (auto title = brantcfg::get(file, "window", "title")) use(*title);
 *   int width = brantcfg::get(file, "window", "width", 640);
 *   std::optional<std::uint64_t> size = brantcfg::get<std::uint64_t>(file, "cache", "size");
 *   if (auto done = brantcfg::set(file, "window", "ratio", 1.25); !done)
 *       report(done.error_code().message());
 *   if (std::error_code error = brantcfg::read_error(file)) report(error.message());
 *   brantcfg::for_each(file, [](std::string_view section, std::string_view key,
 *                               std::string_view value) { ... });
 */
#ifndef BRANTCFG_HPP
#define BRANTCFG_HPP

// Checked before any other header, so that an older standard gets this one
// message rather than a page of errors from what follows. MSVC reports its
// standard in _MSVC_LANG (__cplusplus stays 199711L without /Zc:__cplusplus).
#if defined(_MSVC_LANG)
#  define BRANTCFG_CXX_STANDARD _MSVC_LANG
#else
#  define BRANTCFG_CXX_STANDARD __cplusplus
#endif
#if BRANTCFG_CXX_STANDARD < 201703L
#  error "brantcfg.hpp needs C++17: link the CMake target brantcfg::cxx, or compile with -std=c++17 (MSVC: /std:c++17)"
#else

#  include "brantcfg.h"

#  include <cerrno>
#  include <charconv>
#  include <cstdint>
#  include <cstdio>
#  include <cstring>
#  include <exception>
#  include <filesystem>
#  include <functional>
#  include <limits>
#  include <optional>
#  include <string>
#  include <string_view>
#  include <system_error>
#  include <type_traits>
#  include <utility>
#  include <vector>

#  include <sys/stat.h>

// libstdc++ on Windows (MinGW) gives a path's string() in UTF-8, while the C
// functions take names in the ANSI code page: the conversion is done here.
#  if defined(_WIN32) && defined(__GLIBCXX__)
#    ifndef WIN32_LEAN_AND_MEAN
#      define WIN32_LEAN_AND_MEAN
#    endif
#    ifndef NOMINMAX
#      define NOMINMAX
#    endif
#    include <windows.h>
#  endif

namespace brantcfg {

// Bytes in a buffer that always holds a whole value or name, the NUL
// included: a line is read in pieces of at most line_buffer_size - 1 bytes.
inline constexpr int line_buffer_size = BRANTCFG_LINE_BUFFER_SIZE;

namespace detail {

// A NUL-terminated string for the C functions, made from whatever text the
// caller has. A std::string_view (which need not end in NUL) is copied and a
// temporary std::string kept; other text is used where it is.
class c_text {
public:
    c_text(const char *text) noexcept : pointer_(text) {}
    c_text(const std::string &text) noexcept : pointer_(text.c_str()) {}
    c_text(std::string &&text) noexcept : copy_(std::move(text)), owned_(true) {}
    c_text(std::string_view text) : copy_(text), owned_(true) {}

    [[nodiscard]] const char *get() const noexcept { return owned_ ? copy_.c_str() : pointer_; }

private:
    const char *pointer_ = nullptr;
    std::string copy_;
    bool owned_ = false;
};

// A path's name as the C functions take it: in the process's ANSI code page
// on Windows. A name that code page cannot hold throws, as path::string()
// does where it converts to that code page itself.
inline std::string narrow_path(const std::filesystem::path &path) {
#  if defined(_WIN32) && defined(__GLIBCXX__)
    const std::wstring &wide = path.native();
    if (wide.empty()) return {};
    const int length = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    const int size =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0, nullptr, &lossy);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size <= 0 || lossy ||
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, narrow.data(), size, nullptr, nullptr) !=
            size)
        throw std::filesystem::filesystem_error("the ANSI code page cannot hold this name", path,
                                                std::make_error_code(std::errc::illegal_byte_sequence));
    return narrow;
#  else
    return path.string();
#  endif
}

}  // namespace detail

// A file path for the C functions: std::filesystem::path, std::string,
// std::string_view or const char*.
class path_arg : public detail::c_text {
public:
    using detail::c_text::c_text;
    path_arg(const std::filesystem::path &path) : detail::c_text(detail::narrow_path(path)) {}
};

// A section name, key or value: const char*, std::string or std::string_view.
using text_arg = detail::c_text;

// What a setter did: true on success; on failure false, with the errno the
// C setter reported (never 0 then).
class [[nodiscard]] result {
public:
    constexpr result() noexcept = default;
    constexpr explicit result(int error) noexcept : error_(error) {}

    [[nodiscard]] constexpr bool ok() const noexcept { return error_ == 0; }
    constexpr explicit operator bool() const noexcept { return ok(); }
    // The errno value of the failure; 0 on success.
    [[nodiscard]] constexpr int error() const noexcept { return error_; }
    // The same as a std::error_code of the generic category, for messages
    // and comparisons with std::errc.
    [[nodiscard]] std::error_code error_code() const noexcept { return {error_, std::generic_category()}; }

private:
    int error_ = 0;
};

namespace detail {

// Turns a C setter's 1/0 into a result, taking errno right after the call.
[[nodiscard]] inline result from_c(int done) noexcept {
    if (done) return result{};
    const int cause = errno;
    return result{cause != 0 ? cause : EIO};
}

// No stored value can hold a line feed (a line ends at it), so a lookup
// that answers with this default found nothing.
inline constexpr const char *missing_marker = "\n";

// Runs a C getter that answers a default when the value is missing, once
// with a first default and, only when the answer looks like it, again with
// a second one: a value that is really there converts the same both times
// and cannot equal both defaults. Compared bit for bit, so NaN is a value.
template <class T, class Getter>
[[nodiscard]] std::optional<T> present_value(Getter &&getter, T first, T second) {
    const auto same = [](T a, T b) { return std::memcmp(&a, &b, sizeof(T)) == 0; };
    const T answer = getter(first);
    if (!same(answer, first)) return answer;
    const T again = getter(second);
    if (same(again, second)) return std::nullopt;
    return again;
}

// Walks a list the C functions give by position (0, 1, 2, ... until an
// empty name) into a vector.
template <class Lister>
[[nodiscard]] std::vector<std::string> list_names(Lister &&lister) {
    std::vector<std::string> names;
    char buffer[line_buffer_size];
    for (int index = 0;; ++index) {
        buffer[0] = '\0';
        const int length = lister(index, buffer, static_cast<int>(sizeof buffer));
        if (length <= 0) return names;
        names.emplace_back(buffer, static_cast<std::size_t>(length));
    }
}

// What for_each hands through the C callback: the caller's callable, and an
// exception it threw, kept to be thrown again after the C call.
template <class Callable>
struct browse_context {
    Callable *callable;
    std::exception_ptr error;
};

template <class Callable>
int BRANTCFG_CALL browse_trampoline(const char *section, const char *key, const char *value, void *user_data) noexcept {
    auto *context = static_cast<browse_context<Callable> *>(user_data);
    try {
        using answer = std::invoke_result_t<Callable &, std::string_view, std::string_view, std::string_view>;
        if constexpr (std::is_void_v<answer>) {
            std::invoke(*context->callable, std::string_view(section), std::string_view(key), std::string_view(value));
            return 1;
        } else {
            return static_cast<bool>(std::invoke(*context->callable, std::string_view(section), std::string_view(key),
                                                 std::string_view(value)))
                       ? 1
                       : 0;
        }
    } catch (...) {
        context->error = std::current_exception();
        return 0;
    }
}

// The value types of get<T> and set. Plain char and the other character
// types are left out: a character is not a number.
template <class T>
inline constexpr bool is_character = std::is_same_v<T, char> || std::is_same_v<T, wchar_t> ||
#  if defined(__cpp_char8_t)
                                     std::is_same_v<T, char8_t> ||
#  endif
                                     std::is_same_v<T, char16_t> || std::is_same_v<T, char32_t>;
template <class T>
inline constexpr bool is_integer =
    std::is_integral_v<T> && !std::is_same_v<T, bool> && !is_character<T> && sizeof(T) <= sizeof(std::uint64_t);
template <class T>
inline constexpr bool is_real = std::is_same_v<T, float> || std::is_same_v<T, double>;
template <class>
inline constexpr bool unsupported = false;

// The whole text as an integer of type T: decimal, or hexadecimal after
// "0x"/"0X", with one sign first ("-", or "+" for a value that is not
// negative) or none; nothing when any byte is left over or the number does
// not fit T.
template <class T>
[[nodiscard]] std::optional<T> parse_integer(std::string_view text) noexcept {
    const bool negative = !text.empty() && text.front() == '-';
    const bool signed_text = negative || (!text.empty() && text.front() == '+');
    std::string_view digits = signed_text ? text.substr(1) : text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    // from_chars would take a second sign where the digits should begin.
    if (digits.empty() || digits.front() == '-' || digits.front() == '+') return std::nullopt;
    if (negative && !std::is_signed_v<T>) return std::nullopt;
    // A negative value is read as its magnitude in the unsigned type of the
    // same width, so that the most negative value has room.
    using magnitude_type = std::make_unsigned_t<T>;
    magnitude_type magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (!negative) {
        if (magnitude > static_cast<magnitude_type>(std::numeric_limits<T>::max())) return std::nullopt;
        return static_cast<T>(magnitude);
    }
    const auto lowest_magnitude =
        static_cast<magnitude_type>(static_cast<magnitude_type>(std::numeric_limits<T>::max()) + 1u);
    if (magnitude > lowest_magnitude) return std::nullopt;
    if (magnitude == lowest_magnitude) return std::numeric_limits<T>::min();
    return static_cast<T>(-static_cast<T>(magnitude));
}

// The whole text as a float or double in the "C" locale's notation.
template <class T>
[[nodiscard]] std::optional<T> parse_real(std::string_view text) noexcept {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The truth words, in lower case: a value is true or false when it is one
// of them in any letter case.
inline constexpr std::string_view true_words[] = {"yes", "true", "on", "1"};
inline constexpr std::string_view false_words[] = {"no", "false", "off", "0"};

// Room for the text of any number set writes: the longest double in
// shortest form is 24 bytes ("-2.2250738585072014e-308"), a 64-bit integer 20.
inline constexpr std::size_t number_text_size = 32;

// Letter case as names are compared: for ASCII letters only.
[[nodiscard]] constexpr char fold(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when text is word (lower case) in any letter case.
[[nodiscard]] constexpr bool is_word(std::string_view text, std::string_view word) noexcept {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (fold(text[i]) != word[i]) return false;
    return true;
}

}  // namespace detail

// ---- names and values as text ---------------------------------------------------

// name in the form names are compared in: ASCII letters in lower case,
// every other byte as it is. Two section names, or two keys, are the same
// to every lookup exactly when their folded forms are equal.
[[nodiscard]] inline std::string folded_name(std::string_view name) {
    std::string folded(name);
    for (char &c : folded) c = detail::fold(c);
    return folded;
}

// What text holds as T, by the rules get<T> reads a value with (see "Typed
// values" above): the whole text is the number, or one of the truth words
// yes/no, true/false, on/off, 1/0 in any letter case; std::nullopt
// otherwise. T is bool, an integer type of at most 64 bits (not char),
// float or double.
template <class T>
[[nodiscard]] std::optional<T> parse(std::string_view text) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
        for (const std::string_view word : detail::true_words)
            if (detail::is_word(text, word)) return true;
        for (const std::string_view word : detail::false_words)
            if (detail::is_word(text, word)) return false;
        return std::nullopt;
    } else if constexpr (detail::is_integer<T>) {
        return detail::parse_integer<T>(text);
    } else if constexpr (detail::is_real<T>) {
        return detail::parse_real<T>(text);
    } else {
        static_assert(detail::unsupported<T>,
                      "brantcfg::parse<T>: T must be bool, an integer type of at most 64 bits (not "
                      "char), float or double");
        return std::nullopt;
    }
}

// The text set writes for value: "true" or "false" for a bool, decimal for
// an integer, and for a float or double the shortest text that parse reads
// back to exactly the same value ("0.1", "1e+100", "inf").
template <class T>
[[nodiscard]] std::string to_text(const T &value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (detail::is_integer<T> || detail::is_real<T>) {
        char text[detail::number_text_size];
        // Cannot fail: the room fits any value.
        const auto [end, error] = std::to_chars(text, text + sizeof text, value);
        static_cast<void>(error);
        return std::string(text, end);
    } else {
        static_assert(detail::unsupported<T>,
                      "brantcfg::to_text: the value must be bool, an integer type of at most 64 bits (not "
                      "char), float or double");
        return {};
    }
}

// value as a key line holds it after the "=", the way set writes it: as it
// is, or between double quotes, with each '"' inside written \", when it
// holds '"', ';' or '#' (a reader would end the value there or take its
// quotes apart) or begins or ends with a blank, a byte from 0x01 to 0x20
// (a reader would drop it). Such a line reads back as value. Nothing is
// cut: set refuses a value whose line would not fit in 511 bytes.
[[nodiscard]] inline std::string line_value(std::string_view value) {
    const bool blank_end = !value.empty() && ((static_cast<unsigned char>(value.front()) - 1u) < 0x20u ||
                                              (static_cast<unsigned char>(value.back()) - 1u) < 0x20u);
    if (!blank_end && value.find_first_of("\";#") == std::string_view::npos) return std::string(value);
    std::string text = "\"";
    for (const char c : value) {
        if (c == '"') text += '\\';
        text += c;
    }
    text += '"';
    return text;
}

// ---- reading ------------------------------------------------------------------

namespace detail {

// True when file, open for reading at its first byte, is a regular file
// that begins with a UTF-16 byte-order mark (FF FE or FE FF). Nothing else
// is read from: a FIFO or a device would give its bytes away, or wait.
[[nodiscard]] inline bool begins_utf16(std::FILE *file) {
#  if defined(_WIN32)
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) return false;
#  else
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return false;
#  endif
    unsigned char first[2] = {0, 0};
    if (std::fread(first, 1, sizeof first, file) != sizeof first) return false;
    return (first[0] == 0xFF && first[1] == 0xFE) || (first[0] == 0xFE && first[1] == 0xFF);
}

}  // namespace detail

// Why the file at path cannot be read: an empty std::error_code when it is
// a file the C functions read; std::errc::no_such_file_or_directory when
// there is none (only then); std::errc::is_a_directory for a directory and
// std::errc::invalid_argument for anything else that is not a regular file
// (a device such as /dev/null, a FIFO, a socket): the C functions read
// neither, the getters give their defaults and for_each returns false;
// std::errc::illegal_byte_sequence for a file that begins with a UTF-16
// byte-order mark, whose text the library does not read (the getters give
// their defaults) and never writes (the setters fail with EILSEQ); and the
// system's reason otherwise, such as std::errc::permission_denied. Nothing
// but a regular file is opened. See "A missing file versus a missing key"
// above for what may change between this call and a later getter.
[[nodiscard]] inline std::error_code read_error(const path_arg &path) {
    if (!path.get()) return std::make_error_code(std::errc::invalid_argument);
    // Where a path is narrow text, its name is exactly what fopen is given.
    if constexpr (std::is_same_v<std::filesystem::path::value_type, char>) {
        std::error_code ignored;  // a path that cannot be looked at is left to fopen to explain
        const std::filesystem::file_status status = std::filesystem::status(std::filesystem::path(path.get()), ignored);
        if (std::filesystem::is_directory(status)) return std::make_error_code(std::errc::is_a_directory);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
            return std::make_error_code(std::errc::invalid_argument);
    }
    errno = 0;
    std::FILE *file = std::fopen(path.get(), "rb");
    if (!file) return {errno != 0 ? errno : EIO, std::generic_category()};
    const bool utf16 = detail::begins_utf16(file);
    std::fclose(file);  // opened for reading only: closing it loses nothing
    if (utf16) return std::make_error_code(std::errc::illegal_byte_sequence);
    return {};
}

namespace detail {

// The value of key in section as ini_gets decodes it, whole, or nothing.
[[nodiscard]] inline std::optional<std::string> stored_text(const path_arg &path, const text_arg &section,
                                                            const text_arg &key) {
    if (!key.get() || !path.get()) return std::nullopt;
    char buffer[line_buffer_size];
    buffer[0] = '\0';
    const int length =
        ini_gets(section.get(), key.get(), missing_marker, buffer, static_cast<int>(sizeof buffer), path.get());
    if (std::strcmp(buffer, missing_marker) == 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

// The type get(path, section, key, fallback) answers in: T when given,
// else what fallback is (text makes std::string).
struct from_fallback {};
template <class T, class Fallback>
struct answer_type {
    using type = T;
};
template <class Fallback>
struct answer_type<from_fallback, Fallback> {
    using plain = std::decay_t<Fallback>;
    using type = std::conditional_t<std::is_convertible_v<const plain &, std::string_view>, std::string, plain>;
};

}  // namespace detail

// The value of key in section as T (see "Typed values" above; by default
// std::string). The text is decoded as ini_gets decodes it (comment cut,
// quotes removed) and comes whole. std::nullopt when the file, the section
// or the key is missing, when key is null, and for a number or truth value
// that the value is not. An entry "key=" gives "" as std::string (present
// but empty) and std::nullopt as any other type.
template <class T = std::string>
[[nodiscard]] std::optional<T> get(const path_arg &path, const text_arg &section, const text_arg &key) {
    if constexpr (std::is_same_v<T, std::string>) {
        return detail::stored_text(path, section, key);
    } else if constexpr (std::is_same_v<T, bool> || detail::is_integer<T> || detail::is_real<T>) {
        const std::optional<std::string> text = detail::stored_text(path, section, key);
        if (!text) return std::nullopt;
        return parse<T>(*text);
    } else {
        static_assert(detail::unsupported<T>,
                      "brantcfg::get<T>: T must be std::string, bool, an integer type of at "
                      "most 64 bits (not char), float or double");
        return std::nullopt;
    }
}

// The value as T, or fallback when get<T> gives std::nullopt. Without an
// explicit T the type is fallback's: get(file, "window", "width", 640) is
// an int, a text fallback gives std::string. A present but empty value
// gives "" as std::string, not fallback.
template <class T = detail::from_fallback, class Fallback>
[[nodiscard]] typename detail::answer_type<T, Fallback>::type get(const path_arg &path, const text_arg &section,
                                                                  const text_arg &key, Fallback &&fallback) {
    using answer = typename detail::answer_type<T, Fallback>::type;
    if (std::optional<answer> value = get<answer>(path, section, key)) return std::move(*value);
    return answer(std::forward<Fallback>(fallback));
}

// The value as a 32-bit integer, converted as ini_getl does (the longest
// leading number, decimal, or hexadecimal when the second byte is 'x';
// clamped to 32 bits), for files written to that rule; get<T> reads
// strictly. std::nullopt when it is missing or empty. Reads the file a second time only when the
// value is INT32_MIN.
[[nodiscard]] inline std::optional<std::int32_t> get_int(const path_arg &path, const text_arg &section,
                                                         const text_arg &key) {
    return detail::present_value<std::int32_t>(
        [&](std::int32_t fallback) { return ini_getl(section.get(), key.get(), fallback, path.get()); },
        std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
}

// The value as a 32-bit integer, or fallback when it is missing or empty.
[[nodiscard]] inline std::int32_t get_int(const path_arg &path, const text_arg &section, const text_arg &key,
                                          std::int32_t fallback) noexcept {
    return ini_getl(section.get(), key.get(), fallback, path.get());
}

// The value as a float, converted as ini_getf does (the longest leading
// number, narrowed to float; "." is the decimal point whatever the locale;
// text without a number gives 0), for files written to that rule; get<T>
// reads strictly. std::nullopt when it is missing or empty.
[[nodiscard]] inline std::optional<float> get_float(const path_arg &path, const text_arg &section,
                                                    const text_arg &key) {
    return detail::present_value<float>(
        [&](float fallback) { return ini_getf(section.get(), key.get(), fallback, path.get()); },
        std::numeric_limits<float>::lowest(), std::numeric_limits<float>::max());
}

// The value as a float, or fallback when it is missing or empty.
[[nodiscard]] inline float get_float(const path_arg &path, const text_arg &section, const text_arg &key,
                                     float fallback) noexcept {
    return ini_getf(section.get(), key.get(), fallback, path.get());
}

// The value as a truth value, read as ini_getbool reads it (by its first
// byte: y, t or 1 in either case is true, n, f or 0 false), for files
// written to that rule; get<bool> takes only whole truth words. std::nullopt
// when the first byte is none of these, the value empty or missing.
[[nodiscard]] inline std::optional<bool> get_bool(const path_arg &path, const text_arg &section,
                                                  const text_arg &key) noexcept {
    const int answer = ini_getbool(section.get(), key.get(), -1, path.get());
    if (answer < 0) return std::nullopt;
    return answer != 0;
}

// The value as a truth value by ini_getbool's rule, or fallback.
[[nodiscard]] inline bool get_bool(const path_arg &path, const text_arg &section, const text_arg &key,
                                   bool fallback) noexcept {
    return ini_getbool(section.get(), key.get(), fallback ? 1 : 0, path.get()) != 0;
}

// The names of the file's section headers in file order, each whole, a
// name that occurs twice listed twice. Like the positional walk of
// ini_getsection, the list ends at the first header without a name ("[]").
// Empty for a missing file.
[[nodiscard]] inline std::vector<std::string> sections(const path_arg &path) {
    return detail::list_names(
        [&](int index, char *buffer, int size) { return ini_getsection(index, buffer, size, path.get()); });
}

// The key names of section (its first block; "" for the nameless section)
// in file order, each whole, as stored. Comments and lines without "=" or
// ":" are not keys. Like the walk of ini_getkey, the list ends at the first
// key line without a name ("=value"). Empty for a missing file or section.
[[nodiscard]] inline std::vector<std::string> keys(const path_arg &path, const text_arg &section) {
    return detail::list_names(
        [&](int index, char *buffer, int size) { return ini_getkey(section.get(), index, buffer, size, path.get()); });
}

// Hands every entry of the file to callable(section, key, value), each a
// std::string_view valid only during that call, in file order and in one
// pass, as ini_browse does (repeated sections and keys included; the
// nameless section as ""). A callable returning bool stops the walk by
// returning false; one returning void sees every entry.
// Result: true when the file was read (to its end or until stopped), false
// when it could not be opened (callable never called). An exception thrown
// by callable stops the walk and is thrown again from here.
template <class Callable>
bool for_each(const path_arg &path, Callable &&callable) {
    using plain = std::remove_reference_t<Callable>;
    static_assert(std::is_invocable_v<plain &, std::string_view, std::string_view, std::string_view>,
                  "for_each needs a callable taking (std::string_view section, "
                  "std::string_view key, std::string_view value)");
    detail::browse_context<plain> context{&callable, nullptr};
    const int walked = ini_browse(&detail::browse_trampoline<plain>, &context, path.get());
    if (context.error) std::rethrow_exception(context.error);
    return walked != 0;
}

// ---- writing ------------------------------------------------------------------

// Sets key in section to value, as ini_puts does: the file and the section
// are created when missing, the key's line is replaced at its place, every
// other byte is kept, and the file is replaced atomically when it must be
// rewritten. value is text (const char*, std::string, std::string_view),
// written as line_value gives it; or a bool, an integer or a float or double, written as "Typed
// values" above says. A CR or LF in section, key or value is refused with
// EINVAL, as is a null key or a null const char* value.
template <class T>
result set(const path_arg &path, const text_arg &section, const text_arg &key, const T &value) {
    if (!key.get()) return result{EINVAL};
    const auto put = [&](const char *text) {
        return detail::from_c(ini_puts(section.get(), key.get(), text, path.get()));
    };
    if constexpr (std::is_same_v<T, std::nullptr_t>) {
        return result{EINVAL};
    } else if constexpr (std::is_same_v<T, const char *> || std::is_same_v<T, char *>) {
        if (!value) return result{EINVAL};
        return put(value);
    } else if constexpr (std::is_convertible_v<const T &, std::string_view>) {
        const text_arg text{std::string_view(value)};
        return put(text.get());
    } else if constexpr (std::is_same_v<T, bool> || detail::is_integer<T> || detail::is_real<T>) {
        const std::string text = to_text(value);
        return put(text.c_str());
    } else {
        static_assert(detail::unsupported<T>,
                      "brantcfg::set: the value must be text (const char*, std::string, "
                      "std::string_view), bool, an integer type of at most 64 bits (not char), "
                      "float or double");
        return result{EINVAL};
    }
}

// Removes key's line from section (only that line; comments stay). Success
// also when the key, the section or the file did not exist.
[[nodiscard]] inline result erase_key(const path_arg &path, const text_arg &section, const text_arg &key) {
    if (!key.get()) return result{EINVAL};
    return detail::from_c(ini_puts(section.get(), key.get(), nullptr, path.get()));
}

// Removes section's header and every line up to the next line that begins
// with "["; "" removes the lines above the first header. Success also when
// the section or the file did not exist.
[[nodiscard]] inline result erase_section(const path_arg &path, const text_arg &section) {
    return detail::from_c(ini_puts(section.get(), nullptr, nullptr, path.get()));
}

}  // namespace brantcfg

#endif  // C++17
#undef BRANTCFG_CXX_STANDARD
#endif  // BRANTCFG_HPP
