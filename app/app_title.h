#pragma once

#include <QString>

// The application title: the program's name as message boxes without a title of their own show it.
namespace quillmere::app {

inline const QString kProductDisplayName = QStringLiteral("Quillmere");

// Cuts the display name before its last blank, and again while the result exceeds 40 characters.
// A name without a blank is kept whole.
QString applicationTitleFor(const QString& displayName);

QString applicationTitle();
void setApplicationTitle(const QString& title);

} // namespace quillmere::app
