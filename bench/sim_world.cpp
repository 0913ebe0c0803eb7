#include "sim_world.h"

#include <cstdio>
#include <cstdlib>

#include "brivant.h"
#include "platform/sim/sim.h"

namespace brivant::bench {

void closeAll() {
    for (std::int16_t id = 0; id < 16; ++id) {
        Brivant_Device_Close(id);
    }
}

void freshWorld(int units, std::chrono::microseconds readDelay) {
    closeAll();
    sim::reset();
    for (int id = 0; id < units; ++id) {
        sim::Unit unit;
        unit.idReply = id;
        std::int32_t count = channel0Count(id);
        unit.countReply = {0, 0, static_cast<std::uint8_t>(count >> 8),
                           static_cast<std::uint8_t>(count), 0, 0x80, 0, 0, 0, 0, 0, 42, 1, 0, 1};
        unit.readDelay = readDelay;
        sim::addUnit(unit);
    }
    sim::setRecording(false);
    sim::clearCalls();
}

void openUnits(int count) {
    for (int id = 0; id < count; ++id) {
        std::int16_t rc = Brivant_Device_Open(static_cast<std::int16_t>(id));
        if (rc != RC_OK) {
            std::fprintf(stderr, "opening unit %d failed with %d\n", id, rc);
            std::exit(1);
        }
    }
}

PlatformCalls platformCallsPerRun(int calls, std::int16_t (*body)(std::int16_t id),
                                  std::int16_t id) {
    sim::setRecording(true);
    sim::clearCalls();
    for (int i = 0; i < calls; ++i) {
        body(id);
    }
    PlatformCalls counted;
    for (const sim::Call& call : sim::calls()) {
        counted.writes += call.op == sim::Op::WritePipe;
        counted.reads += call.op == sim::Op::ReadPipe;
        counted.total += 1;
    }
    sim::setRecording(false);
    sim::clearCalls();
    counted.writes /= calls;
    counted.reads /= calls;
    counted.total /= calls;
    return counted;
}

} // namespace brivant::bench
