#pragma once

#include <QString>

// The per-user settings store: text values under organisation "Vantrel", application "Quillmere"
// ($XDG_CONFIG_HOME/Vantrel/Quillmere.conf). Values are read when needed and written at once.
namespace quillmere::app {

namespace settingkey {
inline const QString Text1 = QStringLiteral("Text1");
inline const QString LastFolder = QStringLiteral("LastFolder");
inline const QString LastFolderDot = QStringLiteral("LastFolderDot");
} // namespace settingkey

QString GetSetting(const QString& key, const QString& defaultValue);

// Stores and syncs the value; throws Failure when the store cannot be written.
void SaveSetting(const QString& key, const QString& value);

} // namespace quillmere::app
