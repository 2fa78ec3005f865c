#pragma once

#include "search/store/file_signature.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <deque>
#include <memory>
#include <shared_mutex>
#include <utility>

namespace quillmere::search {

// The embedded details (12 to 40) of a file as kept in memory, for the file as it was.
struct KeptDetails {
    store::FileSignature signature;
    // Only the columns that have a value, so that a file without details costs little.
    QList<std::pair<int, QString>> values;
    QString contentType; // set when the content showed that the name's type was wrong
    QStringList problems;
};

// The embedded details of the files read so far, by path and by the file's device, inode, size,
// modification and change times, so that another search of the same files reads none of them
// again unless it changed. At most `limit` files are kept; the one kept longest goes first.
// Thread-safe.
class EmbeddedCache {
public:
    struct Figures {
        quint64 reads = 0;      // files whose embedded details were read
        quint64 reuses = 0;     // files whose kept details were used instead
        quint64 remembered = 0; // files whose details came from the detail store
        qsizetype kept = 0;
    };

    explicit EmbeddedCache(qsizetype limit) : limit_(limit) {}

    // Whether it keeps the details of any file (a limit of nought keeps none).
    bool keepsDetails() const { return limit_ > 0; }

    // Details that wait for their helpers to end cleanly before they are kept share a budget of
    // WaitingBytes: a helper may span hundreds of files, and one taken over may fill each answer
    // to its bound. Room for `bytes` of them, given back when the last copy of the token goes;
    // null when the budget is spent, and the file is then not remembered.
    static constexpr qsizetype WaitingBytes = qsizetype(8) << 20;
    std::shared_ptr<const void> holdWaiting(qsizetype bytes);

    bool find(const QByteArray& path, const store::FileSignature& signature, KeptDetails& out);
    // `read`: the details were read from the file, not taken from the detail store.
    void keep(const QByteArray& path, KeptDetails kept, bool read);
    Figures figures();
    // Forgets every file, so that the next search reads them again.
    void clear();

private:
    void dropOverLimit();

    std::shared_mutex mutex_;
    QHash<QByteArray, KeptDetails> kept_;
    std::deque<QByteArray> order_; // each kept path once, oldest first
    const qsizetype limit_;
    std::atomic<qsizetype> waiting_{0};
    std::atomic<quint64> reads_{0};
    std::atomic<quint64> reuses_{0};
    std::atomic<quint64> remembered_{0};
};

} // namespace quillmere::search
