#include "serve_client.h"

#include <algorithm>
#include <mutex>
#include <set>

#include <httplib.h>

#include "util/backend_info.h"
#include "client/runtime_file.h"

namespace brivant::tool {

namespace {

bool enabled = false;
bool looked = false; // under `lookup`
std::mutex lookup;
std::vector<std::unique_ptr<ServeClient>> serves;
std::set<const ServeClient*> told;

std::unique_ptr<httplib::Client> clientFor(const std::string& base) {
    auto client = std::make_unique<httplib::Client>(base);
    client->set_connection_timeout(2);
    client->set_read_timeout(10); // a command answers within serve's own 2 s deadline
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true); // a request is headers then body: no Nagle wait between them
#if defined(CPPHTTPLIB_OPENSSL_SUPPORT)
    // A serve with HTTPS on this machine: its certificate names the station,
    // not the loopback address the runtime file gives, and the connection
    // never leaves the machine.
    for (const char* local : {"https://127.", "https://[::1]", "https://localhost"}) {
        if (base.rfind(local, 0) == 0) {
            client->enable_server_certificate_verification(false);
        }
    }
#endif
    return client;
}

// The serves alive now, each with the units it holds; looked for once until
// forget().
void findServes() {
    std::lock_guard<std::mutex> guard(lookup);
    if (looked) {
        return;
    }
    looked = true;
    for (const ServeRecord& record : liveServes()) {
        auto serve = std::make_unique<ServeClient>(record.base, record.token, record.station,
                                                   record.pid);
        if (!serve->held().empty()) {
            serves.push_back(std::move(serve));
        }
    }
}

} // namespace

ServeClient::ServeClient(std::string base, std::string token, std::string station, long pid)
    : base_(std::move(base)), token_(std::move(token)), station_(std::move(station)), pid_(pid) {
    auto client = clientFor(base_);
    auto answer = client->Get("/api/units", {{"X-Brivant-Token", token_}});
    if (!answer || answer->status != 200) {
        return; // not answering: as if it were not there
    }
    nlohmann::json units = nlohmann::json::parse(answer->body, nullptr, false);
    if (!units.is_object() || !units["units"].is_array()) {
        return;
    }
    if (units.contains("backend") && units["backend"].is_string()) {
        backend_ = units["backend"].get<std::string>();
    }
    for (const nlohmann::json& unit : units["units"]) {
        if (unit.contains("id") && unit["id"].is_number_integer()) {
            held_.push_back(unit["id"].get<std::int16_t>());
        }
    }
}

ServeClient::~ServeClient() = default;

void ServeClient::forget() {
    std::lock_guard<std::mutex> guard(lookup);
    serves.clear();
    told.clear();
    looked = false;
}

void ServeClient::enable(bool on) {
    enabled = on;
}

ServeClient* ServeClient::forUnit(std::int16_t id, const Console& console) {
    if (!enabled) {
        return nullptr;
    }
    findServes();
    for (const auto& serve : serves) {
        const auto& held = serve->held();
        if (std::find(held.begin(), held.end(), id) != held.end()) {
            if (told.insert(serve.get()).second) {
                console.error("brivant: unit " + std::to_string(id) + " is held by " +
                              serve->describe() +
                              "; going through it for the units it holds (--direct does not)");
            }
            return serve.get();
        }
    }
    return nullptr;
}

std::vector<std::int16_t> ServeClient::heldUnits() {
    std::vector<std::int16_t> ids;
    if (!enabled) {
        return ids;
    }
    findServes();
    for (const auto& serve : serves) {
        ids.insert(ids.end(), serve->held().begin(), serve->held().end());
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

std::string ServeClient::backendOf(const std::vector<std::int16_t>& ids) {
    std::vector<std::string> names;
    for (std::int16_t id : ids) {
        std::string name = backendName();
        if (enabled) {
            findServes();
            for (const auto& serve : serves) {
                const auto& held = serve->held();
                if (std::find(held.begin(), held.end(), id) != held.end() && !serve->backend().empty()) {
                    name = serve->backend();
                }
            }
        }
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    std::string joined;
    for (const std::string& name : names) {
        joined += (joined.empty() ? "" : "+") + name;
    }
    return joined.empty() ? backendName() : joined;
}

std::string ServeClient::describe() const {
    return "brivant serve (" + (station_.empty() ? std::string("a panel") : "station " + station_) +
           ", pid " + std::to_string(pid_) + ")";
}

std::int16_t ServeClient::post(const std::string& path, const nlohmann::json& body,
                               nlohmann::json& answer) {
    if (!client_) {
        client_ = clientFor(base_);
    }
    auto result = client_->Post(path.c_str(), {{"X-Brivant-Token", token_}}, body.dump(),
                               "application/json");
    if (!result) {
        // serve went away between two calls: the unit is not reached.
        throw ServeGone(toErrorCode(RC_COMM_FAILED),
                        "brivant: " + describe() + " does not answer (" +
                            httplib::to_string(result.error()) + "; has it stopped?)");
    }
    answer = nlohmann::json::parse(result->body, nullptr, false);
    if (result->status == 504) {
        return RC_COMM_FAILED; // the unit did not answer serve in time
    }
    if (result->status != 200 || !answer.is_object() || !answer.contains("code")) {
        std::string why = answer.is_object() && answer.contains("error") ? answer["error"].dump()
                                                                          : result->body;
        throw std::runtime_error(describe() + " refused " + path + " (" +
                                 std::to_string(result->status) + "): " + why);
    }
    return answer["code"].get<std::int16_t>();
}

std::int16_t ServeClient::read(std::int16_t id, Counts& counts) {
    nlohmann::json answer;
    std::int16_t rc = post("/api/units/" + std::to_string(id) + "/read", nlohmann::json::object(), answer);
    if (rc == RC_OK) {
        for (std::size_t ch = 0; ch < 3; ++ch) {
            counts.counts[ch] = answer["counts"][ch].get<std::int32_t>();
            counts.status[ch] = answer["status"][ch].get<std::uint8_t>();
        }
    }
    return rc;
}

std::int16_t ServeClient::change(std::int16_t id, int channel, const std::string& action,
                                 const nlohmann::json& body) {
    nlohmann::json answer;
    return post("/api/units/" + std::to_string(id) + "/channels/" + std::to_string(channel) + "/" +
                    action,
                body, answer);
}

} // namespace brivant::tool
