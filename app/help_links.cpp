#include "app/help_links.h"

#include <QRandomGenerator>
#include <QTime>

namespace quillmere {

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

} // namespace quillmere
