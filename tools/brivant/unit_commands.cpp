// read, and the commands that change one channel's settings or act on it.
#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "brivant.hpp"
#include "commands.h"
#include "number_arguments.h"
#include "serve_client.h"
#include "tool_errors.h"

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

// A command that sends settings to one channel: its words after ID and CH,
// each from 0 to `high`, and the call that sends them.
struct SettingCommand {
    const char* name;
    const char* help;
    std::vector<const char*> settings;
    long long high;
    const char* action;               // the API's action, through a serve
    std::vector<const char*> fields;  // its body's fields, one per setting
    void (*send)(Unit& unit, std::uint8_t channel, const std::array<std::uint8_t, 3>& values);
    const char* done; // what the tool says once the unit took them; {} the values
};

const SettingCommand kSettingCommands[] = {
    {"input-invert", "set the input inversion of a channel", {"S1", "S2", "S3"}, kMaxOnOff,
     "input-inversion", {"s1", "s2", "s3"},
     [](Unit& u, std::uint8_t ch, const auto& s) { u.setInputInversion(ch, s[0], s[1], s[2]); },
     "input inversion set to {}"},
    {"output-invert", "set the output inversion of a channel", {"S1", "S2"}, kMaxOnOff,
     "output-inversion", {"s1", "s2"},
     [](Unit& u, std::uint8_t ch, const auto& s) { u.setOutputInversion(ch, s[0], s[1]); },
     "output inversion set to {}"},
    {"output-mode", "set the output mode of a channel", {"S1", "S2"}, kMaxOnOff,
     "output-mode", {"s1", "s2"},
     [](Unit& u, std::uint8_t ch, const auto& s) { u.setOutputMode(ch, s[0], s[1]); },
     "output mode set to {}"},
    {"limiter", "set the limiter of a channel", {"S1", "S2"}, kMaxOnOff, "limiter", {"s1", "s2"},
     [](Unit& u, std::uint8_t ch, const auto& s) { u.setLimiter(ch, s[0], s[1]); },
     "limiter set to {}"},
    {"clear-event", "select the event that clears a channel's count", {"SEL"}, kMaxSelection,
     "clear-event", {"selection"},
     [](Unit& u, std::uint8_t ch, const auto& s) { u.selectClearEvent(ch, s[0]); },
     "clear event {} selected"},
    {"multiplier", "select the multiplier of a channel (simulated units: x1, x2, x4)",
     {"SEL"}, kMaxSelection, "multiplier", {"selection"}, [](Unit& u, std::uint8_t ch, const auto& s) { u.selectMultiplier(ch, s[0]); },
     "multiplier {} selected"},
    {"clear", "clear a channel's count now (forced clear)", {}, 0, "clear", {},
     [](Unit& u, std::uint8_t ch, const auto&) { u.forceClear(ch); }, "count cleared"},
    {"run", "start a channel counting", {}, 0, "run", {},
     [](Unit& u, std::uint8_t ch, const auto&) { u.run(ch); }, "running"},
    {"stop", "stop a channel counting", {}, 0, "stop", {},
     [](Unit& u, std::uint8_t ch, const auto&) { u.stop(ch); }, "stopped"},
};

struct TargetArguments {
    std::int16_t id = 0;
    int channel = 0;
    std::array<int, 3> values{};
    std::array<std::uint32_t, 2> words{};
};

std::string doneLine(const TargetArguments& args, const std::string& what) {
    return "unit " + std::to_string(args.id) + " channel " + std::to_string(args.channel) + ": " +
           what + '\n';
}

void addSetting(CLI::App& app, CommandContext& context, const SettingCommand& command) {
    auto args = std::make_shared<TargetArguments>();
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    addUnitId(*sub, args->id);
    addChannel(*sub, args->channel);
    std::string range = boundText(command.high);
    for (std::size_t i = 0; i < command.settings.size(); ++i) {
        sub->add_option(command.settings[i], args->values[i], range)
            ->required()
            ->transform(numberFrom(0, command.high, command.settings[i]));
    }
    selectOnParse(sub, context, [args, &command, &context] {
        std::array<std::uint8_t, 3> values{};
        std::string given;
        for (std::size_t i = 0; i < command.settings.size(); ++i) {
            values[i] = static_cast<std::uint8_t>(args->values[i]);
            given += (i > 0 ? " " : "") + std::to_string(args->values[i]);
        }
        std::string said = command.done;
        if (std::size_t at = said.find("{}"); at != std::string::npos) {
            said.replace(at, 2, given);
        }
        if (ServeClient* serve = ServeClient::forUnit(args->id, context.console)) {
            nlohmann::json body = nlohmann::json::object();
            for (std::size_t i = 0; i < command.fields.size(); ++i) {
                body[command.fields[i]] = values[i];
            }
            std::int16_t rc = serve->change(args->id, args->channel, command.action, body);
            if (rc != RC_OK) {
                throw Error(toErrorCode(rc), "brivant unit " + std::to_string(args->id) + ": " +
                                                 command.name + " through serve");
            }
        } else {
            Unit unit(args->id);
            command.send(unit, static_cast<std::uint8_t>(args->channel), values);
        }
        context.console.out.write(doneLine(*args, said));
        return 0;
    });
}

void addPreset(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<TargetArguments>();
    CLI::App* preset = app.add_subcommand(
        "preset", "write the two preset words of a channel");
    preset->footer("The simulated units load the first word at the next forced clear.");
    addUnitId(*preset, args->id);
    addChannel(*preset, args->channel);
    const char* names[] = {"FIRST", "SECOND"};
    for (std::size_t i = 0; i < 2; ++i) {
        preset->add_option(names[i], args->words[i],
                           "32-bit word, decimal or 0x-hex (a negative decimal is taken as its "
                           "two's complement)")
            ->required()
            ->transform(word32(names[i]));
    }
    selectOnParse(preset, context, [args, &context] {
        if (ServeClient* serve = ServeClient::forUnit(args->id, context.console)) {
            std::int16_t rc = serve->change(args->id, args->channel, "preset",
                                            {{"first", args->words[0]}, {"second", args->words[1]}});
            if (rc != RC_OK) {
                throw Error(toErrorCode(rc), "brivant unit " + std::to_string(args->id) +
                                                 ": preset through serve");
            }
        } else {
            Unit(args->id).writePreset(static_cast<std::uint8_t>(args->channel), args->words[0],
                                       args->words[1]);
        }
        char words[40];
        std::snprintf(words, sizeof words, "0x%08lX 0x%08lX",
                      static_cast<unsigned long>(args->words[0]),
                      static_cast<unsigned long>(args->words[1]));
        context.console.out.write(doneLine(*args, std::string("preset words ") + words + " written"));
        return 0;
    });
}

} // namespace

void addUnitCommands(CLI::App& app, CommandContext& context) {
    addRead(app, context);
    for (const SettingCommand& command : kSettingCommands) {
        addSetting(app, context, command);
    }
    addPreset(app, context);
}

} // namespace brivant::tool
