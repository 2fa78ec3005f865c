#include "search/store/sqlite_support.h"

#include <utility>

namespace quillmere::search::store {

bool SqlError::meansDamaged() const {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool SqlError::meansLocked() const {
    const int primary = code & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

Database::~Database() {
    close();
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

SqlError Database::open(const QByteArray& path, int flags, int busyMilliseconds) {
    close();
    const int code = sqlite3_open_v2(path.constData(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code != SQLITE_OK) {
        SqlError error{code, QString::fromUtf8(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code))};
        close();
        return error;
    }
    sqlite3_extended_result_codes(db_, 1);
    // The file may have been changed by someone else: no schema may run code or write where it
    // should not (no triggers, no views, no functions with side effects in the schema).
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_busy_timeout(db_, busyMilliseconds);
    return {};
}

void Database::close() {
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

SqlError Database::lastError() const {
    if (!db_)
        return {SQLITE_MISUSE, QStringLiteral("not open")};
    return {sqlite3_extended_errcode(db_), QString::fromUtf8(sqlite3_errmsg(db_))};
}

SqlError Database::execute(const char* sql) {
    if (!db_)
        return {SQLITE_MISUSE, QStringLiteral("not open")};
    char* message = nullptr;
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    SqlError error;
    if (code != SQLITE_OK) {
        error = {sqlite3_extended_errcode(db_),
                 QString::fromUtf8(message ? message : sqlite3_errstr(code))};
    }
    sqlite3_free(message);
    return error;
}

QByteArray Database::queryText(const char* sql, SqlError* error) {
    Statement statement;
    SqlError failure = statement.prepare(*this, sql);
    QByteArray text;
    if (!failure.failed()) {
        const int code = statement.step();
        if (code == SQLITE_ROW)
            text = statement.blob(0);
        else if (code != SQLITE_DONE)
            failure = lastError();
    }
    if (error)
        *error = failure;
    return text;
}

qint64 Database::queryNumber(const char* sql, SqlError* error) {
    Statement statement;
    SqlError failure = statement.prepare(*this, sql);
    qint64 number = 0;
    if (!failure.failed()) {
        const int code = statement.step();
        if (code == SQLITE_ROW)
            number = statement.number(0);
        else if (code != SQLITE_DONE)
            failure = lastError();
    }
    if (error)
        *error = failure;
    return number;
}

SqlError Statement::prepare(const Database& db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    const int code =
        sqlite3_prepare_v3(db.handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    stmt_.reset(raw);
    if (code != SQLITE_OK)
        return db.lastError();
    return {};
}

void Statement::bind(int index, qint64 value) {
    sqlite3_bind_int64(stmt_.get(), index, value);
}

void Statement::bind(int index, const QByteArray& blob) {
    // A zero-length blob, not NULL, for an empty name.
    sqlite3_bind_blob64(stmt_.get(), index, blob.isEmpty() ? "" : blob.constData(),
                        sqlite3_uint64(blob.size()), SQLITE_STATIC);
}

int Statement::step() {
    return sqlite3_step(stmt_.get());
}

void Statement::reset() {
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
}

qint64 Statement::number(int column) const {
    return sqlite3_column_int64(stmt_.get(), column);
}

QByteArray Statement::blob(int column) const {
    const void* data = sqlite3_column_blob(stmt_.get(), column);
    const int size = sqlite3_column_bytes(stmt_.get(), column);
    if (!data || size <= 0)
        return {};
    return QByteArray(static_cast<const char*>(data), size);
}

} // namespace quillmere::search::store
