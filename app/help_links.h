#pragma once

#include <QString>
#include <QUrl>

#include <functional>

namespace quillmere::app {

inline const QString kContactPage = QStringLiteral("https://vantrel.example/contact");
inline const QString kHomePage = QStringLiteral("https://vantrel.example/");
inline const QString kHelpMessage =
    QStringLiteral("Questions? Please contact Team Vantrel at ") + kContactPage;

// A whole number from 1 to 100.
using PercentDraw = std::function<int()>;
using UrlOpener = std::function<void(const QUrl&)>;

// Seeded from the time of day, uniform over 1..100.
int drawPercentFromTimeOfDay();

class Dialogs;

// "Help", beside either list: the contact message, reported as the handler named by the location.
void showHelp(Dialogs& dialogs, const QString& locationText);

// On about one start in a hundred (a draw of 7) opens the home page, without waiting for it.
void visitHomePage(const PercentDraw& draw, const UrlOpener& open);

} // namespace quillmere::app
