#include "testbed/client/sqlite_db.h"

#include <sqlite3.h>

#include <stdexcept>

namespace nelto::stub {

namespace {

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
    throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
        Fail(db_, "prepare " + std::string(sql));
    }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement& SqliteStatement::Bind(int index, std::string_view text) {
    if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        Fail(db_, "bind");
    }
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) Fail(db_, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::BindDouble(int index, double value) {
    if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) Fail(db_, "bind");
    return *this;
}

bool SqliteStatement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, "step");
}

void SqliteStatement::Run() {
    while (Step()) {
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::string SqliteStatement::Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    if (!text) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::int64_t SqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

SqliteDb::SqliteDb(const std::string& path, bool create) {
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

void SqliteDb::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(message);
    }
}

}  // namespace nelto::stub
