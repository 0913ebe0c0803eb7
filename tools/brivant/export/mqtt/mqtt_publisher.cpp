#include "mqtt_publisher.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "export/mqtt/mqtt_connection.h"
#include "export/mqtt/mqtt_messages.h"
#include "util/random_token.h"

namespace brivant::tool {

namespace {

using Clock = std::chrono::steady_clock;

using Message = OutboxMessage;

constexpr std::size_t kInFlight = 100;   // handed to the client, not yet acknowledged
constexpr std::size_t kFromJournal = 1000; // states taken from the journal ahead of the link
constexpr std::size_t kCommandQueue = 64;
constexpr auto kQueueEvery = std::chrono::seconds(5);

// What libmosquitto refuses in a message itself: sending it again cannot help.
bool messageRefused(int rc) {
    return rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_PAYLOAD_SIZE ||
           rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_QOS_NOT_SUPPORTED ||
           rc == MOSQ_ERR_DUPLICATE_PROPERTY || rc == MOSQ_ERR_NOT_SUPPORTED;
}

} // namespace

// The station's JSON topics, spoken over an MqttConnection.
struct MqttPublisher::Impl : MqttSpeaker {
    Impl(const Station& station, PublisherLog logTo)
        : settings(*station.mqtt), prefix(mqttPrefix(station)), outbox(mqttQueueBound(station)),
          log(std::move(logTo)), runId(randomToken().substr(0, 16)),
          connection(std::make_shared<MqttConnection>(settings, mqttClientId(station), log)) {}

    const MqttSettings settings;
    const std::string prefix;
    Outbox outbox;
    const PublisherLog log;
    // This start of serve: (run, n) names one state for good, across restarts.
    const std::string runId;
    const std::shared_ptr<MqttConnection> connection;
    CommandRunner runner;
    Journal* journal = nullptr;
    Journal::Forwarder forwarder = 0;

    // Shared with the readers and the command thread.
    mutable std::mutex lock;
    bool stopping = false;
    std::map<std::int16_t, std::uint64_t> made; // state messages made, a unit
    std::map<std::int16_t, std::pair<Sample, std::optional<bool>>> latest; // publish_ms > 0
    std::deque<MqttCommand> commands;
    std::condition_variable commandWake;
    std::thread commandThread;

    // The connection's thread's own.
    std::map<int, Message> inFlight; // by message ID
    std::vector<std::pair<int, int>> writtenInCall; // (mid, reason) told during one publish call
    int offlineMid = -1;
    bool offlineAcked = false;
    Clock::time_point nextQueue = Clock::now() + kQueueEvery;
    Clock::time_point nextLatest = Clock::now() + std::chrono::milliseconds(settings.publishMs);
    // Forwarding from the journal: the last row queued, those queued and not
    // yet acknowledged, and the last row journaled before the link came up
    // (those are replays).
    std::uint64_t queuedUpTo = 0;
    std::set<std::uint64_t> outstanding;
    std::uint64_t replayUpTo = 0;
    bool journalTold = false;

    // -- the producers' side --

    void push(Message message) {
        outbox.push(std::move(message));
        connection->wake();
    }

    Message stateMessage(std::int16_t id, const Sample& s, std::optional<bool> configured) {
        std::uint64_t n = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            n = ++made[id];
        }
        return Message{0, prefix + "/unit/" + std::to_string(id) + "/state",
                       statePayload(id, runId, n, s, configured), true, {}, 0};
    }

    void event(std::int16_t unit, std::string payload) {
        push(Message{0, prefix + "/unit/" + std::to_string(unit) + "/event", std::move(payload), false, {}, 0});
    }

    void sample(std::int16_t id, const Sample& s, std::optional<bool> configured) {
        if (journal != nullptr) {
            return; // taken from the journal
        }
        if (settings.publishMs > 0) {
            std::lock_guard<std::mutex> guard(lock);
            latest[id] = {s, configured};
            return;
        }
        push(stateMessage(id, s, configured));
    }

    void unitEvent(const UnitEvent& e) { event(e.unit, unitEventPayload(e)); }

    void configEvent(const ConfigEvent& e) { event(e.unit, configEventPayload(e)); }

    OutboxTally tally() const { return outbox.tally(); }

    // -- the speaker, on the connection's thread --

    struct mosquitto* client() const { return connection->client(); }

    MqttWill will() override { return MqttWill{prefix + "/status", "offline", 1, true}; }

    std::string whileAway() const override {
        return "samples wait in the queue (at most " + std::to_string(outbox.bound()) + ")";
    }

    std::chrono::milliseconds pumpWait() const override {
        return std::chrono::milliseconds(settings.publishMs > 0 ? std::min(100, settings.publishMs) : 100);
    }

    void published(int mid, int reason) override {
        if (mid == offlineMid) {
            offlineAcked = true;
        }
        auto it = inFlight.find(mid);
        if (it == inFlight.end()) {
            // The status or queue topic; or a QoS 0 message written inside
            // mosquitto_publish_v5 itself, before send() could file it.
            writtenInCall.emplace_back(mid, reason);
            return;
        }
        std::string topic = std::move(it->second.topic);
        const std::uint64_t row = it->second.journalId;
        inFlight.erase(it);
        delivered(topic, reason, row);
    }

    void delivered(const std::string& topic, int reason, std::uint64_t row) {
        if (row != 0) {
            // Acknowledged (or refused for good): the cursor moves up to the
            // first row still outstanding.
            outstanding.erase(row);
            journal->acknowledged(outstanding.empty() ? queuedUpTo : *outstanding.begin() - 1, forwarder);
        }
        if (reason < 0x80) {
            outbox.delivered();
        } else {
            // The broker took it and threw it away (its ACL, say): counted
            // with the dropped ones.
            outbox.rejected();
            log("warning", "mqtt-rejected",
                "the broker rejected a message on " + topic + ": " + mosquitto_reason_string(reason));
        }
    }

    void received(const struct mosquitto_message& message, const mosquitto_property* properties) override {
        MqttCommand command;
        if (!takeCommand(message.topic, static_cast<const char*>(message.payload),
                         static_cast<std::size_t>(std::max(0, message.payloadlen)), message.retain,
                         prefix, command)) {
            return;
        }
        char* response = nullptr;
        if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response, false)) {
            takeResponseTopic(command, response, prefix);
            std::free(response);
        }
        void* data = nullptr;
        std::uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false)) {
            command.correlation.assign(static_cast<const char*>(data), length);
            std::free(data);
        }
        std::lock_guard<std::mutex> guard(lock);
        if (commands.size() >= kCommandQueue) {
            log("warning", "mqtt-command-dropped",
                "too many commands waiting; dropped the one on " + command.topic);
            return;
        }
        commands.push_back(std::move(command));
        commandWake.notify_one();
    }

    void connected() override {
        outbox.linkUp();
        if (journal != nullptr) {
            replayUpTo = journal->lastId();
        }
        mosquitto_publish_v5(client(), nullptr, (prefix + "/status").c_str(), 6, "online", 1, true, nullptr);
        publishQueue();
        if (settings.commands) {
            // MQTT 5: retained commands are not even sent (retain handling
            // 2); under 3.1.1 they come, flagged, and are refused.
            const int options = settings.mqtt5 ? MQTT_SUB_OPT_SEND_RETAIN_NEVER : 0;
            mosquitto_subscribe_v5(client(), nullptr, (prefix + "/unit/+/channel/+/+").c_str(), 1, options,
                                   nullptr);
        }
    }

    void publishQueue() {
        const std::string text = queuePayload(outbox.tally(), outbox.bound());
        mosquitto_publish_v5(client(), nullptr, (prefix + "/queue").c_str(), static_cast<int>(text.size()),
                             text.data(), 0, true, nullptr);
    }

    // What the broker did not acknowledge goes back to the front of the
    // outbox, in order.
    void lost() override {
        std::vector<Message> back;
        for (auto& entry : inFlight) {
            back.push_back(std::move(entry.second));
        }
        inFlight.clear();
        outbox.linkDown(std::move(back));
    }

    // Hands waiting messages to the client, up to the in-flight window.
    void send() {
        for (;;) {
            std::optional<Message> next = outbox.next(kInFlight);
            if (!next) {
                return;
            }
            Message message = std::move(*next);
            mosquitto_property* properties = nullptr;
            if (settings.mqtt5 && !message.correlation.empty()) {
                mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                              message.correlation.data(),
                                              static_cast<std::uint16_t>(message.correlation.size()));
            }
            int mid = 0;
            writtenInCall.clear();
            int rc = mosquitto_publish_v5(client(), &mid, message.topic.c_str(),
                                          static_cast<int>(message.payload.size()),
                                          message.payload.data(), settings.qos, message.retain,
                                          properties);
            mosquitto_property_free_all(&properties);
            if (messageRefused(rc)) {
                // The message itself is at fault (a topic the client will
                // not send, say): dropped and counted, so the rest flows.
                outbox.rejected();
                if (message.journalId != 0) {
                    outstanding.erase(message.journalId);
                    journal->acknowledged(outstanding.empty() ? queuedUpTo : *outstanding.begin() - 1, forwarder);
                }
                log("error", "mqtt-message-refused",
                    "dropped a message the MQTT client refused on " + message.topic + ": " +
                        mosquitto_strerror(rc));
                continue;
            }
            if (rc != MOSQ_ERR_SUCCESS) {
                // Not taken: it waits again at the front, as it was.
                outbox.notTaken(std::move(message));
                return;
            }
            // QoS 1: sent once the broker acknowledges it. QoS 0: once the
            // client has written it to the socket (it tells us then too);
            // one still in the client's buffer when the link drops is sent
            // again.
            auto written = std::find_if(writtenInCall.begin(), writtenInCall.end(),
                                        [mid](const std::pair<int, int>& w) { return w.first == mid; });
            if (written != writtenInCall.end()) {
                delivered(message.topic, written->second, message.journalId);
                continue;
            }
            inFlight.emplace(mid, std::move(message));
        }
    }

    // publish_ms > 0: each unit's latest sample, if new, once a period.
    void publishLatest() {
        std::map<std::int16_t, std::pair<Sample, std::optional<bool>>> due;
        {
            std::lock_guard<std::mutex> guard(lock);
            due.swap(latest);
        }
        for (const auto& [id, sample] : due) {
            push(stateMessage(id, sample.first, sample.second));
        }
    }

    void tick() override {
        const auto now = Clock::now();
        if (settings.publishMs > 0 && now >= nextLatest) {
            const auto period = std::chrono::milliseconds(settings.publishMs);
            publishLatest();
            nextLatest += period;
            if (nextLatest < now) {
                nextLatest = now + period;
            }
        }
    }

    void turn() override {
        const auto now = Clock::now();
        if (journal != nullptr && connection->connected()) {
            takeFromJournal();
        }
        send();
        if (connection->connected() && now >= nextQueue) {
            publishQueue();
            nextQueue = now + kQueueEvery;
        }
    }

    // Tops the outbox up with the journal's next states. One journaled
    // before this connection is a replay: it is not retained, so that the
    // retained state never goes back in time.
    void takeFromJournal() {
        const std::size_t ahead = std::min(kFromJournal, outbox.bound() / 2 + 1);
        const std::uint64_t depth = outbox.tally().depth;
        if (depth >= ahead) {
            return;
        }
        std::vector<JournalRow> rows;
        try {
            rows = journal->after(queuedUpTo, ahead - depth);
            journalTold = false;
        } catch (const std::exception& e) {
            // The link stays up: what the journal cannot hand over now is
            // asked for again at the next turn.
            if (!journalTold) {
                journalTold = true;
                log("error", "mqtt-journal-failed",
                    std::string("cannot take states from the journal: ") + e.what() + "; the link stays up");
            }
            return;
        }
        for (const JournalRow& row : rows) {
            const bool replayed = row.id <= replayUpTo;
            Message message{0, prefix + "/unit/" + std::to_string(row.unit) + "/state",
                            statePayload(row, replayed), !replayed, {}, row.id};
            outbox.push(std::move(message));
            outstanding.insert(row.id);
            queuedUpTo = row.id;
        }
        if (!rows.empty()) {
            journal->queued(queuedUpTo, forwarder);
        }
    }

    // Sends what waits, until `until`, then "offline" and a clean
    // disconnect (which the broker does not answer with the will).
    void finish(Clock::time_point until) override {
        if (settings.publishMs > 0) {
            publishLatest();
        }
        while (client() != nullptr && connection->connected() && Clock::now() < until) {
            if (journal != nullptr) {
                takeFromJournal(); // the readers' last samples too
            }
            if (outbox.idle()) {
                break;
            }
            send();
            connection->pump(std::chrono::milliseconds(20));
        }
        if (client() != nullptr && connection->connected()) {
            mosquitto_publish_v5(client(), &offlineMid, (prefix + "/status").c_str(), 7, "offline", 1, true,
                                 nullptr);
            const auto ackBy = std::min(until, Clock::now() + std::chrono::seconds(1));
            while (client() != nullptr && !offlineAcked && Clock::now() < ackBy) {
                connection->pump(std::chrono::milliseconds(20));
            }
            connection->disconnect();
        }
    }

    // What the broker never took is lost with the process: counted and
    // said, never dropped unseen.
    void stopped() override {
        const std::uint64_t kept = outstanding.size();
        const std::uint64_t lost = outbox.giveUp(kept) - kept;
        inFlight.clear();
        if (kept > 0) {
            log("info", "mqtt-kept",
                std::to_string(kept) + " state" + (kept == 1 ? "" : "s") + " not yet acknowledged by the broker at " +
                    settings.url + " stay in the journal and go at the next start");
        }
        if (lost > 0) {
            log("warning", "mqtt-undelivered",
                std::to_string(lost) + " message" + (lost == 1 ? "" : "s") +
                    " not delivered to the broker at " + settings.url + " before the stop; counted as dropped");
        }
    }

    // -- the command thread --

    void runCommands() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            commandWake.wait(guard, [this] { return stopping || !commands.empty(); });
            if (stopping) {
                return;
            }
            MqttCommand command = std::move(commands.front());
            commands.pop_front();
            guard.unlock();
            try {
                answer(command);
            } catch (const std::exception& e) {
                log("error", "mqtt-command-failed",
                    "the command on " + command.topic + " failed: " + e.what());
            }
            guard.lock();
        }
    }

    // Runs the command as the API would, and publishes what came of it.
    void answer(MqttCommand& command) {
        CommandAnswer answer = answerCommand(command, runner);
        Message message;
        message.topic = answer.topic;
        message.payload = answer.payload;
        message.correlation = command.correlation;
        push(std::move(message));
        log(answer.status == 200 ? "info" : "warning", "mqtt-command",
            "command " + command.topic + ": " + answer.summary);
    }
};

bool mqttBuiltIn() {
    return true;
}

// A libmosquitto built without TLS answers every TLS set-up "not supported";
// one with it finds fault with the missing certificates instead.
bool mqttTlsBuiltIn() {
    mosquitto_lib_init();
    struct mosquitto* probe = mosquitto_new(nullptr, true, nullptr);
    const bool tls = probe != nullptr &&
                     mosquitto_tls_set(probe, nullptr, nullptr, nullptr, nullptr, nullptr) != MOSQ_ERR_NOT_SUPPORTED;
    mosquitto_destroy(probe);
    return tls; // the library stays initialised, as the publisher wants it next
}

MqttPublisher::MqttPublisher(const Station& station, PublisherLog log)
    : impl_(std::make_shared<Impl>(station, std::move(log))) {}

MqttPublisher::~MqttPublisher() {
    stop();
}

void MqttPublisher::onCommand(CommandRunner runner) {
    impl_->runner = std::move(runner);
}

void MqttPublisher::forwardFrom(Journal& journal) {
    if (impl_->settings.publishMs > 0) {
        return; // each unit's latest, from memory
    }
    impl_->journal = &journal;
    std::weak_ptr<Impl> weak = impl_;
    impl_->forwarder = journal.forwardFrom(
        [weak] {
            if (auto impl = weak.lock()) {
                impl->connection->wake();
            }
        },
        "mqtt");
    impl_->queuedUpTo = journal.cursor(impl_->forwarder);
}

void MqttPublisher::start() {
    // The connection's thread holds the publisher's state too: a connection
    // attempt to a host that never answers can outlast stop() (see there).
    MqttConnection::start(impl_->connection, impl_);
    if (impl_->settings.commands && impl_->runner) {
        Impl* impl = impl_.get();
        impl_->commandThread = std::thread([impl] { impl->runCommands(); });
    }
}

void MqttPublisher::stop(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->stopping = true;
        impl_->commandWake.notify_all();
    }
    if (impl_->commandThread.joinable()) {
        impl_->commandThread.join();
    }
    impl_->connection->stop(grace);
}

void MqttPublisher::sample(std::int16_t id, const Sample& sample, std::optional<bool> configured) {
    impl_->sample(id, sample, configured);
}

void MqttPublisher::unitEvent(const UnitEvent& event) {
    impl_->unitEvent(event);
}

void MqttPublisher::configEvent(const ConfigEvent& event) {
    impl_->configEvent(event);
}

OutboxTally MqttPublisher::tally() const {
    return impl_->tally();
}

std::shared_ptr<const ReaderListener> MqttPublisher::listener() {
    auto listener = std::make_shared<ReaderListener>();
    std::shared_ptr<Impl> impl = impl_;
    listener->sample = [impl](std::int16_t id, const Sample& s, std::optional<bool> configured) {
        impl->sample(id, s, configured);
    };
    listener->event = [impl](const UnitEvent& e) { impl->unitEvent(e); };
    return listener;
}

} // namespace brivant::tool
