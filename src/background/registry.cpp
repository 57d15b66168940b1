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

bool is_active(const Ref& state) {
    return py::equals(state, "starting") || py::equals(state, "running") || py::equals(state, "stopping");
}

Ref get(const Ref& dict, const char* key) {
    if (dict.get() == Py_None) return py::none();
    return py::call_method(dict, "get", {key});
}

// The results of the batch's journal so far; before the journal exists
// (while its sources are listed), an empty batch of the status's size.
Ref results_so_far(const Ref& batch, const Ref& status) {
    Ref journal = py::get_item(batch, "journal");
    Ref results;
    if (!py::guard([&] {
            results = headless::results_of(headless::read_journal(journal), py::get_item(batch, "folder"));
        })) {
        return results;
    }
    Ref total = get(status, "total");
    return py::dict({{"total", total.get() == Py_None ? py::integer(0) : total},
                     {"converted", py::integer(0)},
                     {"failed", py::list()},
                     {"skipped", py::list()},
                     {"outputs", py::list()},
                     {"pending", py::list()},
                     {"start_time", py::get_item(batch, "started")},
                     {"end_time", py::none()}});
}

// The state as the batch's files tell it: a controller that died without
// a last word leaves its batch interrupted.
Ref state_of(const Ref& folder, const Ref& status) {
    Ref state = get(status, "state");
    if (state.get() == Py_None) state = py::str("starting");
    if (is_active(state) && !controller_running(folder, status)) return py::str("interrupted");
    return state;
}

}  // namespace

Ref registry_folder() {
    Ref folder = join(headless::cache_folder(), "background");
    host::os("makedirs", {folder, py::integer(0700), true});
    return folder;
}

Ref new_batch_id() {
    Ref stamp = host::time("strftime", {"%Y%m%d-%H%M%S"});
    Ref random = py::call_method(host::os("urandom", {py::integer(2)}), "hex");
    return py::format("{}-{}", {stamp, random});
}

Ref folder_of(const Ref& id) { return host::os_path("join", {registry_folder(), id}); }

// An id is a plain name in the registry, never a path.
bool is_plain_name(const Ref& id) {
    if (!PyUnicode_Check(id.get())) return false;
    Ref match = py::call(host::attribute("re", "fullmatch"), {"[0-9A-Za-z][0-9A-Za-z_-]*", id});
    return match.get() != Py_None;
}

Ref batch_folder(const Ref& id) {
    if (!is_plain_name(id) || !py::truthy(host::os_path("isfile", {batch_file(folder_of(id))}))) {
        PyErr_SetObject(PyExc_KeyError, id.get());
        throw py::PyError{};
    }
    return folder_of(id);
}

Ref batch_file(const Ref& folder) { return join(folder, "batch.json"); }
Ref status_path(const Ref& folder) { return join(folder, "status.json"); }
Ref stop_path(const Ref& folder) { return join(folder, "stop"); }
Ref lock_path(const Ref& folder) { return join(folder, "controller.lock"); }
Ref log_path(const Ref& folder) { return join(folder, "controller.log"); }
Ref launched_path(const Ref& folder) { return join(folder, "launched.json"); }

Ref read_batch(const Ref& folder) { return host::read_json_file(batch_file(folder)); }

void write_batch(const Ref& folder, const Ref& batch) { host::write_json_file(batch_file(folder), batch); }

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
    return pid.get() != Py_None && host::process_exists(py::as_long(pid));
}

Ref describe(const Ref& folder) {
    Ref batch = read_batch(folder);
    if (batch.get() == Py_None) return py::none();
    Ref status = headless::read_status(status_path(folder));
    Ref state = state_of(folder, status);
    Ref results = results_so_far(batch, status);
    bool over = !is_active(state);
    Ref ended = over ? get(status, "ended") : py::none();
    if (over && ended.get() == Py_None) ended = get(status, "updated");  // its last word
    Ref journal = py::get_item(batch, "journal");
    Py_ssize_t total = static_cast<Py_ssize_t>(py::as_long(py::get_item(results, "total")));
    py::set_item(results, "journal", journal);
    py::set_item(results, "logs", py::format("{}.logs", {journal}));
    py::set_item(results, "id", py::get_item(batch, "id"));
    py::set_item(results, "folder", py::get_item(batch, "folder"));
    py::set_item(results, "state", state);
    py::set_item(results, "done", py::integer(total - py::length(py::get_item(results, "pending"))));
    py::set_item(results, "started", py::get_item(batch, "started"));
    py::set_item(results, "ended", ended);
    py::set_item(results, "eta", py::equals(state, "running") ? get(status, "eta") : py::none());
    py::set_item(results, "error", get(status, "error"));
    return results;
}

Ref all_batches() {
    Ref found = py::list();
    Ref registry = registry_folder();
    py::for_each(host::os("listdir", {registry}), [&](const Ref& name) {
        Ref description = describe(host::os_path("join", {registry, name}));
        if (description.get() != Py_None) py::append(found, description);
    });
    Ref by_start = py::call(host::attribute("operator", "itemgetter"), {"started", "id"});
    py::call(py::getattr(found, "sort"), {}, {{"key", by_start}, {"reverse", true}});
    return found;
}

}  // namespace velmora::background
