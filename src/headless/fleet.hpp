// What a batch runs: its mayapy workers, the socket they connect to, and
// the clocks that tell a stuck or overdue worker. The fleet says what
// happened to a worker (ready, replied, ended); the controller decides
// what it means for the batch.
#pragma once

#include "headless/batch.hpp"
#include "headless/progress.hpp"
#include "headless/worker_process.hpp"

#include <memory>
#include <optional>
#include <vector>

namespace velmora::headless {

// How long a worker told to quit (or whose channel closed) may take to end.
constexpr double kQuitSeconds = 30.0;

class FleetEvents {
public:
    FleetEvents() = default;
    FleetEvents(const FleetEvents&) = delete;
    FleetEvents& operator=(const FleetEvents&) = delete;
    virtual ~FleetEvents() = default;
    // A worker has started Maya and waits for its first file.
    virtual void ready(WorkerProcess& worker, double now) = 0;
    // A busy worker's answer for its file.
    virtual void replied(WorkerProcess& worker, const Ref& reply, double now) = 0;
    // A worker's process is gone (reaped) from state `was`; `timed_out`
    // holds the reason when it was killed for running past the per-file
    // time limit.
    virtual void ended(WorkerProcess& worker, WorkerProcess::State was,
                       const std::optional<Ref>& timed_out, double now) = 0;
};

// When busy workers are overdue: the per-file limit, and the end of an
// interrupted batch's grace period.
struct Deadlines {
    std::optional<double> per_file;
    bool draining = false;
    double grace_until = 0;
};

class Fleet {
public:
    Fleet(const Request& request, Progress& progress);

    // Opens the socket the workers connect to and their logs' folder.
    void listen();
    void spawn(double now);
    // Waits a moment for what the workers say and passes it on.
    void poll(FleetEvents& events);
    // Kills workers that are stuck or overdue and notices those that died.
    void check_clocks(FleetEvents& events, const Deadlines& deadlines, double now);
    // Tells idle workers to quit and kills the others; waits for all.
    // Returns the files that were in hand.
    std::vector<long long> stop_all();

    std::size_t count(WorkerProcess::State state) const;
    bool running() const;
    const std::vector<std::unique_ptr<WorkerProcess>>& workers() const { return workers_; }
    // The folder of the workers' logs.
    Ref logs() const;
    // The longest start-up seen so far, in seconds.
    double startup_seconds() const { return startup_seconds_; }

private:
    void greet(std::size_t stranger, FleetEvents& events, double now);
    void on_message(WorkerProcess& worker, const Ref& message, FleetEvents& events, double now);
    void end(WorkerProcess& worker, FleetEvents& events, const std::optional<Ref>& timed_out, double now);
    bool overdue(const WorkerProcess& w, const Deadlines& deadlines, double now) const;
    Ref log_file(int id);

    const Request& request_;
    Progress& progress_;
    std::vector<std::unique_ptr<WorkerProcess>> workers_;
    std::vector<Channel> strangers_;  // connected, not yet introduced
    Ref listener_;
    Ref token_;
    Ref logs_;
    int next_id_ = 1;
    bool log_refused_ = false;
    double startup_seconds_ = 0;
};

double monotonic();

}  // namespace velmora::headless
