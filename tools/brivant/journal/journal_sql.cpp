#include "journal_sql.h"

namespace brivant::tool {

const char* const kSelectRows =
    "SELECT s.id, s.time_us, s.unit, r.run, s.n, s.result, s.c0, s.c1, s.c2, s.status, s.configured, "
    "s.seq, s.t_us FROM samples s JOIN runs r ON r.id = s.run ";

JournalRow rowOf(const SqliteStatement& select) {
    JournalRow row;
    row.id = static_cast<std::uint64_t>(select.integer(0));
    row.timeUs = select.integer(1);
    row.unit = static_cast<std::int16_t>(select.integer(2));
    row.run = select.text(3);
    row.n = static_cast<std::uint64_t>(select.integer(4));
    row.result = static_cast<std::int16_t>(select.integer(5));
    // A read that failed keeps no counts.
    if (!select.isNull(6)) {
        for (int ch = 0; ch < 3; ++ch) {
            row.counts[static_cast<std::size_t>(ch)] = static_cast<std::int32_t>(select.integer(6 + ch));
            row.status[static_cast<std::size_t>(ch)] = static_cast<std::uint8_t>(select.integer(9) >> (8 * ch));
        }
    }
    if (!select.isNull(10)) {
        row.configured = select.integer(10) != 0;
    }
    row.seq = static_cast<std::uint64_t>(select.integer(11));
    row.t = static_cast<double>(select.integer(12)) / 1e6;
    return row;
}

void bindRow(SqliteStatement& insert, const JournalRow& row, std::int64_t runRow) {
    insert.bind(1, static_cast<std::int64_t>(row.id))
        .bind(2, row.timeUs)
        .bind(3, row.unit)
        .bind(4, runRow)
        .bind(5, static_cast<std::int64_t>(row.n))
        .bind(6, row.result)
        .bind(12, static_cast<std::int64_t>(row.seq))
        .bind(13, static_cast<std::int64_t>(row.t * 1e6 + 0.5));
    if (row.result == 0) {
        for (int ch = 0; ch < 3; ++ch) {
            insert.bind(7 + ch, row.counts[static_cast<std::size_t>(ch)]);
        }
        insert.bind(10, static_cast<std::int64_t>(row.status[0]) | row.status[1] << 8 | row.status[2] << 16);
    } else {
        insert.bindNull(7).bindNull(8).bindNull(9).bindNull(10);
    }
    if (row.configured) {
        insert.bind(11, *row.configured ? 1 : 0);
    } else {
        insert.bindNull(11);
    }
}

} // namespace brivant::tool
