/*
 * brantcfg.h - read and write INI configuration files through a plain C ABI.
 *
 * Every function here is a complete transaction on one file named by path:
 * it opens the file, reads it from its first byte in blocks of 14 KiB (8 KiB
 * in a setter) into a buffer on the stack, scans it line by line in pieces
 * of at most 511 bytes, and closes it before returning. Nothing is cached
 * between calls, and no call allocates heap memory, on any path, failures
 * included: files are reached through the system's descriptors or handles,
 * not the C runtime's streams.
 *
 * Stack: no call takes more than 16 KiB of its thread's stack. Measured
 * high-water marks on Linux x86-64 (optimised build): ini_gets,
 * ini_getsection, ini_getkey and ini_browse about 15.0 KiB (ini_browse plus
 * what its callback takes); ini_getl, ini_getf, ini_getbool about 15.1 KiB;
 * ini_puts about 10.9 KiB for an unchanged value or an absent deletion and
 * 14.6 KiB for a patch, a rewrite or a creation; ini_putl and ini_putf about
 * 14.7 KiB. The first call of a process may take up to about 3 KiB more
 * once, while the dynamic linker binds the system functions it uses (a
 * program linked with "-z now" binds them at start). A thread with a 32 KiB
 * stack can call every function with room to spare. On Windows the same holds for paths of up to 1023 bytes, which a
 * rewrite names its file and temporary file by; a rewrite of a longer path
 * (once links are resolved) returns 0 with errno ENAMETOOLONG, since holding
 * two paths of the system's 32,767-character limit would take 64 KiB of
 * stack.
 * Reads never change a file. Writes keep every other byte of the file as it
 * was and replace the file atomically when its length changes.
 *
 * The format, in short:
 *   - lines end in CR LF or LF (written lines always end in CR LF);
 *   - "[name]" starts a section; the name is the text between "[" and the
 *     first "]", taken as is (not trimmed);
 *   - "key=value" (or "key:value" when the line holds no "=") is an entry;
 *     blanks (bytes 0x01 to 0x20) around the key and the value are ignored;
 *   - lines whose first non-blank byte is ";" or "#" are comments; a ";" or
 *     "#" outside double quotes ends a value ("v ; note" reads as "v");
 *   - a value that begins and ends with '"' loses those quotes, and \" or ""
 *     inside it reads as one '"';
 *   - section and key names match without regard to ASCII letter case; the
 *     first match in the file wins;
 *   - entries above the first line that begins with "[" form the nameless
 *     section, addressed by a NULL or empty section name;
 *   - a line is read in pieces of at most 511 bytes: a longer physical line
 *     is handled as several lines, and no value read back is longer than 511
 *     bytes.
 *
 * Strings are NUL-terminated 8-bit text in the host's code page; the library
 * never converts them. "buffer_size" always counts the terminating NUL.
 * Integers are 32-bit on every platform. No function keeps state between
 * calls, and every function may be called from any thread at any time.
 * Setters that change one file take turns through the writers' lock (see
 * ini_puts), whether they run in threads of one process or in several
 * processes. Readers always see a whole file, and never a value that was
 * never written: on POSIX systems they hold a shared lock of the file's
 * bytes while they read, which no writer ever waits for (a line is patched
 * in place only while no reader holds the file). Only regular files are
 * read or written.
 */
#ifndef BRANTCFG_H
#define BRANTCFG_H

#include <stdint.h>

#define BRANTCFG_VERSION_MAJOR 2
#define BRANTCFG_VERSION_MINOR 0
#define BRANTCFG_VERSION_PATCH 0
#define BRANTCFG_VERSION_STRING "2.0.0"

/* Bytes in a line buffer, the terminating NUL included: a line is read in
 * pieces of at most BRANTCFG_LINE_BUFFER_SIZE - 1 bytes, so a buffer of this
 * size always holds a whole name or value the library returns. */
#define BRANTCFG_LINE_BUFFER_SIZE 512

/* BRANTCFG_API marks the ten exports. Define BRANTCFG_STATIC when linking
 * the static library on Windows; BRANTCFG_BUILDING is set by the build of
 * the library itself. */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(BRANTCFG_STATIC)
#    define BRANTCFG_API
#  elif defined(BRANTCFG_BUILDING)
#    define BRANTCFG_API __declspec(dllexport)
#  else
#    define BRANTCFG_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#  define BRANTCFG_API __attribute__((visibility("default")))
#else
#  define BRANTCFG_API
#endif

/* BRANTCFG_CALL is the calling convention of the exports and of the browse
 * callback: arguments pushed right to left and removed by the caller
 * (cdecl), spelled out on 32-bit Windows where compilers may default to
 * another convention. */
#if defined(_WIN32) && !defined(_WIN64)
#  define BRANTCFG_CALL __cdecl
#else
#  define BRANTCFG_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * browse_callback: the host function that ini_browse calls once per entry.
 *   section    the name of the section the entry stands in; "" (never NULL)
 *              for entries above the first header and under a "[]" header.
 *   key        the key name, blanks around it removed, letter case as stored.
 *   value      the value decoded exactly as ini_gets returns it.
 *   user_data  the pointer given to ini_browse, passed through untouched.
 * The three strings are read-only and valid only during the call.
 * Return 0 to stop the walk, any other value to go on.
 */
typedef int(BRANTCFG_CALL *browse_callback)(const char *section, const char *key, const char *value, void *user_data);

/*
 * ini_gets: read a value as text.
 *   section        the section to search; NULL or "" for the nameless
 *                  section at the top of the file.
 *   key            the key to find; required (NULL is an argument error);
 *                  "" matches no entry, so the default is returned.
 *   default_value  copied into buffer, unchanged (not trimmed or unquoted),
 *                  when the key or the file is missing; NULL counts as "".
 *   buffer         receives the value; required.
 *   buffer_size    bytes available in buffer, the NUL included; at least 1.
 *   path           the file; required.
 * Result: the string length of what buffer now holds. A value longer than
 * buffer_size - 1 bytes is cut. A present but empty value and a missing key
 * with an empty default both return 0: pass a default you can recognise to
 * tell them apart.
 * Buffer: after a hit, the value; after a miss (no file, no section, no
 * key), the default; after an argument error (buffer, key or path NULL,
 * buffer_size below 1), untouched, and the result is 0.
 * File: never created or changed.
 */
BRANTCFG_API int BRANTCFG_CALL ini_gets(const char *section, const char *key, const char *default_value, char *buffer,
                                        int buffer_size, const char *path);

/*
 * ini_getl: read a value as a 32-bit integer.
 *   section, key, path  as for ini_gets.
 *   default_value       returned when the value is missing or empty, or on
 *                       an argument error (key or path NULL).
 * Result: the value's first 63 bytes converted with strtol, in base 16 when
 * the value's second byte is "x" or "X" ("0x1F" gives 31), else in base 10;
 * conversion stops at the first byte that does not fit ("12abc" gives 12,
 * "abc" gives 0), and the result is clamped to INT32_MIN..INT32_MAX.
 * File: never created or changed.
 */
BRANTCFG_API int32_t BRANTCFG_CALL ini_getl(const char *section, const char *key, int32_t default_value,
                                            const char *path);

/*
 * ini_getf: read a value as a single-precision float.
 *   section, key, path  as for ini_gets.
 *   default_value       returned when the value is missing or empty, or on
 *                       an argument error.
 * Result: the value's first 63 bytes converted with strtod and narrowed to
 * float; "." is the decimal point whatever the host's locale; text with no
 * number gives 0.
 * File: never created or changed.
 */
BRANTCFG_API float BRANTCFG_CALL ini_getf(const char *section, const char *key, float default_value, const char *path);

/*
 * ini_getbool: read a value as a truth value.
 *   section, key, path  as for ini_gets.
 *   default_value       returned unchanged when the value's first byte is no
 *                       truth value, when the value is missing or empty, or
 *                       on an argument error.
 * Result: only the first byte of the decoded value counts, in either case:
 * "Y", "T" or "1" give 1 ("yes", "true", "1"); "N", "F" or "0" give 0;
 * anything else ("on", "2") gives default_value.
 * File: never created or changed.
 */
BRANTCFG_API int BRANTCFG_CALL ini_getbool(const char *section, const char *key, int default_value, const char *path);

/*
 * ini_getsection: the name of the section header at a position.
 *   index        0 for the file's first header, 1 for the second, ...;
 *                every well-formed header counts, "[]" and repeated names
 *                included. Negative is an argument error.
 *   buffer       receives the name as stored between "[" and "]"; required.
 *   buffer_size  bytes available in buffer, the NUL included; at least 1.
 *   path         the file; required.
 * Result: the length of the name in buffer; 0 past the last header, for a
 * "[]" header and for a missing file. Walk 0, 1, 2, ... until 0.
 * Buffer: the name (cut to buffer_size - 1) on a hit; "" on a miss;
 * untouched after an argument error (buffer or path NULL, buffer_size below
 * 1, negative index).
 * File: never created or changed.
 */
BRANTCFG_API int BRANTCFG_CALL ini_getsection(int index, char *buffer, int buffer_size, const char *path);

/*
 * ini_getkey: the name of the key at a position in a section.
 *   section      the section (its first occurrence); NULL or "" for the
 *                nameless section at the top of the file.
 *   index        0 for the section's first key; comments, empty lines and
 *                lines without "=" or ":" are not counted. Negative is an
 *                argument error.
 *   buffer       receives the key name, blanks around it removed, letter
 *                case as stored; required.
 *   buffer_size  bytes available in buffer, the NUL included; at least 1.
 *   path         the file; required.
 * Result: the length of the name in buffer; 0 past the last key, for a key
 * line with an empty name, and for a missing file or section.
 * Buffer: the name (cut to buffer_size - 1) on a hit; "" on a miss;
 * untouched after an argument error.
 * File: never created or changed.
 */
BRANTCFG_API int BRANTCFG_CALL ini_getkey(const char *section, int index, char *buffer, int buffer_size,
                                          const char *path);

/*
 * ini_browse: hand every entry of a file to a callback, in file order, in
 * one pass.
 *   callback   called with (section, key, value, user_data) for each entry,
 *              repeated sections and keys included; required.
 *   user_data  passed to every call of callback untouched; may be NULL.
 *   path       the file; required.
 * All three strings share one 512-byte buffer: under a section name of n
 * bytes each line is read in pieces of at most 510 - n bytes, so entries
 * under very long section names arrive in fragments. Unlike the lookups, a
 * line such as "[x" without "]" does not end a section here.
 * Result: 1 once the walk ends (at the end of the file or because callback
 * returned 0); 0 when callback or path is NULL or the file cannot be opened,
 * and then callback is never called.
 * File: never created or changed.
 */
BRANTCFG_API int BRANTCFG_CALL ini_browse(browse_callback callback, void *user_data, const char *path);

/*
 * ini_puts: set a value, delete a key, or delete a section.
 *   section  the section; NULL or "" for the nameless section at the top of
 *            the file (never given a header).
 *   key      the key; NULL deletes the whole section: its header and every
 *            line up to the next line that begins with "[".
 *   value    the new value; NULL deletes the key's line (only that line).
 *            A value with '"', ";" or "#" in it, or beginning or ending
 *            with a blank, is written between quotes with '"' escaped as
 *            \", so that it reads back exactly.
 *   path     the file; required.
 * A set replaces the key's line with "key=value" and CR LF, at the same
 * place; a new key goes after the last line of its section; a new section
 * goes at the end of the file. A missing file is created, through a
 * temporary file as below (directly when its name ends in "~"); through a
 * link to a missing file, the file the link names is created. Nothing is
 * written when the stored value already equals value; a new line exactly
 * as long as the old one is written over it in place where no reader holds
 * the file and the line lies within one 512-byte block; anything else is
 * written to a temporary file beside the file (its path with the last byte
 * replaced by "~"), flushed to disk, and renamed over the file, so the path
 * always names either the complete old or the complete new content. A
 * symbolic link stays a link; the file it names is rewritten and keeps its
 * permission bits (on Windows its hidden, system, not-indexed and
 * encrypted attributes, its creation time, its security descriptor and its
 * alternate data streams; a read-only file is never changed there: EACCES).
 * A set is refused when its lines would not read back as the entry set:
 * an empty key, one that begins with a blank, "[", ";" or "#", ends with a
 * blank or holds "="; in the nameless section, a key that begins with
 * a byte-order mark (UTF-8 or UTF-16); a section holding "]"; a key line (key, "=", the
 * value as written, CR LF) or header line longer than 511 bytes. Deleting
 * such a name changes nothing: it cannot be there.
 * Writers take turns: a change waits for the writers' lock of the file (on
 * POSIX systems a lock that needs the file open for writing), held until
 * the call returns; a call that changes nothing takes no lock and writes
 * nothing. A change is made only to the file that was searched: should the
 * path name another file by the time the lock is held, the call starts
 * over, and a rewrite replaces the path only while it still names that
 * file, with the temporary file this call wrote. The new file keeps the old
 * one's owner and group, every mode bit, and its extended attributes
 * (access lists and security labels among them, given to it before its
 * mode); where that cannot be done without changing the owner or leaving
 * it more open, the rewrite is refused (EPERM). A path that names anything
 * but a regular file (a FIFO, a device, a folder) is left alone.
 * Result: 1 when the file now holds what was asked, including when nothing
 * had to change and when a deleted key or section did not exist (then the
 * file is not touched at all); 0 when the file could not be changed, and
 * then it is byte for byte as it was, no temporary file is left, and errno
 * holds the cause of the first failure:
 *   EINVAL  path is NULL, section, key or value holds a CR or LF byte, a
 *           set could not be read back (above), the path names a FIFO or a
 *           device, or the change needs a temporary file and path ends in
 *           "~"; nothing is opened for the first two;
 *   EILSEQ  the file begins with a UTF-16 byte-order mark (FF FE or FE FF):
 *           8-bit lines would corrupt it, so it is never written (deleting
 *           from it included);
 *   EAGAIN  a program outside the library kept changing the path, or the
 *           temporary name, while the call held the lock; nothing was
 *           replaced;
 *   EBUSY   a lock no writer takes (a read lock where writers lock) stood
 *           in the way for two seconds, or another user's young temporary
 *           file holds the temporary name; on Windows, another program held
 *           the file, or its temporary file, open without sharing it for
 *           longer than the call waits (about two seconds); nothing was
 *           replaced;
 *   EEXIST  the temporary name is a link on the path's own way;
 *   other   what the system reported (EACCES for a file that exists but
 *           that the caller may not read or may not write, ENOSPC or EFBIG
 *           for a full disk, ...). A line patched in place whose flush to
 *           disk fails is written back as it was before the call returns.
 */
BRANTCFG_API int BRANTCFG_CALL ini_puts(const char *section, const char *key, const char *value, const char *path);

/*
 * ini_putl: store a 32-bit integer as decimal text ("-2147483648" included).
 * Same as ini_puts with that text as value; with key NULL the section is
 * deleted. Result and errno as for ini_puts.
 */
BRANTCFG_API int BRANTCFG_CALL ini_putl(const char *section, const char *key, int32_t value, const char *path);

/*
 * ini_putf: store a float with six decimals and no exponent ("1.500000"),
 * "." as the decimal point whatever the host's locale. Same as ini_puts with
 * that text as value; with key NULL the section is deleted. Result and
 * errno as for ini_puts.
 */
BRANTCFG_API int BRANTCFG_CALL ini_putf(const char *section, const char *key, float value, const char *path);

#ifdef __cplusplus
}
#endif

#endif /* BRANTCFG_H */
