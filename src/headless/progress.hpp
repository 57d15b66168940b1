// What a running batch tells its user: events for a Python caller's
// `progress` callable, and on the console one live line (files done of
// total, converted, failed, rate, time left, what each worker is on), or
// plain lines every few seconds when the output is not a terminal.
#pragma once

#include "headless/worker_process.hpp"
#include "host/stdlib.hpp"

#include <map>
#include <optional>
#include <string>

namespace velmora::headless {

using py::Ref;

// Writes text to sys.stdout (or another stream of sys) and flushes it.
// Console text never stops a batch: what the console's encoding cannot
// show (a file name's undecodable bytes, say) is replaced.
void write_console(const Ref& text, const char* stream = "stdout");

class Progress {
public:
    Progress(Ref callback, bool console);

    void start(long long total, long long done, long long converted, long long failed, double now);
    // A worker's new state, and its process id: Starting, Idle once ready
    // (with its start-up seconds), Busy (with its source), Ended (with how).
    // Events name them "starting", "ready", "busy", "ended".
    void worker(int id, const Ref& pid, WorkerProcess::State state, const Ref& detail, double now);
    // A finished source: its journal record with full paths, plus counts.
    void file(int worker, const Ref& source, const Ref& record, double now);
    // Redraws the console line, or prints a plain line when one is due.
    void tick(double now);
    void end(const Ref& results, bool interrupted);
    // Files done so far of the total, and the seconds left at the rate so
    // far (when there is one).
    long long total() const { return total_; }
    long long done() const { return done_; }
    long long converted() const { return converted_; }
    long long failed() const { return failed_; }
    std::optional<double> seconds_left(double now) const;
    // Something the user should know before the batch goes on: on the
    // console's standard error, to the callback as a "warning" event, and
    // otherwise as a Python RuntimeWarning.
    void warn(const Ref& message);

private:
    void emit(const Ref& event);
    std::string summary(double now) const;
    void show_line(const std::string& line);
    void print_above(const Ref& text);

    Ref callback_;
    bool console_;
    bool terminal_ = false;
    long long total_ = 0;
    long long done_ = 0;
    long long converted_ = 0;
    long long failed_ = 0;
    long long done_at_start_ = 0;
    double started_ = 0;
    double last_line_ = 0;
    double last_tick_ = 0;
    std::map<int, std::string> doing_;  // worker id -> what it is on
};

}  // namespace velmora::headless
