// Figures for serve's MQTT publishing and its journal (no timed assertion;
// see bench/README.md): 16 simulated units read at 100 Hz, every sample
// published to a local Mosquitto, which this program starts on a free
// loopback port and stops; a subscriber in the same process takes every
// state. For QoS 1 and QoS 0 it prints the messages per second delivered,
// the latency from the unit's read to the subscriber (p50, p99, max), and
// serve's CPU (readers, publisher, simulation) as a share of one core.
// Then the same with the journal on (every sample through SQLite, MQTT
// forwarded from it), with the bytes the process wrote to disk per sample
// and the commits (each one synced) a second; 16 units at 1000 Hz with
// publish_ms 100, with and without the journal; and 16 units at 100 Hz with
// a 100 ms publish period, as JSON topics and as a Sparkplug B edge node
// (its DDATA decoded by the subscriber, the latency from each sample's own
// timestamp, in whole milliseconds).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <mosquitto.h>

#include "brivant.h"
#include "station/live_station.h"
#include "export/mqtt/mqtt_publisher.h"
#include "export/sparkplug/sparkplug_node.h"
#include "export/sparkplug/sparkplug_payload.h"
#include "journal/journal.h"
#include "platform/sim/sim.h"
#include "service/unit_registry.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace sim = brivant::sim;
namespace tool = brivant::tool;

constexpr int kUnits = 16;

struct Setup {
    int qos = 1;
    double rateHz = 100;
    bool journal = false;
    int publishMs = 0;
    bool sparkplug = false; // the edge node instead of the JSON topics
};

// What the process has written to the storage layer so far.
std::uint64_t bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "write_bytes:") {
            return value;
        }
    }
    return 0;
}

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::int64_t wallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int freePort() {
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(sock);
    return ntohs(address.sin_port);
}

// mosquitto on a free loopback port, stopped when this goes.
class Broker {
public:
    Broker() : port_(freePort()) {
        char folder[] = "/tmp/brivant-bench-mqtt-XXXXXX";
        folder_ = ::mkdtemp(folder);
        const std::string conf = folder_ + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                            << "persistence false\nmax_queued_messages 100000\n"
                            // as a plant sets it for telemetry: no Nagle delay to the subscriber
                            << "set_tcp_nodelay true\n";
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!std::freopen("/dev/null", "w", stderr)) {
                std::fclose(stderr); // the broker's chatter goes nowhere either way
            }
            ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        std::this_thread::sleep_for(500ms);
    }
    ~Broker() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::remove((folder_ + "/mosquitto.conf").c_str());
        ::rmdir(folder_.c_str());
    }
    int port() const { return port_; }

private:
    int port_;
    std::string folder_;
    pid_t pid_ = -1;
};

// Takes every state and keeps how late each came.
struct Subscriber {
    std::mutex lock;
    std::vector<double> latencyMs;
    std::atomic<long long> received{0};
    std::atomic<bool> counting{false};
    std::atomic<double> threadCpu{0};
    struct mosquitto* client = nullptr;

    static void onMessage(struct mosquitto*, void* user, const struct mosquitto_message* message) {
        auto* self = static_cast<Subscriber*>(user);
        self->threadCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        if (!self->counting || message->retain) {
            return;
        }
        if (std::strncmp(message->topic, "spBv1.0/", 8) == 0) {
            self->takeSparkplug(*message);
            return;
        }
        std::string text(static_cast<const char*>(message->payload),
                         static_cast<std::size_t>(message->payloadlen));
        std::size_t at = text.find("\"time_us\":");
        if (at == std::string::npos) {
            return;
        }
        long long readAt = std::atoll(text.c_str() + at + 10);
        ++self->received;
        std::lock_guard<std::mutex> guard(self->lock);
        self->latencyMs.push_back(static_cast<double>(wallMicros() - readAt) / 1000.0);
    }

    // Each sample in a DDATA: its channel 0 Count, stamped with the
    // sample's time.
    void takeSparkplug(const struct mosquitto_message& message) {
        std::string why;
        const auto payload = tool::sparkplug::decode(static_cast<const std::uint8_t*>(message.payload),
                                                     static_cast<std::size_t>(message.payloadlen), why);
        if (!payload) {
            return;
        }
        const double now = static_cast<double>(wallMicros()) / 1000.0;
        std::lock_guard<std::mutex> guard(lock);
        for (const auto& metric : payload->metrics) {
            if (metric.alias && *metric.alias % 1000 == 100 && metric.timestamp) {
                ++received;
                latencyMs.push_back(now - static_cast<double>(*metric.timestamp));
            }
        }
    }

    void start(int port) {
        client = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client, onMessage);
        mosquitto_connect(client, "127.0.0.1", port, 30);
        mosquitto_subscribe(client, nullptr, "brivant/bench/unit/+/state", 1);
        mosquitto_subscribe(client, nullptr, "spBv1.0/bench/DDATA/#", 0);
        mosquitto_loop_start(client);
    }
    void stop() {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
};

struct Figures {
    double delivered = 0; // states a second at the subscriber
    double made = 0;      // samples a second made by the readers
    double p50 = 0, p99 = 0, max = 0;
    double cpuPercent = 0;
    tool::OutboxTally outbox;
    double diskBytesPerSample = 0;   // what the kernel counts as written by the process
    double writtenBytesPerSample = 0; // what SQLite wrote, WAL and checkpoints included
    double heldBytesPerSample = 0;    // the database's pages in use, over its rows
    double commitsPerSecond = 0;
    std::uint64_t unstored = 0;
    std::uint64_t journaled = 0;
    std::uint64_t samples = 0;
};

Figures measure(const Setup& setup, double runFor) {
    const double kRateHz = setup.rateHz;
    for (std::int16_t id = 0; id < 16; ++id) {
        Brivant_Device_Close(id);
    }
    sim::reset();
    for (int id = 0; id < kUnits; ++id) {
        sim::Unit unit;
        unit.idReply = id;
        unit.live = true;
        sim::addUnit(unit);
    }
    sim::setRecording(false);
    Broker broker;
    Subscriber subscriber;
    subscriber.start(broker.port());

    tool::Station station;
    station.name = "bench";
    station.rateHz = kRateHz;
    tool::MqttSettings link;
    link.url = "mqtt://127.0.0.1:" + std::to_string(broker.port());
    link.host = "127.0.0.1";
    link.port = broker.port();
    link.qos = setup.qos;
    link.publishMs = setup.publishMs;
    if (setup.sparkplug) {
        link.mqtt5 = false;
        station.sparkplug.emplace();
        station.sparkplug->link = link;
        station.sparkplug->groupId = "bench";
        station.sparkplug->publishMs = setup.publishMs;
    } else {
        station.mqtt = link;
    }
    std::vector<std::int16_t> ids;
    for (std::int16_t id = 0; id < kUnits; ++id) {
        station.units[id] = tool::UnitSettings{};
        ids.push_back(id);
    }
    auto quiet = [](const std::string&, const std::string&, const std::string&) {};
    char folder[] = "/var/tmp/brivant-bench-journal-XXXXXX";
    const std::string journalFolder = ::mkdtemp(folder);
    std::unique_ptr<tool::Journal> journal;
    if (setup.journal) {
        tool::HistorySettings history;
        history.path = journalFolder + "/journal.db";
        history.memoryRows = static_cast<std::size_t>(kRateHz * kUnits * 10);
        journal = std::make_unique<tool::Journal>(history, "bench", quiet);
        journal->start();
    }
    std::unique_ptr<tool::MqttPublisher> publisher;
    std::unique_ptr<tool::SparkplugNode> node;
    std::shared_ptr<const tool::ReaderListener> mqtt;
    if (setup.sparkplug) {
        node = std::make_unique<tool::SparkplugNode>(station, quiet);
        if (journal) {
            node->forwardFrom(*journal);
        }
        mqtt = node->listener();
    } else {
        publisher = std::make_unique<tool::MqttPublisher>(station, quiet);
        if (journal) {
            publisher->forwardFrom(*journal);
        }
        mqtt = publisher->listener();
    }
    // What was sent and dropped so far, whichever speaks.
    auto tally = [&] {
        if (node) {
            const tool::SparkplugTally t = node->tally();
            return tool::OutboxTally{t.connected, t.backlog, t.messages, t.dropped};
        }
        return publisher->tally();
    };
    tool::LiveStation live(station, std::nullopt);
    tool::ReaderSettings settings;
    settings.rateHz = kRateHz;
    // As serve composes them: the journal first, then the link.
    auto listener = std::make_shared<tool::ReaderListener>();
    tool::Journal* kept = journal.get();
    listener->sample = [kept, mqtt](std::int16_t id, const tool::Sample& s, std::optional<bool> configured) {
        if (kept != nullptr) {
            kept->record(id, s, configured);
        }
        mqtt->sample(id, s, configured);
    };
    listener->event = mqtt->event;
    settings.listener = listener;
    tool::UnitRegistry registry(settings, tool::StationUnits{ids, [&live](std::int16_t id, tool::ConfigureWhy why) {
                                                                 return live.configure(id, why);
                                                             }});
    if (node) {
        node->start();
    } else {
        publisher->start();
    }
    registry.start();
    std::this_thread::sleep_for(1s);

    subscriber.counting = true;
    const tool::OutboxTally before = tally();
    const tool::JournalTally journalBefore = journal ? journal->tally() : tool::JournalTally{};
    const std::uint64_t diskBefore = bytesWritten();
    const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double subscriberBefore = subscriber.threadCpu;
    std::uint64_t seqBefore = *settings.sequence;
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(runFor));
    subscriber.counting = false;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore -
                       (subscriber.threadCpu - subscriberBefore);
    std::uint64_t seqAfter = *settings.sequence;
    Figures figures;
    if (journal) {
        // Every sample so far committed, the last window included.
        journal->commitNow();
        const tool::JournalTally after = journal->tally();
        figures.diskBytesPerSample = static_cast<double>(bytesWritten() - diskBefore) /
                                     static_cast<double>(std::max<std::uint64_t>(1, seqAfter - seqBefore));
        figures.writtenBytesPerSample = static_cast<double>(after.written - journalBefore.written) /
                                        static_cast<double>(std::max<std::uint64_t>(1, seqAfter - seqBefore));
        figures.heldBytesPerSample =
            static_cast<double>(after.heldBytes) / static_cast<double>(std::max<std::uint64_t>(1, after.rows));
        figures.commitsPerSecond = static_cast<double>(after.commits - journalBefore.commits) / elapsed;
        figures.unstored = after.unstored;
    }
    figures.outbox = tally();
    figures.outbox.sent -= before.sent;
    figures.outbox.dropped -= before.dropped;
    registry.stop(5s);
    if (node) {
        node->stop();
    } else {
        publisher->stop();
    }
    subscriber.stop();
    figures.samples = *settings.sequence;
    if (journal) {
        journal->stop();
        figures.journaled = journal->lastId();
        journal.reset();
    }
    std::filesystem::remove_all(journalFolder);

    figures.delivered = static_cast<double>(subscriber.received) / elapsed;
    figures.made = static_cast<double>(seqAfter - seqBefore) / elapsed;
    figures.cpuPercent = 100 * cpu / elapsed;
    std::vector<double>& late = subscriber.latencyMs;
    std::sort(late.begin(), late.end());
    if (!late.empty()) {
        figures.p50 = late[late.size() / 2];
        figures.p99 = late[std::min(late.size() - 1, late.size() * 99 / 100)];
        figures.max = late.back();
    }
    return figures;
}

} // namespace

int main() {
    mosquitto_lib_init();
    std::printf("serve's MQTT publishing: %d simulated units, to a local mosquitto (nproc %u); the "
                "journal in /var/tmp\n",
                kUnits, std::thread::hardware_concurrency());
    std::printf("%-28s %10s %12s %8s %8s %8s %10s %8s %8s %9s %9s %9s %9s\n", "", "samples/s", "delivered/s",
                "p50 ms", "p99 ms", "max ms", "serve CPU", "sent", "dropped", "held B/s.", "SQLite wr", "disk B/s.",
                "commits/s");
    const std::pair<const char*, Setup> runs[] = {
        {"100 Hz, QoS 1", {1, 100, false, 0}},
        {"100 Hz, QoS 0", {0, 100, false, 0}},
        {"100 Hz, QoS 1, journal", {1, 100, true, 0}},
        {"1000 Hz, publish_ms 100", {1, 1000, false, 100}},
        {"1000 Hz, publish_ms 100, journal", {1, 1000, true, 100}},
        {"100 Hz, publish_ms 100", {1, 100, false, 100}},
        {"100 Hz, 100 ms, Sparkplug", {0, 100, false, 100, true}},
        {"100 Hz, 100 ms, Sparkplug, journal", {0, 100, true, 100, true}},
    };
    for (const auto& [name, setup] : runs) {
        Figures f = measure(setup, 10.0);
        std::printf("%-28s %10.1f %12.1f %8.2f %8.2f %8.2f %9.2f%% %8llu %8llu", name, f.made, f.delivered,
                    f.p50, f.p99, f.max, f.cpuPercent, static_cast<unsigned long long>(f.outbox.sent),
                    static_cast<unsigned long long>(f.outbox.dropped));
        if (setup.journal) {
            std::printf(" %9.2f %9.2f %9.1f %9.1f   journaled %llu of %llu samples, %llu not stored",
                        f.heldBytesPerSample, f.writtenBytesPerSample, f.diskBytesPerSample, f.commitsPerSecond, static_cast<unsigned long long>(f.journaled),
                        static_cast<unsigned long long>(f.samples), static_cast<unsigned long long>(f.unstored));
        }
        std::printf("\n");
    }
    mosquitto_lib_cleanup();
    return 0;
}
