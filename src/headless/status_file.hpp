// A running batch's status on disk, for any process to read at any time
// without talking to the batch: a small JSON file replaced in one step
// (never seen half written), a few times a second at most.
//
//   {"state": "running" | "stopping" | ..., "total": n, "done": n,
//    "converted": n, "failed": n, "eta": seconds | null,
//    "updated": <time.time()>, "pid": <the controller's process id>}
#pragma once

#include "host/stdlib.hpp"

#include <optional>
#include <string>

namespace velmora::headless {

using py::Ref;

struct BatchStatus {
    std::string state;
    long long total = 0;
    long long done = 0;
    long long converted = 0;
    long long failed = 0;
    std::optional<double> eta;  // seconds left, when known
};

class StatusFile {
public:
    // `path`: a str, or None for no status file.
    explicit StatusFile(Ref path) : path_(std::move(path)) {}
    // Writes the status when its state changed, or when the last write is
    // older than a moment; `force` writes it now.
    void update(const BatchStatus& status, double now, bool force = false);
    // Writes it now (a front end's own states: starting, finished, ...).
    static void write(const Ref& path, const BatchStatus& status, const Ref& extra);

private:
    Ref path_;
    std::string last_state_;
    double last_write_ = -1e300;
};

// The status file's dict as read back; None when there is none (yet) or it
// cannot be read.
Ref read_status(const Ref& path);

}  // namespace velmora::headless
