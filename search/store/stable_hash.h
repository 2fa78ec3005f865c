#pragma once

#include <QByteArray>

namespace quillmere::search::store {

// The same 64-bit number for the same bytes in every process and on every run (FNV-1a), so it
// can be written to disk; qHash is seeded per process.
inline quint64 stableHash(const QByteArray& bytes, quint64 hash = 14695981039346656037ULL) {
    for (const char c : bytes) {
        hash ^= quint8(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

inline quint64 stableHash(qint64 number, quint64 hash) {
    for (int i = 0; i < 8; ++i) {
        hash ^= quint8(quint64(number) >> (8 * i));
        hash *= 1099511628211ULL;
    }
    return hash;
}

} // namespace quillmere::search::store
