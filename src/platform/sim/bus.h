// The simulated bus: the units plugged into it and the lock that every
// simulated platform call holds while it runs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/unit_model.h"

namespace brivant::sim {

struct BusUnit {
    std::u16string path;       // device path; empty gives a usual-looking one
    bool present = true;       // listed by the enumeration; false also fails its transfers
    UnitModel model;
    bool replyPending = false; // a frame went to the unit and its reply is not read yet
    Reply reply;               // fixed storage, so a transfer allocates nothing
};

struct Bus {
    std::mutex lock;
    std::vector<BusUnit> units;        // by unit number
    std::vector<int> enumerationOrder; // unit numbers listed first; see sim::setEnumerationOrder
};

// Made on first use, with the demo units plugged in.
Bus& bus();

// The units a program finds without any set-up (demo_units.cpp).
std::vector<BusUnit> demoUnits();

// The path the enumeration reports for unit `number`.
std::u16string unitPath(const Bus& bus, int number);

// Runs `body` on the bus with its lock held.
template <typename Body>
auto locked(Body&& body) {
    Bus& b = bus();
    std::lock_guard<std::mutex> guard(b.lock);
    return body(b);
}

} // namespace brivant::sim
