#include "headless/ending.hpp"

#include "headless/progress.hpp"
#include "host/stdlib.hpp"

#include <cstring>

namespace velmora::headless {
namespace {

constexpr int kInterruptedStatus = 130;
constexpr int kStoppedStatus = 3;

PyObject* python_error(Ending ending) {
    switch (ending) {
        case Ending::BatchError: return PyExc_RuntimeError;
        case Ending::Interrupted: return PyExc_KeyboardInterrupt;
        case Ending::BadUsage: return PyExc_ValueError;
        case Ending::Stopped: return PyExc_OSError;
        default: return nullptr;
    }
}

bool has(const Ref& results, const char* key) { return py::find_item(results, key).has_value(); }

// The message is UTF-8, an undecodable byte of a file name kept as its
// surrogate escape.
Ref usage_message(const UsageError& error) {
    const char* text = error.what();
    return py::check(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)),
                                          "surrogateescape"));
}

void say(const Ref& text, const char* stream = "stdout") {
    write_console(py::format("{}\n", {text}), stream);
}

}  // namespace

Ending ending_of(const Ref& results) {
    if (has(results, "error")) return Ending::BatchError;
    std::optional<Ref> interrupted = py::find_item(results, "interrupted");
    if (interrupted && py::truthy(*interrupted)) return Ending::Interrupted;
    bool failed = py::truthy(py::get_item(results, "failed"));
    bool pending = py::truthy(py::get_item(results, "pending"));
    std::optional<Ref> unread = py::find_item(results, "unread");
    // A batch that found nothing to convert did not succeed at anything.
    bool empty = py::as_long(py::get_item(results, "total")) == 0;
    return failed || pending || empty || (unread && py::truthy(*unread)) ? Ending::FilesLeft : Ending::Done;
}

int exit_status(Ending ending) {
    switch (ending) {
        case Ending::Done: return 0;
        case Ending::FilesLeft:
        case Ending::BatchError: return 1;
        case Ending::Interrupted: return kInterruptedStatus;
        case Ending::BadUsage: return 2;
        case Ending::Stopped: return kStoppedStatus;
    }
    return 1;
}

void raise_for(Ending ending, const Ref& message) {
    PyObject* type = python_error(ending);
    if (type == nullptr) return;
    if (message.get() == Py_None) {
        PyErr_SetNone(type);
    } else {
        PyErr_SetObject(type, message.get());
    }
    throw py::PyError{};
}

Ref results_or_raise(const Ref& results) {
    Ending ending = ending_of(results);
    raise_for(ending, ending == Ending::BatchError ? py::get_item(results, "error") : py::none());
    return results;
}

void raise_usage(const UsageError& error) {
    raise_for(Ending::BadUsage, usage_message(error));
    throw py::PyError{};  // raise_for has set the ValueError
}

int command_ending(const Ref& results, const char* to_finish) {
    say(report_text(results));
    say(py::format("Journal: {}", {py::get_item(results, "journal")}));
    Ending ending = ending_of(results);
    if (ending == Ending::BatchError) {
        say(py::format("velmora-batch: error: {}", {py::get_item(results, "error")}), "stderr");
    } else if (ending == Ending::Interrupted) {
        say(py::format("Interrupted: {} files not converted yet; {}.",
                       {py::integer(py::length(py::get_item(results, "pending"))), to_finish}));
    }
    return exit_status(ending);
}

int usage_ending(const UsageError& error) {
    say(py::format("velmora-batch: error: {}", {usage_message(error)}), "stderr");
    return exit_status(Ending::BadUsage);
}

int command_run(const Request& request, const char* to_finish) {
    Ref results;
    try {
        results = run_batch(request);
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
        py::PendingError failure;
        say(py::format("velmora-batch: error: {}", {py::call(py::builtin("str"), {failure.value()})}), "stderr");
        return exit_status(Ending::Stopped);
    }
    return command_ending(results, to_finish);
}

}  // namespace velmora::headless
