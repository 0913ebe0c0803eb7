// Reads unit 0 through the C++ wrapper: run, read, stop, preset, clear.
#include <chrono>
#include <cstdio>
#include <thread>

#include <brivant.hpp>

static void print(const char* when, const brivant::Counts& c) {
    std::printf("%-22s counts %d %d %d, status 0x%02X 0x%02X 0x%02X\n", when, c.counts[0],
                c.counts[1], c.counts[2], c.status[0], c.status[1], c.status[2]);
}

int main() {
    try {
        brivant::Unit unit(0);
        for (std::uint8_t ch = 0; ch < 3; ++ch) {
            unit.run(ch);
        }
        print("running", unit.readCounts());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        print("300 ms later", unit.readCounts());
        unit.stop(1);
        unit.writePreset(1, 500, 0);
        unit.forceClear(1);
        print("channel 1 cleared", unit.readCounts());
    } catch (const brivant::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
