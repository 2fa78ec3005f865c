#include "app/event_pump.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace quillmere::app {

namespace {
constexpr qint64 kPumpIntervalMs = 30;

std::function<void()>& pumpObserver() {
    static std::function<void()> observer;
    return observer;
}
} // namespace

void letWindowMessagesRun() {
    static QElapsedTimer sinceLastPump;
    if (sinceLastPump.isValid() && sinceLastPump.elapsed() < kPumpIntervalMs)
        return;
    letWindowMessagesRunNow();
    sinceLastPump.start();
}

void letWindowMessagesRunNow() {
    if (pumpObserver())
        pumpObserver()();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void setPumpObserver(std::function<void()> observer) {
    pumpObserver() = std::move(observer);
}

} // namespace quillmere::app
