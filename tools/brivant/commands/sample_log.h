// Logging samples of units: the rows (CSV or JSON Lines), the schedule on the
// steady clock, and reopening units that failed. Used by `brivant log`.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "brivant.hpp"
#include "util/checked_output.h"
#include "util/interrupt.h"
#include "util/time_text.h"

namespace brivant::tool {

enum class LogFormat { Csv, JsonLines };

struct LogPlan {
    std::vector<std::int16_t> units;
    std::chrono::milliseconds interval{1000}; // 0: as fast as the units answer
    std::optional<long long> count;           // samples to take
    std::optional<std::chrono::duration<double>> duration; // or seconds to run
    LogFormat format = LogFormat::Csv;
};

// One unit's part of one sample.
struct SampleRow {
    std::chrono::system_clock::time_point time; // when the unit answered
    double elapsedSeconds = 0;                  // since the log started, steady clock
    std::int16_t unit = 0;
    std::int16_t result = RC_OK;                // the open's when the unit had to be opened
    Counts counts;                              // only when result is RC_OK
};

extern const char* const kCsvHeader; // ends with a newline

std::string formatRow(const SampleRow& row, LogFormat format);

// The row that begins a run in a file that may hold several:
//   CSV    TIME,0.000000,,,,,,,,RUN_START backend=sim units=0;5 interval_ms=100
//   JSONL  {"run_start":"TIME","backend":"sim","units":[0,5],"interval_ms":100}
std::string formatRunStart(const LogPlan& plan, std::chrono::system_clock::time_point time,
                           const std::string& backend);

// One unit sampled again and again: open while it answers, closed after a
// failure and opened again at the next sample.
struct SampledUnit {
    std::int16_t id = 0;
    std::optional<Unit> unit;
    bool failing = false;
};

// Reads `unit` once: through a serve that holds it, or opening it first if
// it is closed.
SampleRow sampleUnit(SampledUnit& unit, SteadyClock::time_point start, const Console& console);

// Tells on `console`'s error stream when a unit starts failing (with where
// to look when it is not found) and when it answers again.
void noteChange(SampledUnit& unit, const SampleRow& row, const Console& console);

// The exit status of a run of samples: 130 after Ctrl-C; otherwise the
// result code of the last failed read when any read failed, so that a
// script never takes a log with holes for a clean one; 0 when every read
// succeeded.
class RunStatus {
public:
    void note(const SampleRow& row) {
        if (row.result != RC_OK) {
            lastFailure_ = row.result;
        }
    }
    int exitStatus(bool interrupted) const;

private:
    std::int16_t lastFailure_ = RC_OK;
};

// Samples every unit of the plan at start + k * interval until the plan ends
// or Ctrl-C, writing each row whole and flushed. A unit whose read fails is
// closed and opened again at each following sample, so logging resumes by
// itself when it comes back. Notes about units that fail or come back go to
// `console`'s error stream. Returns RunStatus's exit status; a failed write
// throws OutputError.
int runLog(const LogPlan& plan, Output& out, const Console& console);

} // namespace brivant::tool
