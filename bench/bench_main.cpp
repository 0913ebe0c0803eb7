// Runs the benchmarks with the usual console table, then prints the figures
// that matter side by side: the library's own cost per call against a USB
// round trip, and how calls scale across threads and units.
//
// Per-call figures in the summary are CPU time of the calling thread: the
// machines these run on are shared, and time spent preempted by someone
// else's work is not the library's. The console table shows real time too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "alloc_count.h"

namespace {

constexpr double kHighSpeedRoundTripNs = 125000.0;

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
                continue;
            }
            // With --benchmark_repetitions the fastest repetition stands for
            // the call (the others met more interference), failures add up,
            // and every other counter keeps its highest value: the best rate,
            // the worst count of allocations or platform calls.
            auto [entry, first] = byName_.try_emplace(run.benchmark_name());
            Figures& figures = entry->second;
            if (first) {
                order_.push_back(run.benchmark_name());
            }
            auto iterations = static_cast<double>(run.iterations);
            double cpu = run.cpu_accumulated_time * 1e9 / iterations;
            if (first || cpu < figures.nsPerCall) {
                figures.nsPerCall = cpu;
                figures.realNsPerCall = run.real_accumulated_time * 1e9 / iterations;
            }
            figures.threads = run.threads;
            for (const auto& [name, counter] : run.counters) {
                double& kept = figures.counters[name];
                if (first) {
                    kept = counter.value;
                } else if (name == "failed") {
                    kept += counter.value;
                } else {
                    kept = std::max(kept, counter.value);
                }
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        GetOutputStream().flush();
        std::printf("\n== Summary\n");
        printOwnCost();
        printShippedCost();
        printSimulatedCost();
        printUsbCost();
        printScaling();
        printOpen();
        std::fflush(stdout);
    }

private:
    struct Figures {
        double nsPerCall = 0; // CPU time
        double realNsPerCall = 0;
        std::int64_t threads = 1;
        std::map<std::string, double> counters;
        double counter(const std::string& name) const {
            auto found = counters.find(name);
            return found == counters.end() ? 0 : found->second;
        }
    };

    // Runs whose names start with `prefix`, with the prefix cut off, in the
    // order they ran.
    std::vector<std::pair<std::string, const Figures*>> named(const std::string& prefix) const {
        std::vector<std::pair<std::string, const Figures*>> found;
        for (const std::string& name : order_) {
            if (name.compare(0, prefix.size(), prefix) == 0) {
                found.emplace_back(name.substr(prefix.size()), &byName_.at(name));
            }
        }
        return found;
    }

    static const Figures* find(const std::vector<std::pair<std::string, const Figures*>>& runs,
                               const std::string& name) {
        for (const auto& [runName, figures] : runs) {
            if (runName == name) {
                return figures;
            }
        }
        return nullptr;
    }

    void printOwnCost() const {
        printOwn("own/", "library's own cost per call, over a platform that returns at once:");
        printOwn("usb_own/", "library's own cost per call over its libusb backend, over a "
                             "libusb that answers at once:");
    }

    void printOwn(const std::string& prefix, const char* title) const {
        auto own = named(prefix);
        if (own.empty()) {
            return;
        }
        std::printf("%s\n", title);
        std::printf("  %-16s %10s %10s %12s %12s %8s\n", "function", "cpu ns", "real ns",
                    "% of 125 us", "allocs/call", "failed");
        for (const auto& [name, figures] : own) {
            std::printf("  %-16s %10.1f %10.1f %11.4f%% %12.2f %8.0f\n", name.c_str(),
                        figures->nsPerCall, figures->realNsPerCall,
                        100.0 * figures->nsPerCall / kHighSpeedRoundTripNs,
                        figures->counter("allocs/call"), figures->counter("failed"));
        }
        double slowest = 0;
        for (const auto& [name, figures] : own) {
            slowest = std::max(slowest, figures->nsPerCall);
        }
        std::printf("  slowest: %.1f ns a call (target: under 200 ns, 0.16 %% of 125 us)\n",
                    slowest);
    }

    // The full call over the simulation, less the simulation's own pipe pair.
    void printSimulatedCost() const {
        auto calls = named("sim/call/");
        auto pairs = named("sim/pipe_pair/");
        const Figures* ackPair = find(pairs, "ack");
        const Figures* countPair = find(pairs, "count");
        if (calls.empty() || ackPair == nullptr || countPair == nullptr) {
            return;
        }
        std::printf("per call over the simulated platform (unit answers at once), cpu ns;\n"
                    "library = the call less the simulated write and read alone:\n");
        std::printf("  %-16s %10s %10s %10s %7s %7s %9s %8s\n", "function", "call ns",
                    "pipes ns", "library ns", "writes", "reads", "platform", "failed");
        for (const auto& [name, figures] : calls) {
            bool counts = name.compare(0, 9, "ReadCount") == 0;
            double pipes = (counts ? countPair : ackPair)->nsPerCall;
            std::printf("  %-16s %10.1f %10.1f %10.1f %7.2f %7.2f %9.2f %8.0f\n", name.c_str(),
                        figures->nsPerCall, pipes, figures->nsPerCall - pipes,
                        figures->counter("writes/call"), figures->counter("reads/call"),
                        figures->counter("platform/call"), figures->counter("failed"));
        }
    }

    // The full call over libusb and an emulated unit, and libusb's own write
    // and read on a second emulated unit, alternating within each iteration
    // (real time, means). Their difference is the library's share, given
    // with its standard error: the emulated exchange spreads far more than
    // the library costs.
    void printUsbCost() const {
        auto calls = named("usb/call/");
        if (calls.empty()) {
            return;
        }
        std::printf("per call over the libusb backend, units emulated under umockdev, real ns\n"
                    "(means; emulation = libusb's own write and read, alternating with the "
                    "call):\n");
        std::printf("  %-16s %10s %12s %22s %8s\n", "function", "call ns", "emulation ns",
                    "library ns (+- 2 se)", "failed");
        for (const auto& [name, figures] : calls) {
            std::string function = name.substr(0, name.find('/')); // less "/manual_time"
            std::printf("  %-16s %10.0f %12.0f %12.0f +- %6.0f %8.0f\n", function.c_str(),
                        figures->counter("call_ns"), figures->counter("emulation_ns"),
                        figures->counter("library_ns"), 2 * figures->counter("library_se_ns"),
                        figures->counter("failed"));
        }
    }

    // The library as users get it: where allocations per call are counted.
    void printShippedCost() const {
        auto shipped = named("shipped/");
        if (shipped.empty()) {
            return;
        }
        std::printf("per call in the shipped library (shared, BRIVANT_BACKEND=sim) on its\n"
                    "demo unit 0, a live simulated unit that answers at once:\n");
        std::printf("  %-16s %10s %10s %12s %18s %8s\n", "function", "cpu ns", "real ns",
                    "allocs/call", "allocs/open+close", "failed");
        for (const auto& [name, figures] : shipped) {
            std::printf("  %-16s %10.1f %10.1f %12.2f %18.0f %8.0f\n", name.c_str(),
                        figures->nsPerCall, figures->realNsPerCall,
                        figures->counter("allocs/call"), figures->counter("allocs/open+close"),
                        figures->counter("failed"));
        }
    }

    void printScaling() const {
        auto own = named("scaling/own_unit/");
        auto shared = named("scaling/shared_unit/");
        const Figures* single = nullptr;
        for (const auto& [name, figures] : own) {
            if (figures->threads == 1) {
                single = figures;
            }
        }
        if (single == nullptr) {
            return;
        }
        double base = single->counter("items_per_second");
        std::printf("calls per second, 200 us simulated round trip (ReadCount; on the shared\n"
                    "unit half the threads send RunStop instead):\n");
        std::printf("  %-28s %12s %10s %8s %14s %12s\n", "threads", "calls/s", "x single",
                    "failed", "max in flight", "interleaved");
        auto line = [&](const std::string& label, const Figures& figures) {
            double rate = figures.counter("items_per_second");
            std::printf("  %-28s %12.0f %10.2f %8.0f %14.0f %12.0f\n", label.c_str(), rate,
                        rate / base, figures.counter("failed"), figures.counter("max_in_flight"),
                        figures.counter("interleaved"));
        };
        std::map<std::int64_t, const Figures*> byThreads;
        for (const auto& [name, figures] : own) {
            byThreads[figures->threads] = figures;
        }
        for (const auto& [threads, figures] : byThreads) {
            line(std::to_string(threads) + " on their own units", *figures);
        }
        for (const auto& [name, figures] : shared) {
            line(std::to_string(figures->threads) + " on one unit", *figures);
        }
        auto widest = byThreads.rbegin();
        std::printf("  %lld threads on their own units: %.2f times one thread (target: at least "
                    "12 at 16)\n",
                    static_cast<long long>(widest->first),
                    widest->second->counter("items_per_second") / base);
    }

    // Each unit asked for its ID costs one K exchange; on a real bus every
    // exchange is at least one round trip, which bounds an open from below.
    void printOpen() const {
        auto open = named("open/");
        if (open.empty()) {
            return;
        }
        std::printf("open and close cycle (the wanted unit first or last in enumeration):\n");
        std::printf("  %-22s %10s %14s %15s %12s %10s %8s\n", "units present", "cpu us",
                    "platform/open", "platform/close", "K exchanges", "HS floor", "failed");
        for (const auto& [name, figures] : open) {
            double exchanges = figures->counter("K/open");
            std::printf("  %-22s %10.2f %14.0f %15.0f %12.0f %7.0f us %8.0f\n", name.c_str(),
                        figures->nsPerCall / 1000, figures->counter("platform/open"),
                        figures->counter("platform/close"), exchanges,
                        (exchanges * kHighSpeedRoundTripNs) / 1000, figures->counter("failed"));
        }
    }

    std::map<std::string, Figures> byName_;
    std::vector<std::string> order_;
};

std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

} // namespace

int main(int argc, char** argv) {
    using brivant::bench::allocationsPerCall;
    std::printf("machine: %s, %u hardware threads\n", cpuModel().c_str(),
                std::thread::hardware_concurrency());
    // The counter must see what it is there to see, or its zeros mean nothing.
    double perNew = allocationsPerCall(100, [] {
        int* volatile block = new int(1);
        delete block;
    });
    double perMalloc = allocationsPerCall(100, [] {
        void* volatile block = std::malloc(8);
        std::free(block);
    });
    std::printf("allocation counter check: %.2f per new int, %.2f per malloc (want 1 and 1)\n",
                perNew, perMalloc);
    std::fflush(stdout);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter(isatty(fileno(stdout)) != 0 ? SummaryReporter::OO_ColorTabular
                                                         : SummaryReporter::OO_Tabular);
    reporter.SetErrorStream(&std::cout); // the machine context, in order with the rest
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
