#pragma once
// A thin owner around the SQLite C interface for the stand-in client: one connection, prepared
// statements with bound values, errors as std::runtime_error. Text is UTF-8 throughout.

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace nelto::stub {

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, std::string_view sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Parameters count from 1, as in SQLite.
    SqliteStatement& Bind(int index, std::string_view text);
    SqliteStatement& Bind(int index, std::int64_t value);
    SqliteStatement& BindDouble(int index, double value);
    // Advances to the next row; false when there is none left.
    bool Step();
    // Runs a statement without rows and makes it ready for new values.
    void Run();
    // Columns count from 0; NULL reads as "" or 0.
    std::string Text(int column) const;
    std::int64_t Int(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDb {
public:
    // create false: the file must exist and is opened for reading and writing.
    SqliteDb(const std::string& path, bool create);
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    void Exec(const std::string& sql);
    SqliteStatement Prepare(std::string_view sql) { return SqliteStatement(db_, sql); }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace nelto::stub
