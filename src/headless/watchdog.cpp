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
bool interrupted() { return false; }
#else
using Socket = int;
bool interrupted() { return errno == EINTR || errno == EAGAIN; }
#endif

// Waits a moment for the socket; peeks without taking anything.
Peer look(Socket s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{0, kPollMicroseconds};
    int ready = select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, &wait);
    if (ready < 0) return interrupted() ? Peer::Quiet : Peer::Gone;
    if (ready == 0) return Peer::Quiet;
    char byte = 0;
    auto got = recv(s, &byte, 1, MSG_PEEK);
    if (got > 0) return Peer::Data;
    if (got < 0 && interrupted()) return Peer::Quiet;
    return Peer::Gone;
}

}  // namespace

Watchdog::Watchdog(long long socket) : socket_(socket), thread_([this] { watch(); }) {}

Watchdog::~Watchdog() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

void Watchdog::watch() {
    auto s = static_cast<Socket>(socket_);
    while (!stop_.load()) {
        Peer peer = look(s);
        if (peer == Peer::Gone && busy_.load()) std::_Exit(kOrphaned);
        // Data, or the end while idle, is the main thread's to read.
        if (peer != Peer::Quiet) std::this_thread::sleep_for(std::chrono::microseconds(kPollMicroseconds));
    }
}

}  // namespace velmora::headless
