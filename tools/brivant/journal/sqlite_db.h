// A thin hold on SQLite: a connection and its prepared statements, each
// closed with its owner, and every failure an SqliteError carrying
// SQLite's own code and words.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace brivant::tool {

struct SqliteError : std::runtime_error {
    SqliteError(int sqliteCode, const std::string& message) : std::runtime_error(message), code(sqliteCode) {}
    int code; // SQLITE_FULL, SQLITE_CORRUPT, ... (the primary code)
};

class SqliteDb {
public:
    // Opens `path`; `readOnly` never makes or changes the file.
    SqliteDb(const std::string& path, bool readOnly);
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    void exec(const std::string& sql);
    // The first column of the first row of `sql`, as an integer (0 when none).
    std::int64_t integer(const std::string& sql);
    std::string text(const std::string& sql);
    sqlite3* handle() const { return db_; }
    [[noreturn]] void fail(int code, const std::string& what) const;

private:
    sqlite3* db_ = nullptr;
};

class SqliteStatement {
public:
    SqliteStatement(SqliteDb& db, const std::string& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    SqliteStatement& bind(int index, std::int64_t value);
    SqliteStatement& bindNull(int index);
    SqliteStatement& bind(int index, const std::string& value);
    SqliteStatement& bindBlob(int index, const std::string& value);
    // True while there is a row; false once done.
    bool step();
    void reset();
    std::int64_t integer(int column) const;
    bool isNull(int column) const;
    std::string text(int column) const;
    std::string blob(int column) const;

private:
    SqliteDb& db_;
    sqlite3_stmt* statement_ = nullptr;
};

// Runs `work` in one BEGIN IMMEDIATE ... COMMIT of `db`, rolled back when
// it throws (the exception goes on).
template <typename Work>
void inTransaction(SqliteDb& db, Work&& work) {
    db.exec("BEGIN IMMEDIATE");
    try {
        work();
        db.exec("COMMIT");
    } catch (...) {
        try {
            db.exec("ROLLBACK");
        } catch (const SqliteError&) {
        }
        throw;
    }
}

} // namespace brivant::tool
