#pragma once

#include <QByteArray>

#include <chrono>

namespace quillmere::window {

enum class BusGreeting {
    Answered, // the bus took part in the handshake
    Silent,   // it took the connection and said nothing by the deadline
    Refused,  // no bus there: a client fails at once
    NotProbed // not the address of a Unix socket
};

// Connects to the first address of a D-Bus address list and begins the handshake, waiting at most
// until `deadline` for the bus to answer. Only a Unix socket's path or abstract name is probed.
BusGreeting probeBus(const QByteArray& addressList, std::chrono::milliseconds deadline);

// A session bus that takes connections and never answers would hold the window before it first
// shows: Qt's accessibility bridge connects to it from the window's thread, without a deadline.
// Such a bus is treated as no bus for this run, and one line on stderr says so. Called before
// the application object exists.
void avoidSilentSessionBus(std::chrono::milliseconds deadline = std::chrono::seconds(3));

} // namespace quillmere::window
