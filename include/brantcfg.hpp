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
 * Arguments
 *   Paths are accepted as std::filesystem::path, std::string, std::string_view
 *   or const char*. A std::filesystem::path is handed to the library as its
 *   narrow string (on Windows, in the process's ANSI code page; a name that
 *   code page cannot hold fails to convert with a std::system_error, or a
 *   std::filesystem::filesystem_error derived from it, before any C call).
 *   Section names, keys and values are accepted as const char*,
 *   std::string or std::string_view. A null const char* section is the
 *   nameless section; a null key is refused (EINVAL or no value), never
 *   taken for "the whole section".
 *
 * Values come back whole
 *   A line is read in pieces of at most 511 bytes, so no value, section name
 *   or key name the library returns is longer than 511 bytes: one buffer of
 *   line_buffer_size (512) bytes always holds it, and the strings returned
 *   here are never cut. (A longer physical line is read as several lines;
 *   its tail is not part of the value.)
 *
 * Errors and exceptions
 *   Getters answer std::nullopt or the given default when the file, the
 *   section or the key is missing. Setters return a result that is true on
 *   success and otherwise carries the errno of the failure, exactly as the
 *   C setters leave it (see ini_puts in brantcfg.h), or the layer's own
 *   EINVAL (null key or value) or ERANGE (integer beyond 32 bits), refused
 *   before the file is opened.
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
 *   int32_t width = brantcfg::get_int(file, "window", "width", 640);
 *   if (auto done = brantcfg::set(file, "window", "width", 800); !done)
 *       report(done.error_code().message());
 *   brantcfg::for_each(file, [](std::string_view section, std::string_view key,
 *                               std::string_view value) { ... });
 */
#ifndef BRANTCFG_HPP
#define BRANTCFG_HPP

#include "brantcfg.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

// libstdc++ on Windows (MinGW) gives a path's string() in UTF-8, while the C
// functions take names in the ANSI code page: the conversion is done here.
#if defined(_WIN32) && defined(__GLIBCXX__)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#endif

namespace brantcfg {

// Bytes in a buffer that always holds a whole value or name, the NUL
// included: a line is read in pieces of at most line_buffer_size - 1 bytes.
inline constexpr int line_buffer_size = 512;

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
#if defined(_WIN32) && defined(__GLIBCXX__)
    const std::wstring &wide = path.native();
    if (wide.empty()) return {};
    const int length = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length,
                                         nullptr, 0, nullptr, &lossy);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size <= 0 || lossy ||
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, narrow.data(),
                            size, nullptr, nullptr) != size)
        throw std::filesystem::filesystem_error(
            "the ANSI code page cannot hold this name", path,
            std::make_error_code(std::errc::illegal_byte_sequence));
    return narrow;
#else
    return path.string();
#endif
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
    [[nodiscard]] std::error_code error_code() const noexcept {
        return {error_, std::generic_category()};
    }

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
int BRANTCFG_CALL browse_trampoline(const char *section, const char *key, const char *value,
                                    void *user_data) noexcept {
    auto *context = static_cast<browse_context<Callable> *>(user_data);
    try {
        using answer = std::invoke_result_t<Callable &, std::string_view, std::string_view,
                                            std::string_view>;
        if constexpr (std::is_void_v<answer>) {
            std::invoke(*context->callable, std::string_view(section), std::string_view(key),
                        std::string_view(value));
            return 1;
        } else {
            return static_cast<bool>(std::invoke(*context->callable, std::string_view(section),
                                                 std::string_view(key), std::string_view(value)))
                       ? 1
                       : 0;
        }
    } catch (...) {
        context->error = std::current_exception();
        return 0;
    }
}

}  // namespace detail

// ---- reading ------------------------------------------------------------------

// The value of key in section, decoded as ini_gets decodes it (comment cut,
// quotes removed), whole. std::nullopt when the file, the section or the
// key is missing, or key is null; an entry "key=" gives "" (present but
// empty), so the two are told apart.
[[nodiscard]] inline std::optional<std::string> get(const path_arg &path, const text_arg &section,
                                                    const text_arg &key) {
    if (!key.get() || !path.get()) return std::nullopt;
    char buffer[line_buffer_size];
    buffer[0] = '\0';
    const int length = ini_gets(section.get(), key.get(), detail::missing_marker, buffer,
                                static_cast<int>(sizeof buffer), path.get());
    if (std::strcmp(buffer, detail::missing_marker) == 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

// The value, or fallback when it is missing. A present but empty value
// gives "", not fallback.
[[nodiscard]] inline std::string get(const path_arg &path, const text_arg &section,
                                     const text_arg &key, std::string_view fallback) {
    if (auto value = get(path, section, key)) return std::move(*value);
    return std::string(fallback);
}

// The value as a 32-bit integer, converted as ini_getl does (decimal, or
// hexadecimal when the second byte is 'x'; clamped to 32 bits). std::nullopt
// when it is missing or empty. Reads the file a second time only when the
// value is INT32_MIN.
[[nodiscard]] inline std::optional<std::int32_t> get_int(const path_arg &path,
                                                         const text_arg &section,
                                                         const text_arg &key) {
    return detail::present_value<std::int32_t>(
        [&](std::int32_t fallback) { return ini_getl(section.get(), key.get(), fallback, path.get()); },
        std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
}

// The value as a 32-bit integer, or fallback when it is missing or empty.
[[nodiscard]] inline std::int32_t get_int(const path_arg &path, const text_arg &section,
                                          const text_arg &key, std::int32_t fallback) noexcept {
    return ini_getl(section.get(), key.get(), fallback, path.get());
}

// The value as a float, converted as ini_getf does ("." is the decimal
// point whatever the locale; text without a number gives 0). std::nullopt
// when it is missing or empty.
[[nodiscard]] inline std::optional<float> get_float(const path_arg &path, const text_arg &section,
                                                    const text_arg &key) {
    return detail::present_value<float>(
        [&](float fallback) { return ini_getf(section.get(), key.get(), fallback, path.get()); },
        std::numeric_limits<float>::lowest(), std::numeric_limits<float>::max());
}

// The value as a float, or fallback when it is missing or empty.
[[nodiscard]] inline float get_float(const path_arg &path, const text_arg &section,
                                     const text_arg &key, float fallback) noexcept {
    return ini_getf(section.get(), key.get(), fallback, path.get());
}

// The value as a truth value, judged by its first byte as ini_getbool does:
// y, t, 1 (either case) true; n, f, 0 false. std::nullopt when it is
// missing, empty, or starts with anything else ("on", "2").
[[nodiscard]] inline std::optional<bool> get_bool(const path_arg &path, const text_arg &section,
                                                  const text_arg &key) noexcept {
    const int answer = ini_getbool(section.get(), key.get(), -1, path.get());
    if (answer < 0) return std::nullopt;
    return answer != 0;
}

// The value as a truth value, or fallback when it is none.
[[nodiscard]] inline bool get_bool(const path_arg &path, const text_arg &section,
                                   const text_arg &key, bool fallback) noexcept {
    return ini_getbool(section.get(), key.get(), fallback ? 1 : 0, path.get()) != 0;
}

// The names of the file's section headers in file order, each whole, a
// name that occurs twice listed twice. Like the positional walk of
// ini_getsection, the list ends at the first header without a name ("[]").
// Empty for a missing file.
[[nodiscard]] inline std::vector<std::string> sections(const path_arg &path) {
    return detail::list_names([&](int index, char *buffer, int size) {
        return ini_getsection(index, buffer, size, path.get());
    });
}

// The key names of section (its first block; "" for the nameless section)
// in file order, each whole, as stored. Comments and lines without "=" or
// ":" are not keys. Like the walk of ini_getkey, the list ends at the first
// key line without a name ("=value"). Empty for a missing file or section.
[[nodiscard]] inline std::vector<std::string> keys(const path_arg &path, const text_arg &section) {
    return detail::list_names([&](int index, char *buffer, int size) {
        return ini_getkey(section.get(), index, buffer, size, path.get());
    });
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
// rewritten. A value holding '"', ';' or '#' or ending in a space is written
// quoted. A CR or LF in section, key or value is refused with EINVAL.
inline result set(const path_arg &path, const text_arg &section, const text_arg &key,
                  std::string_view value) {
    if (!key.get()) return result{EINVAL};
    const text_arg text(value);
    return detail::from_c(ini_puts(section.get(), key.get(), text.get(), path.get()));
}

// A string literal or other C string; a null value is refused with EINVAL.
inline result set(const path_arg &path, const text_arg &section, const text_arg &key,
                  const char *value) {
    if (!value) return result{EINVAL};
    return set(path, section, key, std::string_view(value));
}

inline result set(const path_arg &path, const text_arg &section, const text_arg &key,
                  const std::string &value) {
    return set(path, section, key, std::string_view(value));
}

// Any integer type, written in decimal as ini_putl does. A value outside
// the 32-bit range the library stores is refused with ERANGE, and the file
// is not touched.
template <class Integer,
          std::enable_if_t<std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>, int> = 0>
result set(const path_arg &path, const text_arg &section, const text_arg &key, Integer value) {
    using limits = std::numeric_limits<std::int32_t>;
    if constexpr (std::is_signed_v<Integer> && sizeof(Integer) > sizeof(std::int32_t)) {
        if (value < limits::min() || value > limits::max()) return result{ERANGE};
    } else if constexpr (!std::is_signed_v<Integer> && sizeof(Integer) >= sizeof(std::int32_t)) {
        if (value > static_cast<Integer>(limits::max())) return result{ERANGE};
    }
    if (!key.get()) return result{EINVAL};
    return detail::from_c(
        ini_putl(section.get(), key.get(), static_cast<std::int32_t>(value), path.get()));
}

// A float or double, narrowed to float and written with six decimals and
// "." as ini_putf does ("1.500000").
template <class Real, std::enable_if_t<std::is_floating_point_v<Real>, int> = 0>
result set(const path_arg &path, const text_arg &section, const text_arg &key, Real value) {
    if (!key.get()) return result{EINVAL};
    return detail::from_c(ini_putf(section.get(), key.get(), static_cast<float>(value), path.get()));
}

// Removes key's line from section (only that line; comments stay). Success
// also when the key, the section or the file did not exist.
[[nodiscard]] inline result erase_key(const path_arg &path, const text_arg &section,
                                      const text_arg &key) {
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

#endif  // BRANTCFG_HPP
