// The journal's samples as it keeps them: one block a commit, holding every
// sample of that commit in a few bytes each.
//
// A block's rows are one run's, in the order of their IDs. Each column is
// stored apart and as what changes: the IDs, times and counts as differences,
// the wall clock against the run's steady clock, and each unit's result,
// status and configured flag as runs of equal values. Each column of numbers
// is packed at the fewest bits that hold nearly all of its values around
// their median; the few that do not fit are kept whole beside it. A block
// ends with a CRC-32 of what precedes it, so that damage is told, never read
// as samples.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "journal/journal_row.h"

namespace brivant::tool {

struct BlockError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `rows` must be in increasing ID order; their `run` is not kept (the
// block's row in the database names it).
std::string encodeBlock(const std::vector<JournalRow>& rows);

// The rows of a block, their `run` set to `run`. Throws BlockError for a
// block that is damaged or of a format this brivant does not read.
std::vector<JournalRow> decodeBlock(const std::string& block, const std::string& run);

std::uint32_t crc32Of(const unsigned char* data, std::size_t size);

} // namespace brivant::tool
