#include "export/mqtt/mqtt_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <unistd.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#if defined(_WIN32)
#include "export/mqtt/system_cas.h"
#endif
#include "util/secret_file.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLastRetry = std::chrono::seconds(30);
constexpr auto kConnackWithin = std::chrono::seconds(10);
// A connection that lasted this long was a good one: the next loss starts
// the back-off afresh. One dropped sooner (a broker that takes the session
// away, say) keeps doubling it, so two clients never fight at full speed.
constexpr auto kSteadyConnection = std::chrono::seconds(10);

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

MqttConnection* of(void* user) {
    return static_cast<MqttConnection*>(user);
}

} // namespace

MqttConnection::MqttConnection(const MqttSettings& settings, std::string clientId, PublisherLog log)
    : settings_(settings), clientId_(std::move(clientId)), log_(std::move(log)), retryAfter_(kFirstRetry) {
    if (!settings_.passwordFile.empty()) {
        password_ = readPassword(settings_.passwordFile, log_);
    }
    // Told now, by name, rather than as a failed TLS set-up at each try.
    const std::pair<const char*, const std::string*> files[] = {
        {"ca_file", &settings_.caFile}, {"cert_file", &settings_.certFile}, {"key_file", &settings_.keyFile}};
    for (const auto& [key, path] : files) {
        if (!path->empty() && ::access(path->c_str(), R_OK) != 0) {
            throw InputError("cannot read mqtt." + std::string(key) + " " + *path + ": " + std::strerror(errno));
        }
    }
    mosquitto_lib_init();
}

MqttConnection::~MqttConnection() {
    if (!abandoned_) {
        mosquitto_lib_cleanup();
    }
}

void MqttConnection::start(const std::shared_ptr<MqttConnection>& connection, std::shared_ptr<MqttSpeaker> speaker) {
    connection->speaker_ = speaker.get();
    connection->thread_ = std::thread([self = connection, speaker] { self->run(); });
}

void MqttConnection::wake() const {
    sleeper_.wake();
}

bool MqttConnection::isStopping() const {
    std::lock_guard<std::mutex> guard(lock_);
    return stopping_;
}

bool MqttConnection::stop(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        grace_ = grace;
        stopping_ = true;
    }
    wake();
    if (!thread_.joinable()) {
        return true;
    }
    // A connection to a host that drops our packets blocks in connect()
    // until the system gives up, minutes later: serve does not wait for it.
    std::unique_lock<std::mutex> guard(lock_);
    bool ended = ended_.wait_for(guard, grace + std::chrono::seconds(3), [this] { return done_; });
    guard.unlock();
    if (!ended) {
        // The thread holds `outside_` but inside connect(): this waits at
        // most for one turn of its loop, and not at all while it connects.
        std::lock_guard<std::mutex> cut(outside_);
        cutOff_ = true;
        guard.lock();
        ended = done_;
        guard.unlock();
    }
    if (ended) {
        thread_.join();
        return true;
    }
    log_("warning", "mqtt-abandoned", "still connecting to the broker at " + settings_.url + "; not waiting for it");
    abandoned_ = true;
    thread_.detach();
    return false;
}

// Whatever goes wrong in one turn of the loop is logged, the connection
// dropped and made again: the thread never ends before the stop.
void MqttConnection::run() {
    outsideHeld_.lock();
    try {
        while (!isStopping()) {
            try {
                turn();
            } catch (const std::exception& e) {
                log_("error", "mqtt-failed", std::string("the MQTT link failed: ") + e.what() + "; connecting again");
                drop();
            }
        }
        try {
            std::chrono::milliseconds grace;
            {
                std::lock_guard<std::mutex> guard(lock_);
                grace = grace_;
            }
            speaker_->finish(Clock::now() + grace);
            destroyClient();
            speaker_->stopped();
        } catch (const std::exception& e) {
            log_("error", "mqtt-failed", std::string("the MQTT link failed while stopping: ") + e.what());
        }
    } catch (const CutOff&) {
        // serve has gone on without this thread: only our own client is
        // left to free, and nothing is said.
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        done_ = true;
        ended_.notify_all();
    }
    outsideHeld_.unlock(); // after done_, which a stop waiting for it then sees
}

void MqttConnection::turn() {
    speaker_->tick();
    const auto now = Clock::now();
    if (client_ == nullptr) {
        if (now >= nextTry_ && connect()) {
            return;
        }
        // Away: messages only gather with the speaker.
        std::this_thread::sleep_for(std::min<Clock::duration>(
            std::chrono::milliseconds(50), std::max<Clock::duration>(nextTry_ - Clock::now(), {})));
        sleeper_.wait(-1, false, std::chrono::milliseconds(0)); // takes the wake-ups
        return;
    }
    speaker_->turn();
    if (unsteady_ && linked_ && now - connectedAt_ >= kSteadyConnection) {
        unsteady_ = false;
        log_("info", "mqtt-connected", "the connection to the broker at " + settings_.url + " holds again");
    }
    pump(speaker_->pumpWait());
    if (againAsked_ && client_ != nullptr) {
        againAsked_ = false;
        speaker_->lost();
        destroyClient();
        nextTry_ = Clock::now() + kFirstRetry;
        return;
    }
    if (justConnected_ && client_ != nullptr) {
        justConnected_ = false;
        linked_ = true;
        refused_ = false;
        takenOver_ = false;
        lastProblem_.clear();
        if (!unsteady_) {
            log_("info", "mqtt-connected", "connected to the broker at " + settings_.url + " as " + clientId_);
        }
        speaker_->connected();
    }
}

void MqttConnection::problem(const std::string& level, const std::string& name, const std::string& text) {
    if (text != lastProblem_) {
        lastProblem_ = text;
        log_(level, name, text);
    }
}

void MqttConnection::onConnect(struct mosquitto*, void* user, int reason, int, const mosquitto_property*) {
    MqttConnection* self = of(user);
    if (reason != 0) {
        self->refused_ = true;
        self->problem("error", "mqtt-refused",
                      "the broker at " + self->settings_.url + " refused the connection: " +
                          (self->settings_.mqtt5 ? mosquitto_reason_string(reason) : mosquitto_connack_string(reason)) +
                          "; trying again");
        return;
    }
    // Acted on after the client's callback returns: publishing from inside
    // it takes the client's locks in another order than the loop does.
    self->justConnected_ = true;
}

void MqttConnection::onSubscribe(struct mosquitto*, void* user, int mid, int, const int*, const mosquitto_property*) {
    of(user)->speaker_->subscribed(mid);
}

void MqttConnection::onPublish(struct mosquitto*, void* user, int mid, int reason, const mosquitto_property*) {
    of(user)->speaker_->published(mid, reason);
}

// Called from inside libmosquitto: nothing may be thrown through it.
void MqttConnection::onMessage(struct mosquitto*, void* user, const struct mosquitto_message* message,
                               const mosquitto_property* properties) noexcept {
    MqttConnection* self = of(user);
    try {
        self->speaker_->received(*message, properties);
    } catch (const std::exception& e) {
        self->log_("error", "mqtt-command-failed",
                   std::string("a message from the broker could not be taken: ") + e.what());
    }
}

void MqttConnection::onDisconnect(struct mosquitto*, void* user, int reason, const mosquitto_property*) noexcept {
    if (reason == MQTT_RC_SESSION_TAKEN_OVER) {
        of(user)->takenOver_ = true;
    } else if (reason >= 0x80) { // a reason code the broker sent, not the client's error
        of(user)->brokerReason_ = reason;
    }
}

bool MqttConnection::connect() {
    refused_ = false;
    justConnected_ = false;
    client_ = mosquitto_new(clientId_.c_str(), true, this);
    if (client_ == nullptr) {
        problem("error", "mqtt-unavailable", "cannot make an MQTT client: " + std::string(std::strerror(errno)));
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, settings_.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    // Small messages go at once: with Nagle's algorithm a QoS 0 message
    // waited for the broker's delayed ACK, some 40 ms.
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(client_, onConnect);
    mosquitto_publish_v5_callback_set(client_, onPublish);
    mosquitto_message_v5_callback_set(client_, onMessage);
    mosquitto_disconnect_v5_callback_set(client_, onDisconnect);
    mosquitto_subscribe_v5_callback_set(client_, onSubscribe);
    // Asked for each connection: a will may change from one to the next.
    const MqttWill will = speaker_->will();
    mosquitto_will_set_v5(client_, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(),
                          will.qos, will.retain, nullptr);
    if (!settings_.username.empty()) {
        mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                  settings_.passwordFile.empty() ? nullptr : password_.c_str());
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (settings_.tls) {
        auto given = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
#if defined(_WIN32)
        // No ca_file: the root CAs of Windows's certificate store, in a
        // context of ours that checks the broker's chain and name.
        if (settings_.caFile.empty()) {
            std::string why;
            ssl_ctx_st* context = systemCaContext(settings_.host, settings_.certFile, settings_.keyFile, why);
            if (context == nullptr) {
                problem("error", "mqtt-unreachable",
                        "cannot connect to the broker at " + settings_.url + ": " + why + "; trying again");
                drop();
                return false;
            }
            // Taken as it is: libmosquitto's defaults (on unless told) want
            // a ca_file or capath.
            mosquitto_void_option(client_, MOSQ_OPT_SSL_CTX, context);
            releaseContext(context);
            mosquitto_int_option(client_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
        } else {
            rc = mosquitto_tls_set(client_, given(settings_.caFile), nullptr, given(settings_.certFile),
                                   given(settings_.keyFile), nullptr);
        }
#else
        // No ca_file: the system's CAs.
        rc = mosquitto_tls_set(client_, given(settings_.caFile), settings_.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                               given(settings_.certFile), given(settings_.keyFile), nullptr);
#endif
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        outsideHeld_.unlock();
        errno = 0;
        rc = mosquitto_connect_bind_v5(client_, settings_.host.c_str(), settings_.port, settings_.keepAliveSeconds,
                                       nullptr, nullptr);
        const int connectErrno = errno;
        outsideHeld_.lock();
        if (cutOff_) {
            throw CutOff{};
        }
        errno = connectErrno;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        problem("error", "mqtt-unreachable",
                "cannot connect to the broker at " + settings_.url + ": " + reason(rc) + "; " + speaker_->whileAway() +
                    ", trying again");
        drop();
        return false;
    }
    connectedAt_ = Clock::now();
    return true;
}

void MqttConnection::destroyClient() {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    linked_ = false;
}

// The connection is gone: the speaker takes back what the client had not
// had acknowledged, and a fresh client is made next time so that the old
// one sends nothing twice.
void MqttConnection::drop() {
    againAsked_ = false;
    const bool wasConnected = linked_;
    speaker_->lost();
    destroyClient();
    const bool steady = wasConnected && Clock::now() - connectedAt_ >= kSteadyConnection;
    if (steady) {
        retryAfter_ = kFirstRetry;
        unsteady_ = false;
        shortInARow_ = 0;
    } else if (wasConnected) {
        ++shortInARow_;
    }
    const int said = brokerReason_;
    brokerReason_ = 0;
    if (takenOver_) {
        // Another client with our client ID: told once, and no fight over
        // the session at full speed.
        takenOver_ = false;
        retryAfter_ = kLastRetry;
        problem("error", "mqtt-taken-over",
                "the broker at " + settings_.url + " gave the session of client ID " + clientId_ +
                    " to another client (is a second station using it?); trying again in " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kLastRetry).count()) + " s");
    } else if (wasConnected && !steady && shortInARow_ >= 2) {
        // Closed soon after each connection: a broker that gives the
        // session to another client with our ID closes ours without a word
        // under MQTT 3.1.1 (and Mosquitto 2.0 under 5 too). Once is a
        // broker stopped or gone: the connection after tells.
        if (!unsteady_) {
            unsteady_ = true;
            log_("warning", "mqtt-unsteady",
                 "the broker at " + settings_.url +
                     " keeps closing the connection soon after it is made (is another client using client ID " +
                     clientId_ + "?); trying again less and less often");
        }
    } else if (wasConnected) {
        lastProblem_.clear();
        problem("warning", "mqtt-lost",
                "lost the broker at " + settings_.url +
                    (said != 0 ? std::string(" (it said: ") + mosquitto_reason_string(said) + ")" : "") + "; " +
                    speaker_->whileAway() + ", trying again");
    }
    nextTry_ = Clock::now() + retryAfter_;
    retryAfter_ = std::min<Clock::duration>(retryAfter_ * 2, kLastRetry);
}

// Waits for the socket or a wake-up, at most `wait`; runs the client.
bool MqttConnection::pump(std::chrono::milliseconds wait) {
    const SocketWait::Ready ready = sleeper_.wait(mosquitto_socket(client_), mosquitto_want_write(client_), wait);
    int rc = MOSQ_ERR_SUCCESS;
    if (ready.readable) {
        rc = mosquitto_loop_read(client_, 16);
    }
    if (rc == MOSQ_ERR_SUCCESS && ready.writable) {
        rc = mosquitto_loop_write(client_, 16);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_misc(client_);
    }
    if (rc == MOSQ_ERR_SUCCESS && !linked_ && !justConnected_ && Clock::now() - connectedAt_ > kConnackWithin) {
        rc = MOSQ_ERR_CONN_LOST;
        problem("error", "mqtt-unreachable", "the broker at " + settings_.url + " did not answer");
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        if (!linked_ && !refused_) {
            problem("error", "mqtt-unreachable",
                    "cannot connect to the broker at " + settings_.url + ": " + reason(rc) + "; " +
                        speaker_->whileAway() + ", trying again");
        }
        drop();
        return false;
    }
    return true;
}

void MqttConnection::disconnect() {
    if (client_ != nullptr) {
        mosquitto_disconnect_v5(client_, 0, nullptr);
        mosquitto_loop_write(client_, 1);
    }
}

void MqttConnection::reconnect() {
    disconnect();
    againAsked_ = true;
}

std::string MqttConnection::reason(int rc) const {
    // libmosquitto tells a TLS failure in the loop as errno EPROTO.
    if (rc == MOSQ_ERR_TLS || (settings_.tls && rc == MOSQ_ERR_ERRNO && errno == EPROTO)) {
        return std::string("the TLS handshake failed (") +
               (settings_.caFile.empty() ? "do the system's CAs hold the one that signed the broker's certificate"
                                         : "is ca_file the CA that signed the broker's certificate") +
               ", and does the certificate name " + settings_.host + "?)";
    }
    return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

} // namespace brivant::tool
