// The journal's blocks of samples: every field comes back as it went in, a
// sample takes a few bytes at the rates serve reads, and damage is told.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "journal/sample_block.h"

namespace brivant::test {
namespace {

using tool::JournalRow;

// Rows as `units` readers at `rateHz` hand them to the journal over one
// commit: interleaved, each unit's times a period apart give or take the
// scheduler's jitter (now and then a sample late by milliseconds), the wall
// clock a few microseconds off the steady one, seq in nearly the order of
// the IDs, and counts that step by `step(rng)`.
template <typename Step>
std::vector<JournalRow> commitOf(int units, double rateHz, int seconds, Step step, std::uint64_t seed = 1) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> jitter(-150, 150);
    std::uniform_int_distribution<int> late(0, 99);
    std::vector<JournalRow> rows;
    const std::int64_t periodUs = static_cast<std::int64_t>(1e6 / rateHz);
    const std::int64_t startUs = 1'765'000'000'000'000;
    std::vector<std::array<std::int32_t, 3>> counts(static_cast<std::size_t>(units));
    std::uint64_t id = 1000;
    const int perUnit = static_cast<int>(rateHz) * seconds;
    for (int k = 0; k < perUnit; ++k) {
        for (int u = 0; u < units; ++u) {
            JournalRow row;
            row.id = ++id;
            row.unit = static_cast<std::int16_t>(u);
            row.n = static_cast<std::uint64_t>(k) + 1;
            row.seq = id - 990 + static_cast<std::uint64_t>(late(rng) < 3 ? 1 : 0);
            row.timeUs = startUs + k * periodUs + u * 37 + jitter(rng) + (late(rng) == 0 ? 4000 : 0);
            row.t = static_cast<double>(row.timeUs - startUs + 1012 + late(rng) % 3) / 1e6;
            auto& c = counts[static_cast<std::size_t>(u)];
            for (auto& channel : c) {
                channel = static_cast<std::int32_t>(static_cast<std::uint32_t>(channel) +
                                                    static_cast<std::uint32_t>(step(rng)));
            }
            row.counts = c;
            row.status = {0x01, 0x00, 0x01};
            row.configured = true;
            rows.push_back(row);
        }
    }
    return rows;
}

void expectSame(const std::vector<JournalRow>& got, const std::vector<JournalRow>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(got[i].id, want[i].id);
        EXPECT_EQ(got[i].unit, want[i].unit);
        EXPECT_EQ(got[i].run, "run-x");
        EXPECT_EQ(got[i].n, want[i].n);
        EXPECT_EQ(got[i].seq, want[i].seq);
        EXPECT_EQ(got[i].timeUs, want[i].timeUs);
        EXPECT_NEAR(got[i].t, want[i].t, 0.6e-6);
        EXPECT_EQ(got[i].result, want[i].result);
        EXPECT_EQ(got[i].configured, want[i].configured);
        if (want[i].result == 0) {
            EXPECT_EQ(got[i].counts, want[i].counts);
            EXPECT_EQ(got[i].status, want[i].status);
        } else {
            EXPECT_EQ(got[i].counts, (std::array<std::int32_t, 3>{})) << "a failed read keeps no counts";
            EXPECT_EQ(got[i].status, (std::array<std::uint8_t, 3>{}));
        }
    }
}

double bytesPerSample(const std::vector<JournalRow>& rows) {
    return static_cast<double>(tool::encodeBlock(rows).size()) / static_cast<double>(rows.size());
}

TEST(SampleBlock, SixteenUnitsAtAKilohertzWithRandomStepsTakeAtMostEightBytesASample) {
    std::uniform_int_distribution<int> upTo1000(0, 1000);
    auto rows = commitOf(16, 1000, 1, [&](std::mt19937_64& rng) { return upTo1000(rng); });
    // What a real commit also holds: failed reads, a unit replugged and
    // configured again, status bits that change, and a count that wraps.
    rows[100].result = -3;
    rows[101].result = 2;
    rows[116].configured = std::nullopt;
    rows[5000].status = {0x03, 0x00, 0x01};
    rows[5016].configured = false;
    rows[7000].counts[1] = INT32_MAX;
    rows[7016].counts[1] = INT32_MIN + 5;
    const std::string block = tool::encodeBlock(rows);
    expectSame(tool::decodeBlock(block, "run-x"), rows);
    const double perSample = static_cast<double>(block.size()) / static_cast<double>(rows.size());
    std::printf("16 units x 1 kHz, steps up to 1000 a sample: %.2f bytes a sample\n", perSample);
    EXPECT_LE(perSample, 8.0);
}

TEST(SampleBlock, SteadyCountsTakeAtMostThreeBytesASampleAndTheWorstCaseIsBounded) {
    const double steady = bytesPerSample(commitOf(16, 1000, 1, [](std::mt19937_64&) { return 7; }));
    const double still = bytesPerSample(commitOf(1, 100, 1, [](std::mt19937_64&) { return 0; }));
    // The worst: every count anywhere in its range, every status different.
    std::uniform_int_distribution<std::int64_t> any(INT32_MIN, INT32_MAX);
    auto wild = commitOf(16, 1000, 1, [&](std::mt19937_64& rng) { return any(rng); });
    std::mt19937_64 rng(9);
    for (JournalRow& row : wild) {
        row.status = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                      static_cast<std::uint8_t>(rng())};
    }
    const std::string block = tool::encodeBlock(wild);
    expectSame(tool::decodeBlock(block, "run-x"), wild);
    const double worst = static_cast<double>(block.size()) / static_cast<double>(wild.size());
    std::printf("steady counts: %.2f bytes a sample at 16 x 1 kHz, %.2f at 1 x 100 Hz; worst case %.2f\n",
                steady, still, worst);
    EXPECT_LE(steady, 3.0);
    EXPECT_LE(worst, 24.0) << "never much more than the values themselves";
}

TEST(SampleBlock, OneRowAndExtremeValuesComeBackAndUnorderedRowsAreRefused) {
    JournalRow row;
    row.id = UINT64_MAX - 1;
    row.unit = INT16_MIN;
    row.n = UINT64_MAX;
    row.seq = 0;
    row.timeUs = INT64_MIN + 5;
    row.t = 0;
    row.counts = {INT32_MIN, INT32_MAX, 0};
    row.status = {255, 255, 255};
    std::vector<JournalRow> rows{row};
    row.id = UINT64_MAX;
    row.unit = INT16_MAX;
    row.timeUs = INT64_MAX;
    row.result = INT16_MIN;
    rows.push_back(row);
    expectSame(tool::decodeBlock(tool::encodeBlock(rows), "run-x"), rows);

    std::swap(rows[0], rows[1]);
    EXPECT_THROW(tool::encodeBlock(rows), std::invalid_argument);
    EXPECT_THROW(tool::encodeBlock({}), std::invalid_argument);
}

TEST(SampleBlock, EveryFlippedBitAndEveryCutIsToldAsDamage) {
    std::uniform_int_distribution<int> upTo50(0, 50);
    const auto rows = commitOf(3, 100, 1, [&](std::mt19937_64& rng) { return upTo50(rng); });
    const std::string block = tool::encodeBlock(rows);
    for (std::size_t at = 0; at < block.size(); ++at) {
        std::string flipped = block;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << (at % 8)));
        EXPECT_THROW(tool::decodeBlock(flipped, "r"), tool::BlockError) << "byte " << at;
    }
    for (std::size_t size = 0; size < block.size(); size += 7) {
        EXPECT_THROW(tool::decodeBlock(block.substr(0, size), "r"), tool::BlockError) << "cut at " << size;
    }
}

TEST(SampleBlock, ABodyWithAGoodCrcButNonsenseInsideIsRefusedNotRead) {
    // What a damaged disk cannot make but a bug or a hand could: random
    // bodies sealed with their own CRC. Each is refused or read within its
    // bounds; none is read past its end (the sanitizers watch).
    std::mt19937_64 rng(3);
    int refused = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        std::string body(1 + rng() % 64, '\0');
        for (char& c : body) {
            c = static_cast<char>(rng());
        }
        body[0] = 1;
        const std::uint32_t crc = tool::crc32Of(reinterpret_cast<const unsigned char*>(body.data()), body.size());
        for (int i = 0; i < 4; ++i) {
            body.push_back(static_cast<char>(crc >> (8 * i)));
        }
        try {
            const auto rows = tool::decodeBlock(body, "r");
            EXPECT_LE(rows.size(), 65536u);
        } catch (const tool::BlockError&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 19000);
    std::string other = tool::encodeBlock(commitOf(1, 10, 1, [](std::mt19937_64&) { return 1; }));
    other[0] = 2;
    other.resize(other.size() - 4);
    const std::uint32_t crc = tool::crc32Of(reinterpret_cast<const unsigned char*>(other.data()), other.size());
    for (int i = 0; i < 4; ++i) {
        other.push_back(static_cast<char>(crc >> (8 * i)));
    }
    try {
        tool::decodeBlock(other, "r");
        ADD_FAILURE() << "a block of another format was read";
    } catch (const tool::BlockError& error) {
        EXPECT_NE(std::string(error.what()).find("format"), std::string::npos) << error.what();
    }
}

} // namespace
} // namespace brivant::test
