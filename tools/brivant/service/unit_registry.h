// The units a panel shows: found by opening each ID not yet held, at start
// and again every few seconds so that a unit plugged in later appears, each
// then polled by a UnitReader of its own. A unit once found stays listed:
// when it stops answering the page says so, and its reader opens it again
// when it is back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "service/unit_reader.h"

namespace brivant::tool {

// The units of a station: only these are held, each from the start whether
// it is there or not, and each configured by `configure` at every open.
struct StationUnits {
    std::vector<std::int16_t> ids;
    Configure configure;
};

class UnitRegistry {
public:
    explicit UnitRegistry(ReaderSettings settings,
                          std::chrono::milliseconds rescanEvery = std::chrono::seconds(3));
    // A station's registry: its units and no others.
    UnitRegistry(ReaderSettings settings, StationUnits station);
    ~UnitRegistry();
    UnitRegistry(const UnitRegistry&) = delete;
    UnitRegistry& operator=(const UnitRegistry&) = delete;

    // Looks for units once, then keeps looking on a thread of its own.
    void start();

    // Stops looking and stops every reader, waiting up to `grace` for each;
    // false when one is still inside a call to its unit.
    bool stop(std::chrono::milliseconds grace);

    std::vector<std::shared_ptr<UnitReader>> readers() const; // by ID
    std::shared_ptr<UnitReader> find(std::int16_t id) const;
    const ReaderSettings& settings() const { return settings_; }

private:
    void scanOnce();

    ReaderSettings settings_;
    std::chrono::milliseconds rescanEvery_;
    std::optional<StationUnits> station_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::map<std::int16_t, std::shared_ptr<UnitReader>> readers_;
    std::thread scanner_;
};

} // namespace brivant::tool
