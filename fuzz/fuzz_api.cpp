// libFuzzer target: the input is a script of API calls and unit behaviours,
// run against the simulated platform from an empty state. After every step
// the same invariants as the fault sweep are checked; a broken one aborts.
//
// Script: a sequence of steps, each an opcode byte (taken modulo the number
// of opcodes) followed by its operands; a missing operand byte reads as 0.
// An ID operand is one byte: below 0x80 it is that byte modulo 16 (a valid
// ID), otherwise two more bytes give any 16-bit value. A channel or setting
// operand below 0x80 lands at or just above its bound, otherwise it is taken
// as it is. See make_seeds.py for the opcodes.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "brivant.h"
#include "platform/sim/sim.h"

using namespace brivant;

namespace {

constexpr int kMaxUnits = 20; // enough to pass 16 and reach RC_TOO_MANY_UNITS

enum Opcode : std::uint8_t {
    AddUnit, Unplug, Replug, SetBehaviour, SetCountReply, SetIdReply, SetPlatformFault,
    SetOrder, Open, Close, InputInverter, OutputInverter, OutputMode, SelClearEvent,
    SelMultiplier, SetLimitter, ForcedClear, RunStop, WritePresetData, ReadCount, ReadCountCh,
    OpcodeCount
};

class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t word() {
        auto high = static_cast<std::uint16_t>(byte() << 8);
        return static_cast<std::uint16_t>(high | byte());
    }
    std::uint32_t dword() { return (std::uint32_t{word()} << 16) | word(); }
    std::int16_t id() {
        std::uint8_t b = byte();
        return b < 0x80 ? static_cast<std::int16_t>(b % 16) : static_cast<std::int16_t>(word());
    }
    // A channel or setting value: below 0x80 the byte lands at or just above
    // `bound`; from 0x80 on it is taken as it is.
    std::uint8_t value(std::uint8_t bound) {
        std::uint8_t b = byte();
        return b < 0x80 ? static_cast<std::uint8_t>(b % (bound + 2)) : b;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

[[noreturn]] void broken(const char* what, int detail) {
    std::fprintf(stderr, "invariant broken: %s (%d)\n", what, detail);
    std::abort();
}

void require(bool holds, const char* what, int detail = 0) {
    if (!holds) {
        broken(what, detail);
    }
}

bool validId(std::int16_t id) { return id >= 0 && id < 16; }

// What the harness knows: which slots are open, and which simulated unit
// each open slot holds.
struct Model {
    std::array<bool, 16> open{};
    std::array<int, 16> unit{};
    int openCount() const { return static_cast<int>(std::count(open.begin(), open.end(), true)); }
};

// Unit behaviour from one flags byte.
void applyBehaviour(sim::Unit& unit, std::uint8_t flags, std::uint8_t deliver) {
    unit.createFileFails = (flags & 0x01) != 0;
    unit.writeFails = (flags & 0x02) != 0;
    unit.readFails = (flags & 0x04) != 0;
    unit.deliverAtMost.reset();
    if ((flags & 0x08) != 0) {
        unit.deliverAtMost = deliver % 16u; // a short reply, possibly empty
    }
    unit.ackReply = static_cast<std::uint8_t>(flags ^ deliver); // any byte at all
}

void setIdReply(sim::Unit& unit, std::uint8_t value, std::uint8_t flags) {
    unit.idReply = (flags & 0x10) != 0 ? -1 : value; // -1: an empty K reply
}

void countReplyFrom(Script& script, std::array<std::uint8_t, 15>& reply) {
    for (std::uint8_t& b : reply) {
        b = script.byte();
    }
}

int pickUnit(Script& script) {
    int count = sim::unitCount();
    std::uint8_t b = script.byte();
    return count == 0 ? -1 : b % count;
}

void platformFault(Script& script) {
    sim::Faults faults;
    std::uint8_t kind = script.byte();
    std::uint8_t value = script.byte();
    switch (kind % 10) {
    case 0: break; // all faults off
    case 1: faults.failCall = value; break;
    case 2: faults.invalidClassSet = true; break;
    case 3: faults.enumFails = true; break;
    case 4: faults.sizing = value % 2 == 0 ? sim::Faults::Sizing::Succeeds : sim::Faults::Sizing::OtherError; break;
    case 5: faults.requiredSize = value; break; // too small, odd, or roomy
    case 6: faults.detailFails = true; break;
    case 7: faults.localAllocFails = true; break;
    case 8: faults.createMutexFails = true; break;
    default: faults.usbInitializeFailsOnCall = value % 8; break;
    }
    sim::setFaults(faults);
}

std::vector<sim::Call> transfersMade() { return sim::transfers(); }

// The transfer record of a counter call on `id` with result `rc`.
void checkTransfers(const Model& model, std::int16_t id, std::int16_t rc, char letter,
                    std::size_t frameLength) {
    std::vector<sim::Call> made = transfersMade();
    if (rc == RC_NOT_OPEN || rc == RC_BAD_PARAMETER) {
        require(made.empty(), "a refused call sent nothing", rc);
        return;
    }
    for (const sim::Call& call : made) {
        require(call.unit == model.unit[id], "the call reached the unit opened under its ID", call.unit);
    }
    require(!made.empty() && made.size() <= 2, "one write, at most one read", static_cast<int>(made.size()));
    const sim::Call& write = made[0];
    require(write.op == sim::Op::WritePipe && write.pipe == 0x01, "the write comes first, to pipe 0x01");
    require(write.bytes.size() == frameLength, "frame length", static_cast<int>(write.bytes.size()));
    require(write.bytes.front() == 0x02 && write.bytes.back() == 0x03, "STX ... ETX");
    require(write.bytes[1] == static_cast<std::uint8_t>(letter), "command letter", write.bytes[1]);
    if (rc == RC_OK) {
        require(made.size() == 2 && made[1].op == sim::Op::ReadPipe && made[1].pipe == 0x82 && made[1].ok,
                "a successful call read its reply from pipe 0x82");
    }
    if (!write.ok) {
        require(made.size() == 1, "no read after a failed write");
    }
}

// Digits of a setting frame match the arguments.
void checkDigits(const std::uint8_t* args, std::size_t count) {
    std::vector<sim::Call> made = transfersMade();
    for (std::size_t i = 0; i < count; ++i) {
        require(made[0].bytes[2 + i] == '0' + args[i], "argument digit", static_cast<int>(i));
    }
}

std::int32_t bigEndian(const std::uint8_t* b) {
    return static_cast<std::int32_t>((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                     (std::uint32_t{b[2]} << 8) | b[3]);
}
std::int32_t extended(const std::uint8_t* b) {
    auto v = static_cast<std::uint32_t>(bigEndian(b));
    return static_cast<std::int32_t>((v & 0x00800000u) != 0 ? v | 0xFF000000u : v);
}

// A counter call on slot `id` with `inBounds` arguments: its result is fixed
// by the model, except whether the exchange went through.
void checkResult(const Model& model, std::int16_t id, bool inBounds, std::int16_t rc) {
    if (!validId(id) || !model.open[id]) {
        require(rc == RC_NOT_OPEN, "closed or outside the table gives 7", rc);
    } else if (!inBounds) {
        require(rc == RC_BAD_PARAMETER, "bad argument gives 8", rc);
    } else {
        require(rc == RC_OK || rc == RC_COMM_FAILED, "an exchange gives 0 or 9", rc);
    }
}

void setting(Script& script, Model& model, Opcode op) {
    static const std::vector<std::uint8_t> kBounds[] = {
        {2, 1, 1, 1}, {2, 1, 1}, {2, 1, 1}, {2, 2}, {2, 2}, {2, 1, 1}, {2}, {2, 1}};
    static const char kLetters[] = "ABCDEFHI";
    const int which = op - InputInverter;
    const std::vector<std::uint8_t>& bounds = kBounds[which];
    std::int16_t id = script.id();
    std::uint8_t a[4] = {};
    bool inBounds = true;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        a[i] = script.value(bounds[i]);
        inBounds = inBounds && a[i] <= bounds[i];
    }
    std::int16_t rc = 0;
    switch (op) {
    case InputInverter: rc = Brivant_InputInverter(id, a[0], a[1], a[2], a[3]); break;
    case OutputInverter: rc = Brivant_OutputInverter(id, a[0], a[1], a[2]); break;
    case OutputMode: rc = Brivant_OutputMode(id, a[0], a[1], a[2]); break;
    case SelClearEvent: rc = Brivant_SelClearEvent(id, a[0], a[1]); break;
    case SelMultiplier: rc = Brivant_SelMultiplier(id, a[0], a[1]); break;
    case SetLimitter: rc = Brivant_SetLimitter(id, a[0], a[1], a[2]); break;
    case ForcedClear: rc = Brivant_ForcedClear(id, a[0]); break;
    default: rc = Brivant_RunStop(id, a[0], a[1]); break;
    }
    checkResult(model, id, inBounds, rc);
    checkTransfers(model, id, rc, kLetters[which], bounds.size() + 3);
    if (rc != RC_NOT_OPEN && rc != RC_BAD_PARAMETER) {
        checkDigits(a, bounds.size());
    }
}

void presetData(Script& script, Model& model) {
    std::int16_t id = script.id();
    std::uint8_t channel = script.value(2);
    bool null = script.byte() % 8 == 0;
    const std::uint32_t data[2] = {script.dword(), script.dword()};
    std::int16_t rc = Brivant_WritePresetData(id, channel, null ? nullptr : data);
    checkResult(model, id, channel <= 2 && !null, rc);
    checkTransfers(model, id, rc, 'G', 20);
    if (rc != RC_NOT_OPEN && rc != RC_BAD_PARAMETER) {
        char text[17];
        std::snprintf(text, sizeof text, "%08X%08X", static_cast<unsigned>(data[0]),
                      static_cast<unsigned>(data[1]));
        const std::vector<std::uint8_t> frame = transfersMade()[0].bytes;
        require(frame[2] == '0' + channel && std::memcmp(&frame[3], text, 16) == 0, "preset hex text");
    }
}

// The reply a successful J read delivered, as the record holds it.
std::vector<std::uint8_t> countReplyRead() { return transfersMade().at(1).bytes; }

void readCount(Script& script, Model& model) {
    std::int16_t id = script.id();
    std::uint8_t nulls = script.byte();
    std::int32_t counts[3] = {0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A};
    std::uint8_t status[3] = {0xA5, 0xA5, 0xA5};
    std::int16_t rc = Brivant_ReadCount(id, (nulls & 1) != 0 ? nullptr : counts,
                                        (nulls & 2) != 0 ? nullptr : status);
    checkResult(model, id, (nulls & 3) == 0, rc);
    checkTransfers(model, id, rc, 'J', 3);
    if (rc != RC_OK) {
        require(counts[0] == 0x5A5A5A5A && counts[1] == 0x5A5A5A5A && counts[2] == 0x5A5A5A5A &&
                    status[0] == 0xA5 && status[1] == 0xA5 && status[2] == 0xA5,
                "outputs untouched on failure", rc);
        return;
    }
    std::vector<std::uint8_t> reply = countReplyRead();
    require(reply.size() == 15, "a count is decoded only from a whole reply", static_cast<int>(reply.size()));
    require(counts[0] == bigEndian(&reply[0]) && counts[1] == extended(&reply[4]) &&
                counts[2] == extended(&reply[8]),
            "counts decoded from the reply");
    require(status[0] == reply[12] && status[1] == reply[13] && status[2] == reply[14], "status bytes");
}

void readCountCh(Script& script, Model& model) {
    std::int16_t id = script.id();
    std::uint8_t channel = script.value(2);
    std::uint8_t nulls = script.byte();
    std::int32_t count = 0x5A5A5A5A;
    std::uint8_t status = 0xA5;
    std::int16_t rc = Brivant_ReadCountCh(id, channel, (nulls & 1) != 0 ? nullptr : &count,
                                          (nulls & 2) != 0 ? nullptr : &status);
    if (channel > 2) {
        require(rc == RC_BAD_PARAMETER, "a bad channel gives 8 before anything else", rc);
    } else {
        checkResult(model, id, (nulls & 3) == 0, rc);
    }
    checkTransfers(model, id, rc, 'J', 3);
    if (rc != RC_OK) {
        require(count == 0x5A5A5A5A && status == 0xA5, "outputs untouched on failure", rc);
        return;
    }
    std::vector<std::uint8_t> reply = countReplyRead();
    require(reply.size() == 15, "a count is decoded only from a whole reply");
    std::int32_t want = channel == 0 ? bigEndian(&reply[0]) : extended(&reply[4 * channel]);
    require(count == want && status == reply[12 + channel], "the channel's count and status");
}

void openStep(Script& script, Model& model) {
    std::int16_t id = script.id();
    std::int16_t rc = Brivant_Device_Open(id);
    if (!validId(id)) {
        require(rc == RC_BAD_ID && sim::callCount() == 0, "an ID outside the table gives 1, touching nothing", rc);
        return;
    }
    if (model.open[id]) {
        require(rc == RC_ALREADY_OPEN, "an open slot gives 3", rc);
        return;
    }
    require(rc == RC_OK || rc == RC_TOO_MANY_UNITS || rc == RC_OPEN_FAILED || rc == RC_ID_NOT_FOUND,
            "open gives 0, 4, 5 or 6", rc);
    model.open[id] = rc == RC_OK;
    if (rc == RC_OK) {
        // The unit bound last is the one the slot holds.
        for (const sim::Call& call : sim::calls()) {
            if (call.op == sim::Op::UsbInitialize && call.ok) {
                model.unit[id] = call.unit;
            }
        }
    }
}

void closeStep(Script& script, Model& model) {
    std::int16_t id = script.id();
    Brivant_Device_Close(id);
    if (validId(id)) {
        model.open[id] = false;
    }
    require(transfersMade().empty(), "close sends nothing");
}

void closeAll(Model& model) {
    for (std::int16_t id = 0; id < 16; ++id) {
        Brivant_Device_Close(id);
    }
    model = Model{};
}

// The units held open before a step.
std::vector<int> unitsHeld(const Model& model) {
    std::vector<int> units;
    for (int id = 0; id < 16; ++id) {
        if (model.open[id]) {
            units.push_back(model.unit[id]);
        }
    }
    return units;
}

// A unit held open is never opened a second time, nor sent anything but the
// counter calls addressed to it (which checkTransfers verifies).
void checkNoSecondConnection(const std::vector<int>& held, bool counterStep) {
    for (const sim::Call& call : sim::calls()) {
        bool opens = call.op == sim::Op::CreateFile || call.op == sim::Op::UsbInitialize;
        bool transfers = call.op == sim::Op::WritePipe || call.op == sim::Op::ReadPipe;
        if (opens || (transfers && !counterStep)) {
            require(std::count(held.begin(), held.end(), call.unit) == 0,
                    "a unit held open was opened or asked again", call.unit);
        }
    }
}

// After every step: each open slot holds one file, one USB handle and one
// mutex; nothing else is held, released twice, or interleaved.
void checkState(const Model& model) {
    const int k = model.openCount();
    sim::Held held = sim::held();
    require(held == (sim::Held{0, 0, k, k, k}), "resources balanced with the open slots",
            held.sets * 10000 + held.blocks * 1000 + held.files * 100 + held.usbHandles * 10 + held.mutexes);
    require(sim::badReleases() == 0, "nothing released twice");
    require(sim::interleavedExchanges() == 0, "no exchange interleaved");
    // A slot is open exactly when the model says so: a null output is
    // refused only by an open slot, and sends nothing.
    for (std::int16_t id = 0; id < 16; ++id) {
        std::int16_t rc = Brivant_ReadCount(id, nullptr, nullptr);
        require(rc == (model.open[id] ? RC_BAD_PARAMETER : RC_NOT_OPEN), "slot fully open or fully closed", id);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Model model;
    closeAll(model);
    sim::reset();
    sim::setRecording(true); // the checks read each step's calls, cleared before every step
    Script script(data, size);
    while (!script.done()) {
        sim::clearCalls();
        auto op = static_cast<Opcode>(script.byte() % OpcodeCount);
        const std::vector<int> held = unitsHeld(model);
        switch (op) {
        case AddUnit: {
            sim::Unit unit;
            std::uint8_t idValue = script.byte();
            std::uint8_t flags = script.byte();
            std::uint8_t deliver = script.byte();
            setIdReply(unit, idValue, flags);
            applyBehaviour(unit, flags & 0x0F, deliver);
            countReplyFrom(script, unit.countReply);
            if (sim::unitCount() < kMaxUnits) {
                sim::addUnit(unit);
            }
            break;
        }
        case Unplug:
        case Replug: {
            int n = pickUnit(script);
            if (n >= 0) {
                sim::Unit unit = sim::getUnit(n);
                unit.present = op == Replug;
                sim::setUnit(n, unit);
            }
            break;
        }
        case SetBehaviour: {
            int n = pickUnit(script);
            std::uint8_t flags = script.byte();
            std::uint8_t deliver = script.byte();
            if (n >= 0) {
                sim::Unit unit = sim::getUnit(n);
                applyBehaviour(unit, flags, deliver);
                sim::setUnit(n, unit);
            }
            break;
        }
        case SetCountReply: {
            int n = pickUnit(script);
            std::array<std::uint8_t, 15> reply{};
            countReplyFrom(script, reply);
            if (n >= 0) {
                sim::Unit unit = sim::getUnit(n);
                unit.countReply = reply;
                sim::setUnit(n, unit);
            }
            break;
        }
        case SetIdReply: {
            int n = pickUnit(script);
            std::uint8_t value = script.byte();
            std::uint8_t flags = script.byte();
            if (n >= 0) {
                sim::Unit unit = sim::getUnit(n);
                setIdReply(unit, value, flags);
                sim::setUnit(n, unit);
            }
            break;
        }
        case SetPlatformFault: platformFault(script); break;
        case SetOrder: {
            std::vector<int> order(script.byte() % (kMaxUnits + 1));
            for (int& n : order) {
                n = script.byte() % kMaxUnits;
            }
            sim::setEnumerationOrder(order);
            break;
        }
        case Open: openStep(script, model); break;
        case Close: closeStep(script, model); break;
        case WritePresetData: presetData(script, model); break;
        case ReadCount: readCount(script, model); break;
        case ReadCountCh: readCountCh(script, model); break;
        default: setting(script, model, op); break;
        }
        checkNoSecondConnection(held, op >= InputInverter);
        checkState(model);
    }
    // Whatever happened, closing everything releases everything.
    sim::setFaults({});
    closeAll(model);
    checkState(model);
    return 0;
}
