#include "search/store/display_format.h"

#include "details/value_formats.h"
#include "search/store/stable_hash.h"

#include <QDateTime>
#include <QTimeZone>

#include <initializer_list>

namespace quillmere::search::store {

namespace {

QString fingerprintText() {
    QString text = QString::fromUtf8(qgetenv("TZ")) + u'|' +
                   QString::fromUtf8(QTimeZone::systemTimeZoneId()) + u'|';
    // Winter and summer on both halves of the globe, morning and afternoon, through each of the
    // ways the readers write a time: wall clock, moment, and a moment with its own offset.
    for (const qint64 moment : {981216306LL, 996950706LL, 1700000000LL}) {
        text += details::shortDateTime(moment, 0) + u'|';
        const QDateTime utc = QDateTime::fromSecsSinceEpoch(moment, QTimeZone::utc());
        text += details::shortDateTime(utc.toLocalTime()) + u'|';
        text += details::shortDateTime(utc.date(), utc.time()) + u'|';
    }
    text += details::shortDateTime(QDate(2024, 3, 31), QTime(2, 30)) + u'|';
    text += details::shortDateTime(QDate(2024, 3, 10), QTime(2, 30)) + u'|';
    text += details::shortDateTime(QDate(2024, 10, 6), QTime(2, 30));
    return text;
}

} // namespace

quint64 displayFormatKey() {
    static const quint64 key = stableHash(fingerprintText().toUtf8());
    return key;
}

} // namespace quillmere::search::store
