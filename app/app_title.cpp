#include "app/app_title.h"

#include "app/dialogs.h"

#include <QCoreApplication>

namespace quillmere::app {

namespace {

constexpr qsizetype kLongestTitle = 40;

QString& storedTitle() {
    static QString title;
    return title;
}

} // namespace

QString applicationTitleFor(const QString& displayName) {
    const QChar blank = QLatin1Char(' ');
    qsizetype cut = displayName.lastIndexOf(blank);
    if (cut < 0)
        return displayName;
    QString title = displayName.left(cut);
    while (title.size() > kLongestTitle) {
        cut = title.lastIndexOf(blank);
        if (cut < 0)
            break;
        title.truncate(cut);
    }
    return title;
}

QString applicationTitle() {
    const QString& title = storedTitle();
    return title.isNull() ? applicationTitleFor(kProductDisplayName) : title;
}

void setApplicationTitle(const QString& title) {
    storedTitle() = title.isNull() ? QStringLiteral("") : title;
}

QString effectiveBoxTitle(const QString& title) {
    return title.isEmpty() ? applicationTitle() : title;
}

} // namespace quillmere::app
