// The tool's way to a running serve (or panel): a unit that one holds is
// reached through its API, since the unit's USB interface is claimed by it
// and an open here would only find no unit. Off in the tool's in-process
// tests and with --direct.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "brivant.hpp"
#include "util/checked_output.h"

namespace httplib {
class Client;
}

namespace brivant::tool {

// The serve stopped answering: it ended, or was restarted. what() names it
// and the reason; the code is RC_COMM_FAILED's.
struct ServeGone : Error {
    using Error::Error;
};

class ServeClient {
public:
    // Looking for a serve is off until the tool's main turns it on, and off
    // again with --direct.
    static void enable(bool on);

    // The serve that holds unit `id`, or none; the first time a unit goes
    // through a serve, one line on `console`'s error stream says so.
    static ServeClient* forUnit(std::int16_t id, const Console& console);
    // Forgets the serves found: the next forUnit() looks again, and finds a
    // serve started since, or none (the unit is then opened directly).
    static void forget();
    // Every unit some serve holds, by ID.
    static std::vector<std::int16_t> heldUnits();
    // What the units are, as recorded data should say: the backend of the
    // serve that holds each one, this process's for the others ("sim",
    // "usb", "winusb"; several joined by "+").
    static std::string backendOf(const std::vector<std::int16_t>& ids);

    // The unit's counts read now by serve; the result code as the library's.
    // Throws ServeGone when serve does not answer.
    std::int16_t read(std::int16_t id, Counts& counts);
    // A change as the page sends it: ACTION and its JSON body.
    std::int16_t change(std::int16_t id, int channel, const std::string& action,
                        const nlohmann::json& body);

    ServeClient(std::string base, std::string token, std::string station, long pid);
    ~ServeClient();
    const std::vector<std::int16_t>& held() const { return held_; }
    const std::string& backend() const { return backend_; }
    std::string describe() const;

private:
    std::int16_t post(const std::string& path, const nlohmann::json& body, nlohmann::json& answer);

    std::string base_;
    std::string token_;
    std::unique_ptr<httplib::Client> client_; // kept alive between calls
    std::string station_;
    long pid_;
    std::vector<std::int16_t> held_;
    std::string backend_;
};

} // namespace brivant::tool
