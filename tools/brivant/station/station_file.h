// The station file: which units a station has, how each channel is set, how
// often to read them and where to listen. TOML:
//
//   station = "bench-1"        # the station's name (the only key required)
//   rate_hz = 20               # reads of each unit per second, 1 to 1000
//   listen = "127.0.0.1"       # address to listen on
//   port = 0                   # 0: any free port
//   [unit.0]                   # unit 0, every channel at its defaults
//   [unit.0.channel.1]         # channel 1 of unit 0
//   run = true                 # count (true) or stop (false)
//   multiplier = 0             # 0 to 2
//   clear_event = 0            # 0 to 2
//   input_inversion = [0, 0, 0]   # S1 S2 S3, each 0 or 1 (or false/true)
//   output_inversion = [0, 0]     # S1 S2
//   output_mode = [0, 0]          # S1 S2
//   limiter = [0, 0]              # S1 S2
//   preset = [0, 0]            # two 32-bit words: -2147483648 to 4294967295, or "0x..."
//   write_preset = false       # send the preset words at each configuration
//   token_file = "/etc/brivant/token"  # the API token, kept across starts (else a new one each start)
//   tls_cert_file = "..."      # HTTPS: the certificate (chain), PEM; with tls_key_file
//   tls_key_file = "..."
//   server_names = ["station4", "station4.plant"]  # Host names accepted besides the address
//                              # (default off loopback: the host name and its addresses)
//   [mqtt]                     # publish to an MQTT broker (see MqttSettings)
//   [sparkplug]                # a Sparkplug B edge node (see SparkplugSettings)
//   [history]                  # the journal of every sample (see HistorySettings)
//   url = "mqtt://localhost:1883"
//
// Every mistake is told as FILE:LINE:COLUMN: what is wrong, unknown keys
// included, so that a typo is never ignored.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "station/channel_table.h"
#include "station/history_settings.h"
#include "station/mqtt_settings.h"
#include "station/sparkplug_settings.h"

namespace brivant::tool {

struct UnitSettings {
    std::array<ChannelSettings, 3> channels{};
    bool operator==(const UnitSettings& other) const { return channels == other.channels; }
};

struct Station {
    std::string name;
    double rateHz = 20;
    std::string listen = "127.0.0.1";
    int port = 0;
    std::string tokenFile;
    std::string tlsCertFile; // HTTPS: the server's certificate (chain) and its key, PEM
    std::string tlsKeyFile;
    std::vector<std::string> serverNames; // the names it answers to besides its address
    std::optional<MqttSettings> mqtt;
    std::optional<SparkplugSettings> sparkplug;
    HistorySettings history;
    std::map<std::int16_t, UnitSettings> units;
};

// A station file with mistakes; what() is every message, one a line.
struct StationFileError : std::runtime_error {
    StationFileError(const std::vector<std::string>& problems);
    std::vector<std::string> problems;
};

// Parses `text`, named `file` in messages; throws StationFileError.
Station parseStation(const std::string& text, const std::string& file);

// Reads and parses the file; an unreadable file throws InputError.
Station loadStation(const std::string& path);

// The station as a station file, with every setting written out.
std::string stationToml(const Station& station);

// A channel changed through serve's API: what was set, and what the station
// file said of that channel when it was (`file`). serve --save keeps these
// in a file of its own, so the user's station file is never rewritten.
struct ChannelChange {
    std::int16_t unit = 0;
    std::uint8_t channel = 0;
    ChannelSettings set;
    ChannelSettings file;
};
using StationChanges = std::vector<ChannelChange>;

// The changes file: parsed (throws StationFileError) and written.
StationChanges parseChanges(const std::string& text, const std::string& file);
std::string changesToml(const StationChanges& changes, const std::string& stationPath);

// The files the station names that this process cannot read (a token file
// not there yet is made at start, so only one that exists is read); one
// message each, naming the key and the file.
std::vector<std::string> unreadableFiles(const Station& station);

} // namespace brivant::tool
