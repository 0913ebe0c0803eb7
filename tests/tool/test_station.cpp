// brivant serve in-process over simulated units: the station file (its
// defaults, every mistake at FILE:LINE:COLUMN, the live configuration written
// back), the frames a station sends at each open, a unit unplugged and
// plugged back, a change that survives it, a configuration that fails and is
// retried, and the runtime file through which other commands find serve.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "util/atomic_file.h"
#include "station/live_station.h"
#include "client/runtime_file.h"
#include "station/station_file.h"
#include "util/tool_errors.h"
#include "tool_support.h"

namespace brivant::test {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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
// [history]: its defaults, what it takes, its mistakes, and a reload that
// changes it named as needing a restart.
TEST(StationFile, HistoryTableTakesItsKeysAndWritesThemBack) {
    tool::Station station = tool::parseStation("station = \"h\"\n[unit.0]\n", "h.toml");
    EXPECT_TRUE(station.history.enabled) << "a station journals by default";
    EXPECT_EQ(station.history.keepSeconds, 24 * 3600);
    EXPECT_EQ(station.history.syncMs, 1000);
    EXPECT_EQ(tool::stationToml(station).find("[history]"), std::string::npos) << "defaults are not written";

    station = tool::parseStation("station = \"h\"\nrate_hz = 1000\n[history]\npath = \"/var/tmp/h.db\"\n"
                                 "sync_ms = 250\nmax_mb = 64\nkeep = \"90m\"\n[unit.0]\n",
                                 "h.toml");
    EXPECT_EQ(station.rateHz, 1000);
    EXPECT_EQ(station.history.path, "/var/tmp/h.db");
    EXPECT_EQ(station.history.syncMs, 250);
    EXPECT_EQ(station.history.maxMb, 64);
    EXPECT_EQ(station.history.keepSeconds, 90 * 60);
    tool::Station again = tool::parseStation(tool::stationToml(station), "back.toml");
    EXPECT_TRUE(again.history == station.history) << tool::stationToml(station);

    try {
        tool::parseStation("station = \"h\"\n[history]\nsync_ms = 5\nkeep = \"forever\"\nsize = 3\n", "bad.toml");
        FAIL() << "a [history] with mistakes was taken";
    } catch (const tool::StationFileError& error) {
        ASSERT_EQ(error.problems.size(), 3u) << error.what();
        EXPECT_EQ(error.problems[0], "bad.toml:3:11: history.sync_ms 5 is not 10 to 60000");
        EXPECT_NE(error.problems[1].find("history.keep must be a duration"), std::string::npos);
        EXPECT_NE(error.problems[2].find("unknown key 'size' in history"), std::string::npos);
    }

    // A relative path is beside the station file, wherever the reader runs.
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "brivant-history-path";
    std::filesystem::create_directories(folder / "sub");
    std::ofstream(folder / "sub" / "s.toml") << "station = \"h\"\n[history]\npath = \"../j.db\"\n[unit.0]\n";
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path("/");
    EXPECT_EQ(tool::loadStation((folder / "sub" / "s.toml").string()).history.path, (folder / "j.db").string());
    std::filesystem::current_path(folder);
    EXPECT_EQ(tool::loadStation("sub/s.toml").history.path, (folder / "j.db").string());
    std::filesystem::current_path(before);
    std::filesystem::remove_all(folder);

    tool::LiveStation live(station);
    tool::Station next = station;
    next.history.keepSeconds = 7 * 86400;
    const auto reloaded = live.reload(next);
    EXPECT_NE(std::find(reloaded.notTaken.begin(), reloaded.notTaken.end(), "[history]"), reloaded.notTaken.end());
}

TEST(StationFile, EveryMistakeIsNamedAtFileLineColumn) {
    const std::string text = "station = \"x\"\n"           // 1
                             "rate_hz = 5000\n"            // 2
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
            "bad.toml:2:11: rate_hz 5000 is not 1 to 1000",
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
    EXPECT_EQ(live.configure(0, tool::ConfigureWhy::Reconnect), RC_COMM_FAILED);
    EXPECT_EQ(live.events(0).size(), 1u) << "the same failure again is not told again";
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

// --save: changes are kept in serve's own file, never in the station file,
// and taken up at the next start unless the file has since been edited.
class SavedChanges : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_NE(mkdtemp(folder_), nullptr);
        changes_ = std::string(folder_) + "/changes.toml";
    }
    void TearDown() override {
        std::filesystem::remove_all(folder_);
        StationTest::TearDown();
    }
    char folder_[32] = "/tmp/brivant-changes-XXXXXX";
    std::string changes_;
};

TEST_F(SavedChanges, ARestartRunsWhatRanBeforeAndAnEditOfTheFileWins) {
    addLiveUnits({0});
    {
        ServedPanel served(kStation, quickReaders(), changes_);
        ASSERT_FALSE(unitWhen(served, 0, [](const Json& u) { return u["configured"] == true; }).is_null());
        auto changed = served.change("/api/units/0/channels/2/limiter", R"({"s1": 1, "s2": 0})");
        ASSERT_TRUE(changed);
        EXPECT_EQ(changed->status, 200);
        changed = served.change("/api/units/0/channels/1/multiplier", R"({"selection": 1})");
        ASSERT_TRUE(changed);
        EXPECT_EQ(changed->status, 200);
    }
    tool::LiveStation again(tool::parseStation(kStation, "test.toml"), changes_);
    tool::UnitSettings unit = *again.unit(0);
    EXPECT_EQ(unit.channels[2].limiter, (std::array<std::uint8_t, 2>{1, 0})) << "kept across the restart";
    EXPECT_EQ(unit.channels[1].multiplier, 1);
    EXPECT_EQ(unit.channels[1].inputInversion, (std::array<std::uint8_t, 3>{1, 0, 1})) << "the rest as the file says";
    EXPECT_EQ(again.startNotes().size(), 2u);

    // The user edits channel 1 in the station file while serve is stopped:
    // the file's word is newer, channel 2's change stays.
    std::string edited = kStation;
    edited.replace(edited.find("multiplier = 2"), 14, "multiplier = 0");
    tool::LiveStation edit(tool::parseStation(edited, "test.toml"), changes_);
    unit = *edit.unit(0);
    EXPECT_EQ(unit.channels[1].multiplier, 0);
    EXPECT_EQ(unit.channels[2].limiter, (std::array<std::uint8_t, 2>{1, 0}));
    const std::string notes = ::testing::PrintToString(edit.startNotes());
    EXPECT_NE(notes.find("unit 0 channel 1: edited in the station file"), std::string::npos) << notes;
    tool::StationChanges left = tool::parseChanges(readAll(changes_), changes_);
    ASSERT_EQ(left.size(), 1u) << "the overruled change is gone from the file";
    EXPECT_EQ(int{left[0].channel}, 2);

    // SIGHUP with the file edited again: the edited channel takes the file,
    // the other keeps its change; what a reload cannot apply is named.
    std::string reloaded = edited + "[unit.0.channel.0]\nmultiplier = 2\n[unit.3]\n[mqtt]\nurl = \"mqtt://h\"\n";
    reloaded.replace(reloaded.find("station = \"t\""), 13, "station = \"t\"\ntoken_file = \"/x/token\"");
    reloaded.replace(reloaded.find("[unit.0.channel.2]"), 18, "[unit.0.channel.2]\nlimiter = [0, 1]");
    tool::LiveStation::Reloaded outcome = edit.reload(tool::parseStation(reloaded, "test.toml"));
    EXPECT_EQ(outcome.changed, std::vector<std::int16_t>{0});
    EXPECT_EQ(edit.unit(0)->channels[0].multiplier, 2);
    EXPECT_EQ(edit.unit(0)->channels[2].limiter, (std::array<std::uint8_t, 2>{0, 1})) << "the newer edit";
    EXPECT_EQ(outcome.overruled, std::vector<std::string>{"unit 0 channel 2"}) << "and it is said";
    EXPECT_EQ(outcome.notTaken, (std::vector<std::string>{"unit 3 added", "token_file", "[mqtt]"}));
    EXPECT_TRUE(outcome.failed.empty());
    EXPECT_TRUE(tool::parseChanges(readAll(changes_), changes_).empty()) << "no change left to keep";

    // A changes file that is not one is moved aside, never trusted.
    std::ofstream(changes_) << "[unit.0.channel.1.set]\nmultiplier = 9\n";
    tool::LiveStation bad(tool::parseStation(kStation, "test.toml"), changes_);
    EXPECT_EQ(bad.unit(0)->channels[1].multiplier, 2);
    EXPECT_EQ(access((changes_ + ".unreadable").c_str(), F_OK), 0);
}

// The user edits the station file and tells serve nothing, then changes
// the same channel through the API: the API's word is the newer one, at a
// restart and at a SIGHUP; an edit made after the change wins again.
TEST_F(SavedChanges, AChangeMadeAfterAnUntoldEditOfTheFileIsTheNewerWord) {
    const std::string path = std::string(folder_) + "/station.toml";
    std::ofstream(path) << kStation;
    tool::LiveStation live(tool::loadStation(path), changes_, path);
    std::string edited = kStation;
    edited.replace(edited.find("multiplier = 2"), 14, "multiplier = 0");
    std::ofstream(path) << edited; // no SIGHUP
    ASSERT_TRUE(live.update(0, 1, [](tool::ChannelSettings& c) { c.multiplier = 1; }));

    tool::LiveStation restarted(tool::loadStation(path), changes_, path);
    EXPECT_EQ(restarted.unit(0)->channels[1].multiplier, 1) << ::testing::PrintToString(restarted.startNotes());

    tool::LiveStation::Reloaded outcome = live.reload(tool::loadStation(path));
    EXPECT_TRUE(outcome.overruled.empty()) << "the edit came before the change";
    EXPECT_EQ(live.unit(0)->channels[1].multiplier, 1);

    // Changed back to what the file says now: nothing left to keep.
    ASSERT_TRUE(restarted.update(0, 1, [](tool::ChannelSettings& c) { c.multiplier = 0; }));
    EXPECT_TRUE(tool::parseChanges(readAll(changes_), changes_).empty());
    ASSERT_TRUE(restarted.update(0, 1, [](tool::ChannelSettings& c) { c.multiplier = 3; }));
    edited.replace(edited.find("multiplier = 0"), 14, "multiplier = 2");
    std::ofstream(path) << edited; // edited after the change
    tool::LiveStation later(tool::loadStation(path), changes_, path);
    EXPECT_EQ(later.unit(0)->channels[1].multiplier, 2);
}

// A change that cannot be kept is not made: the unit is not sent it, the
// live configuration is as before, and the answer names the file.
TEST_F(SavedChanges, AChangeThatCannotBeKeptIsRefusedWhole) {
    addLiveUnits({0});
    const std::string nowhere = std::string(folder_) + "/no-such-folder/changes.toml";
    ServedPanel served(kStation, quickReaders(), nowhere);
    ASSERT_FALSE(unitWhen(served, 0, [](const Json& u) { return u["configured"] == true; }).is_null());
    const std::size_t framesBefore = framesSent().size();
    auto changed = served.change("/api/units/0/channels/2/limiter", R"({"s1": 1, "s2": 1})");
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->status, 500);
    EXPECT_NE(changed->body.find(nowhere), std::string::npos) << changed->body;
    EXPECT_NE(changed->body.find("nothing was changed"), std::string::npos) << changed->body;
    EXPECT_EQ(served.live().unit(0)->channels[2].limiter, (std::array<std::uint8_t, 2>{0, 0}));
    for (std::size_t i = framesBefore; i < framesSent().size(); ++i) {
        EXPECT_NE(framesSent()[i][0], 'F') << "no limiter frame went to the unit";
    }
}

// A change for a unit of the station that is not plugged in is refused,
// and nothing is kept for it.
TEST_F(SavedChanges, AChangeForAnAbsentUnitIsNeitherSentNorKept) {
    addLiveUnits({0});
    ServedPanel served(std::string(kStation) + "[unit.3]\n", quickReaders(), changes_);
    ASSERT_FALSE(unitWhen(served, 0, [](const Json& u) { return u["configured"] == true; }).is_null());
    auto changed = served.change("/api/units/3/channels/0/stop", "{}");
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->status, 200);
    Json answer = Json::parse(changed->body);
    EXPECT_EQ(answer["result"], "RC_ID_NOT_FOUND") << answer;
    EXPECT_TRUE(served.live().unit(3)->channels[0].run) << "nothing kept for it";
    EXPECT_NE(access(changes_.c_str(), F_OK), 0) << "no changes file written";
}

// The one writer of serve's files: whole or not at all, at a link's target,
// keeping the file's mode, leaving no temporary behind.
TEST(AtomicFile, WritesAtTheLinksTargetKeepsTheModeAndLeavesNothingBehind) {
    char folder[] = "/tmp/brivant-atomic-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string target = std::string(folder) + "/real.toml";
    const std::string link = std::string(folder) + "/station.toml";
    std::ofstream(target) << "old\n";
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink("real.toml", link.c_str()), 0);
    tool::replaceFile(link, "new\n");
    struct stat facts {};
    ASSERT_EQ(lstat(link.c_str(), &facts), 0);
    EXPECT_TRUE(S_ISLNK(facts.st_mode)) << "the link stays a link";
    EXPECT_EQ(readAll(target), "new\n");
    ASSERT_EQ(stat(target.c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0640u) << "the mode is kept";
    if (geteuid() == 0) {
        ASSERT_EQ(chown(target.c_str(), 1234, 5678), 0);
        tool::replaceFile(target, "again\n");
        ASSERT_EQ(stat(target.c_str(), &facts), 0);
        EXPECT_EQ(facts.st_uid, 1234u) << "the owner is kept";
        EXPECT_EQ(facts.st_gid, 5678u);
    }
    const std::string fresh = std::string(folder) + "/secret";
    tool::replaceFile(fresh, "s\n", 0600);
    ASSERT_EQ(stat(fresh.c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0600u) << "a new file gets the mode asked for";
    const std::string blocked = std::string(folder) + "/secret/below";
    try {
        tool::replaceFile(blocked, "x");
        FAIL() << "wrote below a file";
    } catch (const tool::OutputError& error) {
        EXPECT_NE(std::string(error.what()).find(blocked), std::string::npos) << error.what();
    }
    int entries = 0;
    for (const char* name : {"real.toml", "station.toml", "secret"}) {
        entries += access((std::string(folder) + "/" + name).c_str(), F_OK) == 0 ? 1 : 0;
    }
    EXPECT_EQ(entries, 3);
    EXPECT_EQ(std::system(("test $(ls -A " + std::string(folder) + " | wc -l) -eq 3").c_str()), 0)
        << "no temporary left";
    std::filesystem::remove_all(folder);
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
        tool::RuntimeFile file({tool::currentPid(), "http://127.0.0.1:1", "t0k3n", "bench", "", {0, 5}, "sim", ""});
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
        EXPECT_EQ(found[0].units, (std::vector<std::int16_t>{0, 5}));
        EXPECT_EQ(found[0].backend, "sim");
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
