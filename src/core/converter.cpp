// The converter object: its attributes, and the log file it starts.
#include "core/converter.hpp"

namespace velmora {

Ref call(PyObject* self, const char* method, py::Values args) {
    return py::call_method(self, method, args);
}

void log_msg(PyObject* self, const py::Value& msg) { call(self, "log", {msg}); }

Ref attr(PyObject* self, const char* name) { return py::getattr(self, name); }

namespace {

// Writes the header of a fresh log file, truncating what an earlier
// converter left there.
void write_log_header(PyObject* self) {
    Ref log_file = attr(self, "LOG_FILE");
    Ref file = py::call(host::global("safe_open"), {log_file, "w"});
    py::with(file, [](const Ref& f) {
        auto write = [&f](const Ref& text) { py::call_method(f, "write", {text}); };
        write(py::str("=== Velmora Log ===\n"));
        write(py::format("Started: {}\n", {host::time("strftime", {"%Y-%m-%d %H:%M:%S"})}));
        Ref version = py::call_method(py::getattr(host::global("sys"), "version"), "split");
        write(py::format("Python: {}\n", {py::item(version, 0)}));
        Ref maya = host::cmds("about", {}, {{"version", true}});
        write(py::format("Maya: {}\n\n", {maya}));
    });
}

}  // namespace

void init(PyObject* self) {
    py::setattr(self, "window_name", "velmoraWin");
    py::setattr(self, "source_folder", "");
    py::setattr(self, "total_files", 0);
    py::setattr(self, "processed_files", 0);
    py::setattr(self, "successful_files", 0);
    py::setattr(self, "failed_files", py::list());
    py::setattr(self, "skipped_files", py::list());
    py::setattr(self, "start_time", py::none());
    py::setattr(self, "viewport_disabled", false);
    // A log that cannot be started must not stop the tool: every error,
    // whatever its kind, is dropped here.
    py::swallow([self] { write_log_header(self); });
}

}  // namespace velmora
