#!/usr/bin/env python3
"""Writes the seed scripts of the API fuzzer into fuzz/corpus/.

Each seed is a script as fuzz_api.cpp reads it: an opcode byte, then its
operands. Run it again after changing the opcodes; the files are kept in the
repository so the fuzz stage needs nothing but the compiler.
"""
import os

(ADD_UNIT, UNPLUG, REPLUG, SET_BEHAVIOUR, SET_COUNT_REPLY, SET_ID_REPLY, SET_PLATFORM_FAULT,
 SET_ORDER, OPEN, CLOSE, INPUT_INVERTER, OUTPUT_INVERTER, OUTPUT_MODE, SEL_CLEAR_EVENT,
 SEL_MULTIPLIER, SET_LIMITTER, FORCED_CLEAR, RUN_STOP, WRITE_PRESET_DATA, READ_COUNT,
 READ_COUNT_CH) = range(21)

COUNTS = [0, 0, 0x30, 0x39, 0, 0x80, 0, 0, 0x12, 0, 0, 1, 1, 0, 1]


def unit(id_reply, flags=0, deliver=0, counts=COUNTS):
    return [ADD_UNIT, id_reply, flags, deliver] + counts


def far_id(value):
    """An ID operand carrying any 16-bit value."""
    value &= 0xFFFF
    return [0x80, value >> 8, value & 0xFF]


def every_counter_call(id_byte):
    return ([INPUT_INVERTER, id_byte, 0, 1, 0, 1], [OUTPUT_INVERTER, id_byte, 1, 1, 0],
            [OUTPUT_MODE, id_byte, 2, 0, 1], [SEL_CLEAR_EVENT, id_byte, 0, 2],
            [SEL_MULTIPLIER, id_byte, 1, 2], [SET_LIMITTER, id_byte, 2, 1, 1],
            [FORCED_CLEAR, id_byte, 2], [RUN_STOP, id_byte, 0, 1],
            [WRITE_PRESET_DATA, id_byte, 1, 1, 0x12, 0xAB, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF],
            [READ_COUNT, id_byte, 0], [READ_COUNT_CH, id_byte, 1, 0])


def flat(*parts):
    out = []
    for part in parts:
        if isinstance(part, (list, tuple)) and part and isinstance(part[0], list):
            for p in part:
                out += p
        else:
            out += part
    return bytes(out)


SEEDS = {
    "open-call-close": flat(unit(3), unit(7), [OPEN, 3], every_counter_call(3), [CLOSE, 3]),
    "hostile-arguments": flat(
        unit(1), [OPEN, 1], [INPUT_INVERTER, 1, 3, 2, 2, 2], [RUN_STOP, 1, 0, 2],
        [SEL_CLEAR_EVENT, 1, 0xFF, 0xFF], [READ_COUNT, 1, 3], [READ_COUNT_CH, 1, 3, 0],
        [READ_COUNT_CH, 1, 2, 1], [WRITE_PRESET_DATA, 1, 3, 0], [WRITE_PRESET_DATA, 1, 0, 0],
        [OPEN] + far_id(16), [OPEN] + far_id(-1), [FORCED_CLEAR] + far_id(-32768) + [0],
        [READ_COUNT] + far_id(0x7FFF) + [0], [CLOSE] + far_id(200), [OPEN, 1], [CLOSE, 1],
        [CLOSE, 1], [FORCED_CLEAR, 1, 0]),
    "unplug-replug": flat(
        unit(3), unit(7), unit(9), [OPEN, 3], [OPEN, 9], [UNPLUG, 0], [READ_COUNT, 3, 0],
        [FORCED_CLEAR, 3, 0], [OPEN, 7], [CLOSE, 3], [OPEN, 3], [SET_ORDER, 3, 1, 2, 0],
        [REPLUG, 0], [OPEN, 3], [READ_COUNT, 3, 0], [READ_COUNT, 9, 0]),
    "short-and-garbage-replies": flat(
        unit(5, 0x08, 14), unit(6, 0x08, 0), unit(0xFF), unit(5, 0x10), unit(2),
        [OPEN, 5], [READ_COUNT, 5, 0], [READ_COUNT_CH, 5, 0, 0], [OPEN, 6],
        [SET_BEHAVIOUR, 0, 0, 0], [READ_COUNT, 5, 0], [SET_COUNT_REPLY, 0] + [0xFF] * 15,
        [READ_COUNT, 5, 0], [SET_ID_REPLY, 4, 2, 0], [OPEN, 2]),
    "too-many-units": flat([unit(i % 16) for i in range(17)], [OPEN, 4], [UNPLUG, 16], [OPEN, 4],
                           [READ_COUNT_CH, 4, 2, 0]),
    "platform-faults": flat(
        unit(4), unit(8), [SET_PLATFORM_FAULT, 1, 9], [OPEN, 4], [SET_PLATFORM_FAULT, 8, 0],
        [OPEN, 4], [SET_PLATFORM_FAULT, 9, 2], [OPEN, 4], [SET_PLATFORM_FAULT, 5, 3], [OPEN, 8],
        [SET_PLATFORM_FAULT, 4, 1], [OPEN, 8], [SET_PLATFORM_FAULT, 0, 0], [OPEN, 4], [OPEN, 8],
        [SET_PLATFORM_FAULT, 1, 1], [READ_COUNT, 4, 0], [SET_PLATFORM_FAULT, 1, 2],
        [FORCED_CLEAR, 8, 1], [SET_BEHAVIOUR, 0, 0x02, 0], [RUN_STOP, 4, 1, 1],
        [SET_BEHAVIOUR, 0, 0x04, 0], [READ_COUNT, 4, 0]),
}


def main():
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(corpus, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(corpus, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
