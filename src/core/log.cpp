// The diagnostic log: every message is printed with a time stamp, appended
// to the log file and followed by a redraw of Maya's interface.
#include "core/converter.hpp"

namespace velmora {
namespace {

// Text in which characters that `encoding` cannot represent are replaced
// (by "?" or by a backslash escape, as `errors` says).
Ref representable(const Ref& text, const Ref& encoding, const char* errors) {
    Ref encoded = py::call_method(text, "encode", {encoding, errors});
    return py::call_method(encoded, "decode", {encoding});
}

// print(line), or print(line, flush=True). A console that cannot encode
// some character of the line (a Japanese file name on a Latin-1 console,
// bytes of a non-UTF-8 file name) gets the line with those characters
// replaced, instead of an error that would stop the batch.
void print_line(const Ref& line, bool flush = false) {
    Ref print = py::builtin("print");
    auto print_text = [&](const Ref& text) {
        if (flush) {
            py::call(print, {text}, {{"flush", true}});
        } else {
            py::call(print, {text});
        }
    };
    try {
        print_text(line);
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) throw;
        PyErr_Clear();
        Ref stdout_encoding = py::getattr(py::getattr(host::global("sys"), "stdout"), "encoding");
        Ref encoding = py::truthy(stdout_encoding) ? stdout_encoding : py::str("ascii");
        print_text(representable(line, encoding, "replace"));
    }
}

// Appends the line to the log file, opened and closed for this line alone so
// that every line is on disk by the time log returns.
void append_to_file(PyObject* self, const Ref& line) {
    Ref file = py::call(host::global("safe_open"), {attr(self, "LOG_FILE"), "a"});
    py::with(file, [&line](const Ref& f) {
        // line is a str made by format, so concatenation gives what
        // "{}\n".format(line) would, without parsing a template.
        write_text(f, py::check(PyUnicode_Concat(line.get(), py::str("\n").get())));
        py::call_method(f, "flush");
    });
}

// "[{}] {}" filled with the time stamp and the message. When both are plain
// str objects (always, but for a caller passing something else), "{}" gives
// each unchanged, so joining the pieces yields the same text without
// parsing the template for every line.
Ref stamped(const Ref& timestamp, const Ref& msg) {
    if (PyUnicode_CheckExact(timestamp.get()) && PyUnicode_CheckExact(msg.get())) {
        Ref pieces = py::tuple({"[", timestamp, "] ", msg});
        return py::check(PyUnicode_Join(py::str("").get(), pieces.get()));
    }
    return py::format("[{}] {}", {timestamp, msg});
}

Ref stamped_now(const Ref& msg) { return stamped(host::time("strftime", {"%H:%M:%S"}), msg); }

}  // namespace

void write_text(const Ref& file, const Ref& text) {
    try {
        py::call_method(file, "write", {text});
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) throw;
        PyErr_Clear();
        py::call_method(file, "write", {representable(text, py::str("utf-8"), "backslashreplace")});
    }
}

void log(PyObject* self, const Ref& msg) {
    Ref line = stamped_now(msg);
    print_line(line);
    // The file and the redraw fail silently and independently: the log must
    // never be the reason a step fails.
    py::swallow([&] { append_to_file(self, line); });
    py::swallow([] { host::cmds("refresh"); });
}

// A line that must survive a crash right after it is flushed at once.
void print_log(const Ref& msg) { print_line(stamped_now(msg), true); }

}  // namespace velmora
