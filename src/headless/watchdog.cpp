#include "headless/watchdog.hpp"

#include <chrono>
#include <cstdlib>

#ifdef _WIN32
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
bool interrupted() { return WSAGetLastError() == WSAEINTR; }
// What is waiting, without taking it and without blocking (the main thread
// may read it first).
long waiting(Socket s) {
    u_long bytes = 0;
    return ioctlsocket(s, FIONREAD, &bytes) == 0 ? static_cast<long>(bytes) : -1;
}
#else
using Socket = int;
bool interrupted() { return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK; }
long waiting(Socket s) {
    char byte = 0;
    auto got = recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0 && interrupted()) return 0;
    return got < 0 ? -1 : static_cast<long>(got);
}
#endif

// Waits a moment for the socket. Readable with nothing to read is its end;
// readable with data is a message for the main thread.
Peer look(Socket s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{0, kPollMicroseconds};
    int ready = select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, &wait);
    if (ready < 0) return interrupted() ? Peer::Quiet : Peer::Gone;
    if (ready == 0) return Peer::Quiet;
    long bytes = waiting(s);
    return bytes > 0 ? Peer::Data : Peer::Gone;
}

}  // namespace

Watchdog::Watchdog(long long socket) : socket_(socket), thread_([this] { watch(); }) {}

Watchdog::~Watchdog() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

void Watchdog::watch() {
    auto s = static_cast<Socket>(socket_);
    // A message the main thread takes between the two steps of look() can
    // pass for the end once; the end itself stays, so it must be seen twice.
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
