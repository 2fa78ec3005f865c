#include "app/event_pump.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace quillmere {

namespace {
constexpr qint64 kPumpIntervalMs = 30;
}

void letWindowMessagesRun() {
    static QElapsedTimer sinceLastPump;
    if (sinceLastPump.isValid() && sinceLastPump.elapsed() < kPumpIntervalMs)
        return;
    letWindowMessagesRunNow();
    sinceLastPump.start();
}

void letWindowMessagesRunNow() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace quillmere
