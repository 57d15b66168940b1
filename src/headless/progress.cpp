#include "headless/progress.hpp"

#include "headless/columns.hpp"
#include "host/host.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

namespace velmora::headless {
namespace {

// Plain lines, when nobody sees a live line, come this often.
constexpr double kPlainLineSeconds = 10.0;
// A terminal that does not tell its width is taken as this wide.
constexpr long long kUnknownWidth = 80;

std::string utf8(const Ref& text) {
    // For the console only: what cannot be shown becomes "?".
    Ref bytes = py::call_method(text, "encode", {"utf-8", "replace"});
    char* data = nullptr;
    Py_ssize_t size = 0;
    py::check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return std::string(data, static_cast<std::size_t>(size));
}

std::string minutes_seconds(double seconds) {
    long long s = std::llround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%lldm %02llds", s / 60, s % 60);
    return text;
}

Ref sys_stdout() { return py::getattr(host::module("sys"), "stdout"); }


}  // namespace

void write_console(const Ref& text, const char* stream) {
    Ref out = py::getattr(host::module("sys"), stream);
    Ref encoding = py::getattr(out, "encoding");
    if (!py::truthy(encoding)) encoding = py::str("utf-8");
    Ref shown = py::call_method(py::call_method(text, "encode", {encoding, "replace"}), "decode",
                                {encoding});
    py::call_method(out, "write", {shown});
    py::call_method(out, "flush");
}

Progress::Progress(Ref callback, bool console) : callback_(std::move(callback)), console_(console) {
    if (console_) {
        py::swallow([this] { terminal_ = py::truthy(py::call_method(sys_stdout(), "isatty")); });
    }
}

void Progress::emit(const Ref& event) {
    if (callback_ && callback_.get() != Py_None) py::call(callback_, {event});
}

void Progress::start(long long total, long long done, long long converted, long long failed,
                     double now) {
    total_ = total;
    done_ = done_at_start_ = done;
    converted_ = converted;
    failed_ = failed;
    started_ = last_line_ = now;
    emit(py::dict({{"event", "start"}, {"total", py::integer(total)}, {"done", py::integer(done)},
                   {"converted", py::integer(converted)}, {"failed", py::integer(failed)}}));
}

namespace {

const char* state_name(WorkerProcess::State state) {
    switch (state) {
        case WorkerProcess::State::Starting: return "starting";
        case WorkerProcess::State::Idle: return "ready";
        case WorkerProcess::State::Busy: return "busy";
        case WorkerProcess::State::Quitting: return "quitting";
        case WorkerProcess::State::Ended: break;
    }
    return "ended";
}

}  // namespace

void Progress::worker(int id, const Ref& pid, WorkerProcess::State state, const Ref& detail, double now) {
    std::string what = state_name(state);
    if (state == WorkerProcess::State::Busy) what = utf8(host::os_path("basename", {detail}));
    if (state == WorkerProcess::State::Ended) {
        doing_.erase(id);
    } else {
        doing_[id] = what;
    }
    emit(py::dict({{"event", "worker"}, {"worker", py::integer(id)}, {"pid", pid},
                   {"state", state_name(state)}, {"detail", detail}}));
    tick(now);
}

void Progress::file(int worker, const Ref& source, const Ref& record, double now) {
    ++done_;
    bool converted = py::truthy(py::get_item(record, "converted"));
    if (converted) {
        ++converted_;
    } else {
        ++failed_;
        if (console_) {
            print_above(py::format("failed: {}: {}", {host::os_path("basename", {source}),
                                                      py::get_item(record, "failure")}));
        }
    }
    emit(py::dict({{"event", "file"}, {"worker", py::integer(worker)}, {"source", source},
                   {"converted", py::boolean(converted)}, {"failure", py::get_item(record, "failure")},
                   {"outputs", py::get_item(record, "outputs")},
                   {"skipped", py::get_item(record, "skipped")}, {"done", py::integer(done_)},
                   {"total", py::integer(total_)}, {"converted_count", py::integer(converted_)},
                   {"failed_count", py::integer(failed_)}}));
    tick(now);
}

std::string Progress::summary(double now) const {
    char head[160];
    double elapsed = now - started_;
    long long done_now = done_ - done_at_start_;
    double rate = elapsed > 0 ? static_cast<double>(done_now) / elapsed : 0.0;
    std::snprintf(head, sizeof head, "%lld/%lld files, %lld converted, %lld failed, %.1f files/s",
                  done_, total_, converted_, failed_, rate);
    std::string line = head;
    if (rate > 0 && done_ < total_) {
        line += ", " + minutes_seconds(static_cast<double>(total_ - done_) / rate) + " left";
    }
    if (!doing_.empty()) {
        line += " |";
        for (const auto& [id, what] : doing_) line += " " + std::to_string(id) + ": " + what;
    }
    return line;
}

void Progress::tick(double now) {
    last_tick_ = now;
    if (!console_) return;
    if (terminal_) {
        show_line(summary(now));
    } else if (now - last_line_ >= kPlainLineSeconds) {
        last_line_ = now;
        write_console(py::text(summary(now) + "\n"));
    }
}

void Progress::show_line(const std::string& line) {
    Ref columns = py::getattr(py::call(host::attribute("shutil", "get_terminal_size")), "columns");
    long long width = py::as_long(columns);
    if (width <= 0) width = kUnknownWidth;
    // The last column stays free: a character there makes some terminals
    // wrap, and the next redraw would start a line lower.
    write_console(py::text("\r\x1b[K" + fit_columns(line, static_cast<std::size_t>(width - 1))));
}

void Progress::print_above(const Ref& text) {
    if (terminal_) write_console(py::str("\r\x1b[K"));
    write_console(py::format("{}\n", {text}));
}

void Progress::end(const Ref& results, bool interrupted) {
    doing_.clear();
    if (console_ && terminal_) write_console(py::str("\n"));
    if (console_ && !terminal_) write_console(py::text(summary(last_tick_) + "\n"));
    emit(py::dict({{"event", "end"}, {"results", results}, {"interrupted", py::boolean(interrupted)}}));
}

void Progress::warn(const Ref& message) {
    if (console_) {
        if (terminal_) write_console(py::str("\r\x1b[K"));
        write_console(py::format("velmora-batch: warning: {}\n", {message}), "stderr");
    } else if (!callback_ || callback_.get() == Py_None) {
        py::call(host::attribute("warnings", "warn"), {message, py::builtin("RuntimeWarning"), 2});
    }
    emit(py::dict({{"event", "warning"}, {"message", message}}));
}

std::optional<double> Progress::seconds_left(double now) const {
    double elapsed = now - started_;
    double rate = elapsed > 0 ? static_cast<double>(done_ - done_at_start_) / elapsed : 0.0;
    if (!(rate > 0)) return std::nullopt;
    return static_cast<double>(total_ - done_) / rate;
}

}  // namespace velmora::headless
