#include "mqtt_publisher.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "export/mqtt/mqtt_messages.h"
#include "export/mqtt/socket_wait.h"
#if defined(_WIN32)
#include "export/mqtt/system_cas.h"
#endif
#include "util/random_token.h"
#include "util/secret_file.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

using Clock = std::chrono::steady_clock;

using Message = OutboxMessage;


constexpr std::size_t kInFlight = 100;   // handed to the client, not yet acknowledged
constexpr std::size_t kFromJournal = 1000; // states taken from the journal ahead of the link
constexpr std::size_t kCommandQueue = 64;
constexpr auto kQueueEvery = std::chrono::seconds(5);
constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLastRetry = std::chrono::seconds(30);
constexpr auto kConnackWithin = std::chrono::seconds(10);
// A connection that lasted this long was a good one: the next loss starts
// the back-off afresh. One dropped sooner (a broker that takes the session
// away, say) keeps doubling it, so two clients never fight at full speed.
constexpr auto kSteadyConnection = std::chrono::seconds(10);
// What libmosquitto refuses in a message itself: sending it again cannot help.
bool messageRefused(int rc) {
    return rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_PAYLOAD_SIZE ||
           rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_QOS_NOT_SUPPORTED ||
           rc == MOSQ_ERR_DUPLICATE_PROPERTY || rc == MOSQ_ERR_NOT_SUPPORTED;
}

std::string readPassword(const std::string& path, const PublisherLog& log) {
    std::optional<std::string> password = readSecretLine(path, "the MQTT password file");
    if (!password) {
        throw InputError("cannot read the MQTT password file " + path + ": " + std::strerror(ENOENT));
    }
    if (othersCanRead(path)) {
        log("warning", "mqtt-password-readable",
            "the MQTT password file " + path + " can be read by every user (chmod o-r it)");
    }
    return *password;
}


} // namespace

struct MqttPublisher::Impl : std::enable_shared_from_this<Impl> {
    Impl(const Station& station, PublisherLog logTo)
        : settings(*station.mqtt), prefix(mqttPrefix(station)), clientId(mqttClientId(station)),
          outbox(mqttQueueBound(station)), log(std::move(logTo)), runId(randomToken().substr(0, 16)) {
        if (!settings.passwordFile.empty()) {
            password = readPassword(settings.passwordFile, log);
        }
        // Told now, by name, rather than as a failed TLS set-up at each try.
        const std::pair<const char*, const std::string*> files[] = {
            {"ca_file", &settings.caFile}, {"cert_file", &settings.certFile}, {"key_file", &settings.keyFile}};
        for (const auto& [key, path] : files) {
            if (!path->empty() && ::access(path->c_str(), R_OK) != 0) {
                throw InputError("cannot read mqtt." + std::string(key) + " " + *path + ": " +
                                 std::strerror(errno));
            }
        }
    }

    const MqttSettings settings;
    const std::string prefix;
    const std::string clientId;
    Outbox outbox;
    const PublisherLog log;
    // This start of serve: (run, n) names one state for good, across restarts.
    const std::string runId;
    std::string password;
    CommandRunner runner;
    Journal* journal = nullptr;

    // Shared with the readers and the command thread.
    mutable std::mutex lock;
    bool stopping = false;
    std::map<std::int16_t, std::uint64_t> published; // state messages made, a unit
    std::map<std::int16_t, std::pair<Sample, std::optional<bool>>> latest; // publish_ms > 0
    std::deque<MqttCommand> commands;
    std::condition_variable commandWake;

    // The network thread's own.
    struct mosquitto* client = nullptr;
    std::map<int, Message> inFlight; // by message ID
    std::vector<std::pair<int, int>> writtenInCall; // (mid, reason) told during one publish call
    Clock::time_point nextTry{};
    Clock::duration retryAfter = kFirstRetry;
    Clock::time_point connectedAt{};
    std::string lastProblem;
    bool refused = false;
    bool takenOver = false; // the broker gave our session to another client
    bool unsteady = false;  // connections end soon after they are made; said once
    int shortInARow = 0;    // connections in a row that ended within kSteadyConnection
    int brokerReason = 0;   // the MQTT 5 reason of the broker's DISCONNECT, if it sent one
    bool justConnected = false;
    int offlineMid = -1;
    bool offlineAcked = false;
    // Forwarding from the journal: the last row queued, those queued and not
    // yet acknowledged, and the last row journaled before the link came up
    // (those are replays).
    std::uint64_t queuedUpTo = 0;
    std::set<std::uint64_t> outstanding;
    std::uint64_t replayUpTo = 0;

    SocketWait sleeper;
    std::thread network;
    bool networkDone = false; // under `lock`
    std::condition_variable networkEnded;
    bool abandoned = false;   // the network thread was left inside a call
    // The log and the journal are serve's and end with it. The network
    // thread uses them only while it holds `outside`, which it lets go of
    // only inside connect(): a stop that leaves it there cuts it off first,
    // and what the thread does when the call returns touches neither.
    std::mutex outside;
    std::unique_lock<std::mutex> outsideHeld{outside, std::defer_lock}; // the network thread's
    bool cutOff = false; // under `outside`
    struct CutOff {};
    std::thread commandThread;

    // -- the producers' side --

    void push(Message message) {
        outbox.push(std::move(message));
        wake();
    }

    void wake() const {
        sleeper.wake();
    }

    Message stateMessage(std::int16_t id, const Sample& s, std::optional<bool> configured) {
        std::uint64_t n = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            n = ++published[id];
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

    // -- the network thread --

    static Impl* of(void* user) { return static_cast<Impl*>(user); }

    void problem(const std::string& level, const std::string& name, const std::string& text) {
        if (text != lastProblem) {
            lastProblem = text;
            log(level, name, text);
        }
    }

    static void onConnect(struct mosquitto*, void* user, int reason, int, const mosquitto_property*) {
        Impl* self = of(user);
        if (reason != 0) {
            self->refused = true;
            self->problem("error", "mqtt-refused",
                          "the broker at " + self->settings.url + " refused the connection: " +
                              (self->settings.mqtt5 ? mosquitto_reason_string(reason)
                                                    : mosquitto_connack_string(reason)) +
                              "; trying again");
            return;
        }
        // Sent after the client's callback returns: publishing from inside
        // it takes the client's locks in another order than the loop does.
        self->justConnected = true;
    }

    static void onPublish(struct mosquitto*, void* user, int mid, int reason, const mosquitto_property*) {
        Impl* self = of(user);
        if (mid == self->offlineMid) {
            self->offlineAcked = true;
        }
        auto it = self->inFlight.find(mid);
        if (it == self->inFlight.end()) {
            // The status or queue topic; or a QoS 0 message written inside
            // mosquitto_publish_v5 itself, before send() could file it.
            self->writtenInCall.emplace_back(mid, reason);
            return;
        }
        std::string topic = std::move(it->second.topic);
        const std::uint64_t row = it->second.journalId;
        self->inFlight.erase(it);
        self->delivered(topic, reason, row);
    }

    void delivered(const std::string& topic, int reason, std::uint64_t row) {
        if (row != 0) {
            // Acknowledged (or refused for good): the cursor moves up to the
            // first row still outstanding.
            outstanding.erase(row);
            journal->acknowledged(outstanding.empty() ? queuedUpTo : *outstanding.begin() - 1);
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

    // Called from inside libmosquitto: nothing may be thrown through it.
    static void onMessage(struct mosquitto*, void* user, const struct mosquitto_message* message,
                          const mosquitto_property* properties) noexcept {
        Impl* self = of(user);
        try {
            self->take(*message, properties);
        } catch (const std::exception& e) {
            self->log("error", "mqtt-command-failed",
                      std::string("a command from the broker could not be taken: ") + e.what());
        }
    }

    static void onDisconnect(struct mosquitto*, void* user, int reason, const mosquitto_property*) noexcept {
        if (reason == MQTT_RC_SESSION_TAKEN_OVER) {
            of(user)->takenOver = true;
        } else if (reason >= 0x80) { // a reason code the broker sent, not the client's error
            of(user)->brokerReason = reason;
        }
    }

    void take(const struct mosquitto_message& message, const mosquitto_property* properties) {
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

    void connectedNow() {
        refused = false;
        takenOver = false;
        lastProblem.clear();
        outbox.linkUp();
        if (!unsteady) {
            log("info", "mqtt-connected", "connected to the broker at " + settings.url + " as " + clientId);
        }
        if (journal != nullptr) {
            replayUpTo = journal->lastId();
        }
        mosquitto_publish_v5(client, nullptr, (prefix + "/status").c_str(), 6, "online", 1, true, nullptr);
        publishQueue();
        if (settings.commands) {
            // MQTT 5: retained commands are not even sent (retain handling
            // 2); under 3.1.1 they come, flagged, and are refused.
            const int options = settings.mqtt5 ? MQTT_SUB_OPT_SEND_RETAIN_NEVER : 0;
            mosquitto_subscribe_v5(client, nullptr, (prefix + "/unit/+/channel/+/+").c_str(), 1,
                                   options, nullptr);
        }
    }

    void publishQueue() {
        const std::string text = queuePayload(outbox.tally(), outbox.bound());
        mosquitto_publish_v5(client, nullptr, (prefix + "/queue").c_str(), static_cast<int>(text.size()),
                             text.data(), 0, true, nullptr);
    }

    OutboxTally tally() const { return outbox.tally(); }

    bool connect() {
        refused = false;
        justConnected = false;
        client = mosquitto_new(clientId.c_str(), true, this);
        if (client == nullptr) {
            problem("error", "mqtt-unavailable", "cannot make an MQTT client: " + std::string(std::strerror(errno)));
            return false;
        }
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION,
                             settings.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
        mosquitto_connect_v5_callback_set(client, onConnect);
        mosquitto_publish_v5_callback_set(client, onPublish);
        mosquitto_message_v5_callback_set(client, onMessage);
        mosquitto_disconnect_v5_callback_set(client, onDisconnect);
        mosquitto_will_set_v5(client, (prefix + "/status").c_str(), 7, "offline", 1, true, nullptr);
        if (!settings.username.empty()) {
            mosquitto_username_pw_set(client, settings.username.c_str(),
                                      settings.passwordFile.empty() ? nullptr : password.c_str());
        }
        int rc = MOSQ_ERR_SUCCESS;
        if (settings.tls) {
            auto given = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
#if defined(_WIN32)
            // No ca_file: the root CAs of Windows's certificate store, in a
            // context of ours that checks the broker's chain and name.
            if (settings.caFile.empty()) {
                std::string why;
                ssl_ctx_st* context = systemCaContext(settings.host, settings.certFile, settings.keyFile, why);
                if (context == nullptr) {
                    problem("error", "mqtt-unreachable",
                            "cannot connect to the broker at " + settings.url + ": " + why + "; trying again");
                    drop();
                    return false;
                }
                // Taken as it is: libmosquitto's defaults (on unless told)
                // want a ca_file or capath.
                mosquitto_void_option(client, MOSQ_OPT_SSL_CTX, context);
                releaseContext(context);
                mosquitto_int_option(client, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
            } else {
                rc = mosquitto_tls_set(client, given(settings.caFile), nullptr, given(settings.certFile),
                                       given(settings.keyFile), nullptr);
            }
#else
            // No ca_file: the system's CAs.
            rc = mosquitto_tls_set(client, given(settings.caFile),
                                   settings.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                                   given(settings.certFile), given(settings.keyFile), nullptr);
#endif
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            outsideHeld.unlock();
            errno = 0;
            rc = mosquitto_connect_bind_v5(client, settings.host.c_str(), settings.port,
                                           settings.keepAliveSeconds, nullptr, nullptr);
            const int connectErrno = errno;
            outsideHeld.lock();
            if (cutOff) {
                throw CutOff{};
            }
            errno = connectErrno;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            problem("error", "mqtt-unreachable",
                    "cannot connect to the broker at " + settings.url + ": " + reason(rc) +
                        "; samples wait in the queue, trying again");
            drop();
            return false;
        }
        connectedAt = Clock::now();
        return true;
    }

    // The connection is gone: what the broker did not acknowledge goes back
    // to the front of the outbox, in order, and a fresh client is made next
    // time so that the old one sends nothing twice.
    void drop() {
        std::vector<Message> back;
        for (auto& entry : inFlight) {
            back.push_back(std::move(entry.second));
        }
        inFlight.clear();
        const bool wasConnected = outbox.linkDown(std::move(back));
        if (client != nullptr) {
            mosquitto_destroy(client);
            client = nullptr;
        }
        const bool steady = wasConnected && Clock::now() - connectedAt >= kSteadyConnection;
        if (steady) {
            retryAfter = kFirstRetry;
            unsteady = false;
            shortInARow = 0;
        } else if (wasConnected) {
            ++shortInARow;
        }
        const int said = brokerReason;
        brokerReason = 0;
        if (takenOver) {
            // Another client with our client ID: told once, and no fight
            // over the session at full speed.
            takenOver = false;
            retryAfter = kLastRetry;
            problem("error", "mqtt-taken-over",
                    "the broker at " + settings.url + " gave the session of client ID " + clientId +
                        " to another client (is a second station using it?); trying again in " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kLastRetry).count()) +
                        " s");
        } else if (wasConnected && !steady && shortInARow >= 2) {
            // Closed soon after each connection: a broker that gives the
            // session to another client with our ID closes ours without a
            // word under MQTT 3.1.1 (and Mosquitto 2.0 under 5 too). Once
            // is a broker stopped or gone: the connection after tells.
            if (!unsteady) {
                unsteady = true;
                log("warning", "mqtt-unsteady",
                    "the broker at " + settings.url +
                        " keeps closing the connection soon after it is made (is another client "
                        "using client ID " + clientId + "?); trying again less and less often");
            }
        } else if (wasConnected) {
            lastProblem.clear();
            problem("warning", "mqtt-lost",
                    "lost the broker at " + settings.url +
                        (said != 0 ? std::string(" (it said: ") + mosquitto_reason_string(said) + ")" : "") +
                        "; samples wait in the queue (at most " +
                        std::to_string(outbox.bound()) + "), trying again");
        }
        nextTry = Clock::now() + retryAfter;
        retryAfter = std::min<Clock::duration>(retryAfter * 2, kLastRetry);
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
            int rc = mosquitto_publish_v5(client, &mid, message.topic.c_str(),
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
                    journal->acknowledged(outstanding.empty() ? queuedUpTo : *outstanding.begin() - 1);
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

    // Waits for the socket or a wake-up, at most `wait`; runs the client.
    bool pump(std::chrono::milliseconds wait) {
        const SocketWait::Ready ready = sleeper.wait(mosquitto_socket(client), mosquitto_want_write(client), wait);
        int rc = MOSQ_ERR_SUCCESS;
        if (ready.readable) {
            rc = mosquitto_loop_read(client, 16);
        }
        if (rc == MOSQ_ERR_SUCCESS && ready.writable) {
            rc = mosquitto_loop_write(client, 16);
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop_misc(client);
        }
        if (rc == MOSQ_ERR_SUCCESS && !isConnected() && Clock::now() - connectedAt > kConnackWithin) {
            rc = MOSQ_ERR_CONN_LOST;
            problem("error", "mqtt-unreachable", "the broker at " + settings.url + " did not answer");
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            if (!isConnected() && !refused) {
                problem("error", "mqtt-unreachable",
                        "cannot connect to the broker at " + settings.url + ": " + reason(rc) +
                            "; samples wait in the queue, trying again");
            }
            drop();
            return false;
        }
        return true;
    }

    std::string reason(int rc) const {
        // libmosquitto tells a TLS failure in the loop as errno EPROTO.
        if (rc == MOSQ_ERR_TLS || (settings.tls && rc == MOSQ_ERR_ERRNO && errno == EPROTO)) {
            return std::string("the TLS handshake failed (") +
                   (settings.caFile.empty() ? "do the system's CAs hold the one that signed the broker's certificate"
                                            : "is ca_file the CA that signed the broker's certificate") +
                   ", and does the certificate name " + settings.host + "?)";
        }
        return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    }

    bool isConnected() const { return outbox.connected(); }

    bool isStopping() const {
        std::lock_guard<std::mutex> guard(lock);
        return stopping;
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

    // Whatever goes wrong in one turn of the loop is logged, the
    // connection dropped and made again: the thread never ends before stop.
    void run() {
        outsideHeld.lock();
        try {
            auto nextQueue = Clock::now() + kQueueEvery;
            const auto period = std::chrono::milliseconds(settings.publishMs);
            auto nextLatest = Clock::now() + period;
            while (!isStopping()) {
                try {
                    turn(nextQueue, nextLatest, period);
                } catch (const std::exception& e) {
                    log("error", "mqtt-failed", std::string("the MQTT link failed: ") + e.what() +
                                                    "; connecting again");
                    drop();
                }
            }
            try {
                finish();
            } catch (const std::exception& e) {
                log("error", "mqtt-failed", std::string("the MQTT link failed while stopping: ") + e.what());
            }
        } catch (const CutOff&) {
            // serve has gone on without this thread: only our own client is
            // left to free, and nothing is said.
            mosquitto_destroy(client);
            client = nullptr;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            networkDone = true;
            networkEnded.notify_all();
        }
        outsideHeld.unlock(); // after networkDone, which a stop waiting for it then sees
    }

    void turn(Clock::time_point& nextQueue, Clock::time_point& nextLatest,
              std::chrono::milliseconds period) {
        {
            auto now = Clock::now();
            if (settings.publishMs > 0 && now >= nextLatest) {
                publishLatest();
                nextLatest += period;
                if (nextLatest < now) {
                    nextLatest = now + period;
                }
            }
            if (client == nullptr) {
                if (now >= nextTry && connect()) {
                    return;
                }
                // Away: messages only gather in the outbox.
                std::this_thread::sleep_for(std::min<Clock::duration>(
                    std::chrono::milliseconds(50), std::max<Clock::duration>(nextTry - Clock::now(), {})));
                sleeper.wait(-1, false, std::chrono::milliseconds(0)); // takes the wake-ups
                return;
            }
            if (journal != nullptr && isConnected()) {
                takeFromJournal();
            }
            send();
            if (unsteady && isConnected() && now - connectedAt >= kSteadyConnection) {
                unsteady = false;
                log("info", "mqtt-connected", "the connection to the broker at " + settings.url + " holds again");
            }
            if (isConnected() && now >= nextQueue) {
                publishQueue();
                nextQueue = now + kQueueEvery;
            }
            pump(std::chrono::milliseconds(settings.publishMs > 0 ? std::min(100, settings.publishMs) : 100));
            if (justConnected && client != nullptr) {
                justConnected = false;
                connectedNow();
            }
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
            journal->queued(queuedUpTo);
        }
    }

    std::chrono::milliseconds grace{2000};
    bool journalTold = false;

    // Sends what waits, for at most `grace`, then "offline" and a clean
    // disconnect (which the broker does not answer with the will).
    void finish() {
        const auto until = Clock::now() + grace;
        if (settings.publishMs > 0) {
            publishLatest();
        }
        while (client != nullptr && isConnected() && Clock::now() < until) {
            if (journal != nullptr) {
                takeFromJournal(); // the readers' last samples too
            }
            if (outbox.idle()) {
                break;
            }
            send();
            pump(std::chrono::milliseconds(20));
        }
        if (client != nullptr && isConnected()) {
            mosquitto_publish_v5(client, &offlineMid, (prefix + "/status").c_str(), 7, "offline", 1,
                                 true, nullptr);
            const auto ackBy = std::min(until, Clock::now() + std::chrono::seconds(1));
            while (client != nullptr && !offlineAcked && Clock::now() < ackBy) {
                pump(std::chrono::milliseconds(20));
            }
            if (client != nullptr) {
                mosquitto_disconnect_v5(client, 0, nullptr);
                mosquitto_loop_write(client, 1);
            }
        }
        if (client != nullptr) {
            mosquitto_destroy(client);
            client = nullptr;
        }
        // What the broker never took is lost with the process: counted and
        // said, never dropped unseen.
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
    : impl_(std::make_shared<Impl>(station, std::move(log))) {
    mosquitto_lib_init();
}

MqttPublisher::~MqttPublisher() {
    stop();
    if (!impl_->abandoned) {
        mosquitto_lib_cleanup();
    }
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
    journal.forwardFrom([weak] {
        if (auto impl = weak.lock()) {
            impl->wake();
        }
    });
    impl_->queuedUpTo = journal.cursor();
}

void MqttPublisher::start() {
    Impl* impl = impl_.get();
    // The thread holds the publisher's state too: a connection attempt to a
    // host that never answers can outlast stop() (see there).
    impl->network = std::thread([self = impl_] { self->run(); });
    if (impl->settings.commands && impl->runner) {
        impl->commandThread = std::thread([impl] { impl->runCommands(); });
    }
}

void MqttPublisher::stop(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->grace = grace;
        impl_->stopping = true;
        impl_->commandWake.notify_all();
    }
    impl_->wake();
    if (impl_->commandThread.joinable()) {
        impl_->commandThread.join();
    }
    if (!impl_->network.joinable()) {
        return;
    }
    // A connection to a host that drops our packets blocks in connect()
    // until the system gives up, minutes later: serve does not wait for it.
    std::unique_lock<std::mutex> guard(impl_->lock);
    bool ended = impl_->networkEnded.wait_for(guard, grace + std::chrono::seconds(3),
                                              [this] { return impl_->networkDone; });
    guard.unlock();
    if (!ended) {
        // The thread holds `outside` but inside connect(): this waits at
        // most for one turn of its loop, and not at all while it connects.
        std::lock_guard<std::mutex> cut(impl_->outside);
        impl_->cutOff = true;
        guard.lock();
        ended = impl_->networkDone;
        guard.unlock();
    }
    if (ended) {
        impl_->network.join();
        return;
    }
    impl_->log("warning", "mqtt-abandoned",
               "still connecting to the broker at " + impl_->settings.url + "; not waiting for it");
    impl_->abandoned = true;
    impl_->network.detach();
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
