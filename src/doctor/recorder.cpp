#include "doctor/recorder.hpp"

#include "host/host.hpp"

namespace velmora::doctor {

void fail(const Ref& message) {
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    throw py::PyError{};
}

double monotonic() { return py::as_double(host::time("monotonic")); }

Recorder::Recorder(const Ref& path) : file_(py::call(py::builtin("open"), {path, "ab"})) {}

void Recorder::begin(const Check& check) { write(py::dict({{"begin", check.name}})); }

void Recorder::record(const Check& check, bool ok, const Ref& detail, double started) {
    write(finding(check, ok, detail, monotonic() - started));
}

void Recorder::not_checked(const Check& check, const Ref& why) {
    write(doctor::not_checked(check, why));
}

void Recorder::write(const Ref& record) {
    py::call_method(file_, "write", {py::json_line(record)});
    py::call_method(file_, "flush");
}

}  // namespace velmora::doctor
