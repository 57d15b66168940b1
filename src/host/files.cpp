#include "host/files.hpp"

#include "host/error.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

namespace velmora::host {

bool exists(const py::Ref& path) { return py::truthy(os_path("exists", {path})); }

bool on_windows() { return py::equals(py::getattr(global("os"), "name"), "nt"); }

void remove_if_there(const py::Ref& path) {
    try {
        os("remove", {path});
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) throw;
        PyErr_Clear();
    }
}

void sync_folder(const py::Ref& folder) {
    if (on_windows()) return;
    py::Ref where = py::truthy(folder) ? folder : py::str(".");
    py::Ref fd = os("open", {where, py::getattr(global("os"), "O_RDONLY")});
    py::finally([&] { os("fsync", {fd}); }, [&] { os("close", {fd}); });
}

void write_json_file(const py::Ref& path, const py::Ref& value, bool synced) {
    py::Ref staged = py::format("{}.new-{}", {path, os("getpid", {})});
    try {
        py::Ref file = py::call(py::builtin("open"), {staged, "wb"});
        py::with(file, [&value, synced](const py::Ref& f) {
            py::call_method(f, "write", {py::json_line(value)});
            if (!synced) return;
            py::call_method(f, "flush");
            os("fsync", {py::call_method(f, "fileno")});
        });
        os("replace", {staged, path});
        if (synced) sync_folder(os_path("dirname", {path}));
    } catch (const py::PyError&) {
        py::PendingError pending;
        py::swallow([&] { os("remove", {staged}); });
        pending.rethrow();
    }
}

py::Ref read_json_file(const py::Ref& path) {
    py::Ref value = py::none();
    py::guard([&] {
        py::Ref data;
        py::Ref file = py::call(py::builtin("open"), {path, "rb"});
        py::with(file, [&data](const py::Ref& f) { data = py::call_method(f, "read"); });
        py::Ref parsed = py::json_parse(data);
        if (PyDict_Check(parsed.get())) value = parsed;
    });
    return value;
}

}  // namespace velmora::host
