// The Sparkplug node over simulated units that are unplugged and plugged
// back, against Mosquitto and the npm host of the servers suite
// (tests/sparkplug-host/host.mjs). It runs in the servers stage, which
// installs the host and names it in BRIVANT_SPARKPLUG_HOST; elsewhere it
// is skipped.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "export/sparkplug/sparkplug_node.h"
#include "station/station_file.h"
#include "tool_support.h"

namespace brivant::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

int freePort() {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(sock);
    return ntohs(address.sin_port);
}

// A child process, its output read line by line; ended with SIGTERM. Its
// input stays open until then (the host ends when its input does).
class Child {
public:
    explicit Child(std::vector<std::string> args, bool readOutput) {
        int out[2] = {-1, -1};
        int in[2] = {-1, -1};
        if ((readOutput && ::pipe(out) != 0) || ::pipe(in) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::close(in[1]);
            if (readOutput) {
                ::dup2(out[1], STDOUT_FILENO);
                ::close(out[0]);
            }
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            if (!std::freopen("/dev/null", "w", stderr)) {
                std::fclose(stderr);
            }
            ::execvp(argv[0], argv.data());
            std::_Exit(127);
        }
        ::close(in[0]);
        input_ = in[1];
        if (readOutput) {
            ::close(out[1]);
            reader_ = std::thread([this, fd = out[0]] {
                std::string line;
                char c = 0;
                while (::read(fd, &c, 1) == 1) {
                    if (c != '\n') {
                        line += c;
                        continue;
                    }
                    std::lock_guard<std::mutex> guard(lock_);
                    lines_.push_back(line);
                    line.clear();
                }
                ::close(fd);
            });
        }
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (input_ >= 0) {
            ::close(input_);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds most = 10s) {
    const auto until = std::chrono::steady_clock::now() + most;
    while (!done() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

class SparkplugUnplug : public SimTest {};

TEST_F(SparkplugUnplug, AUnitUnpluggedIsADdeathAndBackADbirthWithTheSameAliases) {
    const char* hostScript = std::getenv("BRIVANT_SPARKPLUG_HOST");
    if (hostScript == nullptr || !tool::sparkplugBuiltIn()) {
        GTEST_SKIP() << "the servers stage runs this, with the npm host installed (BRIVANT_SPARKPLUG_HOST)";
    }
    const int port = freePort();
    char folder[] = "/tmp/brivant-sparkplug-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string conf = std::string(folder) + "/mosquitto.conf";
    struct RemovedAtTheEnd { // whatever the test's outcome
        std::string conf, folder;
        ~RemovedAtTheEnd() {
            ::unlink(conf.c_str());
            ::rmdir(folder.c_str());
        }
    } removed{conf, folder};
    std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    Child broker({"mosquitto", "-c", conf}, false);
    std::this_thread::sleep_for(300ms);
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
    Child host({"node", hostScript, url}, true);
    ASSERT_TRUE(waitFor([&] { return !host.lines().empty(); })) << "the host subscribed";

    addLiveUnits({0, 1});
    const tool::Station station = tool::parseStation(
        "station = \"bench\"\n[unit.0]\n[unit.1]\n[history]\nenabled = false\n[sparkplug]\nurl = \"" + url +
            "\"\ngroup_id = \"plant\"\npublish_ms = 0\n",
        "s.toml");
    tool::SparkplugNode node(station, [](const std::string&, const std::string&, const std::string&) {});
    tool::ReaderSettings settings;
    settings.rateHz = 50;
    settings.reopenEvery = 20ms;
    settings.listener = node.listener();
    node.start();
    auto configured = [](std::int16_t, tool::ConfigureWhy) { return static_cast<std::int16_t>(RC_OK); };
    tool::UnitReader zero(0, settings, tool::ReaderStart{false, configured});
    tool::UnitReader one(1, settings, tool::ReaderStart{false, configured});

    // What the host took from the node, in order: (kind, unit, payload).
    struct Taken {
        std::string kind;
        std::string device;
        Json payload;
    };
    auto taken = [&] {
        std::vector<Taken> out;
        for (const std::string& line : host.lines()) {
            const Json item = Json::parse(line, nullptr, false);
            if (!item.is_object() || !item.contains("topic")) {
                continue;
            }
            const std::string topic = item["topic"];
            // spBv1.0/GROUP/KIND/NODE[/DEVICE]
            const auto a = topic.find('/', 8), b = topic.find('/', a + 1), c = topic.find('/', b + 1);
            out.push_back({topic.substr(a + 1, b - a - 1), c == std::string::npos ? "" : topic.substr(c + 1),
                           item.value("payload", Json::object())});
        }
        return out;
    };
    auto count = [&](const std::string& kind, const std::string& device) {
        std::size_t n = 0;
        for (const Taken& t : taken()) {
            n += t.kind == kind && t.device == device ? 1 : 0;
        }
        return n;
    };
    ASSERT_TRUE(waitFor([&] { return count("DDATA", "unit-0") > 5; })) << "data of unit 0";

    sim::Unit unit = sim::getUnit(0);
    unit.present = false;
    sim::setUnit(0, unit);
    ASSERT_TRUE(waitFor([&] { return count("DDEATH", "unit-0") == 1; })) << "a unit unplugged is a DDEATH";
    const std::size_t ofOne = count("DDATA", "unit-1");
    ASSERT_TRUE(waitFor([&] { return count("DDATA", "unit-1") > ofOne + 5; })) << "the other unit goes on";
    unit.present = true;
    sim::setUnit(0, unit);
    ASSERT_TRUE(waitFor([&] { return count("DBIRTH", "unit-0") == 2; })) << "plugged again, a DBIRTH";
    ASSERT_TRUE(waitFor([&] {
        const std::vector<Taken> now = taken();
        const auto reborn = std::find_if(now.rbegin(), now.rend(),
                                         [](const Taken& t) { return t.kind == "DBIRTH" && t.device == "unit-0"; });
        return std::any_of(now.rbegin(), reborn, [](const Taken& t) { return t.kind == "DDATA" && t.device == "unit-0"; });
    })) << "and its data again";
    EXPECT_TRUE(zero.stop(2s));
    EXPECT_TRUE(one.stop(2s));
    node.stop();

    const std::vector<Taken> all = taken();
    std::vector<std::string> ofZero;
    std::vector<std::map<std::string, std::uint64_t>> births;
    std::uint64_t expectedSeq = 0;
    for (const Taken& t : all) {
        if (t.kind == "NDEATH") {
            continue;
        }
        EXPECT_EQ(t.payload.value("seq", 999u), expectedSeq % 256) << t.kind << " " << t.device << ": seq rises by one";
        expectedSeq = t.payload.value("seq", 0u) + 1;
        if (t.device != "unit-0") {
            continue;
        }
        ofZero.push_back(t.kind);
        if (t.kind == "DBIRTH") {
            std::map<std::string, std::uint64_t> aliases;
            for (const Json& metric : t.payload["metrics"]) {
                aliases[metric["name"]] = metric["alias"];
            }
            births.push_back(aliases);
        }
    }
    const auto death = std::find(ofZero.begin(), ofZero.end(), "DDEATH");
    ASSERT_NE(death, ofZero.end());
    ASSERT_LT(death + 1, ofZero.end());
    EXPECT_EQ(*(death + 1), "DBIRTH") << "no data of a dead device: after its DDEATH comes its DBIRTH";
    EXPECT_EQ(std::count(ofZero.begin(), death, "DBIRTH"), 1);
    ASSERT_EQ(births.size(), 2u);
    EXPECT_EQ(births[0], births[1]) << "aliases stable across replugs";
}

} // namespace
} // namespace brivant::test
