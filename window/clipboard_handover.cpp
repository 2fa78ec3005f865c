#include "window/clipboard_handover.h"

#include <QCoreApplication>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quillmere::window {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

} // namespace

ClipboardHandover::ClipboardHandover(xcb_connection_t* connection, QObject* parent)
    : QObject(parent), connection_(connection) {
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    deadline_.setInterval(kDeadlineMs);
    connect(&deadline_, &QTimer::timeout, this, &ClipboardHandover::giveUpWaiting);
    if (connection_)
        QCoreApplication::instance()->installNativeEventFilter(this);
}

ClipboardHandover::~ClipboardHandover() {
    dropRequestWindow();
}

bool ClipboardHandover::start() {
    if (!connection_ || xcb_connection_has_error(connection_) || !internAtoms() || !managerRuns())
        return false;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    if (!screen)
        return false;
    dropRequestWindow();
    requestWindow_ = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, requestWindow_, screen->root, -1, -1, 1, 1,
                      0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    // The one target to save: the managers fetch every target Qt offers otherwise, each a copy of
    // the whole text, and Qt cannot send two of them in pieces at once, which a text larger than
    // one X request needs.
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, requestWindow_, property_,
                        XCB_ATOM_ATOM, 32, 1, &utf8String_);
    // CurrentTime, because Qt turns away requests dated before it took the selection.
    xcb_convert_selection(connection_, requestWindow_, managerSelection_, saveTargets_, property_,
                          XCB_CURRENT_TIME);
    xcb_flush(connection_);
    deadline_.start();
    return true;
}

bool ClipboardHandover::internAtoms() {
    if (property_)
        return true;
    static constexpr std::array<const char*, 4> names = {
        "CLIPBOARD_MANAGER", "SAVE_TARGETS", "UTF8_STRING", "QUILLMERE_CLIPBOARD_HANDOVER"};
    std::array<xcb_intern_atom_cookie_t, names.size()> cookies{};
    for (size_t i = 0; i < names.size(); ++i)
        cookies[i] =
            xcb_intern_atom(connection_, 0, std::uint16_t(std::strlen(names[i])), names[i]);
    std::array<std::uint32_t, names.size()> atoms{};
    for (size_t i = 0; i < names.size(); ++i) {
        ReplyPtr<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(connection_, cookies[i], nullptr));
        atoms[i] = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }
    if (std::find(atoms.begin(), atoms.end(), xcb_atom_t(XCB_ATOM_NONE)) != atoms.end())
        return false;
    managerSelection_ = atoms[0];
    saveTargets_ = atoms[1];
    utf8String_ = atoms[2];
    property_ = atoms[3];
    return true;
}

bool ClipboardHandover::managerRuns() const {
    ReplyPtr<xcb_get_selection_owner_reply_t> reply(xcb_get_selection_owner_reply(
        connection_, xcb_get_selection_owner(connection_, managerSelection_), nullptr));
    return reply && reply->owner != XCB_WINDOW_NONE;
}

bool ClipboardHandover::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (!requestWindow_ || eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY)
        return false;
    const auto* notify = reinterpret_cast<const xcb_selection_notify_event_t*>(event);
    if (notify->requestor != requestWindow_ || notify->selection != managerSelection_ ||
        notify->target != saveTargets_)
        return false;
    const bool waiting = deadline_.isActive();
    dropRequestWindow();
    if (waiting)
        emit finished(notify->property == XCB_ATOM_NONE ? Result::Refused : Result::Saved);
    return true;
}

// The request window stays until the answer comes: the managers abandon a save whose requestor
// window is destroyed, and a large text may take them longer than we wait.
void ClipboardHandover::giveUpWaiting() {
    emit finished(Result::TimedOut);
}

void ClipboardHandover::dropRequestWindow() {
    deadline_.stop();
    if (!requestWindow_)
        return;
    if (!xcb_connection_has_error(connection_)) {
        xcb_destroy_window(connection_, requestWindow_);
        xcb_flush(connection_);
    }
    requestWindow_ = 0;
}

} // namespace quillmere::window
