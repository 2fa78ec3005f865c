#include "details/media_values.h"

#include <cmath>

namespace quillmere::details {

QString lengthText(qint64 milliseconds) {
    if (milliseconds <= 0)
        return {};
    const qint64 seconds = (milliseconds + 500) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString bitRateText(qint64 kilobitsPerSecond) {
    if (kilobitsPerSecond <= 0)
        return {};
    return QString::number(kilobitsPerSecond) + QStringLiteral("kbps");
}

QString starsText(int stars) {
    if (stars < 1 || stars > 5)
        return {};
    return stars == 1 ? QStringLiteral("1 Star") : QStringLiteral("%1 Stars").arg(stars);
}

int starsFromPopularimeter(int rating) {
    // The bands that media players use: they write 1, 64, 128, 196 and 255.
    if (rating <= 0 || rating > 255)
        return 0;
    if (rating < 32)
        return 1;
    if (rating < 96)
        return 2;
    if (rating < 160)
        return 3;
    if (rating < 224)
        return 4;
    return 5;
}

int starsFromPercent(int percent) {
    // Rounding up keeps both 20/40/60/80/100 and 1/25/50/75/99 on their intended stars.
    if (percent <= 0 || percent > 100)
        return 0;
    return (percent + 19) / 20;
}

int starsFromRatingText(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0)
        return 0;
    if (value < 1)
        return int(std::ceil(value * 5));
    if (value <= 5 && value == std::floor(value))
        return int(value);
    if (value <= 100)
        return starsFromPercent(int(std::ceil(value)));
    return 0;
}

int leadingNumber(const QString& text) {
    const QString trimmed = text.trimmed();
    int value = 0;
    int digits = 0;
    for (QChar c : trimmed) {
        if (!c.isDigit() || c.unicode() > 0x7f || digits == 9)
            break;
        value = value * 10 + (c.unicode() - u'0');
        ++digits;
    }
    return value;
}

int yearOfDate(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.size() < 4)
        return 0;
    for (int i = 0; i < 4; ++i) {
        if (trimmed[i] < u'0' || trimmed[i] > u'9')
            return 0;
    }
    if (trimmed.size() > 4 && trimmed[4].isDigit())
        return 0;
    const int year = trimmed.left(4).toInt();
    return year > 0 ? year : 0;
}

} // namespace quillmere::details
