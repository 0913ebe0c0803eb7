#include "journal/sample_block.h"

#include <algorithm>
#include <array>
#include <map>

namespace brivant::tool {

namespace {

constexpr unsigned char kFormat = 1;
// A commit's rows go into blocks of at most this many; a block that says it
// holds more is damaged.
constexpr std::uint64_t kMostRows = 65536;

std::uint64_t zigzag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

std::int64_t unzigzag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// Differences taken and undone modulo 2^64, so that no value overflows.
std::int64_t minus(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

std::int64_t plus(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

int bitLength(std::uint64_t value) {
    int bits = 0;
    while (value != 0) {
        ++bits;
        value >>= 1;
    }
    return bits;
}

int varintBytes(int bits) {
    return bits == 0 ? 1 : (bits + 6) / 7;
}

std::int64_t microsOf(double seconds) {
    return static_cast<std::int64_t>(seconds * 1e6 + 0.5);
}

std::uint32_t statusWord(const std::array<std::uint8_t, 3>& status) {
    return static_cast<std::uint32_t>(status[0]) | static_cast<std::uint32_t>(status[1]) << 8 |
           static_cast<std::uint32_t>(status[2]) << 16;
}

class Writer {
public:
    void byte(unsigned char value) {
        flushBits();
        out_.push_back(static_cast<char>(value));
    }
    void varint(std::uint64_t value) {
        flushBits();
        while (value >= 0x80) {
            out_.push_back(static_cast<char>((value & 0x7F) | 0x80));
            value >>= 7;
        }
        out_.push_back(static_cast<char>(value));
    }
    void signedVarint(std::int64_t value) { varint(zigzag(value)); }
    void bits(std::uint64_t value, int width) {
        for (int done = 0; done < width;) {
            const int take = std::min(8 - bitPos_, width - done);
            const std::uint64_t part = (value >> done) & ((std::uint64_t{1} << take) - 1);
            partial_ = static_cast<unsigned char>(partial_ | part << bitPos_);
            bitPos_ += take;
            done += take;
            if (bitPos_ == 8) {
                out_.push_back(static_cast<char>(partial_));
                partial_ = 0;
                bitPos_ = 0;
            }
        }
    }
    // A column of numbers: its median, the width that costs least with the
    // values that do not fit kept apart, the packed values, the exceptions.
    void column(const std::vector<std::int64_t>& values) {
        if (values.empty()) {
            return;
        }
        std::vector<std::int64_t> sorted = values;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2),
                         sorted.end());
        const std::int64_t median = sorted[sorted.size() / 2];
        std::vector<std::uint64_t> folded(values.size());
        std::array<std::uint64_t, 65> lengths{};
        for (std::size_t i = 0; i < values.size(); ++i) {
            folded[i] = zigzag(minus(values[i], median));
            ++lengths[static_cast<std::size_t>(bitLength(folded[i]))];
        }
        int width = 64;
        std::uint64_t best = UINT64_MAX;
        for (int w = 0; w <= 64; ++w) {
            std::uint64_t cost = values.size() * static_cast<std::uint64_t>(w);
            for (int b = w + 1; b <= 64; ++b) {
                cost += lengths[static_cast<std::size_t>(b)] * 8 * static_cast<std::uint64_t>(1 + varintBytes(b));
            }
            if (cost < best) {
                best = cost;
                width = w;
            }
        }
        signedVarint(median);
        byte(static_cast<unsigned char>(width));
        std::vector<std::size_t> outside;
        for (std::size_t i = 0; i < folded.size(); ++i) {
            const bool fits = bitLength(folded[i]) <= width;
            bits(fits ? folded[i] : 0, width);
            if (!fits) {
                outside.push_back(i);
            }
        }
        varint(outside.size());
        std::size_t last = 0;
        for (std::size_t i : outside) {
            varint(i - last);
            varint(folded[i]);
            last = i;
        }
    }
    std::string finish() {
        flushBits();
        const std::uint32_t crc =
            crc32Of(reinterpret_cast<const unsigned char*>(out_.data()), out_.size());
        for (int i = 0; i < 4; ++i) {
            out_.push_back(static_cast<char>(crc >> (8 * i)));
        }
        return std::move(out_);
    }

private:
    void flushBits() {
        if (bitPos_ != 0) {
            out_.push_back(static_cast<char>(partial_));
            partial_ = 0;
            bitPos_ = 0;
        }
    }
    std::string out_;
    unsigned char partial_ = 0;
    int bitPos_ = 0;
};

class Reader {
public:
    Reader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    unsigned char byte() {
        dropBits();
        need(1);
        return data_[at_++];
    }
    std::uint64_t varint() {
        dropBits();
        std::uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            need(1);
            const unsigned char b = data_[at_++];
            if (shift == 63 && (b & 0x7E) != 0) {
                fail("a number too long");
            }
            value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) {
                return value;
            }
            if (shift == 63) {
                fail("a number too long");
            }
        }
    }
    std::int64_t signedVarint() { return unzigzag(varint()); }
    // A signed number that must lie in [lowest, highest], named `what` when
    // it does not.
    std::int64_t signedVarint(std::int64_t lowest, std::int64_t highest, const char* what) {
        const std::int64_t value = signedVarint();
        if (value < lowest || value > highest) {
            fail(what);
        }
        return value;
    }
    std::uint64_t bits(int width) {
        std::uint64_t value = 0;
        for (int done = 0; done < width;) {
            if (bitPos_ == 0) {
                need(1);
            }
            const int take = std::min(8 - bitPos_, width - done);
            const std::uint64_t part = (data_[at_] >> bitPos_) & ((1u << take) - 1);
            value |= part << done;
            bitPos_ += take;
            done += take;
            if (bitPos_ == 8) {
                ++at_;
                bitPos_ = 0;
            }
        }
        return value;
    }
    std::vector<std::int64_t> column(std::size_t count) {
        std::vector<std::int64_t> values(count);
        if (count == 0) {
            return values;
        }
        const std::int64_t median = signedVarint();
        const int width = byte();
        if (width > 64) {
            fail("a column wider than 64 bits");
        }
        if ((count * static_cast<std::size_t>(width) + 7) / 8 > size_ - at_) {
            fail("a column longer than the block");
        }
        for (std::size_t i = 0; i < count; ++i) {
            values[i] = plus(median, unzigzag(bits(width)));
        }
        const std::uint64_t outside = varint();
        if (outside > count) {
            fail("more exceptions than values");
        }
        std::size_t index = 0;
        for (std::uint64_t e = 0; e < outside; ++e) {
            const std::uint64_t gap = varint();
            if (gap > count || index + gap >= count || (e > 0 && gap == 0)) {
                fail("an exception outside its column");
            }
            index += gap;
            values[index] = plus(median, unzigzag(varint()));
        }
        return values;
    }
    bool atEnd() const { return at_ == size_ && bitPos_ == 0; }
    [[noreturn]] static void fail(const std::string& what) {
        throw BlockError("a damaged block of samples (" + what + ")");
    }

private:
    void dropBits() {
        if (bitPos_ != 0) {
            ++at_;
            bitPos_ = 0;
        }
    }
    void need(std::size_t bytes) const {
        if (at_ + bytes > size_) {
            fail("it ends early");
        }
    }
    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    int bitPos_ = 0;
};

struct StateRun {
    std::uint64_t length = 0;
    std::int16_t result = 0;
    std::uint32_t status = 0;
    unsigned char configured = 0; // 0 not known, 1 false, 2 true
    bool same(const StateRun& other) const {
        return result == other.result && status == other.status && configured == other.configured;
    }
};

unsigned char configuredCode(const std::optional<bool>& configured) {
    return !configured ? 0 : *configured ? 2 : 1;
}

} // namespace

std::uint32_t crc32Of(const unsigned char* data, std::size_t size) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

std::string encodeBlock(const std::vector<JournalRow>& rows) {
    if (rows.empty() || rows.size() > kMostRows) {
        throw std::invalid_argument("a block holds 1 to 65536 rows");
    }
    const std::size_t count = rows.size();
    std::vector<std::int16_t> units;
    std::map<std::int16_t, std::size_t> indexOf;
    std::vector<std::int64_t> unitIndex(count), clock(count), seq(count), idStep;
    std::vector<std::vector<const JournalRow*>> ownRows;
    for (std::size_t i = 0; i < count; ++i) {
        const JournalRow& row = rows[i];
        auto [at, added] = indexOf.emplace(row.unit, units.size());
        if (added) {
            units.push_back(row.unit);
            ownRows.emplace_back();
        }
        unitIndex[i] = static_cast<std::int64_t>(at->second);
        ownRows[at->second].push_back(&row);
        clock[i] = minus(row.timeUs, microsOf(row.t));
        seq[i] = minus(static_cast<std::int64_t>(row.seq), static_cast<std::int64_t>(row.id));
        if (i > 0) {
            if (row.id <= rows[i - 1].id) {
                throw std::invalid_argument("a block's rows go in increasing ID order");
            }
            idStep.push_back(static_cast<std::int64_t>(row.id - rows[i - 1].id));
        }
    }
    Writer out;
    out.byte(kFormat);
    out.varint(count);
    out.varint(units.size());
    for (std::int16_t unit : units) {
        out.signedVarint(unit);
    }
    out.varint(rows.front().id);
    out.column(unitIndex);
    out.column(idStep);
    out.column(clock);
    out.column(seq);
    for (const std::vector<const JournalRow*>& own : ownRows) {
        const JournalRow& first = *own.front();
        // A failed read has no counts: its columns carry the last ones on.
        std::array<std::int32_t, 3> carried = first.result == 0 ? first.counts : std::array<std::int32_t, 3>{};
        std::uint32_t carriedStatus = first.result == 0 ? statusWord(first.status) : 0;
        out.signedVarint(first.timeUs);
        out.varint(first.n);
        for (std::int32_t c : carried) {
            out.signedVarint(c);
        }
        std::vector<std::int64_t> timeStep, nStep;
        std::array<std::vector<std::int64_t>, 3> countStep;
        std::vector<StateRun> runs;
        for (std::size_t j = 0; j < own.size(); ++j) {
            const JournalRow& row = *own[j];
            if (j > 0) {
                timeStep.push_back(minus(row.timeUs, own[j - 1]->timeUs));
                nStep.push_back(minus(static_cast<std::int64_t>(row.n), static_cast<std::int64_t>(own[j - 1]->n)));
                for (std::size_t ch = 0; ch < 3; ++ch) {
                    const std::int32_t now = row.result == 0 ? row.counts[ch] : carried[ch];
                    // Modulo 2^32: a count that wraps is a small step.
                    countStep[ch].push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(now) -
                                                                      static_cast<std::uint32_t>(carried[ch])));
                    carried[ch] = now;
                }
            }
            if (row.result == 0) {
                carriedStatus = statusWord(row.status);
            }
            StateRun state{1, row.result, carriedStatus, configuredCode(row.configured)};
            if (!runs.empty() && runs.back().same(state)) {
                ++runs.back().length;
            } else {
                runs.push_back(state);
            }
        }
        out.column(timeStep);
        out.column(nStep);
        for (const auto& steps : countStep) {
            out.column(steps);
        }
        out.varint(runs.size());
        for (const StateRun& run : runs) {
            out.varint(run.length);
            out.signedVarint(run.result);
            out.varint(run.status);
            out.byte(run.configured);
        }
    }
    return out.finish();
}

std::vector<JournalRow> decodeBlock(const std::string& block, const std::string& run) {
    const auto* data = reinterpret_cast<const unsigned char*>(block.data());
    if (block.size() < 5) {
        Reader::fail("too short");
    }
    const std::size_t body = block.size() - 4;
    std::uint32_t kept = 0;
    for (int i = 0; i < 4; ++i) {
        kept |= static_cast<std::uint32_t>(data[body + static_cast<std::size_t>(i)]) << (8 * i);
    }
    if (kept != crc32Of(data, body)) {
        Reader::fail("its CRC does not match");
    }
    Reader in(data, body);
    if (in.byte() != kFormat) {
        throw BlockError("a block of samples in a format this brivant does not read");
    }
    const std::uint64_t count = in.varint();
    const std::uint64_t unitCount = in.varint();
    if (count == 0 || count > kMostRows || unitCount == 0 || unitCount > count) {
        Reader::fail("its row or unit count");
    }
    std::vector<std::int16_t> units(unitCount);
    for (auto& unit : units) {
        unit = static_cast<std::int16_t>(in.signedVarint(INT16_MIN, INT16_MAX, "a unit ID"));
    }
    const std::uint64_t firstId = in.varint();
    const std::vector<std::int64_t> unitIndex = in.column(count);
    const std::vector<std::int64_t> idStep = in.column(count - 1);
    const std::vector<std::int64_t> clock = in.column(count);
    const std::vector<std::int64_t> seq = in.column(count);
    std::vector<JournalRow> rows(count);
    std::vector<std::vector<std::size_t>> own(unitCount);
    std::uint64_t id = firstId;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (idStep[i - 1] <= 0 || static_cast<std::uint64_t>(idStep[i - 1]) > UINT64_MAX - id) {
                Reader::fail("IDs out of order");
            }
            id += static_cast<std::uint64_t>(idStep[i - 1]);
        }
        if (unitIndex[i] < 0 || static_cast<std::uint64_t>(unitIndex[i]) >= unitCount) {
            Reader::fail("a unit out of its list");
        }
        rows[i].id = id;
        rows[i].run = run;
        rows[i].unit = units[static_cast<std::size_t>(unitIndex[i])];
        rows[i].seq = static_cast<std::uint64_t>(plus(seq[i], static_cast<std::int64_t>(id)));
        own[static_cast<std::size_t>(unitIndex[i])].push_back(i);
    }
    for (const std::vector<std::size_t>& mine : own) {
        if (mine.empty()) {
            Reader::fail("a unit with no rows");
        }
        std::int64_t time = in.signedVarint();
        std::uint64_t n = in.varint();
        std::array<std::int32_t, 3> counts{};
        for (auto& c : counts) {
            c = static_cast<std::int32_t>(in.signedVarint(INT32_MIN, INT32_MAX, "a count"));
        }
        const std::size_t k = mine.size();
        const std::vector<std::int64_t> timeStep = in.column(k - 1);
        const std::vector<std::int64_t> nStep = in.column(k - 1);
        std::array<std::vector<std::int64_t>, 3> countStep;
        for (auto& steps : countStep) {
            steps = in.column(k - 1);
        }
        for (std::size_t j = 0; j < k; ++j) {
            JournalRow& row = rows[mine[j]];
            if (j > 0) {
                time = plus(time, timeStep[j - 1]);
                n = static_cast<std::uint64_t>(plus(static_cast<std::int64_t>(n), nStep[j - 1]));
                for (std::size_t ch = 0; ch < 3; ++ch) {
                    counts[ch] = static_cast<std::int32_t>(static_cast<std::uint32_t>(counts[ch]) +
                                                           static_cast<std::uint32_t>(countStep[ch][j - 1]));
                }
            }
            row.timeUs = time;
            row.n = n;
            row.counts = counts;
            row.t = static_cast<double>(minus(time, clock[mine[j]])) / 1e6;
        }
        const std::uint64_t runCount = in.varint();
        if (runCount == 0 || runCount > k) {
            Reader::fail("its runs of states");
        }
        std::size_t j = 0;
        for (std::uint64_t r = 0; r < runCount; ++r) {
            const std::uint64_t length = in.varint();
            const std::int64_t result = in.signedVarint();
            const std::uint64_t status = in.varint();
            const unsigned char configured = in.byte();
            if (length == 0 || length > k - j || result < INT16_MIN || result > INT16_MAX ||
                status > 0xFFFFFF || configured > 2) {
                Reader::fail("a run of states");
            }
            for (std::uint64_t m = 0; m < length; ++m, ++j) {
                JournalRow& row = rows[mine[j]];
                row.result = static_cast<std::int16_t>(result);
                if (configured != 0) {
                    row.configured = configured == 2;
                }
                if (row.result == 0) {
                    for (std::size_t ch = 0; ch < 3; ++ch) {
                        row.status[ch] = static_cast<std::uint8_t>(status >> (8 * ch));
                    }
                } else {
                    row.counts = {};
                }
            }
        }
        if (j != k) {
            Reader::fail("its runs of states");
        }
    }
    if (!in.atEnd()) {
        Reader::fail("bytes after its end");
    }
    return rows;
}

} // namespace brivant::tool
