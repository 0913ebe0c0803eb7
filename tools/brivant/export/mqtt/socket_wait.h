// The MQTT network thread sleeps on the broker's socket and on a wake-up
// that the readers raise when they queue a message. On POSIX the wake-up is
// a pipe; on Windows, where poll takes sockets only, it is a UDP socket on
// loopback that sends to itself.
#pragma once

#include <chrono>

namespace brivant::tool {

class SocketWait {
public:
    SocketWait(); // throws std::runtime_error when the wake-up cannot be made
    ~SocketWait();
    SocketWait(const SocketWait&) = delete;
    SocketWait& operator=(const SocketWait&) = delete;

    // Any thread; a wake-up already pending is enough.
    void wake() const;

    struct Ready {
        bool readable = false; // or closed, or in error: reading says which
        bool writable = false;
    };
    // Until `socket` is ready (it may be -1: none) or wake() is called, at
    // most `most`. Takes the pending wake-ups.
    Ready wait(int socket, bool wantWrite, std::chrono::milliseconds most) const;

private:
    long long read_ = -1;  // a pipe's fd, or a SOCKET
    long long write_ = -1;
};

} // namespace brivant::tool
