#include "time_text.h"

#include <cstdio>
#include <ctime>

namespace brivant::tool {

std::string isoTimeUtc(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    auto seconds = static_cast<std::time_t>(ms / 1000);
    int millis = static_cast<int>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96]; // room for any int the fields could hold
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

} // namespace brivant::tool
