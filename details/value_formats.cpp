#include "details/value_formats.h"

#include <QHash>
#include <QLocale>
#include <QtAlgorithms>

#include <algorithm>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <sys/stat.h>

namespace quillmere::details {

namespace {
const QLocale& systemLocale() {
    static const QLocale locale = QLocale::system();
    return locale;
}
} // namespace

namespace {

// Qt converts a local time under a process-wide lock and asks the C library to re-read the zone
// file on every call. Local fields written into a UTC time give the same text without either,
// unless the pattern shows the zone's name.
bool patternShowsZone() {
    static const bool showsZone =
        systemLocale().dateTimeFormat(QLocale::ShortFormat).contains(u't');
    return showsZone;
}

// How finely the short pattern shows a time: files of one tree often share the minute.
enum class Shown { Minutes, Seconds, Finer };

Shown shownPrecision() {
    static const Shown shown = [] {
        const QString pattern = systemLocale().dateTimeFormat(QLocale::ShortFormat);
        if (pattern.contains(u'z'))
            return Shown::Finer;
        return pattern.contains(u's') ? Shown::Seconds : Shown::Minutes;
    }();
    return shown;
}

QString shortLocalText(QDate date, QTime time) {
    const Shown shown = shownPrecision();
    if (shown == Shown::Finer)
        return systemLocale().toString(QDateTime(date, time, Qt::UTC), QLocale::ShortFormat);
    const QTime shownTime(time.hour(), time.minute(), shown == Shown::Seconds ? time.second() : 0);
    const qint64 key = date.toJulianDay() * 86400 + shownTime.msecsSinceStartOfDay() / 1000;
    // Per thread, so no lock; small, since each entry is one shown minute or second.
    thread_local QHash<qint64, QString> shownTexts;
    const auto it = shownTexts.constFind(key);
    if (it != shownTexts.constEnd())
        return *it;
    if (shownTexts.size() >= 1024)
        shownTexts.clear();
    QString text =
        systemLocale().toString(QDateTime(date, shownTime, Qt::UTC), QLocale::ShortFormat);
    shownTexts.insert(key, text);
    return text;
}

} // namespace

QString shortDateTime(const QDateTime& time) {
    if (!time.isValid())
        return {};
    if (time.timeSpec() == Qt::LocalTime && !patternShowsZone())
        return shortLocalText(time.date(), time.time());
    return systemLocale().toString(time, QLocale::ShortFormat);
}

namespace {

bool sameWallClock(time_t when, const struct tm& wanted) {
    struct tm local {};
    return ::localtime_r(&when, &local) && local.tm_year == wanted.tm_year &&
           local.tm_mon == wanted.tm_mon && local.tm_mday == wanted.tm_mday &&
           local.tm_hour == wanted.tm_hour && local.tm_min == wanted.tm_min &&
           local.tm_sec == wanted.tm_sec;
}

// Whether the wall-clock time occurs in the local zone: not skipped by a change of offset.
bool occursLocally(QDate date, QTime time) {
    struct tm wanted {};
    wanted.tm_year = date.year() - 1900;
    wanted.tm_mon = date.month() - 1;
    wanted.tm_mday = date.day();
    wanted.tm_hour = time.hour();
    wanted.tm_min = time.minute();
    wanted.tm_sec = time.second();
    struct tm copy = wanted;
    const time_t asUtc = ::timegm(&copy);
    time_t guess = asUtc;
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct tm local {};
        if (!::localtime_r(&guess, &local))
            return false;
        guess = asUtc - local.tm_gmtoff;
        if (sameWallClock(guess, wanted))
            return true;
    }
    return false;
}

} // namespace

QString shortDateTime(QDate date, QTime time) {
    if (!date.isValid() || !time.isValid())
        return shortDateTime(QDateTime(date, time));
    if (patternShowsZone() || !occursLocally(date, time))
        return shortDateTime(QDateTime(date, time));
    return shortLocalText(date, time);
}

namespace {

// The texts of moments shown again, per thread: the files of one tree share their times, and each
// file has three of them. Keyed by the second and, since a test or the user may change it while
// the process runs, by the zone named in TZ (the C library reads the zone file only for that).
class MomentTexts {
public:
    QString* find(qint64 seconds) {
        const char* zone = std::getenv("TZ");
        const bool sameZone = zone ? zoneSet_ && zone_ == zone : !zoneSet_;
        if (!sameZone) {
            texts_.clear();
            zoneSet_ = zone != nullptr;
            zone_ = zone ? zone : "";
            return nullptr;
        }
        const auto it = texts_.find(seconds);
        return it != texts_.end() ? &*it : nullptr;
    }
    void keep(qint64 seconds, const QString& text) {
        if (texts_.size() >= 4096)
            texts_.clear();
        texts_.insert(seconds, text);
    }

private:
    QHash<qint64, QString> texts_;
    std::string zone_;
    bool zoneSet_ = false;
};

QString momentText(qint64 seconds, qint64 nanoseconds) {
    const time_t when = time_t(seconds);
    struct tm local {};
    if (patternShowsZone() || !::localtime_r(&when, &local) ||
        local.tm_year > std::numeric_limits<int>::max() - 1900) {
        // A file system such as tmpfs keeps any 64-bit time; past some 290 million years the
        // milliseconds no longer fit, and no date can be shown.
        constexpr qint64 limit = std::numeric_limits<qint64>::max() / 1000 - 1;
        if (seconds > limit || seconds < -limit)
            return {};
        return shortDateTime(
            QDateTime::fromMSecsSinceEpoch(seconds * 1000 + nanoseconds / 1000000));
    }
    // The C library counts a year 0 before year 1; QDate goes from 1 BC (-1) to AD 1.
    int year = local.tm_year + 1900;
    if (year <= 0)
        --year;
    const QDate date(year, local.tm_mon + 1, local.tm_mday);
    // tm_sec is 60 during a leap second, which QTime does not take.
    const QTime time(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
                     int(nanoseconds / 1000000));
    return shortLocalText(date, time);
}

} // namespace

QString shortDateTime(qint64 seconds, qint64 nanoseconds) {
    // Finer patterns show the milliseconds, which the key leaves out.
    if (patternShowsZone() || shownPrecision() == Shown::Finer)
        return momentText(seconds, nanoseconds);
    thread_local MomentTexts texts;
    if (const QString* known = texts.find(seconds))
        return *known;
    QString text = momentText(seconds, nanoseconds);
    texts.keep(seconds, text);
    return text;
}

QString fileSizeText(qint64 bytes) {
    const QLocale& locale = systemLocale();
    QString text = locale.formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
    // Qt picks the unit before it rounds to tenths, which left 1,048,575 bytes at "1,024.0 KB";
    // such a size is 1.0 of the next unit.
    static const QString topOfUnit = locale.toString(1024.0, 'f', 1) + u' ';
    if (bytes >= 1024 && text.startsWith(topOfUnit)) {
        const int power = (63 - qCountLeadingZeroBits(quint64(bytes))) / 10;
        if (power < 6)
            text = locale.formattedDataSize(qint64(1) << (10 * (power + 1)), 1,
                                            QLocale::DataSizeTraditionalFormat);
    }
    // Qt writes the 1024-byte unit as "kB"; file managers write "KB" beside "MB" and "GB".
    if (text.endsWith(QLatin1String(" kB")))
        text[text.size() - 2] = u'K';
    return text;
}

const QString& fileSizeCharacters() {
    // A size is a number in the locale's digits (with its group separator, and its decimal point
    // past 1023 bytes), a space and the name of one of seven units.
    static const QString characters = [] {
        const QLocale& locale = systemLocale();
        QString all = locale.toString(qint64(1'234'567'890)) +
                      locale.toString(1'234'567'890.5, 'f', 1) + fileSizeText(0) + fileSizeText(1);
        for (int power = 1; power <= 6; ++power) {
            const qint64 unit = qint64(1) << (10 * power);
            all += fileSizeText(unit + unit / 2);
        }
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        return all;
    }();
    return characters;
}

QString permissionText(mode_t mode) {
    char text[11];
    switch (mode & S_IFMT) {
    case S_IFDIR:
        text[0] = 'd';
        break;
    case S_IFLNK:
        text[0] = 'l';
        break;
    case S_IFIFO:
        text[0] = 'p';
        break;
    case S_IFSOCK:
        text[0] = 's';
        break;
    case S_IFCHR:
        text[0] = 'c';
        break;
    case S_IFBLK:
        text[0] = 'b';
        break;
    default:
        text[0] = '-';
        break;
    }
    const auto bit = [mode](mode_t flag, char c) { return (mode & flag) ? c : '-'; };
    const auto exec = [mode](mode_t x, mode_t special, char set, char unset) {
        if (mode & special)
            return (mode & x) ? set : unset;
        return (mode & x) ? 'x' : '-';
    };
    text[1] = bit(S_IRUSR, 'r');
    text[2] = bit(S_IWUSR, 'w');
    text[3] = exec(S_IXUSR, S_ISUID, 's', 'S');
    text[4] = bit(S_IRGRP, 'r');
    text[5] = bit(S_IWGRP, 'w');
    text[6] = exec(S_IXGRP, S_ISGID, 's', 'S');
    text[7] = bit(S_IROTH, 'r');
    text[8] = bit(S_IWOTH, 'w');
    text[9] = exec(S_IXOTH, S_ISVTX, 't', 'T');
    text[10] = '\0';
    return QString::fromLatin1(text);
}

} // namespace quillmere::details
