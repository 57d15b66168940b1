// One worker as the controller sees it: the mayapy child process, its
// channel once it has connected, what it is doing, and how it ended.
#pragma once

#include "headless/channel.hpp"

#include <optional>
#include <string>

namespace velmora::headless {

class WorkerProcess {
public:
    enum class State { Starting, Idle, Busy, Quitting, Ended };

    // Starts `command` (a list of str) with its output going to `log`.
    WorkerProcess(int id, const Ref& command, const Ref& log, double now);

    int id() const { return id_; }
    State state() const { return state_; }
    // Since when the worker is in its state (start-up, or the file in hand).
    double since() const { return since_; }
    std::optional<long long> job() const { return job_; }
    int files_done() const { return files_done_; }
    const Ref& log() const { return log_; }
    Ref pid() const { return py::getattr(popen_, "pid"); }

    void connected(Channel channel);
    std::optional<Channel>& channel() { return channel_; }
    void ready(double now);
    void take(long long job, double now);
    void finished(double now);
    void quitting(double now);
    // A worker that cannot put its Maya back as it was (a scene's code left
    // something there) gets no more files.
    bool retiring() const { return retiring_; }
    void retire() { retiring_ = true; }
    // Whether a successor was started for this worker's retirement.
    bool succeeded() const { return succeeded_; }
    void succeed() { succeeded_ = true; }

    // Whether the process has exited (without waiting).
    bool exited();
    // Kills the worker's whole process group (a launcher script may have
    // children of its own).
    void kill();
    // Waits for the process after its channel closed; kills it when it
    // does not end within `seconds`. Marks the worker ended.
    void reap(double seconds);
    // How the process ended, for a reason text: "signal 11", "exit code 3".
    std::string ending();
    // Whether it was stopped by someone (SIGINT, SIGTERM, SIGHUP) rather
    // than having crashed.
    bool stopped_from_outside();

private:
    int id_;
    Ref popen_;
    Ref log_;
    State state_ = State::Starting;
    double since_;
    std::optional<long long> job_;
    int files_done_ = 0;
    bool succeeded_ = false;
    bool retiring_ = false;
    std::optional<Channel> channel_;
};

}  // namespace velmora::headless
