// The subcommands that talk to a unit: reading, watching, settings and
// actions, preset data; and sleep, for batch files.
#include "subcommands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "brivant.hpp"
#include "cli.h"
#include "numbers.h"

#if defined(_WIN32)
#include <io.h>
#define BRIVANT_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define BRIVANT_ISATTY(fd) isatty(fd)
#endif

namespace brivant::cli {

namespace {

std::string hexByte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// The unit and channel every setting command starts with. Everything on
// the command line is parsed before the unit is opened, so a typo is told as
// such even when the unit is missing.
struct Target {
    std::int16_t id;
    std::uint8_t channel;
};

Target target(const Args& args) {
    return {parseId(args[0]), parseByte(args[1], "channel")};
}

// What a setting command prints once the unit took it.
int done(Target t, const std::string& what) {
    std::cout << "unit " << t.id << " channel " << static_cast<int>(t.channel) << ": " << what << '\n';
    return 0;
}

} // namespace

bool sleepUnlessInterrupted(std::chrono::milliseconds total) {
    const auto step = std::chrono::milliseconds(20);
    auto end = std::chrono::steady_clock::now() + total;
    while (!interrupted) {
        auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, step));
    }
    return false;
}

std::string joined(const Args& args, std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < args.size(); ++i) {
        text += (i > from ? " " : "") + args[i];
    }
    return text;
}

int readCommand(const Args& args) {
    std::int16_t id = parseId(args[0]);
    if (args.size() == 2) {
        std::uint8_t channel = parseByte(args[1], "channel");
        ChannelCount one = Unit(id).readChannel(channel);
        std::cout << "unit " << id << " channel " << static_cast<int>(channel) << ": count "
                  << one.count << ", status " << hexByte(one.status) << '\n';
        return 0;
    }
    Counts all = Unit(id).readCounts();
    std::cout << "unit " << id << "\nchannel        count  status\n";
    for (std::size_t ch = 0; ch < 3; ++ch) {
        char line[64];
        std::snprintf(line, sizeof line, "%7d  %11ld  %s\n", static_cast<int>(ch),
                      static_cast<long>(all.counts[ch]),
                      hexByte(all.status[ch]).c_str());
        std::cout << line;
    }
    return 0;
}

int watchCommand(const Args& args) {
    std::int16_t id = parseId(args[0]);
    long long intervalMs = 200;
    long long refreshes = -1; // until Ctrl-C
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            throw UsageError("option " + args[i] + " needs a value");
        }
        if (args[i] == "--interval") {
            intervalMs = parseNumber(args[i + 1], 10, 3600000, "interval");
        } else if (args[i] == "--count") {
            refreshes = parseNumber(args[i + 1], 1, 1000000000, "count");
        } else {
            throw UsageError("unknown option '" + args[i] + "'");
        }
    }
    // On a terminal the line is rewritten in place; in a pipe or file each
    // refresh gets a line of its own.
    const bool inPlace = BRIVANT_ISATTY(1) != 0;
    Unit unit(id);
    for (long long n = 0; refreshes < 0 || n < refreshes; ++n) {
        if (n > 0 && !sleepUnlessInterrupted(std::chrono::milliseconds(intervalMs))) {
            break;
        }
        Counts all = unit.readCounts();
        char line[128];
        std::snprintf(line, sizeof line, "unit %d  ch0 %11ld %s  ch1 %9ld %s  ch2 %9ld %s", id,
                      static_cast<long>(all.counts[0]), hexByte(all.status[0]).c_str(),
                      static_cast<long>(all.counts[1]), hexByte(all.status[1]).c_str(),
                      static_cast<long>(all.counts[2]), hexByte(all.status[2]).c_str());
        std::cout << (inPlace ? "\r" : "") << line << (inPlace ? "" : "\n") << std::flush;
    }
    if (inPlace) {
        std::cout << '\n';
    }
    return 0;
}

int inputInvertCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2"),
                 s3 = parseByte(args[4], "S3");
    Unit(t.id).setInputInversion(t.channel, s1, s2, s3);
    return done(t, "input inversion set to " + joined(args, 2));
}

int outputInvertCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2");
    Unit(t.id).setOutputInversion(t.channel, s1, s2);
    return done(t, "output inversion set to " + joined(args, 2));
}

int outputModeCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2");
    Unit(t.id).setOutputMode(t.channel, s1, s2);
    return done(t, "output mode set to " + joined(args, 2));
}

int clearEventCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t selection = parseByte(args[2], "SEL");
    Unit(t.id).selectClearEvent(t.channel, selection);
    return done(t, "clear event " + args[2] + " selected");
}

int multiplierCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t selection = parseByte(args[2], "SEL");
    Unit(t.id).selectMultiplier(t.channel, selection);
    return done(t, "multiplier " + args[2] + " selected");
}

int limiterCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2");
    Unit(t.id).setLimiter(t.channel, s1, s2);
    return done(t, "limiter set to " + joined(args, 2));
}

int clearCommand(const Args& args) {
    Target t = target(args);
    Unit(t.id).forceClear(t.channel);
    return done(t, "count cleared");
}

int runCommand(const Args& args) {
    Target t = target(args);
    Unit(t.id).run(t.channel);
    return done(t, "running");
}

int stopCommand(const Args& args) {
    Target t = target(args);
    Unit(t.id).stop(t.channel);
    return done(t, "stopped");
}

int presetCommand(const Args& args) {
    Target t = target(args);
    std::uint32_t first = parseWord(args[2], "FIRST");
    std::uint32_t second = parseWord(args[3], "SECOND");
    Unit(t.id).writePreset(t.channel, first, second);
    char words[40];
    std::snprintf(words, sizeof words, "0x%08lX 0x%08lX", static_cast<unsigned long>(first),
                  static_cast<unsigned long>(second));
    return done(t, std::string("preset words ") + words + " written");
}

int sleepCommand(const Args& args) {
    sleepUnlessInterrupted(std::chrono::milliseconds(parseNumber(args[0], 0, 3600000, "MS")));
    return 0;
}

} // namespace brivant::cli
