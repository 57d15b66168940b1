#include "headless/worker_process.hpp"

#include "host/host.hpp"

#include <utility>

namespace velmora::headless {
namespace {

using host::on_windows;

// The worker gets a session of its own: a Ctrl-C typed at the terminal
// reaches the controller alone, which then lets running files finish.
Ref popen(const Ref& command, const Ref& log_file) {
    Ref subprocess = host::module("subprocess");
    Ref devnull = py::getattr(subprocess, "DEVNULL");
    Ref stdout_to = py::getattr(subprocess, "STDOUT");
    if (on_windows()) {
        return py::call(py::getattr(subprocess, "Popen"), {command},
                        {{"stdin", devnull}, {"stdout", log_file}, {"stderr", stdout_to},
                         {"creationflags", py::getattr(subprocess, "CREATE_NEW_PROCESS_GROUP")}});
    }
    return py::call(py::getattr(subprocess, "Popen"), {command},
                    {{"stdin", devnull}, {"stdout", log_file}, {"stderr", stdout_to},
                     {"start_new_session", true}});
}

Ref returncode(const Ref& popen) { return py::getattr(popen, "returncode"); }

}  // namespace

WorkerProcess::WorkerProcess(int id, const Ref& command, const Ref& log, double now)
    : id_(id), log_(log), since_(now) {
    Ref file = py::call(py::builtin("open"), {log, "ab"});
    py::with(file, [&](const Ref& f) { popen_ = popen(command, f); });
}

void WorkerProcess::connected(Channel channel) { channel_.emplace(std::move(channel)); }

void WorkerProcess::ready(double now) {
    state_ = State::Idle;
    since_ = now;
}

void WorkerProcess::take(long long job, double now) {
    state_ = State::Busy;
    job_ = job;
    since_ = now;
}

void WorkerProcess::finished(double now) {
    state_ = State::Idle;
    job_.reset();
    ++files_done_;
    since_ = now;
}

void WorkerProcess::quitting(double now) {
    state_ = State::Quitting;
    since_ = now;
}

bool WorkerProcess::exited() { return py::call_method(popen_, "poll").get() != Py_None; }

void WorkerProcess::kill() {
    if (exited()) return;
    py::swallow([this] {
        if (on_windows()) {
            py::call_method(popen_, "kill");
        } else {
            Ref signal = host::attribute("signal", "SIGKILL");
            host::os("killpg", {py::getattr(popen_, "pid"), signal});
        }
    });
}

void WorkerProcess::reap(double seconds) {
    Ref expired = host::attribute("subprocess", "TimeoutExpired");
    try {
        py::call(py::getattr(popen_, "wait"), {}, {{"timeout", seconds}});
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(expired.get()) == 0) throw;
        PyErr_Clear();
        kill();
        py::call_method(popen_, "wait");
    }
    if (channel_) channel_->close();
    state_ = State::Ended;
}

std::string WorkerProcess::ending() {
    Ref code = returncode(popen_);
    if (code.get() == Py_None) return "no exit status";
    long long value = py::as_long(code);
    if (value < 0) return "signal " + std::to_string(-value);
    return "exit code " + std::to_string(value);
}

bool WorkerProcess::stopped_from_outside() {
    Ref code = returncode(popen_);
    if (code.get() == Py_None || on_windows()) return false;
    long long value = -py::as_long(code);
    for (const char* name : {"SIGINT", "SIGTERM", "SIGHUP"}) {
        if (value == py::as_long(host::attribute("signal", name))) return true;
    }
    return false;
}

}  // namespace velmora::headless
