// A station file as `brivant serve --check` reads it, and serve's changes
// file: any bytes give a station or the list of their mistakes, never a
// crash; a station that parses is written back as a file that parses to the
// same station.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_require.h"
#include "station/station_file.h"

using namespace brivant::tool;


extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        Station station = parseStation(text, "fuzz.toml");
        Station again = parseStation(stationToml(station), "again.toml");
        require(again.name == station.name && again.units == station.units &&
                    again.rateHz == station.rateHz && again.port == station.port &&
                    again.listen == station.listen && again.tokenFile == station.tokenFile,
                "a station written out reads back the same");
        require(again.mqtt.has_value() == station.mqtt.has_value() &&
                    (!station.mqtt || *again.mqtt == *station.mqtt),
                "its [mqtt] reads back the same");
    } catch (const StationFileError& error) {
        require(!error.problems.empty(), "a refused file names a mistake");
    }
    try {
        StationChanges changes = parseChanges(text, "changes.toml");
        StationChanges again = parseChanges(changesToml(changes, "s.toml"), "again.toml");
        require(again.size() == changes.size(), "changes written out read back");
    } catch (const StationFileError& error) {
        require(!error.problems.empty(), "a refused changes file names a mistake");
    }
    return 0;
}
