// TEMPORARY stand-ins for the headless batch's functions until their
// implementations land on main (then this file is deleted): just enough
// option handling for plan and submit to be built and tested.
#include "farm/support.hpp"
#include "headless/journal.hpp"
#include "headless/options.hpp"

namespace velmora::headless {
namespace {

[[noreturn]] void not_yet() {
    PyErr_SetString(PyExc_NotImplementedError, "the headless batch has not landed yet");
    throw py::PyError{};
}

Ref split_formats(const Ref& value, bool dotted) {
    Ref result = py::list();
    py::for_each(py::call_method(value, "split", {","}), [&](const Ref& part) {
        Ref name = py::call_method(py::call_method(part, "strip"), "lower");
        if (!py::equals(name, "ma") && !py::equals(name, "mb") && !py::equals(name, "fbx")) {
            throw UsageError(farm::text(py::format("unknown format {!r}", {name})));
        }
        py::append(result, dotted ? py::format(".{}", {name}) : name);
    });
    return result;
}

}  // namespace

void add_options(const Ref& parser, bool with_folder) {
    Ref add = py::getattr(parser, "add_argument");
    if (with_folder) py::call(add, {"folder"});
    py::call(add, {"--sources"}, {{"default", "ma,mb,fbx"}});
    py::call(add, {"--outputs"}, {{"default", "ma"}});
    py::call(add, {"--preset"}, {{"default", "Default"}});
    py::call(add, {"--no-subdirs"}, {{"action", "store_true"}});
    py::call(add, {"--skip-existing"}, {{"action", "store_true"}});
    py::call(add, {"--jobs"}, {{"type", py::builtin("int")}});
    py::call(add, {"--timeout"}, {{"type", py::builtin("float")}});
    py::call(add, {"--mayapy"});
    py::call(add, {"--journal"});
    py::call(add, {"--resume"}, {{"action", "store_true"}});
}

Ref find_mayapy(const Ref& given) {
    if (given.get() != Py_None) {
        if (farm::exists(given)) return given;
        throw UsageError(farm::text(py::format("no mayapy at {}", {given})));
    }
    throw UsageError("no mayapy found; give --mayapy");
}

Request request_from(const Ref& args, const Ref& folder) {
    Request request;
    request.folder = folder.get() != Py_None ? folder : py::getattr(args, "folder");
    if (!py::truthy(py::call(py::getattr(py::getattr(farm::module("os"), "path"), "isdir"), {request.folder}))) {
        throw UsageError(farm::text(py::format("no folder {}", {request.folder})));
    }
    request.choices.extensions = split_formats(py::getattr(args, "sources"), true);
    request.choices.outputs = split_formats(py::getattr(args, "outputs"), false);
    request.choices.preset = py::getattr(args, "preset");
    request.choices.recursive = !py::truthy(py::getattr(args, "no_subdirs"));
    request.choices.skip_existing = py::truthy(py::getattr(args, "skip_existing"));
    Ref jobs = py::getattr(args, "jobs");
    request.jobs = jobs.get() == Py_None ? 1 : static_cast<int>(py::as_long(jobs));
    if (request.jobs < 1) throw UsageError("--jobs must be at least 1");
    Ref timeout = py::getattr(args, "timeout");
    if (timeout.get() != Py_None) request.timeout = PyFloat_AsDouble(timeout.get());
    request.mayapy = find_mayapy(py::getattr(args, "mayapy"));
    return request;
}

Ref run_batch(const Request& /*request*/) { not_yet(); }
Ref report_text(const Ref& /*results*/) { not_yet(); }
JournalState read_journal(const Ref& /*path*/) { not_yet(); }
Ref results_of(const JournalState& /*state*/, const Ref& /*folder*/) { not_yet(); }

}  // namespace velmora::headless
