// The channel table is the one list of a channel's settings: a change
// through the API, the station file read and written, and the table the
// API describes are the same settings with the same bounds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "http/panel_api.h"
#include "service/channel_change.h"
#include "station/channel_table.h"
#include "station/station_file.h"

namespace brivant::test {
namespace {

using tool::ChannelSetting;
using tool::SettingKind;
using tool::SettingValues;

TEST(ChannelTable, EachChangeSetsTheSettingTheStationFileWritesAndReadsBack) {
    int changes = 0;
    for (const ChannelSetting& setting : tool::channelTable()) {
        if (setting.action == nullptr) {
            continue;
        }
        SCOPED_TRACE(setting.key);
        ++changes;
        // The top of each value's range, and distinct words.
        nlohmann::json body = nlohmann::json::object();
        SettingValues expected{};
        for (std::size_t i = 0; i < setting.count; ++i) {
            expected[i] = setting.kind == SettingKind::Words
                              ? 0xFFFFFFF0u - static_cast<std::uint32_t>(i)
                              : static_cast<std::uint32_t>(setting.high);
            body[setting.fields[i]] = expected[i];
        }
        tool::ChangeRequest change = tool::parseChange("3", "2", setting.action, body.dump());
        ASSERT_TRUE(change.update);
        tool::ChannelSettings settings;
        change.update(settings);
        EXPECT_EQ(setting.get(settings), expected);
        if (setting.gate != nullptr) {
            EXPECT_EQ(tool::settingByKey(setting.gate)->get(settings)[0], 1u)
                << "set by hand, it is sent again at each configuration";
        }

        tool::Station station;
        station.name = "table";
        station.units[3].channels[2] = settings;
        const std::string text = tool::stationToml(station);
        EXPECT_NE(text.find(std::string("\n") + setting.key + " = "), std::string::npos);
        tool::Station again = tool::parseStation(text, "again.toml");
        EXPECT_TRUE(again.units[3].channels[2] == settings);

        // One past the bound is refused by the API and the station file,
        // each naming the setting.
        if (setting.kind != SettingKind::Words) {
            body[setting.fields[0]] = setting.high + 1;
            try {
                tool::parseChange("3", "2", setting.action, body.dump());
                ADD_FAILURE() << "one past the bound was taken";
            } catch (const tool::ApiError& error) {
                EXPECT_EQ(error.status, 400);
                EXPECT_NE(std::string(error.what()).find(setting.fields[0]), std::string::npos);
            }
            std::string beyond = "station = \"t\"\n[unit.0.channel.0]\n" + std::string(setting.key) + " = ";
            beyond += setting.count == 1 ? std::to_string(setting.high + 1)
                                         : "[" + std::to_string(setting.high + 1) + std::string(", 0, 0", 0, 3 * (setting.count - 1)) + "]";
            EXPECT_THROW(tool::parseStation(beyond, "beyond.toml"), tool::StationFileError) << beyond;
        }
    }
    EXPECT_EQ(changes, 7);

    // run and stop set the run switch; clear sets nothing.
    tool::ChannelSettings settings;
    tool::parseChange("0", "0", "stop", "{}").update(settings);
    EXPECT_FALSE(settings.run);
    tool::parseChange("0", "0", "run", "{}").update(settings);
    EXPECT_TRUE(settings.run);
    EXPECT_FALSE(tool::parseChange("0", "0", "clear", "{}").update);
    EXPECT_THROW(tool::parseChange("0", "0", "write_preset", "{}"), tool::ApiError);
}

TEST(ChannelTable, TheApiDescribesEverySettingWithItsDefaultAndBounds) {
    const nlohmann::json table = nlohmann::json::parse(tool::settingsTableJson());
    ASSERT_EQ(table["settings"].size(), tool::channelTable().size());
    for (const nlohmann::json& row : table["settings"]) {
        const ChannelSetting* setting = tool::settingByKey(row["key"].get<std::string>());
        ASSERT_NE(setting, nullptr) << row.dump();
        EXPECT_EQ(row["values"], setting->count);
        if (setting->action != nullptr) {
            EXPECT_EQ(row["action"], setting->action);
            EXPECT_EQ(row["fields"].size(), setting->count);
        }
    }
    // The defaults are a channel's as the station file leaves it.
    const nlohmann::json& run = table["settings"][0];
    EXPECT_EQ(run["key"], "run");
    EXPECT_EQ(run["default"], true);
    EXPECT_EQ(run["frame"], "I");
    std::vector<std::string> actions;
    for (const nlohmann::json& action : table["actions"]) {
        actions.push_back(action["action"]);
    }
    EXPECT_EQ(actions, (std::vector<std::string>{"run", "stop", "clear"}));
}

} // namespace
} // namespace brivant::test
