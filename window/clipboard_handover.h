#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QTimer>

#include <cstdint>

struct xcb_connection_t;

namespace quillmere::window {

// Asks the X11 clipboard manager to take the CLIPBOARD selection that this process owns (the
// SAVE_TARGETS request on CLIPBOARD_MANAGER), so that the text outlives the process. Everything
// happens on the connection that owns the selection, without blocking: its event loop must keep
// running, since the manager fetches the text from us while we wait for its answer.
class ClipboardHandover : public QObject, private QAbstractNativeEventFilter {
    Q_OBJECT

public:
    enum class Result { Saved, Refused, TimedOut };
    Q_ENUM(Result)

    // connection: the application's own X11 connection, the one through which it took the
    // selection; null where the application does not run on X11, which makes start() do nothing.
    // The connection closes with the QGuiApplication: destroy this object before it (a child of
    // the application object is).
    explicit ClipboardHandover(xcb_connection_t* connection, QObject* parent = nullptr);
    ~ClipboardHandover() override;

    // Sends the request, unless no clipboard manager runs: then it returns false at once and
    // finished() does not come. A handover still under way is replaced by the new one, and only
    // the new one reports.
    bool start();

    static constexpr int kDeadlineMs = 1000;

signals:
    // Once per started request, at the latest kDeadlineMs after start().
    void finished(quillmere::window::ClipboardHandover::Result result);

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    bool internAtoms();
    bool managerRuns() const;
    void giveUpWaiting();
    void dropRequestWindow();

    xcb_connection_t* connection_;
    std::uint32_t managerSelection_ = 0;
    std::uint32_t saveTargets_ = 0;
    std::uint32_t utf8String_ = 0;
    std::uint32_t property_ = 0;
    // The window that receives the answer to the latest request; each request has its own, so an
    // answer meant for an earlier one can never be taken for the latest.
    std::uint32_t requestWindow_ = 0;
    QTimer deadline_;
};

} // namespace quillmere::window
