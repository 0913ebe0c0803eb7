#include "sqlite_db.h"

#include <sqlite3.h>

#include "journal/counted_vfs.h"

namespace brivant::tool {

SqliteDb::SqliteDb(const std::string& path, bool readOnly) {
    const int flags = readOnly ? SQLITE_OPEN_READONLY
                               : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, countedVfsName());
    if (rc != SQLITE_OK) {
        const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw SqliteError(rc & 0xFF, why); // the callers name the file
    }
    sqlite3_extended_result_codes(db_, 0);
    // Another process (brivant history, a second connection) may hold the
    // file for a moment.
    sqlite3_busy_timeout(db_, 2000);
}

SqliteDb::~SqliteDb() {
    sqlite3_close_v2(db_);
}

void SqliteDb::fail(int code, const std::string& what) const {
    throw SqliteError(code & 0xFF, what + ": " + sqlite3_errmsg(db_));
}

void SqliteDb::exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        const std::string why = message != nullptr ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw SqliteError(rc & 0xFF, why);
    }
}

std::int64_t SqliteDb::integer(const std::string& sql) {
    SqliteStatement statement(*this, sql);
    return statement.step() ? statement.integer(0) : 0;
}

std::string SqliteDb::text(const std::string& sql) {
    SqliteStatement statement(*this, sql);
    return statement.step() ? statement.text(0) : std::string();
}

SqliteStatement::SqliteStatement(SqliteDb& db, const std::string& sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &statement_, nullptr);
    if (rc != SQLITE_OK) {
        db.fail(rc, "cannot prepare " + sql);
    }
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(statement_);
}

SqliteStatement& SqliteStatement::bind(int index, std::int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
}

SqliteStatement& SqliteStatement::bindNull(int index) {
    sqlite3_bind_null(statement_, index);
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, const std::string& value) {
    sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

bool SqliteStatement::step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    sqlite3_reset(statement_);
    db_.fail(rc, "journal");
}

void SqliteStatement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

SqliteStatement& SqliteStatement::bindBlob(int index, const std::string& value) {
    sqlite3_bind_blob(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

std::string SqliteStatement::blob(int column) const {
    const void* value = sqlite3_column_blob(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    return value != nullptr ? std::string(static_cast<const char*>(value), static_cast<std::size_t>(size))
                            : std::string();
}

std::int64_t SqliteStatement::integer(int column) const {
    return sqlite3_column_int64(statement_, column);
}

bool SqliteStatement::isNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::string SqliteStatement::text(int column) const {
    const unsigned char* value = sqlite3_column_text(statement_, column);
    return value != nullptr ? reinterpret_cast<const char*>(value) : std::string();
}

} // namespace brivant::tool
