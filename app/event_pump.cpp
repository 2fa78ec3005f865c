#include "app/event_pump.h"

#include <QCoreApplication>

#include <ctime>

namespace quillmere::app {

namespace {
constexpr qint64 kPumpIntervalMs = 30;

std::function<void()>& pumpObserver() {
    static std::function<void()> observer;
    return observer;
}

// The coarse clock (a few milliseconds fine) is read in a few nanoseconds; the loops over a million
// rows ask for a pump at every cell, and reading the precise clock there took a fifth of their
// time.
qint64 coarseMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
} // namespace

void letWindowMessagesRun() {
    static qint64 lastPump = -1;
    const qint64 now = coarseMilliseconds();
    if (lastPump >= 0 && now - lastPump < kPumpIntervalMs)
        return;
    letWindowMessagesRunNow();
    lastPump = coarseMilliseconds();
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
