#include "sample_log.h"

#include <cstdio>
#include <ctime>

#include "util/backend_info.h"
#include "util/interrupt.h"
#include "client/serve_client.h"
#include "util/tool_errors.h"

namespace brivant::tool {

const char* const kCsvHeader =
    "time,elapsed_s,unit,ch0_count,ch0_status,ch1_count,ch1_status,ch2_count,ch2_status,result\n";

std::string formatRow(const SampleRow& row, LogFormat format) {
    // Written by hand rather than through a JSON library: elapsed_s keeps a
    // fixed six decimals in both formats, and every field is a plain number
    // or a name that needs no escaping.
    const bool ok = row.result == RC_OK;
    const bool json = format == LogFormat::JsonLines;
    const char* empty = json ? "null" : "";
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.6f", row.elapsedSeconds);
    std::string time = isoTimeUtc(row.time);
    std::string text = json ? "{\"time\":\"" + time + "\",\"elapsed_s\":" + elapsed +
                                  ",\"unit\":" + std::to_string(row.unit)
                            : time + ',' + elapsed + ',' + std::to_string(row.unit);
    for (std::size_t ch = 0; ch < 3; ++ch) {
        std::string count = ok ? std::to_string(row.counts.counts[ch]) : empty;
        std::string status = ok ? std::to_string(row.counts.status[ch]) : empty;
        std::string prefix = "ch" + std::to_string(ch);
        text += json ? ",\"" + prefix + "_count\":" + count + ",\"" + prefix + "_status\":" + status
                     : ',' + count + ',' + status;
    }
    std::string result = resultName(row.result);
    return text + (json ? ",\"result\":\"" + result + "\"}\n" : ',' + result + '\n');
}

std::string formatRunStart(const LogPlan& plan, std::chrono::system_clock::time_point time,
                           const std::string& backend) {
    const bool json = plan.format == LogFormat::JsonLines;
    std::string units;
    for (std::int16_t id : plan.units) {
        units += (units.empty() ? "" : json ? "," : ";") + std::to_string(id);
    }
    const std::string interval = std::to_string(plan.interval.count());
    if (json) {
        return "{\"run_start\":\"" + isoTimeUtc(time) + "\",\"backend\":\"" + backend +
               "\",\"units\":[" + units + "],\"interval_ms\":" + interval + "}\n";
    }
    return isoTimeUtc(time) + ",0.000000,,,,,,,,RUN_START backend=" + backend + " units=" + units +
           " interval_ms=" + interval + '\n';
}

SampleRow sampleUnit(SampledUnit& sampled, SteadyClock::time_point start, const Console& console) {
    SampleRow row;
    row.unit = sampled.id;
    if (ServeClient* serve = ServeClient::forUnit(sampled.id, console)) {
        try {
            row.result = serve->read(sampled.id, row.counts);
        } catch (const ServeGone& gone) {
            // serve ended or is restarting: a failed row now, and the unit
            // is looked for again (through a new serve, or directly) at the
            // next sample.
            if (!sampled.failing) {
                console.error(gone.what());
            }
            ServeClient::forget();
            row.result = RC_COMM_FAILED;
        }
    } else {
        std::error_code ec;
        if (!sampled.unit) {
            sampled.unit = Unit::open(sampled.id, ec);
        }
        if (sampled.unit) {
            row.counts = sampled.unit->readCounts(ec);
            if (ec) {
                sampled.unit.reset(); // opened again at the next sample
            }
        }
        row.result = static_cast<std::int16_t>(ec.value());
    }
    row.time = std::chrono::system_clock::now();
    row.elapsedSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    return row;
}

void noteChange(SampledUnit& sampled, const SampleRow& row, const Console& console) {
    bool failing = row.result != RC_OK;
    if (failing && !sampled.failing) {
        console.error("brivant: unit " + std::to_string(sampled.id) + ": " +
                      resultMessage(row.result) + "; it is opened again at each sample");
        if (row.result == RC_ID_NOT_FOUND) {
            console.error(notFoundHint());
        }
    } else if (!failing && sampled.failing) {
        console.error("brivant: unit " + std::to_string(sampled.id) + " answers again");
    }
    sampled.failing = failing;
}

int RunStatus::exitStatus(bool interrupted) const {
    return interrupted ? kExitInterrupted : lastFailure_;
}

int runLog(const LogPlan& plan, Output& out, const Console& console) {
    std::vector<SampledUnit> units;
    for (std::int16_t id : plan.units) {
        units.push_back(SampledUnit{id, std::nullopt, false});
    }
    RunStatus status;
    const auto start = SteadyClock::now();
    const auto interval = plan.interval;
    auto ends = [&](long long k, SteadyClock::time_point due) {
        if (plan.count && k >= *plan.count) {
            return true;
        }
        if (plan.duration) {
            auto limit = start + std::chrono::duration_cast<SteadyClock::duration>(*plan.duration);
            return (interval.count() > 0 ? due : SteadyClock::now()) >= limit;
        }
        return false;
    };
    long long taken = 0;
    for (long long k = 0;; ++k) {
        auto due = start + k * interval;
        if (interval.count() > 0) {
            // A slot missed while a unit kept the tool waiting is skipped,
            // not made up with a burst of samples all taken at once.
            auto now = SteadyClock::now();
            if (now > due + interval) {
                k = (now - start) / interval;
                due = start + k * interval;
            }
        }
        if (ends(taken, due)) {
            return status.exitStatus(false);
        }
        if (!sleepUntil(due)) {
            return status.exitStatus(true);
        }
        for (SampledUnit& sampled : units) {
            SampleRow row = sampleUnit(sampled, start, console);
            out.write(formatRow(row, plan.format));
            noteChange(sampled, row, console);
            status.note(row);
        }
        ++taken;
        if (interruptRequested()) {
            return status.exitStatus(true);
        }
    }
}

} // namespace brivant::tool
