// A worker whose controller is gone must not go on converting: nobody
// would publish or journal its work, and a resumed batch redoes that file.
// While Maya is busy (and holds the interpreter) a thread of plain C++
// watches the worker's socket and ends the process the moment the
// controller's end of it closes; what the worker was writing is a
// temporary file, removed when the batch is resumed.
#pragma once

#include <atomic>
#include <thread>

namespace velmora::headless {

class Watchdog {
public:
    // `socket` is the file descriptor (a SOCKET on Windows) of the channel.
    explicit Watchdog(long long socket);
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog();

    void busy(bool on) { busy_.store(on); }

    // The exit status of a worker that ended because its controller died.
    static constexpr int kOrphaned = 75;

private:
    void watch();

    long long socket_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace velmora::headless
