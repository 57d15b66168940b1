#include "headless/watchdog.hpp"

#include <chrono>
#include <cstdlib>

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // WSAPoll: Windows Vista and later
#endif
#include <winsock2.h>
#else
#include <cerrno>
#include <sys/select.h>
#include <sys/socket.h>
#endif

namespace velmora::headless {
namespace {

constexpr long kPollMicroseconds = 200000;

enum class Peer { Quiet, Data, Gone };

#ifdef _WIN32
using Socket = SOCKET;

// Readable with nothing to read is ambiguous here (the main thread may
// have taken a message), so the end is asked for by name: a closed or
// reset connection polls as hung up.
Peer look(Socket s) {
    WSAPOLLFD entry{};
    entry.fd = s;
    entry.events = POLLRDNORM;
    int ready = WSAPoll(&entry, 1, static_cast<INT>(kPollMicroseconds / 1000));
    if (ready < 0) return WSAGetLastError() == WSAEINTR ? Peer::Quiet : Peer::Gone;
    if (ready == 0) return Peer::Quiet;
    if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return Peer::Gone;
    return Peer::Data;
}
#else
using Socket = int;

// Waits a moment for the socket, then peeks without waiting: no bytes is
// the end of the stream; "would block" means the main thread took what
// had arrived, and the connection is still there.
Peer look(Socket s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{0, kPollMicroseconds};
    int ready = select(s + 1, &readable, nullptr, nullptr, &wait);
    if (ready < 0) return errno == EINTR ? Peer::Quiet : Peer::Gone;
    if (ready == 0) return Peer::Quiet;
    char byte = 0;
    auto got = recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) return Peer::Data;
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return Peer::Quiet;
    return Peer::Gone;
}
#endif

}  // namespace

Watchdog::Watchdog(long long socket) : socket_(socket), thread_([this] { watch(); }) {}

Watchdog::~Watchdog() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

void Watchdog::watch() {
    auto s = static_cast<Socket>(socket_);
    // The end stays; seen twice, it is not a passing state of the socket.
    int ends_seen = 0;
    while (!stop_.load()) {
        Peer peer = look(s);
        ends_seen = peer == Peer::Gone && busy_.load() ? ends_seen + 1 : 0;
        if (ends_seen >= 2) std::_Exit(kOrphaned);
        // Data, or the end while idle, is the main thread's to read.
        if (peer != Peer::Quiet) std::this_thread::sleep_for(std::chrono::microseconds(kPollMicroseconds));
    }
}

}  // namespace velmora::headless
