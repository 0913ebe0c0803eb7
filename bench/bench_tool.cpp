// Figures for the brivant tool over the simulated platform (no timed
// assertion; see bench/README.md):
//   - log --interval 0: samples per second against the unit's round trip;
//   - the panel: USB exchanges per second per unit with 1 and with 5 pages
//     polling it as the page does;
//   - the panel's CPU with 16 units read 20 times a second;
//   - serve: a station of 16 units at 20 and 100 Hz, CPU with 0 and 5 pages;
//     and a read through serve's API against a direct read, per call.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <time.h>
#include <sys/resource.h>

#include <httplib.h>

#include "brivant.h"
#include "util/checked_output.h"
#include "station/live_station.h"
#include "http/panel_server.h"
#include "platform/sim/sim.h"
#include "commands/sample_log.h"
#include "service/unit_registry.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace sim = brivant::sim;
namespace tool = brivant::tool;

void freshUnits(int count, std::chrono::microseconds roundTrip) {
    for (std::int16_t id = 0; id < 16; ++id) {
        Brivant_Device_Close(id);
    }
    sim::reset();
    for (int id = 0; id < count; ++id) {
        sim::Unit unit;
        unit.idReply = id;
        unit.live = true;
        unit.readDelay = roundTrip;
        sim::addUnit(unit);
    }
    sim::setRecording(false);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// ---- log --interval 0 --------------------------------------------------------

void logRate() {
    const auto roundTrip = 200us;
    const double runFor = 3.0;
    freshUnits(1, roundTrip);
    if (Brivant_Device_Open(0) != RC_OK) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    std::int32_t counts[3];
    std::uint8_t status[3];
    long long reads = 0;
    auto start = Clock::now();
    while (seconds(Clock::now() - start) < runFor) {
        Brivant_ReadCount(0, counts, status);
        ++reads;
    }
    double readRate = static_cast<double>(reads) / seconds(Clock::now() - start);
    Brivant_Device_Close(0);

    std::FILE* sink = std::fopen("/dev/null", "w");
    tool::Output out(sink, "/dev/null");
    tool::Console console{out, stderr};
    tool::LogPlan plan;
    plan.units = {0};
    plan.interval = 0ms;
    plan.duration = std::chrono::duration<double>(runFor);
    // Rows counted by a second pass over the same plan into a file.
    std::FILE* file = std::tmpfile();
    tool::Output counted(file, "rows");
    start = Clock::now();
    tool::runLog(plan, counted, console);
    double elapsed = seconds(Clock::now() - start);
    std::fflush(file);
    long long rows = 0;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) {
        rows += c == '\n';
    }
    std::fclose(file);
    std::fclose(sink);
    double logRate = static_cast<double>(rows) / elapsed;
    std::printf("\n== log --interval 0, one unit, simulated round trip %lld us\n",
                static_cast<long long>(roundTrip.count()));
    std::printf("%-46s %10.0f /s\n", "nominal 1 / round trip", 1e6 / static_cast<double>(roundTrip.count()));
    std::printf("%-46s %10.0f /s\n", "Brivant_ReadCount in a bare loop (real round trip)", readRate);
    std::printf("%-46s %10.0f /s\n", "log rows (each formatted, written, flushed)", logRate);
    std::printf("%-46s %9.1f %%\n", "log / bare loop", 100 * logRate / readRate);
    std::printf("%-46s %9.1f %%\n", "log / nominal", 100 * logRate * static_cast<double>(roundTrip.count()) / 1e6);
}

// ---- the panel ---------------------------------------------------------------

// Polls GET /api/units?after=SEQ every 200 ms, as the page does, and adds up
// its own thread's CPU time.
struct Page {
    std::thread thread;
    std::atomic<double> cpu{0};
    std::atomic<long long> requests{0};
};

void poll(Page& page, int port, const std::string& token, const std::atomic<bool>& stop) {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    unsigned long long after = 0;
    while (!stop) {
        auto result = client.Get(("/api/units?after=" + std::to_string(after)).c_str(),
                                 {{"X-Brivant-Token", token}});
        if (result && result->status == 200) {
            ++page.requests;
            // The newest sample number, as the page keeps it.
            const std::string& body = result->body;
            for (std::size_t at = body.find("\"seq\":"); at != std::string::npos;
                 at = body.find("\"seq\":", at + 6)) {
                after = std::max(after, std::stoull(body.substr(at + 6)));
            }
        }
        std::this_thread::sleep_for(200ms);
    }
    page.cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

struct PanelFigures {
    double exchangesPerUnit = 0; // J writes per second per unit
    double minPerUnit = 0, maxPerUnit = 0;
    double requestsPerSecond = 0;
    double serverCpuPercent = 0; // of one core: readers, server, simulation
};

// A station of units 0 .. units - 1, every channel at its defaults.
tool::Station stationOf(int units) {
    tool::Station station;
    station.name = "bench";
    for (std::int16_t id = 0; id < units; ++id) {
        station.units[id] = tool::UnitSettings{};
    }
    return station;
}

PanelFigures measurePanel(int units, int pages, double rateHz, double runFor, bool asStation = false) {
    freshUnits(units, 0us);
    tool::ReaderSettings settings;
    settings.rateHz = rateHz;
    std::unique_ptr<tool::LiveStation> live;
    std::unique_ptr<tool::UnitRegistry> held;
    if (asStation) {
        live = std::make_unique<tool::LiveStation>(stationOf(units), std::nullopt);
        std::vector<std::int16_t> ids;
        for (std::int16_t id = 0; id < units; ++id) {
            ids.push_back(id);
        }
        tool::LiveStation* station = live.get();
        held = std::make_unique<tool::UnitRegistry>(
            settings, tool::StationUnits{ids, [station](std::int16_t id, tool::ConfigureWhy why) {
                                             return station->configure(id, why);
                                         }});
    } else {
        held = std::make_unique<tool::UnitRegistry>(settings);
    }
    tool::UnitRegistry& registry = *held;
    registry.start();
    const std::string token = "0123456789abcdef0123456789abcdef";
    tool::PanelServer server(registry, token, std::chrono::seconds(2), live.get());
    int port = server.bind({});
    std::thread serving([&] { server.serve(); });
    std::this_thread::sleep_for(500ms);

    sim::setRecording(true);
    sim::clearCalls();
    std::atomic<bool> stop{false};
    std::vector<Page> clients(static_cast<std::size_t>(pages));
    double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    auto start = Clock::now();
    for (Page& page : clients) {
        page.thread = std::thread([&page, port, &token, &stop] { poll(page, port, token, stop); });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(runFor));
    stop = true;
    for (Page& page : clients) {
        page.thread.join();
    }
    double elapsed = seconds(Clock::now() - start);
    double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
    std::map<int, long long> writes;
    for (const sim::Call& call : sim::transfers()) {
        if (call.op == sim::Op::WritePipe) {
            ++writes[call.unit];
        }
    }
    sim::setRecording(false);
    server.stop();
    serving.join();
    registry.stop(5s);

    PanelFigures figures;
    long long requests = 0;
    for (Page& page : clients) {
        cpu -= page.cpu; // the pages' own work is not the server's
        requests += page.requests;
    }
    figures.requestsPerSecond = static_cast<double>(requests) / elapsed;
    figures.serverCpuPercent = 100 * cpu / elapsed;
    figures.minPerUnit = 1e18;
    double total = 0;
    for (int unit = 0; unit < units; ++unit) {
        double rate = static_cast<double>(writes[unit]) / elapsed;
        total += rate;
        figures.minPerUnit = std::min(figures.minPerUnit, rate);
        figures.maxPerUnit = std::max(figures.maxPerUnit, rate);
    }
    figures.exchangesPerUnit = total / units;
    return figures;
}

void panelFigures() {
    std::printf("\n== panel, units read at 20 Hz, pages polling every 200 ms\n");
    std::printf("%-8s %-6s %18s %16s %14s %16s\n", "units", "pages", "exchanges/s/unit",
                "min..max", "requests/s", "server CPU %");
    const int runs[][2] = {{3, 1}, {3, 5}, {16, 0}, {16, 1}, {16, 5}};
    for (const auto& run : runs) {
        PanelFigures f = measurePanel(run[0], run[1], 20, 10.0);
        char range[32];
        std::snprintf(range, sizeof range, "%.1f..%.1f", f.minPerUnit, f.maxPerUnit);
        std::printf("%-8d %-6d %18.2f %16s %14.1f %15.2f%%\n", run[0], run[1], f.exchangesPerUnit,
                    range, f.requestsPerSecond, f.serverCpuPercent);
    }
}

void serveFigures() {
    std::printf("\n== serve, a station of 16 units, pages polling every 200 ms\n");
    std::printf("%-8s %-6s %18s %16s %14s %16s\n", "rate Hz", "pages", "exchanges/s/unit",
                "min..max", "requests/s", "serve CPU %");
    const int runs[][2] = {{20, 0}, {20, 5}, {100, 0}, {100, 5}};
    for (const auto& run : runs) {
        PanelFigures f = measurePanel(16, run[1], run[0], 10.0, true);
        char range[32];
        std::snprintf(range, sizeof range, "%.1f..%.1f", f.minPerUnit, f.maxPerUnit);
        std::printf("%-8d %-6d %18.2f %16s %14.1f %15.2f%%\n", run[0], run[1], f.exchangesPerUnit,
                    range, f.requestsPerSecond, f.serverCpuPercent);
    }
}

// The time one read takes: Brivant_ReadCount straight, and through serve's
// API as the tool makes it (POST /api/units/0/read on a kept-alive
// connection, answered on the unit's reader thread), over the same unit.
void readThroughServe() {
    const int calls = 2000;
    freshUnits(1, 0us);
    if (Brivant_Device_Open(0) != RC_OK) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    std::int32_t counts[3];
    std::uint8_t status[3];
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        Brivant_ReadCount(0, counts, status);
    }
    double direct = seconds(Clock::now() - start) / calls;
    Brivant_Device_Close(0);

    tool::ReaderSettings settings;
    settings.rateHz = 20;
    tool::LiveStation live(stationOf(1), std::nullopt);
    tool::UnitRegistry registry(settings, tool::StationUnits{{0}, [&live](std::int16_t id, tool::ConfigureWhy why) {
                                                                 return live.configure(id, why);
                                                             }});
    registry.start();
    const std::string token = "0123456789abcdef0123456789abcdef";
    tool::PanelServer server(registry, token, std::chrono::seconds(2), &live);
    int port = server.bind({});
    std::thread serving([&] { server.serve(); });
    std::this_thread::sleep_for(300ms);
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true); // as the tool's client
    int ok = 0;
    start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        auto result = client.Post("/api/units/0/read", {{"X-Brivant-Token", token}}, "{}", "application/json");
        ok += result && result->status == 200;
    }
    double viaServe = seconds(Clock::now() - start) / calls;
    server.stop();
    serving.join();
    registry.stop(5s);
    std::printf("\n== one read of a unit, %d calls each\n", calls);
    std::printf("%-46s %10.1f us\n", "Brivant_ReadCount, direct", direct * 1e6);
    std::printf("%-46s %10.1f us  (%d of %d answered)\n", "POST /api/units/0/read through serve", viaServe * 1e6,
                ok, calls);
    std::printf("%-46s %10.1f us\n", "added per call by serve", (viaServe - direct) * 1e6);
}

} // namespace

int main() {
    std::printf("brivant tool figures over the simulated platform (nproc %u)\n",
                std::thread::hardware_concurrency());
    logRate();
    panelFigures();
    serveFigures();
    readThroughServe();
    return 0;
}
