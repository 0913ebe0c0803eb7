#include "export/sparkplug/sparkplug_node.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <brivant.h>

#include "export/sparkplug/sparkplug_commands.h"
#include "export/sparkplug/sparkplug_model.h"
#include "export/sparkplug/sparkplug_payload.h"

namespace brivant::tool {

namespace {

using Clock = std::chrono::steady_clock;
using namespace sparkplug;

constexpr std::size_t kInFlight = 64;            // messages handed to the client, not yet written
constexpr std::size_t kSamplesPerMessage = 50;   // of one unit in one DDATA
constexpr std::size_t kTakeAtOnce = 1000;        // rows taken from the journal in one turn
constexpr std::size_t kMemoryBound = 100000;     // samples waiting without a journal
constexpr std::size_t kCommandQueue = 64;
constexpr auto kBacklogEvery = std::chrono::seconds(5);
constexpr auto kProbeEvery = std::chrono::milliseconds(200); // a SUBSCRIBE that confirms what was written

std::uint64_t nowMs() {
    return millisecondsOf(std::chrono::system_clock::now());
}

// A sample on its way, with its place: the journal's row ID, or the
// node's own count when there is no journal.
struct Row {
    std::uint64_t id = 0;
    std::int16_t unit = 0;
    Sample sample;
};

// A unit that stopped answering: its death goes once every sample taken
// before it has.
struct Death {
    std::int16_t unit;
    std::uint64_t afterRow;
};

struct Write {
    std::int16_t unit;
    SettingWrite write;
};

// A message from the broker, as it came.
struct Taken {
    std::string topic;
    std::string bytes;
};

} // namespace

struct SparkplugNode::Impl : MqttSpeaker {
    Impl(const Station& station, PublisherLog logTo)
        : settings(*station.sparkplug), name{settings.groupId, sparkplugNodeId(station)}, log(std::move(logTo)),
          stateTopic(settings.primaryHostId.empty() ? "" : "spBv1.0/STATE/" + settings.primaryHostId),
          connection(std::make_shared<MqttConnection>(settings.link, sparkplugClientId(station), log)) {
        for (const auto& entry : station.units) {
            units.push_back(entry.first);
        }
    }

    const SparkplugSettings settings;
    const NodeName name;
    const PublisherLog log;
    const std::string stateTopic; // the primary host's, or ""
    std::vector<std::int16_t> units;
    const std::shared_ptr<MqttConnection> connection;
    CommandRunner runner;
    SettingsOf settingsOf;
    Journal* journal = nullptr;
    Journal::Forwarder forwarder = 0;

    // Shared with the readers, the live station and the command thread.
    mutable std::mutex lock;
    bool stopping = false;
    std::map<std::int16_t, Sample> latest;
    std::map<std::int16_t, bool> answering;
    std::deque<Row> waiting; // no journal: the samples not yet taken
    std::uint64_t lastRow = 0;
    std::uint64_t dropped = 0;
    std::vector<Death> deaths;
    std::set<std::int16_t> settingsChanged;
    std::deque<Write> writes;
    std::condition_variable writeWake;
    std::thread commandThread;

    std::atomic<bool> linked{false};
    std::atomic<bool> bornNow{false};
    std::atomic<std::uint64_t> bdSeqNow{0};
    std::atomic<std::uint64_t> births{0};
    std::atomic<std::uint64_t> rebirths{0};
    std::atomic<std::uint64_t> messages{0};
    std::atomic<std::uint64_t> ignored{0};

    // The connection's thread's own.
    Sequence seq;
    std::uint64_t bdSeq = 0;
    bool willTaken = false; // the broker accepted the CONNECT that carried the will
    bool born = false;
    bool hostOnline = false;
    std::optional<std::int64_t> hostSince; // the timestamp of the host's last STATE taken
    std::set<std::int16_t> bornDevices;
    std::map<std::int16_t, std::optional<bool>> answeringSaid;
    std::uint64_t queuedUpTo = 0; // rows taken up to here
    std::uint64_t replayUpTo = 0; // rows up to here were taken before this birth: historical
    std::multiset<std::uint64_t> outstanding; // rows handed to the client, not yet read by the broker
    std::map<int, std::vector<std::uint64_t>> inFlight; // by message ID: its rows
    std::vector<int> writtenInCall; // QoS 0 messages the client wrote inside mosquitto_publish
    Clock::time_point nextPeriod{};
    Clock::time_point nextBacklog{};
    std::uint64_t backlogSaid = UINT64_MAX;
    std::set<std::string> told; // what is said once: ignored commands by kind
    std::deque<Taken> inbox;
    std::deque<std::pair<std::uint64_t, std::vector<std::uint64_t>>> unconfirmed; // (write, rows)
    std::uint64_t written = 0; // data messages written to the socket
    int probeMid = -1;
    std::uint64_t probeCovers = 0;
    Clock::time_point nextProbe{};
    bool leaving = false; // the session is ending: NDEATH sent, reconnecting
    int deathMid = -1;
    bool deathWritten = false;

    // -- the producers' side --

    void sample(std::int16_t unit, const Sample& s) {
        {
            std::lock_guard<std::mutex> guard(lock);
            latest[unit] = s;
            if (s.result == RC_OK) {
                answering[unit] = true;
            }
            if (journal == nullptr) {
                waiting.push_back(Row{++lastRow, unit, s});
                if (waiting.size() > kMemoryBound) {
                    waiting.pop_front();
                    ++dropped;
                }
            }
        }
        if (settings.publishMs == 0) {
            connection->wake();
        }
    }

    void unitEvent(const UnitEvent& event) {
        if (event.event != "not-answering") {
            return; // a unit that answers again is born with its first good sample
        }
        std::lock_guard<std::mutex> guard(lock);
        answering[event.unit] = false;
        deaths.push_back(Death{event.unit, journal != nullptr ? journal->lastId() : lastRow});
        connection->wake();
    }

    void configEvent(const ConfigEvent& event) {
        // A start or a reconnect sends the settings the birth told.
        if (event.result != RC_OK || (event.why != "change" && event.why != "reload")) {
            return;
        }
        std::lock_guard<std::mutex> guard(lock);
        settingsChanged.insert(event.unit);
        connection->wake();
    }

    SparkplugTally tally() const {
        SparkplugTally t;
        t.connected = linked.load();
        t.born = bornNow.load();
        t.bdSeq = bdSeqNow.load();
        t.births = births.load();
        t.rebirths = rebirths.load();
        t.messages = messages.load();
        t.ignored = ignored.load();
        std::lock_guard<std::mutex> guard(lock);
        t.dropped = dropped;
        t.backlog = journal != nullptr ? journal->backlog(forwarder) : waiting.size();
        return t;
    }

    // -- the speaker, on the connection's thread --

    struct mosquitto* client() const { return connection->client(); }

    MqttWill will() override {
        // A new bdSeq for every CONNECT the broker took: the host pairs the
        // will with the birth that follows it. An attempt that never
        // reached the broker keeps its number for the next.
        if (willTaken) {
            bdSeq = nextBdSeq(bdSeq);
            willTaken = false;
        }
        bdSeqNow = bdSeq;
        return MqttWill{nodeTopic(name, "NDEATH"), encode(nodeDeath(bdSeq)), 1, false};
    }

    std::string whileAway() const override {
        return journal != nullptr ? "samples wait in the journal" : "samples wait in memory (at most 100000)";
    }

    // Until the next period is due, so that a period's samples go when it
    // ends, not a turn later.
    std::chrono::milliseconds pumpWait() const override {
        if (settings.publishMs == 0 || !born) {
            return std::chrono::milliseconds(100);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextPeriod - Clock::now());
        return std::clamp(left + std::chrono::milliseconds(1), std::chrono::milliseconds(1),
                          std::chrono::milliseconds(100));
    }

    // A message of ours to the client: its message ID, or -1 when the
    // client did not take it.
    int publish(const std::string& topic, const Payload& payload, int qos, std::vector<std::uint64_t> rows = {}) {
        const std::string bytes = encode(payload);
        int mid = 0;
        writtenInCall.clear();
        const int rc = mosquitto_publish(client(), &mid, topic.c_str(), static_cast<int>(bytes.size()), bytes.data(),
                                         qos, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            ignore("not-sent", "the MQTT client did not take a message on " + topic + ": " + mosquitto_strerror(rc));
            return -1;
        }
        const bool inCall = std::find(writtenInCall.begin(), writtenInCall.end(), mid) != writtenInCall.end();
        for (std::uint64_t row : rows) {
            outstanding.insert(row);
        }
        if (inCall) {
            ++messages;
            provisional(std::move(rows));
        } else {
            inFlight.emplace(mid, std::move(rows));
        }
        return mid;
    }

    // Rows written to the broker: the journal's cursor goes up to the
    // first one still outstanding.
    void forget(const std::vector<std::uint64_t>& rows) {
        for (std::uint64_t row : rows) {
            auto it = outstanding.find(row);
            if (it != outstanding.end()) {
                outstanding.erase(it);
            }
        }
        acknowledge();
    }

    void acknowledge() {
        if (journal != nullptr) {
            journal->acknowledged(outstanding.empty() ? queuedUpTo : *outstanding.begin() - 1, forwarder);
        }
    }

    void published(int mid, int) override {
        if (mid == deathMid) {
            deathWritten = true;
        }
        auto it = inFlight.find(mid);
        if (it == inFlight.end()) {
            writtenInCall.push_back(mid);
            return;
        }
        ++messages;
        std::vector<std::uint64_t> rows = std::move(it->second);
        inFlight.erase(it);
        provisional(std::move(rows));
    }

    // Written to the socket is not yet read by the broker: a broker that
    // goes loses what it had not read, and QoS 0 has no acknowledgement.
    // Rows stay outstanding until the broker answers a SUBSCRIBE sent
    // after them (TCP keeps the order); a link lost before that sends them
    // again, historical.
    void provisional(std::vector<std::uint64_t> rows) {
        if (rows.empty()) {
            return;
        }
        unconfirmed.emplace_back(++written, std::move(rows));
    }

    void probe() {
        const auto now = Clock::now();
        if (unconfirmed.empty() || probeMid >= 0 || now < nextProbe) {
            return;
        }
        int mid = 0;
        const std::string topic = "spBv1.0/" + name.group + "/NCMD/" + name.node;
        if (mosquitto_subscribe(client(), &mid, topic.c_str(), 1) == MOSQ_ERR_SUCCESS) {
            probeMid = mid;
            probeCovers = written;
            nextProbe = now + kProbeEvery;
        }
    }

    void subscribed(int mid) override {
        if (mid != probeMid) {
            return;
        }
        probeMid = -1;
        confirm(probeCovers);
    }

    void confirm(std::uint64_t upTo) {
        while (!unconfirmed.empty() && unconfirmed.front().first <= upTo) {
            forget(unconfirmed.front().second);
            unconfirmed.pop_front();
        }
    }

    void connected() override {
        leaving = false;
        linked = true;
        willTaken = true;
        born = false;
        hostOnline = stateTopic.empty();
        hostSince.reset();
        const std::string node = "spBv1.0/" + name.group;
        mosquitto_subscribe(client(), nullptr, (node + "/NCMD/" + name.node).c_str(), 1);
        mosquitto_subscribe(client(), nullptr, (node + "/DCMD/" + name.node + "/+").c_str(), 1);
        if (!stateTopic.empty()) {
            mosquitto_subscribe(client(), nullptr, stateTopic.c_str(), 1);
        } else {
            birth(false);
        }
    }

    void lost() override {
        inbox.clear();
        unconfirmed.clear();
        probeMid = -1;
        linked = false;
        born = false;
        bornNow = false;
        inFlight.clear();
        outstanding.clear();
        // What the broker was not given goes again after the next births.
        queuedUpTo = journal != nullptr ? journal->cursor(forwarder) : queuedUpTo;
    }

    // NBIRTH, then a DBIRTH for each unit seen: the whole birth sequence,
    // with the bdSeq of this connection's will.
    void birth(bool asked) {
        seq.birth();
        std::map<std::int16_t, Sample> seen;
        std::uint64_t upTo = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            seen = latest;
            upTo = journal != nullptr ? journal->lastId() : lastRow;
            // A unit silent now dies once what it sent before has gone
            // (samples journaled by an earlier serve can bear it again).
            for (std::int16_t unit : units) {
                if (!answering[unit]) {
                    deaths.push_back(Death{unit, upTo});
                }
            }
        }
        const std::uint64_t backlog = journal != nullptr ? journal->backlog(forwarder) : 0;
        Payload nbirth = nodeBirth(bdSeq, backlog, nowMs());
        nbirth.seq = 0;
        if (publish(nodeTopic(name, "NBIRTH"), nbirth, 0) < 0) {
            return;
        }
        ++births;
        if (asked) {
            ++rebirths;
        }
        bornDevices.clear();
        answeringSaid.clear();
        for (const auto& [unit, sample] : seen) {
            deviceBorn(unit, sample);
        }
        if (!asked) {
            replayUpTo = upTo;
        }
        born = true;
        bornNow = true;
        backlogSaid = backlog;
        nextPeriod = Clock::now();
        nextBacklog = Clock::now() + kBacklogEvery;
    }

    void deviceBorn(std::int16_t unit, const std::optional<Sample>& sample) {
        std::array<ChannelSettings, 3> channels{};
        if (settingsOf) {
            if (const std::optional<UnitSettings> now = settingsOf(unit)) {
                channels = now->channels;
            }
        }
        const bool answers = sample && sample->result == RC_OK;
        Payload dbirth = deviceBirth(unit, channels, sample, answers, nowMs());
        dbirth.seq = seq.next();
        publish(deviceTopic(name, "DBIRTH", unit), dbirth, 0);
        bornDevices.insert(unit);
        answeringSaid[unit] = answers;
    }

    void deviceDied(std::int16_t unit) {
        if (bornDevices.erase(unit) == 0) {
            return;
        }
        Payload ddeath;
        ddeath.timestamp = nowMs();
        ddeath.seq = seq.next();
        publish(deviceTopic(name, "DDEATH", unit), ddeath, 0);
        answeringSaid.erase(unit);
    }

    // Kept for the turn after: what a message makes us publish or do to
    // the connection is done outside the client's callback.
    void received(const struct mosquitto_message& message, const mosquitto_property*) override {
        if (inbox.size() >= kCommandQueue) {
            ignore("inbox", "too many messages from the broker at once; dropped one");
            return;
        }
        const auto size = static_cast<std::size_t>(std::max(0, message.payloadlen));
        inbox.push_back(Taken{message.topic != nullptr ? message.topic : "",
                              std::string(static_cast<const char*>(message.payload), size)});
    }

    void takeInbox() {
        std::deque<Taken> taken;
        taken.swap(inbox);
        for (const Taken& message : taken) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.bytes.data());
            const std::string node = "spBv1.0/" + name.group;
            if (!stateTopic.empty() && message.topic == stateTopic) {
                hostState(message.bytes);
            } else if (message.topic == node + "/NCMD/" + name.node) {
                nodeCommand(bytes, message.bytes.size());
            } else if (message.topic.rfind(node + "/DCMD/" + name.node + "/", 0) == 0) {
                deviceCommand(message.topic.substr(node.size() + name.node.size() + 7), bytes, message.bytes.size());
            }
            if (leaving) {
                return; // the rest were for the session that ended
            }
        }
    }

    // Said once for each kind; counted every time.
    void ignore(const std::string& kind, const std::string& text) {
        ++ignored;
        if (told.insert(kind).second) {
            log("warning", "sparkplug-ignored", text + " (ignored; told once, counted in the metrics)");
        }
    }

    // The primary host's STATE: {"online": true|false, "timestamp": ms}.
    void hostState(const std::string& text) {
        const nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
        if (!state.is_object() || !state.contains("online") || !state["online"].is_boolean() ||
            !state.contains("timestamp") || !state["timestamp"].is_number_integer()) {
            ignore("state", "a STATE of host " + settings.primaryHostId + " that is not {\"online\", \"timestamp\"}");
            return;
        }
        const auto when = state["timestamp"].get<std::int64_t>();
        if (hostSince && when < *hostSince) {
            return; // older than what we know: a retained message replayed late
        }
        hostSince = when;
        if (state["online"].get<bool>()) {
            hostOnline = true;
            if (!born) {
                birth(false);
            }
            return;
        }
        hostOnline = false;
        if (born) {
            log("warning", "sparkplug-host-offline",
                "the primary host " + settings.primaryHostId + " went offline: NDEATH, disconnected, "
                "connecting again to wait for it");
            Payload ndeath = nodeDeath(bdSeq);
            publish(nodeTopic(name, "NDEATH"), ndeath, 1);
            connection->reconnect();
            leaving = true;
            born = false;
            bornNow = false;
        }
    }

    void nodeCommand(const std::uint8_t* bytes, std::size_t size) {
        const HostCommand command = readNodeCommand(bytes, size);
        for (const Refusal& refusal : command.refused) {
            ignore(refusal.kind, refusal.text);
        }
        if (command.rebirth && connection->connected() && hostOnline) {
            log("info", "sparkplug-rebirth", "a host asked for a rebirth: the births go again");
            birth(true);
        }
    }

    void deviceCommand(const std::string& device, const std::uint8_t* bytes, std::size_t size) {
        std::optional<std::int16_t> unit;
        for (std::int16_t id : units) {
            if (deviceId(id) == device) {
                unit = id;
            }
        }
        if (!unit) {
            ignore("dcmd-device", "a DCMD for " + device + ", which is not a unit of this station");
            return;
        }
        if (!settings.commands || !runner) {
            ignore("dcmd-off", "a DCMD for " + device + ": commands are off (sparkplug.commands)");
            return;
        }
        const HostCommand command = readDeviceCommand(*unit, bytes, size);
        for (const Refusal& refusal : command.refused) {
            ignore(refusal.kind, refusal.text);
        }
        std::lock_guard<std::mutex> guard(lock);
        for (const SettingWrite& write : command.writes) {
            if (writes.size() >= kCommandQueue) {
                ignore("dcmd-queue", "too many DCMD writes waiting; dropped one for " + device);
                continue;
            }
            writes.push_back(Write{*unit, write});
            writeWake.notify_one();
        }
    }

    void tick() override {}

    void turn() override {
        if (!inbox.empty() && connection->connected()) {
            takeInbox();
        }
        if (!born || !connection->connected()) {
            return;
        }
        std::set<std::int16_t> changed;
        {
            std::lock_guard<std::mutex> guard(lock);
            changed.swap(settingsChanged);
        }
        for (std::int16_t unit : changed) {
            sendSettings(unit);
        }
        const auto now = Clock::now();
        if (settings.publishMs == 0 || now >= nextPeriod || queuedUpTo < replayUpTo || deathsWaiting()) {
            while (inFlight.size() < kInFlight && takeRows()) {
            }
            if (settings.publishMs > 0 && now >= nextPeriod) {
                nextPeriod += std::chrono::milliseconds(settings.publishMs);
                if (nextPeriod < now) {
                    nextPeriod = now + std::chrono::milliseconds(settings.publishMs);
                }
            }
        }
        diePassed();
        probe();
        if (now >= nextBacklog) {
            nextBacklog = now + kBacklogEvery;
            const std::uint64_t backlog = journal != nullptr ? journal->backlog(forwarder) : 0;
            if (backlog != backlogSaid) {
                backlogSaid = backlog;
                Payload ndata = backlogData(backlog, nowMs());
                ndata.seq = seq.next();
                publish(nodeTopic(name, "NDATA"), ndata, 0);
            }
        }
    }

    bool deathsWaiting() {
        std::lock_guard<std::mutex> guard(lock);
        return !deaths.empty();
    }

    // DDEATH for each unit whose samples before its silence have all gone.
    void diePassed() {
        std::vector<std::int16_t> due;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (auto it = deaths.begin(); it != deaths.end();) {
                if (it->afterRow <= queuedUpTo) {
                    due.push_back(it->unit);
                    it = deaths.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (std::int16_t unit : due) {
            deviceDied(unit);
        }
    }

    void sendSettings(std::int16_t unit) {
        if (bornDevices.count(unit) == 0 || !settingsOf) {
            return;
        }
        const std::optional<UnitSettings> now = settingsOf(unit);
        if (!now) {
            return;
        }
        Payload ddata = settingsData(unit, now->channels, nowMs());
        ddata.seq = seq.next();
        publish(deviceTopic(name, "DDATA", unit), ddata, 0);
    }

    // The next rows, each unit's in messages of their own, in order. False
    // when there were none.
    bool takeRows() {
        diePassed();
        std::vector<Row> rows;
        if (journal != nullptr) {
            std::vector<JournalRow> taken;
            try {
                taken = journal->after(queuedUpTo, kTakeAtOnce);
            } catch (const std::exception& e) {
                ignore("journal", std::string("cannot take samples from the journal: ") + e.what());
                return false;
            }
            for (const JournalRow& row : taken) {
                rows.push_back(Row{row.id, row.unit, sampleOf(row)});
            }
        } else {
            std::lock_guard<std::mutex> guard(lock);
            while (!waiting.empty() && rows.size() < kTakeAtOnce) {
                rows.push_back(std::move(waiting.front()));
                waiting.pop_front();
            }
        }
        if (rows.empty()) {
            return false;
        }
        // Deaths fall between rows: the rows up to each go before it.
        std::vector<Death> ahead;
        {
            std::lock_guard<std::mutex> guard(lock);
            ahead = deaths;
        }
        std::size_t from = 0;
        while (from < rows.size()) {
            std::size_t to = rows.size();
            for (const Death& death : ahead) {
                if (death.afterRow >= rows[from].id && death.afterRow < rows[to - 1].id) {
                    const auto cut = std::find_if(rows.begin() + static_cast<std::ptrdiff_t>(from), rows.end(),
                                                  [&](const Row& r) { return r.id > death.afterRow; });
                    to = std::min(to, static_cast<std::size_t>(cut - rows.begin()));
                }
            }
            sendRows(rows, from, to);
            from = to;
            diePassed();
        }
        if (journal != nullptr) {
            journal->queued(queuedUpTo, forwarder);
        }
        acknowledge();
        return true;
    }

    void sendRows(const std::vector<Row>& rows, std::size_t from, std::size_t to) {
        std::map<std::int16_t, std::vector<const Row*>> byUnit;
        for (std::size_t i = from; i < to; ++i) {
            byUnit[rows[i].unit].push_back(&rows[i]);
        }
        for (const auto& [unit, ofUnit] : byUnit) {
            for (std::size_t start = 0; start < ofUnit.size(); start += kSamplesPerMessage) {
                const std::size_t end = std::min(ofUnit.size(), start + kSamplesPerMessage);
                sendOfUnit(unit, ofUnit, start, end);
            }
        }
        queuedUpTo = std::max(queuedUpTo, rows[to - 1].id);
    }

    void sendOfUnit(std::int16_t unit, const std::vector<const Row*>& rows, std::size_t start, std::size_t end) {
        Payload ddata;
        std::vector<std::uint64_t> ids;
        for (std::size_t i = start; i < end; ++i) {
            const Row& row = *rows[i];
            if (bornDevices.count(unit) == 0) {
                if (row.sample.result != RC_OK) {
                    continue; // a silent unit has no device to speak for it
                }
                flushData(unit, ddata, ids);
                deviceBorn(unit, row.sample);
            }
            if (!ddata.timestamp) {
                ddata.timestamp = millisecondsOf(row.sample.time);
            }
            appendData(ddata, unit, row.sample, row.id <= replayUpTo, answeringSaid[unit]);
            ids.push_back(row.id);
        }
        flushData(unit, ddata, ids);
    }

    void flushData(std::int16_t unit, Payload& ddata, std::vector<std::uint64_t>& ids) {
        if (!ddata.metrics.empty()) {
            ddata.seq = seq.next();
            publish(deviceTopic(name, "DDATA", unit), ddata, 0, ids);
        }
        ddata = Payload{};
        ids.clear();
    }

    // What is due goes, until `until`; then NDEATH and a clean disconnect.
    void finish(Clock::time_point until) override {
        if (client() == nullptr || !connection->connected()) {
            return;
        }
        if (born) {
            while (Clock::now() < until && inFlight.size() < kInFlight && takeRows()) {
                connection->pump(std::chrono::milliseconds(0));
            }
            while (!inFlight.empty() && client() != nullptr && Clock::now() < until) {
                connection->pump(std::chrono::milliseconds(20));
            }
        }
        if (client() == nullptr) {
            return;
        }
        deathWritten = false;
        deathMid = publish(nodeTopic(name, "NDEATH"), nodeDeath(bdSeq), 1);
        const auto ackBy = std::min(until + std::chrono::seconds(1), Clock::now() + std::chrono::seconds(1));
        while (client() != nullptr && deathMid != -1 && !deathWritten && Clock::now() < ackBy) {
            connection->pump(std::chrono::milliseconds(20));
        }
        if (deathWritten) {
            confirm(written); // the broker acknowledged the NDEATH, after all before it
        }
        connection->disconnect();
    }

    void stopped() override {
        linked = false;
        bornNow = false;
        if (journal != nullptr) {
            const std::uint64_t left = journal->backlog(forwarder);
            if (left > 0) {
                log("info", "sparkplug-kept",
                    std::to_string(left) + " samples not yet written to the broker at " + settings.link.url +
                        " stay in the journal and go at the next start, flagged historical");
            }
        }
    }

    // -- the command thread: DCMD writes, as the API makes changes --

    void runWrites() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            writeWake.wait(guard, [this] { return stopping || !writes.empty(); });
            if (stopping) {
                return;
            }
            const Write write = writes.front();
            writes.pop_front();
            guard.unlock();
            try {
                apply(write);
            } catch (const std::exception& e) {
                log("error", "sparkplug-command-failed", "a DCMD write failed: " + std::string(e.what()));
            }
            guard.lock();
        }
    }

    void apply(const Write& w) {
        const ChannelSetting& setting = *w.write.setting;
        std::string action;
        nlohmann::json body = nlohmann::json::object();
        if (std::string(setting.key) == "run") {
            action = w.write.value != 0 ? "run" : "stop";
        } else {
            std::array<ChannelSettings, 3> channels{};
            if (settingsOf) {
                if (const std::optional<UnitSettings> now = settingsOf(w.unit)) {
                    channels = now->channels;
                }
            }
            SettingValues values = setting.get(channels[static_cast<std::size_t>(w.write.channel)]);
            values[w.write.index] = w.write.value;
            for (std::size_t i = 0; i < setting.count; ++i) {
                body[setting.fields[i]] = values[i];
            }
            action = setting.action;
        }
        int status = 0;
        const nlohmann::json answer = runner(std::to_string(w.unit), std::to_string(w.write.channel), action,
                                             body.dump(), status);
        const std::string what = deviceId(w.unit) + " channel " + std::to_string(w.write.channel) + " " + action;
        if (status == 200) {
            log("info", "sparkplug-command", "a host's DCMD: " + what + " " + body.dump());
        } else {
            ++ignored;
            log("warning", "sparkplug-command", "a host's DCMD " + what + " failed (" + std::to_string(status) +
                                                    "): " + answer.value("error", answer.dump()));
        }
    }
};

bool sparkplugBuiltIn() {
    return true;
}

SparkplugNode::SparkplugNode(const Station& station, PublisherLog log)
    : impl_(std::make_shared<Impl>(station, std::move(log))) {}

SparkplugNode::~SparkplugNode() {
    stop();
}

void SparkplugNode::onCommand(CommandRunner runner, SettingsOf settings) {
    impl_->runner = std::move(runner);
    impl_->settingsOf = std::move(settings);
}

void SparkplugNode::forwardFrom(Journal& journal) {
    impl_->journal = &journal;
    std::weak_ptr<Impl> weak = impl_;
    const bool eachAtOnce = impl_->settings.publishMs == 0;
    impl_->forwarder = journal.forwardFrom(
        [weak, eachAtOnce] {
            if (auto impl = weak.lock(); impl && eachAtOnce) {
                impl->connection->wake();
            }
        },
        "sparkplug");
    impl_->queuedUpTo = journal.cursor(impl_->forwarder);
}

void SparkplugNode::start() {
    MqttConnection::start(impl_->connection, impl_);
    if (impl_->settings.commands && impl_->runner) {
        Impl* impl = impl_.get();
        impl_->commandThread = std::thread([impl] { impl->runWrites(); });
    }
}

void SparkplugNode::stop(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->stopping = true;
        impl_->writeWake.notify_all();
    }
    if (impl_->commandThread.joinable()) {
        impl_->commandThread.join();
    }
    impl_->connection->stop(grace);
}

std::shared_ptr<const ReaderListener> SparkplugNode::listener() {
    auto listener = std::make_shared<ReaderListener>();
    std::shared_ptr<Impl> impl = impl_;
    listener->sample = [impl](std::int16_t id, const Sample& s, std::optional<bool>) { impl->sample(id, s); };
    listener->event = [impl](const UnitEvent& e) { impl->unitEvent(e); };
    return listener;
}

void SparkplugNode::configEvent(const ConfigEvent& event) {
    impl_->configEvent(event);
}

SparkplugTally SparkplugNode::tally() const {
    return impl_->tally();
}

} // namespace brivant::tool
