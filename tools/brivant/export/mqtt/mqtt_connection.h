// One MQTT client's connection to the broker, on a thread of its own: the
// credentials and TLS the station file gives, the client made afresh for
// each connection with its will set again before every CONNECT, the
// back-off while the broker is away, what is told of it in serve's log,
// and a stop that never waits on a connection attempt for long. What goes
// over the connection is the speaker's: serve's own JSON topics
// (mqtt_publisher.cpp), or another protocol's.
//
// Everything the speaker is called for runs on the connection's thread,
// under the lock that keeps serve's log and journal from it once a stop
// has cut it off (see stop()).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "export/mqtt/socket_wait.h"
#include "station/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace brivant::tool {

// What the connection tells serve's log: a level ("info", "warning",
// "error"), an event name and a line of text.
using PublisherLog = std::function<void(const std::string& level, const std::string& event,
                                        const std::string& text)>;

struct MqttWill {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = true;
};

class MqttConnection;

// What is said over the connection. Called on the connection's thread.
class MqttSpeaker {
public:
    virtual ~MqttSpeaker() = default;
    // The will for the next CONNECT, asked before each.
    virtual MqttWill will() = 0;
    // The broker took the connection: first messages, subscriptions.
    virtual void connected() = 0;
    // A message of ours the broker acknowledged (QoS 1), or that the client
    // wrote to the socket (QoS 0), with the broker's reason code.
    virtual void published(int mid, int reason) = 0;
    virtual void received(const mosquitto_message& message, const mosquitto_property* properties) = 0;
    // The broker answered a SUBSCRIBE of ours: it has read everything
    // written before it.
    virtual void subscribed(int /*mid*/) {}
    // The client is gone: what it was given and had not had acknowledged
    // must be given to the next one.
    virtual void lost() = 0;
    // Each turn of the loop, with or without a client.
    virtual void tick() = 0;
    // Each turn with a client: hand it what waits.
    virtual void turn() = 0;
    // How long one turn may wait on the socket.
    virtual std::chrono::milliseconds pumpWait() const = 0;
    // At the stop, connected or not: the last messages, until `until`;
    // then the connection disconnects cleanly.
    virtual void finish(std::chrono::steady_clock::time_point until) = 0;
    // Once the client is gone for good.
    virtual void stopped() = 0;
    // What waits while the broker is away, for the log ("samples wait in
    // the queue (at most 1000)").
    virtual std::string whileAway() const = 0;
};

class MqttConnection {
public:
    // Reads the password file and checks that the TLS files can be read;
    // throws InputError naming the one that cannot. Connects only once
    // started.
    MqttConnection(const MqttSettings& settings, std::string clientId, PublisherLog log);
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    // The thread holds `speaker` (and this connection) for as long as it
    // runs, which can be past stop() (see there).
    static void start(const std::shared_ptr<MqttConnection>& connection, std::shared_ptr<MqttSpeaker> speaker);
    // The speaker finishes (for at most `grace`), the connection
    // disconnects cleanly and the thread ends. A thread inside a connection
    // attempt to a host that never answers is cut off and left to end by
    // itself, touching nothing of serve's: false then.
    bool stop(std::chrono::milliseconds grace);

    // From any thread: the loop's wait ends now.
    void wake() const;

    // For the speaker, on the connection's thread.
    struct mosquitto* client() const { return client_; }
    bool connected() const { return linked_; }
    bool pump(std::chrono::milliseconds wait);
    void disconnect();
    // Disconnects cleanly and connects again after the first back-off, as
    // a fresh client (the speaker's will asked again), with nothing said
    // in the log: the speaker says why.
    void reconnect();

private:
    using Clock = std::chrono::steady_clock;
    struct CutOff {};

    void run();
    void turn();
    bool connect();
    void drop();
    void destroyClient();
    void problem(const std::string& level, const std::string& name, const std::string& text);
    std::string reason(int rc) const;
    bool isStopping() const;

    static void onConnect(struct mosquitto*, void* user, int reason, int, const mosquitto_property*);
    static void onPublish(struct mosquitto*, void* user, int mid, int reason, const mosquitto_property*);
    static void onMessage(struct mosquitto*, void* user, const struct mosquitto_message* message,
                          const mosquitto_property* properties) noexcept;
    static void onDisconnect(struct mosquitto*, void* user, int reason, const mosquitto_property*) noexcept;
    static void onSubscribe(struct mosquitto*, void* user, int mid, int, const int*, const mosquitto_property*);

    const MqttSettings settings_;
    const std::string clientId_;
    const PublisherLog log_;
    std::string password_;
    MqttSpeaker* speaker_ = nullptr;

    // The connection's thread's own.
    struct mosquitto* client_ = nullptr;
    bool linked_ = false;        // the broker accepted this client
    bool justConnected_ = false; // told in the CONNACK callback, acted on after it
    bool againAsked_ = false;    // reconnect() was called, acted on after the pump
    Clock::time_point nextTry_{};
    Clock::duration retryAfter_;
    Clock::time_point connectedAt_{};
    std::string lastProblem_;
    bool refused_ = false;
    bool takenOver_ = false; // the broker gave our session to another client
    bool unsteady_ = false;  // connections end soon after they are made; said once
    int shortInARow_ = 0;    // connections in a row that ended soon after they were made
    int brokerReason_ = 0;   // the MQTT 5 reason of the broker's DISCONNECT, if it sent one
    std::chrono::milliseconds grace_{2000};

    mutable SocketWait sleeper_;
    std::thread thread_;
    mutable std::mutex lock_;
    bool stopping_ = false;   // under lock_
    bool done_ = false;       // under lock_
    std::condition_variable ended_;
    bool abandoned_ = false;
    // serve's log and journal end with serve. The thread uses them only
    // while it holds `outside_`, which it lets go of only inside connect():
    // a stop that leaves it there cuts it off first, and what the thread
    // does when the call returns touches neither.
    std::mutex outside_;
    std::unique_lock<std::mutex> outsideHeld_{outside_, std::defer_lock}; // the thread's
    bool cutOff_ = false; // under outside_
};

} // namespace brivant::tool
