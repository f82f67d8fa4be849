// The merge: many sets of one file made as one change, for the command-line
// tool and the tests. It is no part of the library users get: it holds the
// whole file in memory, on the heap.
#ifndef BRANTCFG_MERGE_H
#define BRANTCFG_MERGE_H

#include "update.h"

#include <cstddef>

namespace brantcfg::detail {

// One set of a merge: section (nullptr or "" for the nameless one), key and
// value, as ini_puts takes them.
using merge_entry = change;

// Sets the count entries in the file at path, one after another, leaving
// the file byte for byte as that many ini_puts calls in the same order
// would; but the file changes once, by one rewrite under the writers' lock
// (or one creation of a missing file), so that a reader sees it before the
// merge or after it and never in between. When nothing changes nothing is
// written and no lock is taken. Every entry is checked before the file is
// opened: one that ini_puts would refuse fails the merge with EINVAL and
// its index in *refused (count otherwise). Returns 1, or 0 with errno set
// and the file untouched.
[[nodiscard]] int merge_entries(const merge_entry *entries, std::size_t count, const char *path,
                                std::size_t *refused) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_MERGE_H
