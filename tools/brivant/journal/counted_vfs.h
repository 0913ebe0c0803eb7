// SQLite's own file layer with a tally of the bytes it writes: the journal's
// database, its WAL and every checkpoint, as the disk receives them. What a
// station writes a day decides how long an SD card lasts, so it is counted
// in the shipped tool, not only in a benchmark.
#pragma once

#include <cstdint>

namespace brivant::tool {

// The name to open a database with; registered at the first call.
const char* countedVfsName();

// Every byte written through it since the process began.
std::uint64_t countedBytesWritten();

} // namespace brivant::tool
