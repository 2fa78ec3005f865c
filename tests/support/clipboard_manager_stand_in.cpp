// A clipboard manager for tests, on plain xcb. It owns CLIPBOARD_MANAGER and answers SAVE_TARGETS
// as a desktop's manager does: it takes the targets that the request names in its property, or
// else asks the CLIPBOARD owner for TARGETS, fetches the text as UTF8_STRING (or
// text/plain;charset=utf-8), incremental transfers included, writes it to OUT_FILE, takes the
// CLIPBOARD itself and serves the text from then on (incrementally where it does not fit one
// request). Texts up to 64 MiB.
//   clipboard_manager_stand_in OUT_FILE [--never-answer]
// Prints "ready" on standard output once it owns CLIPBOARD_MANAGER and a line per save on
// standard error. --never-answer leaves every SAVE_TARGETS request unanswered. Ends by itself
// after two minutes.

#include <xcb/xcb.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStepDeadline = std::chrono::seconds(5);
constexpr auto kLifetime = std::chrono::minutes(2);
constexpr size_t kMaxText = size_t(64) << 20;
constexpr std::uint32_t kReadWords = 1 << 18;
// No atom, no window.
constexpr std::uint32_t kNone = 0;

struct FreeMalloced {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, FreeMalloced>;
using Event = Owned<xcb_generic_event_t>;

int eventType(const xcb_generic_event_t& e) {
    return e.response_type & 0x7f;
}

struct Property {
    xcb_atom_t type = XCB_ATOM_NONE;
    std::uint8_t format = 0;
    std::string bytes;
};

// A text sent to a requestor in pieces, each when it deleted the previous one.
struct IncrementalSend {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<const std::string> text;
    size_t offset = 0;
    Clock::time_point lastStep;
};

class StandIn {
public:
    StandIn(const char* outFile, bool neverAnswer) : outFile_(outFile), neverAnswer_(neverAnswer) {}
    ~StandIn() {
        if (c_)
            xcb_disconnect(c_);
    }

    bool open();
    void run();

private:
    xcb_atom_t intern(const char* name);
    Event waitFor(const std::function<bool(const xcb_generic_event_t&)>& wanted,
                  Clock::time_point deadline);
    xcb_timestamp_t serverTime();
    xcb_window_t owner(xcb_atom_t selection);
    std::optional<Property> takeProperty();
    std::optional<Property> fetch(xcb_atom_t target, bool& incremental);
    std::optional<Property> requestedTargets(const xcb_selection_request_event_t& request);
    bool save(const xcb_selection_request_event_t& request);
    void handle(const xcb_generic_event_t& e);
    void answerManagerRequest(const xcb_selection_request_event_t& request);
    void answerClipboardRequest(const xcb_selection_request_event_t& request);
    void sendNextPiece(const xcb_property_notify_event_t& deleted);
    void notify(const xcb_selection_request_event_t& request, xcb_atom_t property);

    const char* outFile_;
    bool neverAnswer_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t window_ = 0;
    size_t maxPropertyBytes_ = 0;
    std::deque<Event> deferred_;
    std::shared_ptr<const std::string> text_;
    xcb_timestamp_t clipboardSince_ = 0;
    std::vector<IncrementalSend> sends_;
    struct {
        xcb_atom_t clipboard, manager, saveTargets, targets, timestamp, utf8, textUtf8, incr, data,
            clock;
    } atom_{};
};

xcb_atom_t StandIn::intern(const char* name) {
    Owned<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, std::uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : kNone;
}

bool StandIn::open() {
    c_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c_))
        return false;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    atom_.clipboard = intern("CLIPBOARD");
    atom_.manager = intern("CLIPBOARD_MANAGER");
    atom_.saveTargets = intern("SAVE_TARGETS");
    atom_.targets = intern("TARGETS");
    atom_.timestamp = intern("TIMESTAMP");
    atom_.utf8 = intern("UTF8_STRING");
    atom_.textUtf8 = intern("text/plain;charset=utf-8");
    atom_.incr = intern("INCR");
    atom_.data = intern("STAND_IN_DATA");
    atom_.clock = intern("STAND_IN_CLOCK");
    // The header of ChangeProperty, with the length word that big requests add.
    maxPropertyBytes_ = size_t(xcb_get_maximum_request_length(c_)) * 4 - 28;
    xcb_set_selection_owner(c_, window_, atom_.manager, serverTime());
    if (owner(atom_.manager) != window_)
        return false;
    std::fprintf(stderr, "stand-in: owns CLIPBOARD_MANAGER; one property holds %zu bytes\n",
                 maxPropertyBytes_);
    return true;
}

// The next event that `wanted` accepts; the others wait in `deferred_` for the main loop.
Event StandIn::waitFor(const std::function<bool(const xcb_generic_event_t&)>& wanted,
                       Clock::time_point deadline) {
    xcb_flush(c_);
    for (;;) {
        while (Event e{xcb_poll_for_event(c_)}) {
            if (wanted(*e))
                return e;
            deferred_.push_back(std::move(e));
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (xcb_connection_has_error(c_) || left.count() <= 0)
            return nullptr;
        pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
        poll(&fd, 1, int(std::min<long long>(left.count(), 1000)));
    }
}

// A timestamp from the server: the time of an empty change to our own window.
xcb_timestamp_t StandIn::serverTime() {
    xcb_change_property(c_, XCB_PROP_MODE_APPEND, window_, atom_.clock, XCB_ATOM_STRING, 8, 0,
                        nullptr);
    const Event e = waitFor(
        [&](const xcb_generic_event_t& e) {
            const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(e);
            return eventType(e) == XCB_PROPERTY_NOTIFY && p.window == window_ &&
                   p.atom == atom_.clock;
        },
        Clock::now() + kStepDeadline);
    return e ? reinterpret_cast<const xcb_property_notify_event_t*>(e.get())->time
             : XCB_CURRENT_TIME;
}

xcb_window_t StandIn::owner(xcb_atom_t selection) {
    Owned<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, selection), nullptr));
    return reply ? reply->owner : kNone;
}

// Reads our data property whole and deletes it; nothing when it is absent or too large.
std::optional<Property> StandIn::takeProperty() {
    Property p;
    for (std::uint32_t offset = 0;;) {
        Owned<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(c_,
                                   xcb_get_property(c_, 1, window_, atom_.data,
                                                    XCB_GET_PROPERTY_TYPE_ANY, offset, kReadWords),
                                   nullptr));
        if (!reply || reply->type == XCB_ATOM_NONE)
            return std::nullopt;
        const auto length = size_t(xcb_get_property_value_length(reply.get()));
        if (p.bytes.size() + length > kMaxText)
            return std::nullopt;
        p.type = reply->type;
        p.format = reply->format;
        p.bytes.append(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
        if (reply->bytes_after == 0)
            return p;
        offset += std::uint32_t(length / 4);
    }
}

// Converts the CLIPBOARD to `target`, following an incremental transfer to its end.
std::optional<Property> StandIn::fetch(xcb_atom_t target, bool& incremental) {
    xcb_delete_property(c_, window_, atom_.data);
    xcb_convert_selection(c_, window_, atom_.clipboard, target, atom_.data, XCB_CURRENT_TIME);
    const Event answer = waitFor(
        [&](const xcb_generic_event_t& e) {
            const auto& n = reinterpret_cast<const xcb_selection_notify_event_t&>(e);
            return eventType(e) == XCB_SELECTION_NOTIFY && n.requestor == window_ &&
                   n.selection == atom_.clipboard && n.target == target;
        },
        Clock::now() + kStepDeadline);
    if (!answer ||
        reinterpret_cast<const xcb_selection_notify_event_t*>(answer.get())->property == XCB_NONE)
        return std::nullopt;
    std::optional<Property> first = takeProperty();
    incremental = first && first->type == atom_.incr;
    if (!incremental)
        return first;
    // Deleting the INCR property asked for the first piece; an empty piece ends the transfer.
    Property whole;
    for (;;) {
        const Event piece = waitFor(
            [&](const xcb_generic_event_t& e) {
                const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(e);
                return eventType(e) == XCB_PROPERTY_NOTIFY && p.window == window_ &&
                       p.atom == atom_.data && p.state == XCB_PROPERTY_NEW_VALUE;
            },
            Clock::now() + kStepDeadline);
        std::optional<Property> part = piece ? takeProperty() : std::nullopt;
        if (!part || whole.bytes.size() + part->bytes.size() > kMaxText)
            return std::nullopt;
        whole.type = part->type;
        whole.format = part->format;
        if (part->bytes.empty())
            return whole;
        whole.bytes += part->bytes;
    }
}

// The targets that the SAVE_TARGETS request names in its property, if it names any.
std::optional<Property> StandIn::requestedTargets(const xcb_selection_request_event_t& request) {
    if (request.property == kNone)
        return std::nullopt;
    Owned<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, request.requestor, request.property, XCB_ATOM_ATOM, 0, 1024),
        nullptr));
    if (!reply || reply->type != XCB_ATOM_ATOM)
        return std::nullopt;
    Property p{reply->type, reply->format, {}};
    p.bytes.assign(static_cast<const char*>(xcb_get_property_value(reply.get())),
                   size_t(xcb_get_property_value_length(reply.get())));
    return p;
}

bool StandIn::save(const xcb_selection_request_event_t& request) {
    const xcb_window_t current = owner(atom_.clipboard);
    if (current == window_)
        return true;
    if (current == XCB_WINDOW_NONE)
        return false;
    bool incremental = false;
    std::optional<Property> targets = requestedTargets(request);
    const bool named = targets.has_value();
    if (!named)
        targets = fetch(atom_.targets, incremental);
    if (!targets || targets->format != 32)
        return false;
    std::vector<xcb_atom_t> offered(targets->bytes.size() / 4);
    std::memcpy(offered.data(), targets->bytes.data(), offered.size() * 4);
    const auto offers = [&](xcb_atom_t a) {
        return std::find(offered.begin(), offered.end(), a) != offered.end();
    };
    const xcb_atom_t target = offers(atom_.utf8)       ? atom_.utf8
                              : offers(atom_.textUtf8) ? atom_.textUtf8
                                                       : kNone;
    if (target == XCB_ATOM_NONE)
        return false;
    const std::optional<Property> text = fetch(target, incremental);
    if (!text || text->format != 8)
        return false;
    std::ofstream out(outFile_, std::ios::binary | std::ios::trunc);
    out.write(text->bytes.data(), std::streamsize(text->bytes.size()));
    out.close();
    if (!out)
        return false;
    text_ = std::make_shared<const std::string>(text->bytes);
    clipboardSince_ = serverTime();
    xcb_set_selection_owner(c_, window_, atom_.clipboard, clipboardSince_);
    std::fprintf(stderr, "stand-in: saved %zu bytes%s of the targets %s\n", text_->size(),
                 incremental ? " (incremental)" : "", named ? "the request named" : "offered");
    return owner(atom_.clipboard) == window_;
}

void StandIn::notify(const xcb_selection_request_event_t& request, xcb_atom_t property) {
    xcb_selection_notify_event_t n{};
    n.response_type = XCB_SELECTION_NOTIFY;
    n.time = request.time;
    n.requestor = request.requestor;
    n.selection = request.selection;
    n.target = request.target;
    n.property = property;
    xcb_send_event(c_, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&n));
    xcb_flush(c_);
}

void StandIn::answerManagerRequest(const xcb_selection_request_event_t& request) {
    if (request.target != atom_.saveTargets) {
        notify(request, XCB_ATOM_NONE);
        return;
    }
    if (neverAnswer_) {
        std::fprintf(stderr, "stand-in: leaves SAVE_TARGETS unanswered\n");
        return;
    }
    const bool saved = save(request);
    notify(request, saved ? (request.property ? request.property : request.target) : kNone);
    if (!saved)
        std::fprintf(stderr, "stand-in: could not save the clipboard\n");
}

void StandIn::answerClipboardRequest(const xcb_selection_request_event_t& request) {
    const xcb_atom_t property = request.property ? request.property : request.target;
    const auto put = [&](xcb_atom_t type, std::uint8_t format, size_t items, const void* data) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, request.requestor, property, type, format,
                            std::uint32_t(items), data);
    };
    if (!text_) {
        notify(request, XCB_ATOM_NONE);
    } else if (request.target == atom_.targets) {
        const xcb_atom_t targets[] = {atom_.targets, atom_.timestamp, atom_.utf8, atom_.textUtf8};
        put(XCB_ATOM_ATOM, 32, std::size(targets), targets);
        notify(request, property);
    } else if (request.target == atom_.timestamp) {
        put(XCB_ATOM_INTEGER, 32, 1, &clipboardSince_);
        notify(request, property);
    } else if (request.target != atom_.utf8 && request.target != atom_.textUtf8) {
        notify(request, XCB_ATOM_NONE);
    } else if (text_->size() <= maxPropertyBytes_) {
        put(request.target, 8, text_->size(), text_->data());
        notify(request, property);
    } else {
        // Watch the requestor's window for the deletions that ask for each next piece.
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c_, request.requestor, XCB_CW_EVENT_MASK, &mask);
        const std::uint32_t size = std::uint32_t(text_->size());
        put(atom_.incr, 32, 1, &size);
        sends_.push_back({request.requestor, property, request.target, text_, 0, Clock::now()});
        notify(request, property);
    }
}

void StandIn::sendNextPiece(const xcb_property_notify_event_t& deleted) {
    const auto send = std::find_if(sends_.begin(), sends_.end(), [&](const IncrementalSend& s) {
        return s.requestor == deleted.window && s.property == deleted.atom;
    });
    if (send == sends_.end())
        return;
    const size_t piece = std::min(maxPropertyBytes_, send->text->size() - send->offset);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, send->requestor, send->property, send->type, 8,
                        std::uint32_t(piece), send->text->data() + send->offset);
    send->offset += piece;
    send->lastStep = Clock::now();
    if (piece == 0) {
        std::fprintf(stderr, "stand-in: served %zu bytes (incremental)\n", send->text->size());
        const xcb_window_t requestor = send->requestor;
        sends_.erase(send);
        if (std::none_of(sends_.begin(), sends_.end(),
                         [&](const IncrementalSend& s) { return s.requestor == requestor; })) {
            const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
            xcb_change_window_attributes(c_, requestor, XCB_CW_EVENT_MASK, &none);
        }
    }
    xcb_flush(c_);
}

void StandIn::handle(const xcb_generic_event_t& e) {
    switch (eventType(e)) {
    case 0: // an error, such as a requestor window that went away
        std::fprintf(stderr, "stand-in: X error %d\n",
                     reinterpret_cast<const xcb_generic_error_t&>(e).error_code);
        break;
    case XCB_SELECTION_REQUEST: {
        const auto& request = reinterpret_cast<const xcb_selection_request_event_t&>(e);
        if (request.selection == atom_.manager)
            answerManagerRequest(request);
        else if (request.selection == atom_.clipboard)
            answerClipboardRequest(request);
        else
            notify(request, XCB_ATOM_NONE);
        break;
    }
    case XCB_SELECTION_CLEAR:
        if (reinterpret_cast<const xcb_selection_clear_event_t&>(e).selection == atom_.clipboard)
            text_.reset();
        break;
    case XCB_PROPERTY_NOTIFY: {
        const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(e);
        if (p.state == XCB_PROPERTY_DELETE)
            sendNextPiece(p);
        break;
    }
    default:
        break;
    }
}

void StandIn::run() {
    const auto end = Clock::now() + kLifetime;
    while (Clock::now() < end && !xcb_connection_has_error(c_)) {
        if (deferred_.empty()) {
            if (Event e = waitFor([](const xcb_generic_event_t&) { return true; },
                                  std::min(end, Clock::now() + std::chrono::seconds(1))))
                deferred_.push_back(std::move(e));
        }
        if (!deferred_.empty()) {
            const Event e = std::move(deferred_.front());
            deferred_.pop_front();
            handle(*e);
        }
        std::erase_if(sends_, [](const IncrementalSend& s) {
            return Clock::now() - s.lastStep > kStepDeadline;
        });
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--never-answer") != 0)) {
        std::fprintf(stderr, "usage: %s OUT_FILE [--never-answer]\n", argv[0]);
        return 2;
    }
    StandIn standIn(argv[1], argc == 3);
    if (!standIn.open()) {
        std::fprintf(stderr, "stand-in: cannot own CLIPBOARD_MANAGER\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    standIn.run();
    return 0;
}
