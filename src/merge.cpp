// The merge: many sets of one file made as one change. The sets are
// applied in turn to the file's bytes in memory, each by the edit the
// planner makes of it for a file that holds those bytes, exactly as
// ini_puts would make it; the result takes the file's place once: one
// temporary file, one sync and one rename, under the writers' lock taken
// once, so that a reader sees the file before the merge or after it.
//
// Where ini_puts' search runs from the start of the file, a set here starts
// at its section's first header, which an index of the sections the entries
// name keeps in step as the bytes move: a merge of many sets costs about one
// pass over the file rather than one per set.
#include "merge.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace brantcfg::detail {
namespace {

// Bytes asked of the system at a time while a file is read into memory.
constexpr file_offset READ_CHUNK = 64 * 1024;

// The most bytes a text may hold: a memory_source counts them in an int.
constexpr file_offset MAX_TEXT_SIZE = INT_MAX;

// ---- the text -------------------------------------------------------------------

// A file's bytes on the heap, growing as sets add to them.
class text_buffer {
public:
    text_buffer() noexcept = default;
    text_buffer(const text_buffer &) = delete;
    text_buffer &operator=(const text_buffer &) = delete;
    ~text_buffer() { std::free(bytes_); }

    // Never null once reserve succeeded, even while the text is empty.
    [[nodiscard]] char *bytes() noexcept { return bytes_; }
    [[nodiscard]] file_offset size() const noexcept { return size_; }

    [[nodiscard]] bool same_as(const text_buffer &other) const noexcept {
        return size_ == other.size_ && std::memcmp(bytes_, other.bytes_, static_cast<std::size_t>(size_)) == 0;
    }

    // Makes room for wanted bytes in all, and for one at least, so that the
    // bytes are never null. False (errno set) when there is no memory for
    // them, or when they are more than a text may hold.
    [[nodiscard]] bool reserve(long long wanted) noexcept {
        if (wanted < 1) wanted = 1;
        if (wanted <= capacity_) return true;
        if (wanted > MAX_TEXT_SIZE) {
            errno = EFBIG;
            return false;
        }
        // Doubling keeps a merge that adds many lines from copying the text
        // once for each of them.
        file_offset grown = capacity_ > MAX_TEXT_SIZE / 2 ? MAX_TEXT_SIZE : 2 * capacity_;
        if (grown < wanted) grown = static_cast<file_offset>(wanted);
        void *moved = std::realloc(bytes_, static_cast<std::size_t>(grown));
        if (!moved) {
            errno = ENOMEM;
            return false;
        }
        bytes_ = static_cast<char *>(moved);
        capacity_ = grown;
        return true;
    }

    // Replaces the bytes [from, to) with length bytes at text.
    [[nodiscard]] bool splice(file_offset from, file_offset to, const char *text, file_offset length) noexcept {
        const long long grown = static_cast<long long>(size_) - (to - from) + length;
        if (!reserve(grown)) return false;
        std::memmove(bytes_ + from + length, bytes_ + to, static_cast<std::size_t>(size_ - to));
        std::memcpy(bytes_ + from, text, static_cast<std::size_t>(length));
        size_ = static_cast<file_offset>(grown);
        return true;
    }

    [[nodiscard]] bool assign(text_buffer &other) noexcept {
        size_ = 0;
        return splice(0, 0, other.bytes(), other.size());
    }

    // Replaces the text with everything the file holds from its position on.
    // False (errno set) on a read error or when memory runs out.
    [[nodiscard]] bool read_from(file_handle file) noexcept {
        size_ = 0;
        // Room for the size the file has now and one byte more, so that
        // the read that finds its end needs no more room.
        const file_offset expected = file_size(file);
        if (!reserve(expected > 0 ? static_cast<long long>(expected) + 1 : READ_CHUNK)) return false;
        for (;;) {
            if (size_ == capacity_) {
                if (size_ == MAX_TEXT_SIZE) {
                    errno = EFBIG;
                    return false;
                }
                const long long wanted = static_cast<long long>(size_) + READ_CHUNK;
                if (!reserve(wanted > MAX_TEXT_SIZE ? MAX_TEXT_SIZE : wanted)) return false;
            }
            const long got = read_file(file, bytes_ + size_, static_cast<std::size_t>(capacity_ - size_));
            if (got < 0) return false;
            if (got == 0) return true;
            size_ += got;
        }
    }

private:
    char *bytes_ = nullptr;
    file_offset size_ = 0;
    file_offset capacity_ = 0;
};

// ---- the index of sections -------------------------------------------------------

// A named section the entries name, and where the text's first header of
// that name stands.
struct section_slot {
    const char *name = nullptr;
    std::size_t length = 0;
    file_offset header = -1;  // offset of that header line's first byte; -1 while there is none
};

// FNV-1a over a name's bytes with ASCII letters in one case: names that
// match without regard to case hash alike.
[[nodiscard]] std::uint32_t name_hash(const char *name, std::size_t length) noexcept {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(ascii_lower(name[i]));
        hash *= 16777619u;
    }
    return hash;
}

// The named sections of a merge's entries, each once, found by name as
// lookups match names (name_matches), in a table with open addressing.
class section_index {
public:
    section_index() noexcept = default;
    section_index(const section_index &) = delete;
    section_index &operator=(const section_index &) = delete;
    ~section_index() {
        std::free(table_);
        std::free(slots_);
        std::free(of_entry_);
    }

    // Gives every named section of the entries a slot. False (errno ENOMEM)
    // when memory runs out.
    [[nodiscard]] bool build(const merge_entry *entries, std::size_t count) noexcept {
        std::size_t buckets = 2;
        while (buckets < 2 * count) buckets *= 2;
        table_ = static_cast<std::size_t *>(std::calloc(buckets, sizeof *table_));
        slots_ = static_cast<section_slot *>(std::calloc(count + 1, sizeof *slots_));
        of_entry_ = static_cast<section_slot **>(std::calloc(count + 1, sizeof *of_entry_));
        if (!table_ || !slots_ || !of_entry_) {
            errno = ENOMEM;
            return false;
        }
        mask_ = buckets - 1;
        for (std::size_t i = 0; i < count; ++i) {
            const char *section = entries[i].section;
            if (!section || *section == '\0') continue;  // the nameless section starts the text
            const std::size_t length = std::strlen(section);
            std::size_t *bucket = bucket_of(section, length);
            if (*bucket == 0) {
                slots_[used_] = section_slot{section, length, -1};
                *bucket = ++used_;
            }
            of_entry_[i] = &slots_[*bucket - 1];
        }
        return true;
    }

    // The slot of entry i's section; nullptr for the nameless section.
    [[nodiscard]] section_slot *of_entry(std::size_t i) const noexcept { return of_entry_[i]; }

    // Finds each slot's first header in the text.
    void locate(char *text, file_offset size) noexcept {
        for (std::size_t i = 0; i < used_; ++i) slots_[i].header = -1;
        if (used_ == 0) return;
        memory_source source(text, static_cast<int>(size));
        char line[LINE_BUFFER_SIZE];
        line_class found;
        file_offset start = -1;
        while (next_header(source, line, nullptr, 0, &found, &start)) {
            const std::size_t slot = *bucket_of(found.name, found.name_length);
            if (slot != 0 && slots_[slot - 1].header < 0) slots_[slot - 1].header = start;
        }
    }

    // Moves the headers behind a splice that put delta bytes more in place
    // of the bytes [from, to). False when a header stood inside those
    // bytes (the tail of a long line that reads as a header): the text must
    // then be located anew.
    [[nodiscard]] bool shift(file_offset from, file_offset to, file_offset delta) noexcept {
        bool kept = true;
        for (std::size_t i = 0; i < used_; ++i) {
            file_offset &header = slots_[i].header;
            if (header >= to)
                header += delta;
            else if (header > from)
                kept = false;
        }
        return kept;
    }

private:
    // The bucket that holds the name's slot number (counted from 1), or the
    // empty one (0) where it would go.
    [[nodiscard]] std::size_t *bucket_of(const char *name, std::size_t length) const noexcept {
        std::size_t at = name_hash(name, length) & mask_;
        while (table_[at] != 0) {
            const section_slot &slot = slots_[table_[at] - 1];
            if (slot.length == length && equal_ignoring_case(slot.name, name, length)) break;
            at = (at + 1) & mask_;
        }
        return &table_[at];
    }

    std::size_t *table_ = nullptr;
    std::size_t mask_ = 0;
    section_slot *slots_ = nullptr;
    std::size_t used_ = 0;
    section_slot **of_entry_ = nullptr;
};

// ---- the sets -------------------------------------------------------------------

// The text a merge works on, and the index that goes with it.
struct merge_text {
    text_buffer text;
    section_index &index;
    bool exists = true;  // false while the file is missing and no set has created it
};

// Replaces the bytes [from, to) of the text with length bytes and keeps
// the index in step.
[[nodiscard]] bool splice(merge_text &merge, file_offset from, file_offset to, const char *bytes,
                          file_offset length) noexcept {
    if (!merge.text.splice(from, to, bytes, length)) return false;
    if (!merge.index.shift(from, to, length - (to - from))) merge.index.locate(merge.text.bytes(), merge.text.size());
    return true;
}

// Applies one set to the text as ini_puts applies it to a file that holds
// the text; slot is the entry's section in the index.
[[nodiscard]] bool apply_entry(merge_text &merge, const merge_entry &entry, section_slot *slot) noexcept {
    char line[LINE_BUFFER_SIZE];
    edit planned = plan_creation();
    if (merge.exists) {
        const file_offset size = merge.text.size();
        memory_source source(merge.text.bytes(), static_cast<int>(size));
        plan_result result = plan_result::edit;
        if (!slot) {
            result = plan_change(source, entry, line, &planned);
        } else if (slot->header < 0) {
            // The index knows the section is missing: no search is needed
            // to append it.
            result = plan_append(source, source.offset(), size, true, line, &planned);
        } else {
            if (!seek_source(source, slot->header)) return false;
            result = plan_change(source, entry, line, &planned);
        }
        if (result != plan_result::edit) return result == plan_result::unchanged;
    }
    char text[2 + 2 * LINE_BUFFER_SIZE];
    file_offset length = 0;
    static_cast<void>(put_edit_text(planned, entry, line, [&](const char *part, int part_length) {
        std::memcpy(text + length, part, static_cast<std::size_t>(part_length));
        length += part_length;
        return true;
    }));
    if (!splice(merge, planned.from, planned.to, text, length)) return false;
    merge.exists = true;
    // A new section's header begins where the text does, after a line end.
    if (planned.header && slot) slot->header = planned.from + (planned.line_break ? 2 : 0);
    return true;
}

// Sets every entry in turn in the text (the file's bytes, or nothing for a
// missing file).
[[nodiscard]] bool apply_entries(merge_text &merge, const merge_entry *entries, std::size_t count) noexcept {
    if (merge.exists) merge.index.locate(merge.text.bytes(), merge.text.size());
    for (std::size_t i = 0; i < count; ++i)
        if (!apply_entry(merge, entries[i], merge.index.of_entry(i))) return false;
    return true;
}

// The entries merged into read, the file's bytes, in merge's text. True
// when that changes them.
[[nodiscard]] bool merged_text(merge_text &merge, text_buffer &read, const merge_entry *entries, std::size_t count,
                               bool *changed) noexcept {
    if (!merge.text.assign(read) || !apply_entries(merge, entries, count)) return false;
    *changed = !merge.text.same_as(read);
    return true;
}

// One attempt at the whole merge of an existing file, open as file. It is
// read and merged without the lock, so that a merge that changes nothing
// takes none; a change takes it, and goes ahead only while the path still
// names the file that was read (retry otherwise). The file is read again
// under the lock, since another writer may have patched it in place since,
// and merged anew when it did.
outcome merge_open_file(file_handle &file, const char *path, const merge_entry *entries, std::size_t count,
                        section_index &index, writer_lock &lock) noexcept {
    text_buffer read;
    merge_text merge{{}, index};
    bool changed = false;
    if (!read.read_from(file) || !merged_text(merge, read, entries, count, &changed)) return outcome::failed;
    if (!changed) return outcome::done;
    reach(update_point::searched);

    target_file target;
    if (!describe_target(path, file, &target)) return errno == ENOENT ? outcome::retry : outcome::failed;
    if (!lock.take_or_defer(target)) return errno == ENOENT || lock.deferred() ? outcome::retry : outcome::failed;
    if (!names_file(target, file)) return outcome::retry;
    // Read again through the lock's own descriptor where there is one (see
    // writer_lock::file).
    const file_handle locked = lock.file() != NO_FILE ? lock.file() : file;
    text_buffer again;
    if (!seek_file(locked, 0) || !again.read_from(locked)) return outcome::failed;
    if (!again.same_as(read)) {
        if (!merged_text(merge, again, entries, count, &changed)) return outcome::failed;
        if (!changed) return outcome::done;
    }

    const file_handle out = create_temp_file(target);
    if (out == NO_FILE) return outcome::failed;
    const bool written = write_file(out, merge.text.bytes(), static_cast<std::size_t>(merge.text.size()));
    char scratch[WRITER_BLOCK_SIZE];
    return replace_target(out, written ? 0 : failure_cause(), file, target, scratch, sizeof scratch);
}

// One attempt at the whole merge, from opening the file on.
outcome attempt_merge(const merge_entry *entries, std::size_t count, const char *path, section_index &index,
                      writer_lock &lock) noexcept {
    open_result opened = open_result::failed;
    file_handle file = open_for_reading(path, &opened);
    if (file == NO_FILE) {
        // Only a file that is not there may be created; the first set
        // creates it, and the others change it.
        if (opened != open_result::missing) return outcome::failed;
        merge_text merge{{}, index};
        merge.exists = false;
        if (!merge.text.reserve(1) || !apply_entries(merge, entries, count)) return outcome::failed;
        if (!merge.exists) return outcome::done;  // nothing to set: nothing is created
        return create_missing_file(merge.text.bytes(), static_cast<std::size_t>(merge.text.size()), path, lock);
    }
    const outcome result = merge_open_file(file, path, entries, count, index, lock);
    if (file != NO_FILE) close_read_file(file);
    return result;
}

}  // namespace

int merge_entries(const merge_entry *entries, std::size_t count, const char *path, std::size_t *refused) noexcept {
    *refused = count;
    for (std::size_t i = 0; i < count; ++i) {
        const merge_entry &entry = entries[i];
        if (!entry.key || !entry.value || !acceptable_change(entry.section, entry.key, entry.value)) {
            *refused = i;
            errno = EINVAL;
            return 0;
        }
    }
    if (!path) {
        errno = EINVAL;
        return 0;
    }
    section_index index;
    if (!index.build(entries, count)) return 0;
    return attempt_change([&](writer_lock &lock) { return attempt_merge(entries, count, path, index, lock); }) ==
                   outcome::done
               ? 1
               : 0;
}

}  // namespace brantcfg::detail
