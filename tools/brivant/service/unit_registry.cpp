#include "unit_registry.h"

#include "brivant.h"

namespace brivant::tool {

UnitRegistry::UnitRegistry(ReaderSettings settings, std::chrono::milliseconds rescanEvery)
    : settings_(std::move(settings)), rescanEvery_(rescanEvery) {}

UnitRegistry::UnitRegistry(ReaderSettings settings, StationUnits station)
    : settings_(std::move(settings)), rescanEvery_(std::chrono::seconds(3)),
      station_(std::move(station)) {}

UnitRegistry::~UnitRegistry() {
    stop(std::chrono::milliseconds(0));
}

void UnitRegistry::scanOnce() {
    for (std::int16_t id = 0; id <= 15; ++id) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_ || readers_.count(id) != 0) {
                continue;
            }
        }
        // A held ID is never opened here: its reader owns every call on it.
        if (Brivant_Device_Open(id) == RC_OK) {
            auto reader = std::make_shared<UnitReader>(id, settings_);
            std::lock_guard<std::mutex> guard(lock_);
            readers_[id] = reader; // stop() joins this thread before it stops the readers
        }
    }
}

void UnitRegistry::start() {
    if (station_) {
        // Each reader opens its unit when it can: an absent one is listed
        // as expected, and taken when it is plugged in.
        std::lock_guard<std::mutex> guard(lock_);
        for (std::int16_t id : station_->ids) {
            readers_[id] = std::make_shared<UnitReader>(id, settings_,
                                                        ReaderStart{false, station_->configure});
        }
        return;
    }
    scanOnce();
    scanner_ = std::thread([this] {
        std::unique_lock<std::mutex> guard(lock_);
        while (!wake_.wait_for(guard, rescanEvery_, [this] { return stopping_; })) {
            guard.unlock();
            scanOnce();
            guard.lock();
        }
    });
}

bool UnitRegistry::stop(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (scanner_.joinable()) {
        scanner_.join();
    }
    bool allStopped = true;
    for (const auto& reader : readers()) {
        allStopped = reader->stop(grace) && allStopped;
    }
    return allStopped;
}

std::vector<std::shared_ptr<UnitReader>> UnitRegistry::readers() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::shared_ptr<UnitReader>> all;
    for (const auto& entry : readers_) {
        all.push_back(entry.second);
    }
    return all;
}

std::shared_ptr<UnitReader> UnitRegistry::find(std::int16_t id) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = readers_.find(id);
    return it == readers_.end() ? nullptr : it->second;
}

} // namespace brivant::tool
