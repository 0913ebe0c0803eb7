// What serve hands to collectors: the station file's [mqtt] table (its
// defaults, its mistakes, written back as read), the readers' events and
// tallies that the broker and the metrics are told, and the metrics text;
// a stop that leaves the MQTT thread inside connect().
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "export/metrics.h"
#include "export/mqtt/mqtt_publisher.h"
#include "station/sparkplug_settings.h"
#include "station/station_file.h"
#include "tool_support.h"
#include "service/unit_reader.h"

namespace brivant::test {
namespace {

using namespace std::chrono_literals;

tool::Station stationWith(const std::string& mqtt) {
    return tool::parseStation("station = \"line-4\"\nrate_hz = 10\n[unit.0]\n[unit.1]\n[mqtt]\n" + mqtt,
                              "s.toml");
}

TEST(MqttSection, DefaultsFollowTheStationAndTheUrlGivesHostPortAndTls) {
    tool::Station station = stationWith("url = \"mqtt://broker.lan\"\n");
    ASSERT_TRUE(station.mqtt);
    EXPECT_EQ(station.mqtt->host, "broker.lan");
    EXPECT_EQ(station.mqtt->port, 1883);
    EXPECT_FALSE(station.mqtt->tls);
    EXPECT_EQ(station.mqtt->qos, 1);
    EXPECT_TRUE(station.mqtt->mqtt5);
    EXPECT_FALSE(station.mqtt->commands) << "commands stay off unless turned on";
    // The machine in the ID: two machines with the same station name do not
    // take each other's session.
    EXPECT_FALSE(tool::machineTag().empty());
    EXPECT_EQ(tool::mqttClientId(station), "brivant-line-4-" + tool::machineTag());
    EXPECT_EQ(tool::mqttPrefix(station), "brivant/line-4");
    // Three minutes of every sample of two units at 10 Hz.
    EXPECT_EQ(tool::mqttQueueBound(station), 3600u);
    station.mqtt->publishMs = 1000;
    EXPECT_EQ(tool::mqttQueueBound(station), 1000u) << "never fewer than 1000";

    station = stationWith("url = \"mqtts://[::1]:18883/\"\nca_file = \"ca.crt\"\nprotocol = \"3.1.1\"\n"
                          "qos = 0\nqueue = 50\nprefix = \"plant/a\"\nclient_id = \"a-1\"\n");
    EXPECT_EQ(station.mqtt->host, "::1");
    EXPECT_EQ(station.mqtt->port, 18883);
    EXPECT_TRUE(station.mqtt->tls);
    EXPECT_FALSE(station.mqtt->mqtt5);
    EXPECT_EQ(tool::mqttQueueBound(station), 50u);
    EXPECT_EQ(tool::mqttPrefix(station), "plant/a");
    EXPECT_EQ(tool::mqttClientId(station), "a-1");
    EXPECT_EQ(stationWith("url = \"mqtts://b\"\n").mqtt->port, 8883);

    // What --save writes reads back as the same.
    station = stationWith("url = \"mqtts://b:1\"\nusername = \"u\"\npassword_file = \"/p\"\n"
                          "cert_file = \"c\"\nkey_file = \"k\"\nkeepalive = 60\npublish_ms = 250\n"
                          "commands = true\n");
    station.tokenFile = "/etc/brivant/token";
    tool::Station again = tool::parseStation(tool::stationToml(station), "back.toml");
    ASSERT_TRUE(again.mqtt);
    EXPECT_TRUE(*again.mqtt == *station.mqtt) << tool::stationToml(station);
    EXPECT_EQ(again.tokenFile, station.tokenFile);
    EXPECT_FALSE(tool::parseStation("station = \"s\"\n", "s.toml").mqtt) << "no [mqtt], no broker";
}

TEST(MqttSection, EveryMistakeIsNamedAtItsPlace) {
    const std::string text = "station = \"x\"\n"                 // 1
                             "[mqtt]\n"                          // 2
                             "url = \"http://b:1883\"\n"         // 3
                             "qos = 2\n"                         // 4
                             "protocol = \"4\"\n"                // 5
                             "keepalive = 1\n"                   // 6
                             "prefix = \"a/#\"\n"                // 7
                             "commands = \"yes\"\n"              // 8
                             "passwrd_file = \"p\"\n";           // 9
    try {
        tool::parseStation(text, "m.toml");
        FAIL() << "a file with mistakes was taken";
    } catch (const tool::StationFileError& error) {
        const std::vector<std::string> expected = {
            "m.toml:3:7: mqtt.url must be the broker as mqtt://HOST[:PORT]",
            "m.toml:4:7: mqtt.qos 2 is not 0 to 1",
            "m.toml:5:12: mqtt.protocol must be \"5\" or \"3.1.1\"",
            "m.toml:6:13: mqtt.keepalive 1 is not 5 to 3600",
            "m.toml:7:10: mqtt.prefix must be a topic without +, # or control characters",
            "m.toml:8:12: mqtt.commands must be true or false, not a string",
            "m.toml:9:1: unknown key 'passwrd_file' in mqtt",
        };
        ASSERT_EQ(error.problems.size(), expected.size()) << error.what();
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(error.problems[i].rfind(expected[i], 0), 0u)
                << "wanted " << expected[i] << "\n   got " << error.problems[i];
        }
    }
    // A url given wrong is told as wrong, never also as missing.
    try {
        stationWith("url = \"tcp://h:1883\"\n");
        FAIL() << "tcp:// was taken";
    } catch (const tool::StationFileError& error) {
        EXPECT_EQ(error.problems.size(), 1u) << error.what();
    }
    for (const char* url : {"mqtt://", "mqtt://h:0", "mqtt://h:99999", "mqtt://h:", "mqtt://[::1",
                            "mqtt://u@h", "mqtt://h/x", "mqtt://h:1x"}) {
        EXPECT_THROW(stationWith("url = \"" + std::string(url) + "\"\n"), tool::StationFileError) << url;
    }
    // HTTPS: the certificate and its key together; names that are host names.
    tool::Station https = tool::parseStation(
        "station = \"s\"\ntls_cert_file = \"c.pem\"\ntls_key_file = \"k.pem\"\n"
        "server_names = [\"station4\", \"station4.plant\"]\n", "t.toml");
    EXPECT_EQ(https.serverNames, (std::vector<std::string>{"station4", "station4.plant"}));
    tool::Station back = tool::parseStation(tool::stationToml(https), "back.toml");
    EXPECT_EQ(back.tlsCertFile, "c.pem");
    EXPECT_EQ(back.tlsKeyFile, "k.pem");
    EXPECT_EQ(back.serverNames, https.serverNames);
    for (const char* lines : {"tls_cert_file = \"c.pem\"\n", "server_names = \"a\"\n",
                              "server_names = [\"a b\"]\n", "server_names = [\"h:1\"]\n"}) {
        EXPECT_THROW(tool::parseStation("station = \"s\"\n" + std::string(lines), "t.toml"),
                     tool::StationFileError)
            << lines;
    }
    // The station's name makes the default topics: no wildcards in it.
    for (const char* name : {"Line #4", "a+b", "tab\there"}) {
        EXPECT_THROW(tool::parseStation("station = \"" + std::string(name) + "\"\n", "n.toml"),
                     tool::StationFileError)
            << name;
    }
    EXPECT_NO_THROW(tool::parseStation("station = \"Line 4 / bay 2\"\n", "n.toml"));
    // A stray accented letter where whitespace may stand is a mistake at its
    // place (toml++'s own tables once made it undefined behaviour).
    EXPECT_THROW(tool::parseStation("station = \"x\" \xC3\xA9\nrate_hz = 5 \xCF\xB1\n", "u.toml"),
                 tool::StationFileError);
    // Settings that make sense only together.
    for (const char* lines : {"url = \"mqtts://h\"\ncert_file = \"c\"\n",
                              "url = \"mqtt://h\"\nca_file = \"c\"\n",
                              "url = \"mqtt://h\"\npassword_file = \"p\"\n"}) {
        EXPECT_THROW(stationWith(lines), tool::StationFileError) << lines;
    }
}

// [sparkplug]: the same link keys as [mqtt], the node's IDs held to the
// topic rules, and written back as read.
TEST(SparkplugSection, DefaultsTheIdsRulesAndTheLinkKeys) {
    tool::Station station = tool::parseStation(
        "station = \"line-4\"\n[unit.0]\n[sparkplug]\nurl = \"mqtt://broker.lan\"\n", "s.toml");
    ASSERT_TRUE(station.sparkplug);
    EXPECT_FALSE(station.mqtt) << "beside [mqtt] or instead of it";
    EXPECT_EQ(station.sparkplug->groupId, "brivant");
    EXPECT_EQ(tool::sparkplugNodeId(station), "line-4") << "the node's ID defaults to the station's name";
    EXPECT_FALSE(station.sparkplug->link.mqtt5) << "MQTT 3.1.1 unless asked: a clean session every host expects";
    EXPECT_FALSE(station.sparkplug->commands);
    EXPECT_EQ(station.sparkplug->publishMs, 1000);
    EXPECT_NE(tool::sparkplugClientId(station), tool::mqttClientId(station))
        << "never the JSON link's client ID, whose session it would take";

    station = tool::parseStation(
        "station = \"Line 4 / bay 2\"\n[sparkplug]\nurl = \"mqtts://b:1\"\nusername = \"u\"\n"
        "password_file = \"/p\"\ncert_file = \"c\"\nkey_file = \"k\"\nprotocol = \"5\"\n"
        "group_id = \"Plant A\"\nedge_node_id = \"bay-2\"\nprimary_host_id = \"scada\"\npublish_ms = 100\n"
        "commands = true\n",
        "s.toml");
    EXPECT_EQ(tool::sparkplugNodeId(station), "bay-2");
    tool::Station again = tool::parseStation(tool::stationToml(station), "back.toml");
    ASSERT_TRUE(again.sparkplug);
    EXPECT_TRUE(*again.sparkplug == *station.sparkplug) << tool::stationToml(station);

    const std::string text = "station = \"a/b\"\n"         // 1
                             "[sparkplug]\n"                // 2
                             "url = \"mqtt://h\"\n"         // 3
                             "group_id = \"a+b\"\n"         // 4
                             "primary_host_id = \"\"\n"     // 5
                             "publish_ms = -1\n"            // 6
                             "ca_file = \"c\"\n"            // 7
                             "prefix = \"p\"\n";            // 8
    try {
        tool::parseStation(text, "p.toml");
        FAIL() << "a file with mistakes was taken";
    } catch (const tool::StationFileError& error) {
        const std::vector<std::string> expected = {
            "p.toml:2:1: sparkplug.ca_file, cert_file and key_file need an mqtts:// url",
            "p.toml:2:1: the station's name holds '/', which a Sparkplug ID may not, so it cannot be the edge "
            "node's ID: set sparkplug.edge_node_id",
            "p.toml:4:12: sparkplug.group_id holds '+'",
            "p.toml:5:19: sparkplug.primary_host_id is empty",
            "p.toml:6:14: sparkplug.publish_ms -1 is not 0 to 3600000",
            "p.toml:8:1: unknown key 'prefix' in sparkplug",
        };
        ASSERT_EQ(error.problems.size(), expected.size()) << error.what();
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(error.problems[i].rfind(expected[i], 0), 0u)
                << "wanted " << expected[i] << "\n   got " << error.problems[i];
        }
    }
    EXPECT_THROW(tool::parseStation("station = \"s\"\n[sparkplug]\ngroup_id = \"g\"\n", "p.toml"),
                 tool::StationFileError)
        << "the url is required";
    EXPECT_THROW(tool::parseStation("station = \"s\"\n[sparkplug]\nurl = \"mqtt://h\"\nedge_node_id = \"" +
                                        std::string(129, 'n') + "\"\n", "p.toml"),
                 tool::StationFileError)
        << "at most 128 bytes";
}

class ReaderEvents : public SimTest {};

// Unplugged and back: the listener is told "not-answering" once and
// "reconnected" once, and the tallies the metrics show count the same.
TEST_F(ReaderEvents, UnplugAndReplugAreToldOnceAndTallied) {
    addLiveUnits({0});
    std::mutex lock;
    std::vector<std::string> events;
    std::vector<std::uint64_t> seqs;
    auto listener = std::make_shared<tool::ReaderListener>();
    listener->event = [&](const tool::UnitEvent& event) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(event.event);
    };
    listener->sample = [&](std::int16_t, const tool::Sample& sample, std::optional<bool>) {
        std::lock_guard<std::mutex> guard(lock);
        seqs.push_back(sample.seq);
    };
    tool::ReaderSettings settings;
    settings.rateHz = 100;
    settings.reopenEvery = 20ms;
    settings.listener = listener;
    tool::UnitReader reader(0, settings,
                            tool::ReaderStart{false, [](std::int16_t, tool::ConfigureWhy) {
                                                  return static_cast<std::int16_t>(RC_OK);
                                              }});
    auto waitFor = [&](const std::function<bool()>& done) {
        for (int tries = 0; tries < 300 && !done(); ++tries) {
            std::this_thread::sleep_for(10ms);
        }
        return done();
    };
    auto told = [&](const std::string& name) {
        std::lock_guard<std::mutex> guard(lock);
        return std::count(events.begin(), events.end(), name);
    };
    ASSERT_TRUE(waitFor([&] { return reader.view(std::nullopt).configured == true; }));
    sim::Unit unit = sim::getUnit(0);
    unit.present = false;
    sim::setUnit(0, unit);
    ASSERT_TRUE(waitFor([&] { return told("not-answering") == 1; }));
    std::this_thread::sleep_for(100ms); // several failed reads and opens
    EXPECT_EQ(told("not-answering"), 1) << "told once, not at each failed read";
    // A silent unit keeps its last good counts in the metrics, and says it
    // does not answer.
    const std::string silent = tool::metricsText("s", {reader.view(std::nullopt)}, std::nullopt);
    EXPECT_NE(silent.find("brivant_unit_answering{station=\"s\",unit=\"0\"} 0\n"), std::string::npos)
        << silent;
    EXPECT_NE(silent.find("brivant_channel_counts{station=\"s\",unit=\"0\",channel=\"2\"} "),
              std::string::npos)
        << silent;
    unit.present = true;
    sim::setUnit(0, unit);
    ASSERT_TRUE(waitFor([&] { return told("reconnected") == 1; }));
    ASSERT_TRUE(waitFor([&] { return reader.view(std::nullopt).tally.configurations == 2; }));
    tool::UnitView view = reader.view(std::nullopt);
    EXPECT_TRUE(reader.stop(2s));
    EXPECT_EQ(view.tally.reconnections, 1u);
    EXPECT_GE(view.tally.failures, 1u);
    EXPECT_GT(view.tally.exchanges, view.tally.failures);
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end())) << "samples told in their order";
        EXPECT_GE(seqs.size(), 5u);
    }

    // The metrics say what the reader counted.
    const std::string text = tool::metricsText("line \"4\"", {view}, tool::OutboxTally{true, 3, 10, 2});
    EXPECT_NE(text.find("brivant_reconnections_total{station=\"line \\\"4\\\"\",unit=\"0\"} 1\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("brivant_configurations_total{station=\"line \\\"4\\\"\",unit=\"0\"} 2\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("brivant_mqtt_dropped_total{station=\"line \\\"4\\\"\"} 2\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE brivant_exchanges_total counter\n"), std::string::npos);
}

// A reconfigure() that comes while the settings read before it are on
// their way is not lost: the unit is configured once more.
TEST_F(ReaderEvents, AReconfigureDuringAConfigurationIsNotLost) {
    addLiveUnits({0});
    std::atomic<tool::UnitReader*> self{nullptr};
    std::atomic<int> calls{0};
    tool::ReaderSettings settings;
    settings.rateHz = 100;
    tool::UnitReader reader(0, settings,
                            tool::ReaderStart{false, [&](std::int16_t, tool::ConfigureWhy) {
                                                  if (calls++ == 0) {
                                                      while (self.load() == nullptr) {
                                                          std::this_thread::yield();
                                                      }
                                                      // A change arrives mid-way.
                                                      self.load()->reconfigure(tool::ConfigureWhy::Change);
                                                  }
                                                  return static_cast<std::int16_t>(RC_OK);
                                              }});
    self = &reader;
    for (int tries = 0; tries < 200 && reader.view(std::nullopt).configured != true; ++tries) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(reader.view(std::nullopt).configured, true);
    EXPECT_EQ(calls.load(), 2) << "configured again after the change that came mid-way";
    EXPECT_TRUE(reader.stop(2s));
}

// Settings the unit keeps refusing are sent again after a back-off that
// doubles, not at every sample; a new ask is tried at once.
TEST_F(ReaderEvents, SettingsThatKeepFailingAreRetriedWithABackOff) {
    addLiveUnits({0});
    std::atomic<int> calls{0};
    tool::ReaderSettings settings;
    settings.rateHz = 100;
    settings.configRetryFirst = 50ms;
    settings.configRetryLast = 400ms;
    tool::UnitReader reader(0, settings,
                            tool::ReaderStart{false, [&](std::int16_t, tool::ConfigureWhy) {
                                                  ++calls;
                                                  return static_cast<std::int16_t>(RC_BAD_PARAMETER);
                                              }});
    std::this_thread::sleep_for(1000ms);
    // 0, 50, 150, 350, 750 ms: five tries in a second where 100 samples were due.
    const int tried = calls.load();
    EXPECT_GE(tried, 3);
    EXPECT_LE(tried, 7);
    tool::UnitView view = reader.view(std::nullopt);
    EXPECT_EQ(view.configured, false);
    ASSERT_TRUE(view.latest);
    EXPECT_EQ(view.latest->result, RC_BAD_PARAMETER) << "no count from an unconfigured unit";
    reader.reconfigure(tool::ConfigureWhy::Reload);
    for (int tries = 0; tries < 50 && calls.load() == tried; ++tries) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_GT(calls.load(), tried) << "a reload is tried at once";
    EXPECT_TRUE(reader.stop(2s));
}

// A listener whose queue of connections is full: the kernel drops the next
// SYN, so a client's connect() blocks, retrying, until the listener closes
// and a retry is refused.
struct FullListener {
    int listener = -1;
    int filler = -1;
    int port = 0;
    FullListener() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        port = ntohs(address.sin_port);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&address), size) != 0) {
            throw std::runtime_error("cannot fill the listener's queue");
        }
    }
    void close() {
        ::close(filler);
        ::close(listener);
        filler = listener = -1;
    }
    ~FullListener() {
        if (listener >= 0) {
            close();
        }
    }
};

TEST(MqttStop, AThreadLeftInsideConnectUsesNothingOfServesOnceTheStopReturns) {
    if (!tool::mqttBuiltIn()) {
        GTEST_SKIP() << "built without libmosquitto";
    }
    FullListener broker;
    // The log's state outlives the publisher so that a line written after
    // the stop is seen, not a use of freed memory.
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    auto linesAfter = std::make_shared<std::atomic<int>>(0);
    auto abandoned = std::make_shared<std::atomic<int>>(0);
    {
        tool::MqttPublisher publisher(
            stationWith("url = \"mqtt://127.0.0.1:" + std::to_string(broker.port) + "\"\n"),
            [stopped, linesAfter, abandoned](const std::string&, const std::string& event, const std::string&) {
                if (*stopped) {
                    ++*linesAfter;
                } else if (event == "mqtt-abandoned") {
                    ++*abandoned;
                }
            });
        publisher.start();
        std::this_thread::sleep_for(200ms); // inside connect(), SYN unanswered
        publisher.stop(0ms);
        *stopped = true;
    }
    EXPECT_EQ(*abandoned, 1) << "the stop did not wait for the connection";
    // The next retry of the SYN is refused: connect() returns, and the
    // thread ends, dropping its copy of the log (and so of `stopped`).
    broker.close();
    for (int i = 0; i < 1200 && stopped.use_count() > 1; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(stopped.use_count(), 1) << "the network thread never ended";
    EXPECT_EQ(*linesAfter, 0) << "the thread wrote to serve's log after the stop returned";
}

} // namespace
} // namespace brivant::test
