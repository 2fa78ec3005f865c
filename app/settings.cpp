#include "app/settings.h"

#include "app/failure_report.h"

#include <QSettings>
#include <QStringList>

namespace quillmere::app {

QString GetSetting(const QString& key, const QString& defaultValue) {
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QStringLiteral("Vantrel"), QStringLiteral("Quillmere"));
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return defaultValue;
    // A hand-edited file can hold an unquoted "a, b", which the ini reader turns into a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

void SaveSetting(const QString& key, const QString& value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Vantrel"),
                       QStringLiteral("Quillmere"));
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw Failure(QStringLiteral("The settings could not be written to ") +
                      settings.fileName());
}

} // namespace quillmere::app
