#include "export/mqtt/socket_wait.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace brivant::tool {

#ifdef _WIN32

namespace {

[[noreturn]] void failed(const char* what) {
    throw std::runtime_error(std::string("cannot make the MQTT wake-up socket: ") + what + " failed (" +
                             std::to_string(WSAGetLastError()) + ")");
}

} // namespace

SocketWait::SocketWait() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        failed("WSAStartup");
    }
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        failed("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        WSACleanup();
        failed("bind");
    }
    read_ = write_ = static_cast<long long>(s);
}

SocketWait::~SocketWait() {
    ::closesocket(static_cast<SOCKET>(read_));
    WSACleanup();
}

void SocketWait::wake() const {
    const char byte = 1;
    ::send(static_cast<SOCKET>(write_), &byte, 1, 0);
}

SocketWait::Ready SocketWait::wait(int socket, bool wantWrite, std::chrono::milliseconds most) const {
    WSAPOLLFD fds[2] = {{static_cast<SOCKET>(read_), POLLRDNORM, 0},
                        {static_cast<SOCKET>(static_cast<std::intptr_t>(socket)),
                         static_cast<SHORT>(POLLRDNORM | (wantWrite ? POLLWRNORM : 0)), 0}};
    ::WSAPoll(fds, socket < 0 ? 1 : 2, static_cast<INT>(most.count()));
    if (fds[0].revents & POLLRDNORM) {
        char bytes[256];
        while (::recv(static_cast<SOCKET>(read_), bytes, sizeof bytes, 0) > 0) {
        }
    }
    Ready ready;
    if (socket >= 0) {
        ready.readable = (fds[1].revents & (POLLRDNORM | POLLERR | POLLHUP)) != 0;
        ready.writable = (fds[1].revents & POLLWRNORM) != 0;
    }
    return ready;
}

#else

SocketWait::SocketWait() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    read_ = fds[0];
    write_ = fds[1];
}

SocketWait::~SocketWait() {
    ::close(static_cast<int>(read_));
    ::close(static_cast<int>(write_));
}

void SocketWait::wake() const {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = ::write(static_cast<int>(write_), &byte, 1);
}

SocketWait::Ready SocketWait::wait(int socket, bool wantWrite, std::chrono::milliseconds most) const {
    pollfd fds[2] = {{static_cast<int>(read_), POLLIN, 0},
                     {socket, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
    ::poll(fds, socket < 0 ? 1 : 2, static_cast<int>(most.count()));
    if (fds[0].revents & POLLIN) {
        char bytes[256];
        while (::read(static_cast<int>(read_), bytes, sizeof bytes) > 0) {
        }
    }
    Ready ready;
    if (socket >= 0) {
        ready.readable = (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        ready.writable = (fds[1].revents & POLLOUT) != 0;
    }
    return ready;
}

#endif

} // namespace brivant::tool
