#include "background/registry.hpp"

#include "headless/file_lock.hpp"
#include "headless/journal.hpp"
#include "headless/options.hpp"
#include "headless/status_file.hpp"
#include "host/files.hpp"
#include "host/host.hpp"
#include "host/process.hpp"

namespace velmora::background {
namespace {

Ref join(const Ref& folder, const char* name) { return host::os_path("join", {folder, name}); }

Ref get(const Ref& dict, const char* key) {
    if (dict.get() == Py_None) return py::none();
    return py::call_method(dict, "get", {key});
}

// The reason of an OSError without its errno prefix ("Permission denied"),
// else its text.
Ref reason_of(const py::PendingError& failure) {
    if (failure.matches(PyExc_OSError)) {
        Ref said = py::getattr(failure.value(), "strerror");
        if (PyUnicode_Check(said.get())) return said;
    }
    return one_line(failure);
}

// The folder made, or an OSError that names it: a cache that cannot be
// made or written is one line for the caller, not a traceback of makedirs.
// False when `exist_ok` is not and the folder was already there.
bool make_folder(const Ref& folder, bool exist_ok) {
    try {
        host::os("makedirs", {folder, py::integer(0700), py::boolean(exist_ok)});
        return true;
    } catch (const py::PyError&) {
        py::PendingError failure;
        if (!exist_ok && failure.matches(PyExc_FileExistsError)) return false;
        if (!failure.matches(PyExc_OSError)) failure.rethrow();
        Ref message = py::format("cannot make the folder of background batches {}: {}",
                                 {folder, reason_of(failure)});
        PyErr_SetObject(PyExc_OSError, message.get());
        throw py::PyError{};
    }
}

Ref new_batch_id() {
    Ref stamp = host::time("strftime", {"%Y%m%d-%H%M%S"});
    Ref random = py::call_method(host::os("urandom", {py::integer(2)}), "hex");
    return py::format("{}-{}", {stamp, random});
}

}  // namespace

Ref one_line(const py::PendingError& failure) {
    Ref text = py::call(py::builtin("str"), {failure.value()});
    Ref lines = py::call_method(py::call_method(text, "strip"), "splitlines");
    if (py::length(lines) == 0) return py::getattr(failure.type(), "__name__");
    return py::item(lines, 0);
}

Ref existing_registry_folder() {
    Ref folder = join(headless::cache_folder(), "background");
    return py::truthy(host::os_path("isdir", {folder})) ? folder : py::none();
}

Ref registry_folder() {
    Ref folder = join(headless::cache_folder(), "background");
    make_folder(folder, true);
    return folder;
}

// Making the folder is the claim: of two starts drawing the same id in the
// same second, the one that finds the folder made draws again.
Ref claim_batch_id() {
    Ref registry = registry_folder();
    constexpr int kDraws = 1000;
    for (int draw = 0; draw < kDraws; ++draw) {
        Ref id = new_batch_id();
        if (make_folder(join_id(registry, id), false)) return id;
    }
    Ref message = py::format("cannot make the folder of background batches in {}: every id drawn was taken", {registry});
    PyErr_SetObject(PyExc_OSError, message.get());
    throw py::PyError{};
}

Ref folder_of(const Ref& id) { return host::os_path("join", {registry_folder(), id}); }

// An id is a plain name in the registry, never a path.
bool is_plain_name(const Ref& id) {
    if (!PyUnicode_Check(id.get())) return false;
    Ref match = py::call(host::attribute("re", "fullmatch"), {"[0-9A-Za-z][0-9A-Za-z_-]*", id});
    return match.get() != Py_None;
}

Ref batch_folder(const Ref& id) {
    Ref registry = is_plain_name(id) ? existing_registry_folder() : py::none();
    if (registry.get() == Py_None || !py::truthy(host::os_path("isfile", {batch_file(join_id(registry, id))}))) {
        PyErr_SetObject(PyExc_KeyError, id.get());
        throw py::PyError{};
    }
    return join_id(registry, id);
}

Ref join_id(const Ref& registry, const Ref& id) { return host::os_path("join", {registry, id}); }

Ref batch_file(const Ref& folder) { return join(folder, "batch.json"); }
Ref status_path(const Ref& folder) { return join(folder, "status.json"); }
Ref stop_path(const Ref& folder) { return join(folder, "stop"); }
Ref lock_path(const Ref& folder) { return join(folder, "controller.lock"); }
Ref log_path(const Ref& folder) { return join(folder, "controller.log"); }
Ref launched_path(const Ref& folder) { return join(folder, "launched.json"); }
Ref resume_path(const Ref& folder) { return join(folder, "resume"); }
Ref summary_path(const Ref& folder) { return join(folder, "summary.json"); }

Ref read_batch(const Ref& folder) { return host::read_json_file(batch_file(folder)); }

void write_batch(const Ref& folder, const Ref& batch) { host::write_json_file(batch_file(folder), batch); }

Ref record_value(const Ref& batch, const char* key, const Ref& fallback) {
    std::optional<Ref> found = py::find_item(batch, key);
    return found ? *found : fallback;
}

Ref record_problem(const Ref& batch, bool to_run) {
    Ref version = get(batch, "version");
    if (PyLong_Check(version.get()) && py::as_long(version) > kRecordVersion) {
        return py::format("made by a newer velmora (its record is of version {}; this velmora reads {})",
                          {version, py::integer(kRecordVersion)});
    }
    std::initializer_list<const char*> needed = {"folder"};
    std::initializer_list<const char*> to_run_needed = {"folder", "choices", "mayapy"};
    for (const char* key : to_run ? to_run_needed : needed) {
        if (get(batch, key).get() == Py_None) {
            return py::format("its record (batch.json) lacks \"{}\"", {py::str(key)});
        }
    }
    if (!PyUnicode_Check(get(batch, "folder").get()) ||
        (to_run && !PyDict_Check(get(batch, "choices").get()))) {
        return py::str("its record (batch.json) is not one this velmora can read");
    }
    return py::none();
}

// The lock is probed shared, for a moment: the controller, which takes it
// exclusively, tries again for a while before it gives up.
bool controller_running(const Ref& folder, const Ref& status) {
    headless::FileLock probe;
    headless::FileLock::Outcome outcome = headless::FileLock::Outcome::Missing;
    py::guard([&] { outcome = probe.take(lock_path(folder), headless::FileLock::Kind::Shared, false); });
    probe.close();
    if (outcome == headless::FileLock::Outcome::Busy) return true;
    // Launched and not yet holding its lock.
    if (!py::equals(get(status, "state").get() == Py_None ? py::str("starting") : get(status, "state"),
                    "starting")) {
        return false;
    }
    Ref pid = get(host::read_json_file(launched_path(folder)), "pid");
    return PyLong_Check(pid.get()) && host::process_exists(py::as_long(pid));
}

}  // namespace velmora::background
