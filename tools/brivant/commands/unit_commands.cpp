// read, and the commands that change one channel's settings or act on it.
#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "brivant.hpp"
#include "commands/commands.h"
#include "commands/command_arguments.h"
#include "client/serve_client.h"
#include "station/channel_table.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

struct ReadArguments {
    std::vector<std::int16_t> units;
    int channel = -1; // all three
    bool json = false;
    bool csv = false;
};

// The unit's counts, from a serve that holds it or from the unit itself.
Counts readUnit(std::int16_t id, int channel, const Console& console) {
    Counts all;
    if (ServeClient* serve = ServeClient::forUnit(id, console)) {
        std::int16_t rc = serve->read(id, all);
        if (rc != RC_OK) {
            throw Error(toErrorCode(rc), "brivant unit " + std::to_string(id) + ": read through serve");
        }
        if (channel >= 0) {
            all.counts[0] = all.counts[static_cast<std::size_t>(channel)];
            all.status[0] = all.status[static_cast<std::size_t>(channel)];
        }
        return all;
    }
    if (channel >= 0) {
        ChannelCount one = Unit(id).readChannel(static_cast<std::uint8_t>(channel));
        all.counts[0] = one.count;
        all.status[0] = one.status;
        return all;
    }
    return Unit(id).readCounts();
}

// One unit's counts as read prints them; `csvHeader` only before the first.
std::string readText(const ReadArguments& args, std::int16_t id, bool csvHeader,
                     const Console& console) {
    Counts all = readUnit(id, args.channel, console);
    std::array<int, 3> channels{0, 1, 2};
    std::size_t shown = 3;
    if (args.channel >= 0) {
        channels[0] = args.channel;
        shown = 1;
    }
    std::string text;
    if (args.json) {
        auto channelJson = [&](std::size_t k) {
            return nlohmann::ordered_json{
                {"channel", channels[k]}, {"count", all.counts[k]}, {"status", all.status[k]}};
        };
        nlohmann::ordered_json out{{"unit", id}};
        if (shown == 1) {
            out.update(channelJson(0));
        } else {
            out["channels"] = nlohmann::ordered_json::array();
            for (std::size_t k = 0; k < shown; ++k) {
                out["channels"].push_back(channelJson(k));
            }
        }
        text = out.dump() + '\n';
    } else if (args.csv) {
        text = csvHeader ? "unit,channel,count,status\n" : "";
        for (std::size_t k = 0; k < shown; ++k) {
            text += std::to_string(id) + ',' + std::to_string(channels[k]) + ',' +
                    std::to_string(all.counts[k]) + ',' + std::to_string(all.status[k]) + '\n';
        }
    } else if (shown == 1) {
        text = "unit " + std::to_string(id) + " channel " + std::to_string(channels[0]) +
               ": count " + std::to_string(all.counts[0]) + ", status " + hexByte(all.status[0]) +
               '\n';
    } else {
        text = "unit " + std::to_string(id) + "\nchannel        count  status\n";
        for (std::size_t k = 0; k < 3; ++k) {
            char line[64];
            std::snprintf(line, sizeof line, "%7zu  %11ld  %s\n", k,
                          static_cast<long>(all.counts[k]), hexByte(all.status[k]).c_str());
            text += line;
        }
    }
    return text;
}

// Each unit in turn. One unit's failure is its exit status, as before; of
// several, a failed one is told and the rest are still read, and the status
// is the last failure's.
int runRead(const ReadArguments& args, Console& console) {
    if (args.units.size() == 1) {
        console.out.write(readText(args, args.units[0], true, console));
        return kExitOk;
    }
    int status = kExitOk;
    bool header = true;
    for (std::int16_t id : args.units) {
        try {
            console.out.write(readText(args, id, header, console));
            header = false;
        } catch (const Error& error) {
            console.error(error.what());
            status = error.code().value();
        }
    }
    return status;
}

void addRead(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<ReadArguments>();
    CLI::App* read = app.add_subcommand(
        "read", "print the counts and status bytes of units, or of one channel");
    read->footer("All three channels come from one exchange with the unit. With --json, one\n"
                 "line of JSON per unit.");
    addUnitIds(*read, args->units);
    read->add_option("CH", args->channel, "channel, 0 to 2 (all three when left out)")
        ->transform(numberFrom(0, kMaxChannel, "channel"));
    CLI::Option* json = read->add_flag("--json", args->json, "print JSON");
    read->add_flag("--csv", args->csv, "print CSV with a header line")->excludes(json);
    selectOnParse(read, context, [args, &context] { return runRead(*args, context.console); });
}

struct TargetArguments {
    std::int16_t id = 0;
    int channel = 0;
    std::array<int, 3> values{};
    std::array<std::uint32_t, 3> words{};
};

std::string doneLine(const TargetArguments& args, const std::string& what) {
    return "unit " + std::to_string(args.id) + " channel " + std::to_string(args.channel) + ": " +
           what + '\n';
}

// One change to a channel: through the serve that holds the unit, if one
// does (as the API's `action` with `body`), else straight to the unit.
void changeChannel(const TargetArguments& args, CommandContext& context, const char* command,
                   const char* action, const nlohmann::json& body, const std::string& callName,
                   const std::function<std::int16_t(std::int16_t id, std::uint8_t channel)>& call) {
    const std::string unitName = "brivant unit " + std::to_string(args.id) + ": ";
    if (ServeClient* serve = ServeClient::forUnit(args.id, context.console)) {
        std::int16_t rc = serve->change(args.id, args.channel, action, body);
        if (rc != RC_OK) {
            throw Error(toErrorCode(rc), unitName + command + " through serve");
        }
        return;
    }
    Unit unit(args.id);
    std::int16_t rc = call(args.id, static_cast<std::uint8_t>(args.channel));
    if (rc != RC_OK) {
        throw Error(toErrorCode(rc), unitName + callName);
    }
}

// A command for one setting of the channel table: its values after ID and
// CH, checked against the setting's bounds.
void addSetting(CLI::App& app, CommandContext& context, const ChannelSetting& setting) {
    auto args = std::make_shared<TargetArguments>();
    CLI::App* sub = app.add_subcommand(setting.command, setting.help);
    if (setting.footer != nullptr) {
        sub->footer(setting.footer);
    }
    addUnitId(*sub, args->id);
    addChannel(*sub, args->channel);
    const bool words = setting.kind == SettingKind::Words;
    for (std::size_t i = 0; i < setting.count; ++i) {
        const char* name = setting.arguments[i];
        if (words) {
            sub->add_option(name, args->words[i],
                            "32-bit word, decimal or 0x-hex (a negative decimal is taken as its "
                            "two's complement)")
                ->required()
                ->transform(word32(name));
        } else {
            sub->add_option(name, args->values[i], boundText(setting.high))
                ->required()
                ->transform(numberFrom(0, setting.high, name));
        }
    }
    selectOnParse(sub, context, [args, &setting, &context, words] {
        SettingValues values{};
        std::string given;
        nlohmann::json body = nlohmann::json::object();
        for (std::size_t i = 0; i < setting.count; ++i) {
            values[i] = words ? args->words[i] : static_cast<std::uint32_t>(args->values[i]);
            char text[16];
            std::snprintf(text, sizeof text, words ? "0x%08lX" : "%lu",
                          static_cast<unsigned long>(values[i]));
            given += (i > 0 ? " " : "") + std::string(text);
            body[setting.fields[i]] = values[i];
        }
        std::string said = setting.done;
        if (std::size_t at = said.find("{}"); at != std::string::npos) {
            said.replace(at, 2, given);
        }
        std::string callName = setting.key;
        std::replace(callName.begin(), callName.end(), '_', ' ');
        changeChannel(*args, context, setting.command, setting.action, body, callName,
                      [&setting, &values](std::int16_t id, std::uint8_t ch) {
                          return setting.send(id, ch, values);
                      });
        context.console.out.write(doneLine(*args, said));
        return 0;
    });
}

// run, stop and clear: a channel's ID and CH alone.
void addAction(CLI::App& app, CommandContext& context, const ChannelAction& action) {
    auto args = std::make_shared<TargetArguments>();
    CLI::App* sub = app.add_subcommand(action.command, action.help);
    addUnitId(*sub, args->id);
    addChannel(*sub, args->channel);
    selectOnParse(sub, context, [args, &action, &context] {
        const ChannelSetting* setting = action.setting ? settingByKey(action.setting) : nullptr;
        changeChannel(*args, context, action.command, action.action, nlohmann::json::object(),
                      action.callName, [&action, setting](std::int16_t id, std::uint8_t ch) {
                          return setting ? setting->send(id, ch, SettingValues{action.value, 0, 0})
                                         : action.send(id, ch);
                      });
        context.console.out.write(doneLine(*args, action.done));
        return 0;
    });
}

} // namespace

void addUnitCommands(CLI::App& app, CommandContext& context) {
    addRead(app, context);
    for (const ChannelSetting& setting : channelTable()) {
        if (setting.command != nullptr) {
            addSetting(app, context, setting);
        }
    }
    for (const ChannelAction& action : channelActions()) {
        addAction(app, context, action);
    }
}

} // namespace brivant::tool
