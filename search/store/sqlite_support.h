#pragma once

#include <QByteArray>
#include <QString>

#include <sqlite3.h>

#include <memory>

namespace quillmere::search::store {

// A result code of SQLite with the words that go with it.
struct SqlError {
    int code = SQLITE_OK;
    QString text;
    bool failed() const { return code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE; }
    // The file is no database or a damaged one: only setting it aside helps.
    bool meansDamaged() const;
    // Another connection holds a lock that did not clear in time.
    bool meansLocked() const;
};

// One connection, closed when the object goes. Used by one thread at a time.
class Database {
public:
    Database() = default;
    ~Database();
    Database(Database&&) noexcept;
    Database& operator=(Database&&) noexcept;

    SqlError open(const QByteArray& path, int flags, int busyMilliseconds);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    SqlError lastError() const;

    SqlError execute(const char* sql); // one or more statements without results
    // The first column of the first row of a query, as text; empty on failure.
    QByteArray queryText(const char* sql, SqlError* error = nullptr);
    qint64 queryNumber(const char* sql, SqlError* error = nullptr);

private:
    sqlite3* db_ = nullptr;
};

// A prepared statement, reset after each use so that it holds no read lock between uses.
class Statement {
public:
    Statement() = default;
    SqlError prepare(const Database& db, const char* sql);
    bool isReady() const { return stmt_ != nullptr; }

    void bind(int index, qint64 value);
    void bind(int index, const QByteArray& blob); // the bytes must outlive the step
    int step();                                   // SQLITE_ROW, SQLITE_DONE or an error
    void reset();

    qint64 number(int column) const;
    QByteArray blob(int column) const; // a copy

private:
    struct Finalize {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    std::unique_ptr<sqlite3_stmt, Finalize> stmt_;
};

} // namespace quillmere::search::store
