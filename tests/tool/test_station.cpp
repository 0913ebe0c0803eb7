// brivant serve in-process over simulated units: the station file (its
// defaults, every mistake at FILE:LINE:COLUMN, the live configuration written
// back), the frames a station sends at each open, a unit unplugged and
// plugged back, a change that survives it, a configuration that fails and is
// retried, and the runtime file through which other commands find serve.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "live_station.h"
#include "runtime_file.h"
#include "station_file.h"
#include "tool_errors.h"
#include "tool_support.h"

namespace brivant::test {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

TEST(StationFile, ShortestFileIsCompleteAndWrittenBackAsReadAgain) {
    tool::Station station = tool::parseStation("station = \"bench-1\"\n[unit.0]\n", "s.toml");
    EXPECT_EQ(station.name, "bench-1");
    EXPECT_EQ(station.rateHz, 20);
    EXPECT_EQ(station.listen, "127.0.0.1");
    EXPECT_EQ(station.port, 0);
    ASSERT_EQ(station.units.count(0), 1u);
    for (const tool::ChannelSettings& channel : station.units[0].channels) {
        EXPECT_EQ(channel, tool::ChannelSettings{}) << "every channel at its defaults";
        EXPECT_TRUE(channel.run);
    }

    station = tool::parseStation(R"(station = "s"
rate_hz = 50
[unit.3.channel.2]
run = false
multiplier = 2
clear_event = 1
input_inversion = [1, false, true]
output_inversion = [0, 1]
output_mode = [1, 1]
limiter = [true, 0]
preset = [-1, "0x10"]
write_preset = true
)", "s.toml");
    const tool::ChannelSettings& set = station.units.at(3).channels[2];
    EXPECT_FALSE(set.run);
    EXPECT_EQ(set.multiplier, 2);
    EXPECT_EQ(set.clearEvent, 1);
    EXPECT_EQ(set.inputInversion, (std::array<std::uint8_t, 3>{1, 0, 1}));
    EXPECT_EQ(set.limiter, (std::array<std::uint8_t, 2>{1, 0}));
    EXPECT_EQ(set.preset, (std::array<std::uint32_t, 2>{0xFFFFFFFFu, 0x10u}));
    EXPECT_TRUE(set.writePreset);
    EXPECT_EQ(station.units.at(3).channels[0], tool::ChannelSettings{});

    // What serve writes back (GET /api/config, --save) reads as the same.
    tool::Station again = tool::parseStation(tool::stationToml(station), "back.toml");
    EXPECT_EQ(again.name, station.name);
    EXPECT_EQ(again.rateHz, station.rateHz);
    EXPECT_TRUE(again.units.at(3) == station.units.at(3));
}

// Every mistake is named with its place: a value out of range, a wrong
// type, an unknown key (a typo must not be ignored), a bad unit or channel.
TEST(StationFile, EveryMistakeIsNamedAtFileLineColumn) {
    const std::string text = "station = \"x\"\n"           // 1
                             "rate_hz = 500\n"             // 2
                             "[unit.0.channel.1]\n"        // 3
                             "multipler = 2\n"             // 4
                             "multiplier = \"two\"\n"      // 5
                             "clear_event = 3\n"           // 6
                             "input_inversion = [0, 1]\n"  // 7
                             "preset = [1, 4294967296]\n"  // 8
                             "[unit.16]\n"                 // 9
                             "[unit.2.channel.3]\n"        // 10
                             "[unit.2.extra]\n"            // 11
                             "[colour]\n";                 // 12
    try {
        tool::parseStation(text, "bad.toml");
        FAIL() << "a file with mistakes was taken";
    } catch (const tool::StationFileError& error) {
        const std::vector<std::string> expected = {
            "bad.toml:2:11: rate_hz 500 is not 1 to 100",
            "bad.toml:4:1: unknown key 'multipler' in unit.0.channel.1",
            "bad.toml:5:14: unit.0.channel.1.multiplier must be an integer from 0 to 2, not a string",
            "bad.toml:6:15: unit.0.channel.1.clear_event 3 is not 0 to 2",
            "bad.toml:7:19: unit.0.channel.1.input_inversion must be an array of 3 settings",
            "bad.toml:8:14: unit.0.channel.1.preset second word must be a 32-bit word",
            "bad.toml:9:7: unit ID 16 is not 0 to 15",
            "bad.toml:10:17: channel 3 is not 0 to 2",
            "bad.toml:11:9: unknown key 'extra' in unit.2",
            "bad.toml:12:2: unknown key 'colour'",
        };
        ASSERT_EQ(error.problems.size(), expected.size()) << error.what();
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(error.problems[i].rfind(expected[i], 0), 0u)
                << "wanted " << expected[i] << "\n   got " << error.problems[i];
        }
    }
    for (const char* broken : {"station = \"x\"\n[unit.0\n", "rate_hz = 5\n"}) {
        EXPECT_THROW(tool::parseStation(broken, "b.toml"), tool::StationFileError) << broken;
    }
}

Json getJson(const ServedPanel& served, const std::string& path) {
    auto result = served.client().Get(path.c_str(), {{"X-Brivant-Token", ServedPanel::token()}});
    return result ? Json::parse(result->body, nullptr, false) : Json();
}

// Waits until the API shows unit `id` as `wanted`.
Json unitWhen(const ServedPanel& served, int id, const std::function<bool(const Json&)>& wanted) {
    for (int tries = 0; tries < 500; ++tries) {
        const Json all = getJson(served, "/api/units");
        for (const Json& unit : all["units"]) {
            if (unit["id"] == id && wanted(unit)) {
                return unit;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "unit " << id << " never as wanted: " << getJson(served, "/api/units").dump();
    return Json();
}

// serve's readers: quick to take a unit back.
tool::ReaderSettings quickReaders() {
    tool::ReaderSettings settings;
    settings.rateHz = 50;
    settings.reopenEvery = 50ms;
    return settings;
}

class StationTest : public SimTest {
protected:
    // Each frame as its letter and argument digits: "E12" is multiplier 2 of channel 1.
    static std::vector<std::string> framesSent() {
        std::vector<std::string> frames;
        for (const Bytes& frame : framesWritten()) {
            frames.emplace_back(frame.begin() + 1, frame.end() - 1);
        }
        return frames;
    }
    static std::string letters(const std::vector<std::string>& frames) {
        std::string out;
        for (const std::string& frame : frames) {
            out += frame.substr(0, 1);
        }
        return out;
    }
    static void plug(int index, bool present) {
        sim::Unit unit = sim::getUnit(index);
        unit.present = present;
        sim::setUnit(index, unit);
    }
};

const char* const kStation = "station = \"t\"\n"
                             "[unit.0.channel.1]\n"
                             "multiplier = 2\n"
                             "input_inversion = [1, 0, 1]\n"
                             "preset = [\"0x1000\", 7]\n"
                             "write_preset = true\n"
                             "[unit.0.channel.2]\n"
                             "run = false\n";

// The frames at open: the ID query, every setting of every channel (run or
// stop last), and only then the first read.
TEST_F(StationTest, StationFileConfiguresTheUnitBeforeItsFirstRead) {
    addLiveUnits({0});
    ServedPanel served(kStation, quickReaders());
    Json unit = unitWhen(served, 0, [](const Json& u) { return u["configured"] == true && !u["latest"].is_null(); });
    ASSERT_FALSE(unit.is_null());
    std::vector<std::string> frames = framesSent();
    std::vector<std::string> first(frames.begin(), frames.begin() + 24);
    EXPECT_EQ(letters(first), "K" "ABCDEFI" "ABCDEFGI" "ABCDEFI" "J");
    EXPECT_EQ(first[8], "A1101") << "channel 1's input inversion";
    EXPECT_EQ(first[12], "E12") << "channel 1's multiplier";
    EXPECT_EQ(first[14], "G1" "00001000" "00000007") << "channel 1's preset, written as asked";
    EXPECT_EQ(first[15], "I11");
    EXPECT_EQ(first[22], "I20") << "channel 2 stopped";
    EXPECT_EQ(unit["settings"][1]["multiplier"], 2) << "the page is shown what was set";
    Json events = getJson(served, "/api/events")["events"];
    ASSERT_GE(events.size(), 1u);
    EXPECT_EQ(events[0]["why"], "start");
    EXPECT_EQ(events[0]["result"], "RC_OK");
    EXPECT_EQ(events[0]["sent"].size(), 22u);
}

// Unplugged and back, the unit is configured again before its next sample,
// with what the user last set through the API, not what the file said.
TEST_F(StationTest, ChangeSurvivesAReplugAndIsSentBeforeTheNextSample) {
    addLiveUnits({0});
    ServedPanel served(kStation, quickReaders());
    ASSERT_FALSE(unitWhen(served, 0, [](const Json& u) { return u["configured"] == true; }).is_null());
    auto changed = served.change("/api/units/0/channels/1/multiplier", R"({"selection": 1})");
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->status, 200);
    auto stopped = served.change("/api/units/0/channels/0/stop", "{}");
    ASSERT_TRUE(stopped);
    EXPECT_NE(served.live().toml().find("multiplier = 1"), std::string::npos);

    plug(0, false);
    ASSERT_FALSE(unitWhen(served, 0, [](const Json& u) { return u["answering"] == false; }).is_null());
    sim::clearCalls();
    plug(0, true);
    Json back = unitWhen(served, 0, [](const Json& u) {
        return u["answering"] == true && u["configured"] == true && u["latest"]["result"] == "RC_OK";
    });
    ASSERT_FALSE(back.is_null());
    std::vector<std::string> frames = framesSent();
    std::string sent = letters(frames);
    std::size_t query = sent.find('K');
    ASSERT_NE(query, std::string::npos) << sent;
    EXPECT_EQ(sent.substr(query, 24), "K" "ABCDEFI" "ABCDEFGI" "ABCDEFI" "J") << sent;
    EXPECT_EQ(frames[query + 12], "E11") << "the multiplier last set, not the file's 2";
    EXPECT_EQ(frames[query + 7], "I00") << "channel 0 stays stopped as the user left it";
    Json events = getJson(served, "/api/events")["events"];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["why"], "reconnect");
}

// A configuration that fails is an event with the failing call's result, and
// the reader tries again at its next sample, publishing no count from the
// unit until its settings went through.
TEST_F(StationTest, FailedConfigurationIsAnEventAndIsRetriedBeforeAnyCount) {
    addLiveUnits({0});
    tool::LiveStation live(tool::parseStation(kStation, "t.toml"), std::nullopt);
    ASSERT_EQ(Brivant_Device_Open(0), RC_OK);
    sim::Unit unit = sim::getUnit(0);
    unit.writeFails = true;
    sim::setUnit(0, unit);
    EXPECT_EQ(live.configure(0, tool::ConfigureWhy::Reconnect), RC_COMM_FAILED);
    std::vector<tool::ConfigEvent> events = live.events(0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].why, "reconnect");
    EXPECT_EQ(events[0].result, RC_COMM_FAILED);
    ASSERT_EQ(events[0].sent.size(), 1u) << "it stops at the first call that fails";
    EXPECT_EQ(events[0].sent[0].name, "input_inversion");
    unit.writeFails = false;
    sim::setUnit(0, unit);
    Brivant_Device_Close(0);

    std::atomic<int> tries{0};
    tool::ReaderSettings settings;
    settings.rateHz = 100;
    auto reader = std::make_shared<tool::UnitReader>(
        0, settings, tool::ReaderStart{false, [&tries](std::int16_t, tool::ConfigureWhy) {
                                           return static_cast<std::int16_t>(++tries < 4 ? RC_COMM_FAILED
                                                                                        : RC_OK);
                                       }});
    for (int wait = 0; wait < 500 && tries < 5; ++wait) {
        std::this_thread::sleep_for(10ms);
        if (tries >= 4 && reader->view(std::nullopt).configured == true) {
            break;
        }
    }
    tool::UnitView view = reader->view(0);
    EXPECT_EQ(view.configured, std::optional<bool>(true));
    bool countSeen = false;
    for (const tool::Sample& sample : view.samples) {
        if (sample.result == RC_OK) {
            countSeen = true;
        } else {
            EXPECT_FALSE(countSeen) << "a failed configuration after a published count";
        }
    }
    EXPECT_GE(tries.load(), 4) << "tried again at each sample";
    EXPECT_TRUE(reader->stop(std::chrono::seconds(2)));
}

// An absent unit of the station is listed as expected, and configured when
// it is plugged in; a unit that is not the station's is never opened.
TEST_F(StationTest, AbsentUnitIsExpectedAndOthersAreLeftAlone) {
    addLiveUnits({0, 4});
    plug(0, false);
    ServedPanel served("station = \"t\"\n[unit.0]\n", quickReaders());
    Json absent = unitWhen(served, 0, [](const Json& u) { return u["seen"] == false; });
    ASSERT_FALSE(absent.is_null());
    EXPECT_EQ(getJson(served, "/api/units")["units"].size(), 1u) << "unit 4 is not the station's";
    plug(0, true);
    ASSERT_FALSE(unitWhen(served, 0, [](const Json& u) { return u["configured"] == true; }).is_null());
    for (const sim::Call& call : sim::calls()) {
        if (call.op == sim::Op::UsbInitialize || call.op == sim::Op::WritePipe) {
            // Unit 4 answers K for the ID queries of discovery, nothing more.
            if (call.unit == 1 && call.op == sim::Op::WritePipe) {
                EXPECT_EQ(call.bytes[1], 'K') << "unit 4 was sent more than the ID query";
            }
        }
    }
}

// With --save, each change is written back whole.
TEST_F(StationTest, SaveWritesTheLiveConfigurationBack) {
    addLiveUnits({0});
    char folder[] = "/tmp/brivant-station-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/station.toml";
    {
        ServedPanel served(kStation, quickReaders(), path);
        ASSERT_FALSE(unitWhen(served, 0, [](const Json& u) { return u["configured"] == true; }).is_null());
        auto changed = served.change("/api/units/0/channels/2/limiter", R"({"s1": 1, "s2": 0})");
        ASSERT_TRUE(changed);
        EXPECT_EQ(changed->status, 200);
    }
    tool::Station saved = tool::loadStation(path);
    EXPECT_EQ(saved.units.at(0).channels[2].limiter, (std::array<std::uint8_t, 2>{1, 0}));
    EXPECT_EQ(saved.units.at(0).channels[1].multiplier, 2) << "the rest as the file said";
    std::remove(path.c_str());
    rmdir(folder);
}

// The runtime file: the user's alone, found while serve lives, gone after;
// a folder others may write to is refused.
TEST(RuntimeFile, PrivateFoundWhileAliveAndRemoved) {
    char folder[] = "/tmp/brivant-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const char* before = std::getenv("XDG_RUNTIME_DIR");
    std::string saved = before ? before : "";
    setenv("XDG_RUNTIME_DIR", folder, 1);
    std::string path;
    {
        tool::RuntimeFile file({tool::currentPid(), "http://127.0.0.1:1", "t0k3n", "bench", ""});
        path = file.path();
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        ASSERT_EQ(stat((std::string(folder) + "/brivant").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        std::vector<tool::ServeRecord> found = tool::liveServes();
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].token, "t0k3n");
        EXPECT_EQ(found[0].station, "bench");
    }
    struct stat gone {};
    EXPECT_NE(stat(path.c_str(), &gone), 0) << "removed at the end";
    EXPECT_TRUE(tool::liveServes().empty());
    chmod((std::string(folder) + "/brivant").c_str(), 0777);
    EXPECT_THROW(tool::runtimeFolder(), std::runtime_error) << "a folder others may write to";
    EXPECT_TRUE(tool::liveServes().empty());
    rmdir((std::string(folder) + "/brivant").c_str());
    rmdir(folder);
    if (before) {
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
}

} // namespace
} // namespace brivant::test
