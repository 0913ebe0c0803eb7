// brivant panel served in-process over simulated units: what a page sees and
// can change, every request the guard must refuse (each leaving the units
// untouched), and units that stop answering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tool_support.h"

namespace brivant::test {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

class PanelTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        addLiveUnits({0, 1, 5});
    }

    static Json body(const httplib::Result& result) {
        return result ? Json::parse(result->body, nullptr, false) : Json();
    }

    // The latest sample of unit `id` as the API shows it.
    static Json latest(const ServedPanel& panel, int id) {
        Json all = body(panel.units());
        for (const Json& unit : all["units"]) {
            if (unit["id"] == id) {
                return unit["latest"];
            }
        }
        return Json();
    }

    // Waits until the API shows a sample of unit `id` taken after `after`.
    static Json sampleAfter(const ServedPanel& panel, int id, double after) {
        for (int tries = 0; tries < 500; ++tries) {
            Json sample = latest(panel, id);
            if (sample.is_object() && sample["t"].get<double>() > after) {
                return sample;
            }
            std::this_thread::sleep_for(10ms);
        }
        return Json();
    }

    // The letters of the frames written to the units since the last clear.
    static std::string lettersSent() {
        std::string letters;
        for (const Bytes& frame : framesWritten()) {
            letters += frame.size() > 1 ? static_cast<char>(frame[1]) : '?';
        }
        return letters;
    }
};

TEST_F(PanelTest, PageListsUnitsWhoseCountsMoveAndChangesTakeEffect) {
    ServedPanel panel;
    auto page = panel.client().Get(("/?token=" + ServedPanel::token()).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<title>brivant panel</title>"), std::string::npos);
    EXPECT_EQ(page->body.find("/*@panel.js@*/"), std::string::npos) << "the script is built in";
    EXPECT_FALSE(page->has_header("Access-Control-Allow-Origin"));

    Json list = body(panel.units());
    ASSERT_EQ(list["units"].size(), 3u);
    std::vector<int> ids;
    for (const Json& unit : list["units"]) {
        ids.push_back(unit["id"]);
        EXPECT_TRUE(unit["answering"].get<bool>());
    }
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 5}));

    Json first = sampleAfter(panel, 1, 0);
    Json later = sampleAfter(panel, 1, first["t"].get<double>() + 0.2);
    ASSERT_TRUE(later.is_object());
    EXPECT_GT(later["counts"][0].get<int>(), first["counts"][0].get<int>()) << "counts advance";

    // Stop freezes a count; a preset then a forced clear shows the preset.
    auto stop = panel.change("/api/units/1/channels/0/stop", "{}");
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->status, 200);
    EXPECT_EQ(body(stop)["result"], "RC_OK");
    Json stopped = sampleAfter(panel, 1, latest(panel, 1)["t"].get<double>());
    Json stillStopped = sampleAfter(panel, 1, stopped["t"].get<double>() + 0.2);
    EXPECT_EQ(stopped["counts"][0], stillStopped["counts"][0]);
    EXPECT_EQ(stillStopped["status"][0], 0) << "bit 0 clears when the channel stops";
    EXPECT_EQ(body(panel.change("/api/units/1/channels/0/preset",
                                R"({"first": "0x1234", "second": 7})"))["result"], "RC_OK");
    EXPECT_EQ(body(panel.change("/api/units/1/channels/0/clear", "{}"))["result"], "RC_OK");
    Json cleared = sampleAfter(panel, 1, latest(panel, 1)["t"].get<double>());
    EXPECT_EQ(cleared["counts"][0], 0x1234);

    // Every other setting reaches the unit as its own frame.
    sim::setRecording(true);
    sim::clearCalls();
    for (auto [action, json] : std::vector<std::pair<std::string, std::string>>{
             {"multiplier", R"({"selection": 2})"},
             {"clear-event", R"({"selection": 1})"},
             {"input-inversion", R"({"s1": 1, "s2": 0, "s3": 1})"},
             {"output-inversion", R"({"s1": 0, "s2": 1})"},
             {"output-mode", R"({"s1": 1, "s2": 1})"},
             {"limiter", R"({"s1": 0, "s2": 0})"},
             {"run", "{}"}}) {
        auto result = panel.change("/api/units/5/channels/2/" + action, json);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200) << action << ": " << result->body;
        EXPECT_EQ(body(result)["result"], "RC_OK") << action;
    }
    std::string letters = lettersSent();
    letters.erase(std::remove(letters.begin(), letters.end(), 'J'), letters.end());
    EXPECT_EQ(letters, "EDABCFI");

    // With every sample since a number, a page misses none.
    Json since = body(panel.units("?after=0"));
    for (const Json& unit : since["units"]) {
        const Json& samples = unit["samples"];
        ASSERT_GE(samples.size(), 2u);
        for (std::size_t i = 1; i < samples.size(); ++i) {
            EXPECT_GT(samples[i]["seq"].get<long long>(), samples[i - 1]["seq"].get<long long>());
        }
    }
}

// A preset word is taken as the tool takes one: -2147483648 to 4294967295,
// a negative value standing for its two's complement, as a number or as a
// string. The frame sent carries the word's bits.
TEST_F(PanelTest, PresetWordsTakeTheToolsRangeAndNegativesAsTwosComplement) {
    setenv("BRIVANT_BACKEND", "sim", 1); // as --simulate sets it
    ServedPanel panel;
    unsetenv("BRIVANT_BACKEND");
    EXPECT_EQ(body(panel.units())["backend"], "sim") << "the page can say which units these are";
    sim::setRecording(true);
    for (auto [first, sent] : std::vector<std::pair<std::string, std::string>>{
             {"-1", "FFFFFFFF"},
             {R"("-1")", "FFFFFFFF"},
             {"-2147483648", "80000000"},
             {R"("-0x10")", "FFFFFFF0"},
             {"4294967295", "FFFFFFFF"},
             {R"("0x7fffffff")", "7FFFFFFF"}}) {
        sim::clearCalls();
        auto result = panel.change("/api/units/0/channels/2/preset",
                                   R"({"first": )" + first + R"(, "second": 1})");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200) << first << ": " << result->body;
        std::string preset;
        for (const Bytes& frame : framesWritten()) {
            if (frame.size() > 1 && frame[1] == 'G') {
                preset.assign(frame.begin() + 2, frame.end() - 1);
            }
        }
        EXPECT_EQ(preset, "2" + sent + "00000001") << first;
    }
    for (const char* first : {"-2147483649", R"("-2147483649")", "4294967296", R"("--1")"}) {
        auto result = panel.change("/api/units/0/channels/2/preset",
                                   std::string(R"({"first": )") + first + R"(, "second": 1})");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400) << first;
        EXPECT_NE(result->body.find("-2147483648 to 4294967295"), std::string::npos) << result->body;
    }
}

// A port another server holds is refused at bind, with the reason: two
// listeners on one port would share its connections between them.
TEST_F(PanelTest, SecondServerOnAHeldPortIsRefused) {
    ServedPanel panel;
    tool::UnitRegistry registry(tool::ReaderSettings{});
    tool::PanelServer second(registry, ServedPanel::token());
    tool::PanelAddress address;
    address.port = panel.port();
    try {
        second.bind(address);
        ADD_FAILURE() << "a second server bound port " << panel.port();
    } catch (const tool::BindError& error) {
        EXPECT_NE(std::string(error.what()).find("in use"), std::string::npos) << error.what();
    }
    auto page = panel.units();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200) << "the first server still answers";
}

// Each refused request: its status, a message that names what is wrong, and
// no frame but count reads reaches any unit.
TEST_F(PanelTest, GuardRefusesEveryRequestThatIsNotThePanelsOwnAndUnitsStayUnchanged) {
    ServedPanel panel;
    sim::setRecording(true);
    sim::clearCalls();
    const std::string token = ServedPanel::token();
    const std::string stop = "/api/units/0/channels/0/stop";
    const std::string json = "application/json";
    httplib::Client client = panel.client();
    struct Case {
        const char* what;
        httplib::Result result;
        int status;
        const char* message;
    };
    std::string big(17 * 1024, ' ');
    big.front() = '{';
    big.back() = '}';
    std::vector<Case> cases;
    cases.push_back({"no token", client.Post(stop.c_str(), "{}", json.c_str()), 401, "X-Brivant-Token"});
    cases.push_back({"no token on the page", client.Get("/"), 401, "token"});
    cases.push_back({"wrong token",
                     client.Post(stop.c_str(), {{"X-Brivant-Token", std::string(32, 'f')}}, "{}", json.c_str()),
                     403, "wrong token"});
    cases.push_back({"wrong token on the page", client.Get("/?token=0123"), 403, "wrong token"});
    cases.push_back({"token in the query for the API",
                     client.Post((stop + "?token=" + token).c_str(), "{}", json.c_str()), 401,
                     "X-Brivant-Token"});
    cases.push_back({"foreign Host (DNS rebinding)",
                     client.Post(stop.c_str(),
                                 {{"X-Brivant-Token", token},
                                  {"Host", "attacker.example:" + std::to_string(panel.port())}},
                                 "{}", json.c_str()),
                     403, "attacker.example"});
    cases.push_back({"Host with another port",
                     client.Post(stop.c_str(), {{"X-Brivant-Token", token}, {"Host", "127.0.0.1:1"}},
                                 "{}", json.c_str()),
                     403, "127.0.0.1:1"});
    cases.push_back({"cross-origin form post",
                     client.Post(stop.c_str(), {{"Origin", "http://attacker.example"}},
                                 "run=1", "application/x-www-form-urlencoded"),
                     403, "another origin"});
    cases.push_back({"form post with the token, not JSON",
                     client.Post(stop.c_str(), {{"X-Brivant-Token", token}}, "run=1",
                                 "application/x-www-form-urlencoded"),
                     415, "application/json"});
    cases.push_back({"GET on a change", client.Get(stop.c_str(), {{"X-Brivant-Token", token}}), 405,
                     "POST only"});
    cases.push_back({"oversized body",
                     client.Post(stop.c_str(), {{"X-Brivant-Token", token}}, big, json.c_str()), 413,
                     "16384 bytes"});
    cases.push_back({"malformed JSON",
                     client.Post("/api/units/0/channels/0/multiplier", {{"X-Brivant-Token", token}},
                                 R"({"selection": )", json.c_str()),
                     400, "not JSON"});
    cases.push_back({"not an object",
                     client.Post(stop.c_str(), {{"X-Brivant-Token", token}}, "[1]", json.c_str()), 400,
                     "JSON object"});
    for (auto [path, payload, message] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"/api/units/0/channels/0/limiter", R"({"s1": 2, "s2": 0})", "field 's1' must be 0 or 1"},
             {"/api/units/0/channels/0/limiter", R"({"s1": true, "s2": 0})", "field 's1'"},
             {"/api/units/0/channels/0/multiplier", R"({"selection": 3})", "field 'selection' must be 0 to 2"},
             {"/api/units/0/channels/0/multiplier", R"({"selection": -1})", "field 'selection'"},
             {"/api/units/0/channels/0/input-inversion", R"({"s1": 0, "s2": 0})", "missing field 's3'"},
             {"/api/units/0/channels/0/output-mode", R"({"s1": 0, "s2": 0, "s9": 0})", "unknown field 's9'"},
             {"/api/units/0/channels/0/preset", R"({"first": 4294967296, "second": 0})", "field 'first'"},
             {"/api/units/0/channels/0/preset", R"({"first": -2147483649, "second": 0})", "field 'first'"},
             {"/api/units/0/channels/0/preset", R"({"first": 0, "second": "0x1g"})", "field 'second'"},
             {"/api/units/0/channels/0/preset", R"({"first": 1.5, "second": 0})", "field 'first'"},
             {"/api/units/0/channels/3/stop", "{}", "channel 3 is not 0 to 2"},
             {"/api/units/16/channels/0/stop", "{}", "unit ID 16 is not 0 to 15"},
         }) {
        cases.push_back({"out of range", panel.change(path, payload), 400, ""});
        cases.back().message = nullptr;
        auto& last = cases.back();
        ASSERT_TRUE(last.result) << path;
        EXPECT_EQ(last.result->status, 400) << path << " " << payload;
        EXPECT_NE(body(last.result)["error"].get<std::string>().find(message), std::string::npos)
            << path << " " << payload << " -> " << last.result->body;
    }
    cases.push_back({"unknown action", panel.change("/api/units/0/channels/0/explode", "{}"), 404,
                     "no action 'explode'"});
    cases.push_back({"unit not in the panel", panel.change("/api/units/9/channels/0/stop", "{}"), 404,
                     "unit 9"});
    cases.push_back({"a path that is no route",
                     client.Get("/etc/passwd", {{"X-Brivant-Token", token}}), 404, "no such page"});
    for (const Case& c : cases) {
        ASSERT_TRUE(c.result) << c.what;
        EXPECT_EQ(c.result->status, c.status) << c.what << ": " << c.result->body;
        if (c.message != nullptr) {
            EXPECT_NE(c.result->body.find(c.message), std::string::npos) << c.what << ": " << c.result->body;
        }
        EXPECT_FALSE(c.result->has_header("Access-Control-Allow-Origin")) << c.what;
    }
    std::string letters = lettersSent();
    EXPECT_EQ(letters.find_first_not_of('J'), std::string::npos)
        << "only count reads reached the units: " << letters;
    // The units still run: nothing stopped, cleared or changed them.
    for (int id : {0, 1, 5}) {
        Json sample = sampleAfter(panel, id, latest(panel, id)["t"].get<double>());
        EXPECT_EQ(sample["status"], Json::array({1, 1, 1})) << "unit " << id;
    }
}

// A unit whose read never returns holds up only itself: a command to it
// answers 504 at the deadline, is shown as not answering, and the others go
// on; unplugged and back, a unit is opened again by itself.
TEST_F(PanelTest, UnitThatStopsAnsweringIsShownAndDoesNotHoldTheServer) {
    tool::ReaderSettings settings;
    settings.stallAfter = 200ms;
    settings.reopenEvery = 50ms;
    ServedPanel panel(settings, 300ms);
    ASSERT_TRUE(sampleAfter(panel, 1, 0).is_object());
    sim::Unit stuck = sim::getUnit(1);
    stuck.readDelay = std::chrono::seconds(2);
    sim::setUnit(1, stuck);
    std::this_thread::sleep_for(400ms); // its reader is now inside a read
    // Had the server waited for the unit, the stop would have run after the
    // read and answered RC_OK: the 504 is the deadline's.
    auto answer = panel.change("/api/units/1/channels/0/stop", "{}");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 504);
    EXPECT_FALSE(body(answer)["sent"].get<bool>()) << "queued behind the read, so never sent";
    auto other = panel.change("/api/units/5/channels/0/stop", "{}");
    ASSERT_TRUE(other);
    EXPECT_EQ(body(other)["result"], "RC_OK") << "the other units go on meanwhile";
    Json list = body(panel.units());
    for (const Json& unit : list["units"]) {
        EXPECT_EQ(unit["answering"].get<bool>(), unit["id"] != 1) << unit.dump();
        if (unit["id"] == 1) {
            EXPECT_TRUE(unit["silent_since"].is_string());
        }
    }
    stuck.readDelay = {};
    sim::setUnit(1, stuck);
    Json afterStall = sampleAfter(panel, 1, latest(panel, 1)["t"].get<double>());
    ASSERT_TRUE(afterStall.is_object()) << "unit 1 answers again once its read returns";
    EXPECT_EQ(afterStall["status"][0], 1) << "the stop given up at the deadline never ran";

    // Unplugged: reads fail, the unit is shown silent; back: it answers again.
    sim::Unit gone = sim::getUnit(2);
    gone.present = false;
    sim::setUnit(2, gone);
    Json silent;
    for (int tries = 0; tries < 200 && !silent.is_object(); ++tries) {
        Json shown = body(panel.units());
        for (const Json& unit : shown["units"]) {
            if (unit["id"] == 5 && !unit["answering"].get<bool>()) {
                silent = unit;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(silent.is_object()) << "unit 5 never shown as not answering";
    EXPECT_TRUE(silent["silent_since"].is_string());
    gone.present = true;
    sim::setUnit(2, gone);
    bool back = false;
    for (int tries = 0; tries < 300 && !back; ++tries) {
        Json shown = body(panel.units());
        for (const Json& unit : shown["units"]) {
            back = back || (unit["id"] == 5 && unit["answering"].get<bool>() &&
                            unit["latest"]["result"] == "RC_OK");
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(back) << "unit 5 answers again once plugged back in";
}

TEST_F(PanelTest, RatesFollowTheSimulatedUnitsAndAUnitPluggedInLaterAppears) {
    ServedPanel panel;
    std::this_thread::sleep_for(1300ms);
    Json unit0 = body(panel.units())["units"][0];
    ASSERT_TRUE(unit0["rate"][0].is_number());
    EXPECT_NEAR(unit0["rate"][0].get<double>(), 1000, 100);
    EXPECT_NEAR(unit0["rate"][1].get<double>(), 100, 10);
    EXPECT_NEAR(unit0["rate"][2].get<double>(), -10, 2);

    addLiveUnits({12});
    bool found = false;
    for (int tries = 0; tries < 100 && !found; ++tries) {
        Json list = body(panel.units());
        for (const Json& unit : list["units"]) {
            found = found || unit["id"] == 12;
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(found) << "unit 12, plugged in after the start, is picked up";
}

// A page opened at 1 kHz asks for every sample kept (after=0): it gets the
// newest thousand of each unit, not the whole minute.
TEST_F(PanelTest, AFirstPollAtAKilohertzIsBoundedToEachUnitsNewestSamples) {
    tool::ReaderSettings settings;
    settings.rateHz = 1000;
    ServedPanel panel(settings);
    std::this_thread::sleep_for(2500ms);
    httplib::Result answer = panel.units("?after=0");
    ASSERT_TRUE(answer);
    const nlohmann::json body = nlohmann::json::parse(answer->body);
    ASSERT_FALSE(body["units"].empty());
    for (const auto& unit : body["units"]) {
        EXPECT_LE(unit["samples"].size(), 1000u);
        EXPECT_GE(unit["samples"].size(), 500u) << "the newest are all there";
    }
}

// A browser opens connections ahead of its requests, a scraper keeps a pool:
// they come all at once and say nothing. A request beside 200 of them is
// answered while every one of them is still open, not after their timeout.
TEST_F(PanelTest, ABurstOfSilentConnectionsLeavesNoRequestWaitingBehindThem) {
    ServedPanel panel;
    std::vector<int> silent;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(panel.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 200; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(s, 0);
        ASSERT_EQ(::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        silent.push_back(s);
    }
    const auto started = std::chrono::steady_clock::now();
    httplib::Result answer = panel.units();
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    // Still open: the server closed none of them to make room.
    int stillOpen = 0;
    for (int s : silent) {
        char byte = 0;
        if (::recv(s, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN) {
            ++stillOpen;
        }
    }
    EXPECT_EQ(stillOpen, 200) << "the request was answered only once idle connections were closed (after "
                              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms)";
    for (int s : silent) {
        ::close(s);
    }
}

} // namespace
} // namespace brivant::test
