#include "app/help_links.h"

#include "app/dialogs.h"
#include "app/guard.h"

#include <QRandomGenerator>
#include <QTime>

namespace quillmere::app {

namespace {
constexpr int kLuckyDraw = 7;
}

int drawPercentFromTimeOfDay() {
    QRandomGenerator generator(static_cast<quint32>(QTime::currentTime().msecsSinceStartOfDay()));
    return static_cast<int>(generator.generateDouble() * 100) + 1;
}

void visitHomePage(const PercentDraw& draw, const UrlOpener& open) {
    if (draw() == kLuckyDraw)
        open(QUrl(kHomePage));
}

void showHelp(Dialogs& dialogs, const QString& locationText) {
    Guard g(dialogs, locationText);
    g.step(100, [&] { dialogs.messageBox(kHelpMessage, BoxStyle::OkOnly); });
}

} // namespace quillmere::app
