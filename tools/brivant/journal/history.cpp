#include "history.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>

#include "brivant.hpp"
#include "station/history_settings.h"
#include "util/time_text.h"
#include "util/tool_errors.h"

namespace brivant::tool {

const char* const kHistoryCsvHeader =
    "time,time_us,unit,run,n,ch0_count,ch0_status,ch1_count,ch1_status,ch2_count,ch2_status,result\n";

std::string historyLine(const JournalRow& row, HistoryFormat format) {
    const std::string time =
        isoTimeUtc(std::chrono::system_clock::time_point(std::chrono::microseconds(row.timeUs)));
    const bool ok = row.result == RC_OK;
    const char* empty = format == HistoryFormat::Jsonl ? "null" : "";
    if (format == HistoryFormat::Csv) {
        std::string line = time + ',' + std::to_string(row.timeUs) + ',' + std::to_string(row.unit) + ',' +
                           row.run + ',' + std::to_string(row.n);
        for (std::size_t ch = 0; ch < 3; ++ch) {
            line += ',' + (ok ? std::to_string(row.counts[ch]) : empty) + ',' +
                    (ok ? std::to_string(row.status[ch]) : empty);
        }
        return line + ',' + resultName(row.result) + '\n';
    }
    // Every field is a number or a name that needs no escaping (the run ID
    // is hex).
    std::string line = "{\"id\":" + std::to_string(row.id) + ",\"time\":\"" + time +
                       "\",\"time_us\":" + std::to_string(row.timeUs) + ",\"unit\":" +
                       std::to_string(row.unit) + ",\"run\":\"" + row.run + "\",\"n\":" +
                       std::to_string(row.n) + ",\"seq\":" + std::to_string(row.seq) + ",\"counts\":";
    if (ok) {
        line += "[" + std::to_string(row.counts[0]) + "," + std::to_string(row.counts[1]) + "," +
                std::to_string(row.counts[2]) + "],\"status\":[" + std::to_string(row.status[0]) + "," +
                std::to_string(row.status[1]) + "," + std::to_string(row.status[2]) + "]";
    } else {
        line += "null,\"status\":null";
    }
    return line + ",\"result\":\"" + resultName(row.result) + "\",\"code\":" + std::to_string(row.result) + "}\n";
}

std::int64_t parseHistoryTime(const std::string& text, std::int64_t nowUs, const std::string& what) {
    if (text == "now") {
        return nowUs;
    }
    if (!text.empty() && text[0] == '-') {
        const std::int64_t seconds = durationSeconds(text.substr(1));
        if (seconds > 0) {
            return nowUs - seconds * 1000000;
        }
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0;
    char zone = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%c%n", &year, &month, &day, &hour, &minute,
                    &second, &zone, &used) == 7 &&
        zone == 'Z' && static_cast<std::size_t>(used) == text.size() && month >= 1 && month <= 12 &&
        day >= 1 && day <= 31 && hour < 24 && minute < 60 && second >= 0 && second < 61) {
        std::tm utc{};
        utc.tm_year = year - 1900;
        utc.tm_mon = month - 1;
        utc.tm_mday = day;
        utc.tm_hour = hour;
        utc.tm_min = minute;
#if defined(_WIN32)
        const std::int64_t whole = _mkgmtime(&utc);
#else
        const std::int64_t whole = timegm(&utc);
#endif
        return whole * 1000000 + static_cast<std::int64_t>(second * 1000000 + 0.5);
    }
    throw UsageError(what + " '" + text + "' is not a time: give 2026-12-09T10:00:00Z (UTC), now, or "
                     "a time back from now as -90s, -10m, -2h or -1d");
}

} // namespace brivant::tool
