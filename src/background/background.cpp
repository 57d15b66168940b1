#include "background/background.hpp"

#include "background/registry.hpp"
#include "headless/batch.hpp"
#include "headless/file_lock.hpp"
#include "headless/status_file.hpp"
#include "host/error.hpp"
#include "host/files.hpp"
#include "host/host.hpp"

namespace velmora::background {
namespace {

using headless::BatchStatus;

constexpr const char kControllerCode[] =
    "import sys; sys.path.insert(0, sys.argv[1]); import velmora; "
    "sys.exit(velmora._background(sys.argv[2]))";

// A prober holds the lock for a moment (registry.cpp), and a controller
// that has ended holds it until its process exits: a new controller tries
// this many times, this long apart (30 s), before it takes the lock for
// another controller's at work.
constexpr int kLockAttempts = 600;
constexpr double kLockPause = 0.05;

// Windows' process creation flags: no console, and a process group of its
// own, so that the caller's console and Ctrl-C do not reach it.
constexpr long kDetachedProcess = 0x00000008;
constexpr long kNewProcessGroup = 0x00000200;

// The controllers this process launched, while they run: a process object
// dropped while its process runs is reported as a leak, and one kept is
// reaped when polled. The list lives as long as the process, like the
// module (releasing it after the interpreter has finalised would be an
// error).
void keep_until_it_ends(const Ref& process) {
    static PyObject* launched = nullptr;
    if (launched == nullptr) launched = py::list().release();
    Ref still = py::list();
    py::for_each(Ref::borrow(launched), [&still](const Ref& p) {
        if (py::call_method(p, "poll").get() == Py_None) py::append(still, p);
    });
    py::append(still, process);
    py::check_status(PySequence_SetSlice(launched, 0, PY_SSIZE_T_MAX, still.get()));
}

Ref module_folder() {
    return host::os_path("dirname", {host::os_path("abspath", {host::global("__file__")})});
}

Ref absolute(const Ref& path) {
    return host::os_path("abspath", {py::call(host::attribute("os", "fspath"), {path})});
}

// Started in a session (or on Windows a process group) of its own, with no
// terminal: the caller's end, or a signal to the caller's group, leaves it
// running. What it prints goes to its log.
void launch(const Ref& folder, const Ref& mayapy) {
    Ref command = py::list({mayapy, "-c", kControllerCode, module_folder(), folder});
    Ref log = py::call(py::builtin("open"), {log_path(folder), "ab"});
    Ref log_from = py::none();
    Ref process;
    py::finally(
        [&] {
            log_from = py::call_method(log, "seek", {0, 2});
            Ref subprocess = host::module("subprocess");
            Ref devnull = py::getattr(subprocess, "DEVNULL");
            Ref stdout_to = py::getattr(subprocess, "STDOUT");
            if (host::on_windows()) {
                process = py::call(py::getattr(subprocess, "Popen"), {command},
                                   {{"stdin", devnull}, {"stdout", log}, {"stderr", stdout_to},
                                    {"cwd", folder}, {"close_fds", true},
                                    {"creationflags", py::integer(kDetachedProcess | kNewProcessGroup)}});
            } else {
                process = py::call(py::getattr(subprocess, "Popen"), {command},
                                   {{"stdin", devnull}, {"stdout", log}, {"stderr", stdout_to},
                                    {"cwd", folder}, {"close_fds", true}, {"start_new_session", true}});
            }
        },
        [&] { py::call_method(log, "close"); });
    keep_until_it_ends(process);
    host::write_json_file(launched_path(folder),
                          py::dict({{"pid", py::getattr(process, "pid")}, {"time", host::time("time")}, {"log_from", log_from}}));
}

bool still_at_work(const Ref& status) {
    Ref state = status.get() == Py_None ? py::none() : py::call_method(status, "get", {"state"});
    return state.get() == Py_None || !(py::equals(state, "interrupted") || py::equals(state, "finished"));
}

BatchStatus state_only(const char* state) {
    BatchStatus status;
    status.state = state;
    return status;
}

void say_starting(const Ref& folder) {
    headless::StatusFile::write(status_path(folder), state_only("starting"), py::none());
}

Ref batch_record(const Ref& id, const headless::Request& request, const headless::BatchArguments& given) {
    return py::dict({{"velmora", "background-batch"},
                     {"version", 1},
                     {"id", id},
                     {"identity", request.identity},
                     {"folder", absolute(request.folder)},
                     {"choices", headless::choices_dict(request.choices)},
                     {"jobs", given.jobs},
                     {"timeout", given.timeout},
                     {"mayapy", absolute(request.mayapy)},
                     {"journal", absolute(request.journal)},
                     {"resume", false},
                     {"retry_failed", false},
                     {"started", host::time("time")}});
}

// The background batch of this identity that is at work, if one is: Start
// pressed twice starts one batch.
std::optional<Ref> running_with_identity(const Ref& identity) {
    Ref registry = registry_folder();
    Ref names = py::list();
    if (!host::exists(registry) || py::guard([&] { names = host::os("listdir", {registry}); })) return std::nullopt;
    std::optional<Ref> found;
    py::any_of(names, [&](const Ref& name) {
        Ref folder = host::os_path("join", {registry, name});
        Ref batch = read_batch(folder);
        if (batch.get() == Py_None || !PyDict_Check(batch.get())) return false;
        Ref recorded = py::call_method(batch, "get", {"identity"});
        if (PyObject_RichCompareBool(recorded.get(), identity.get(), Py_EQ) != 1) return false;
        Ref status = headless::read_status(status_path(folder));
        if (!still_at_work(status) || !controller_running(folder, status)) return false;  // ended, or exiting
        found = name;
        return true;
    });
    return found;
}

// What an older velmora's record lacks (record_problem refused what has
// no default) is what start_batch would have taken.
headless::BatchArguments arguments_of(const Ref& folder, const Ref& batch) {
    headless::BatchArguments given;
    given.folder = py::get_item(batch, "folder");
    headless::choices_into(given, py::get_item(batch, "choices"));
    given.jobs = record_value(batch, "jobs", py::none());
    given.timeout = record_value(batch, "timeout", py::none());
    given.mayapy = py::get_item(batch, "mayapy");
    given.journal = record_value(batch, "journal", host::os_path("join", {folder, "batch.journal"}));
    // A controller that died before it began the journal left nothing to
    // resume: the batch starts.
    given.resume = py::truthy(record_value(batch, "resume", py::boolean(false))) && host::exists(given.journal);
    given.retry_failed = given.resume && py::truthy(record_value(batch, "retry_failed", py::boolean(false)));
    return given;
}

// A record that cannot be run, as the ValueError of one line.
Ref runnable_record(const Ref& folder, const Ref& id) {
    Ref batch = read_batch(folder);
    Ref problem = batch.get() == Py_None ? py::str("its record (batch.json) cannot be read")
                                         : record_problem(batch, true);
    if (problem.get() != Py_None) {
        PyErr_SetObject(PyExc_ValueError, py::format("background batch {} cannot be run: {}", {id, problem}).get());
        throw py::PyError{};
    }
    return batch;
}

bool take_controller_lock(headless::FileLock& lock, const Ref& folder) {
    for (int i = 0; i < kLockAttempts; ++i) {
        if (lock.take(lock_path(folder), headless::FileLock::Kind::Exclusive, true) ==
            headless::FileLock::Outcome::Held) {
            return true;
        }
        host::time("sleep", {kLockPause});
    }
    return false;
}

BatchStatus last_status(const Ref& results) {
    long long total = py::as_long(py::get_item(results, "total"));
    bool interrupted = py::truthy(py::get_item(results, "interrupted"));
    return BatchStatus{interrupted ? "interrupted" : "finished", total,
                       total - static_cast<long long>(py::length(py::get_item(results, "pending"))),
                       py::as_long(py::get_item(results, "converted")),
                       static_cast<long long>(py::length(py::get_item(results, "failed"))), std::nullopt};
}

// A controller for the batch again, from its journal: the new one waits
// for the lock of one that still exits.
void relaunch(const Ref& folder, const Ref& batch, bool retry_failed) {
    py::set_item(batch, "resume", true);
    py::set_item(batch, "retry_failed", py::boolean(retry_failed));
    write_batch(folder, batch);
    host::remove_if_there(stop_path(folder));
    say_starting(folder);
    launch(folder, py::get_item(batch, "mayapy"));
}

// Removes the file; false when someone else removed it first.
bool claim(const Ref& path) {
    try {
        host::os("remove", {path});
        return true;
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) throw;
        PyErr_Clear();
        return false;
    }
}

// The resume that a caller asked for while this controller was stopping:
// it is launched by whoever removes the request, this controller after
// its last word, or the caller when that word came first.
void resume_if_asked(const Ref& folder) {
    Ref asked = host::read_json_file(resume_path(folder));
    if (asked.get() == Py_None || !claim(resume_path(folder))) return;
    Ref batch = read_batch(folder);
    if (batch.get() == Py_None || record_problem(batch, true).get() != Py_None) return;
    relaunch(folder, batch, py::truthy(py::call_method(asked, "get", {"retry_failed"})));
}

bool stop_asked(const Ref& folder) { return host::exists(stop_path(folder)); }

void say_ended(const Ref& folder, const BatchStatus& status, const Ref& ended, const Ref& error) {
    headless::StatusFile::write(status_path(folder), status, py::dict({{"ended", ended}, {"error", error}}));
}

// Holding the lock: runs the batch of the record, and says how it ended.
int run_locked(const Ref& folder) {
    host::remove_if_there(launched_path(folder));
    host::remove_if_there(summary_path(folder));  // of an earlier run: its journal goes on
    Ref batch = runnable_record(folder, host::os_path("basename", {folder}));
    headless::Request request;
    try {
        request = headless::make_request(arguments_of(folder, batch));
    } catch (const headless::UsageError& e) {  // its folder or its mayapy went away
        say_ended(folder, state_only("interrupted"), host::time("time"), py::text(e.what()));
        return 2;
    }
    request.status_file = status_path(folder);
    request.stop_file = stop_path(folder);
    Ref results = headless::run_batch(request);
    say_ended(folder, last_status(results), py::get_item(results, "end_time"), py::get_item(results, "error"));
    return 0;
}

// Once the last word is said: the summary for later listings, and the
// resume asked meanwhile.
void after_the_end(const Ref& folder) {
    py::guard([&] { write_summary(folder); });
    resume_if_asked(folder);
}

}  // namespace

Ref start(headless::BatchArguments given) {
    const bool journal_in_folder = given.journal.get() == Py_None;
    given.resume = false;
    given.retry_failed = false;
    given.progress = py::none();
    headless::Request request = headless::make_request(given);
    if (std::optional<Ref> running = running_with_identity(request.identity)) return *running;
    Ref id = claim_batch_id();
    Ref folder = folder_of(id);
    if (journal_in_folder) request.journal = host::os_path("join", {folder, "batch.journal"});
    write_batch(folder, batch_record(id, request, given));
    say_starting(folder);
    launch(folder, absolute(request.mayapy));
    return id;
}

void stop(const Ref& id) {
    Ref folder = batch_folder(id);
    if (!controller_running(folder, headless::read_status(status_path(folder)))) return;
    Ref file = py::call(py::builtin("open"), {stop_path(folder), "ab"});
    py::call_method(file, "close");
}

// A controller that has said its last word (interrupted, finished) may
// still hold the lock for the moment it takes to exit: the new one waits
// for it. One still at work is left to it, unless it was asked to stop:
// then the resume waits for the stop, and is launched after it.
void resume(const Ref& id, bool retry_failed) {
    Ref folder = batch_folder(id);
    Ref batch = runnable_record(folder, id);
    Ref status = headless::read_status(status_path(folder));
    if (still_at_work(status) && controller_running(folder, status)) {
        if (!stop_asked(folder)) return;
        host::write_json_file(resume_path(folder), py::dict({{"retry_failed", py::boolean(retry_failed)}}));
        status = headless::read_status(status_path(folder));
        if (still_at_work(status) && controller_running(folder, status)) return;  // it launches the resume
        if (!claim(resume_path(folder))) return;
    }
    relaunch(folder, batch, retry_failed);
}

// A batch shown as ended may still have its controller writing its summary
// and exiting: forgetting it waits for that moment, not for a stop.
void forget(const Ref& id) {
    Ref folder = batch_folder(id);
    for (int i = 0; i < kLockAttempts && !still_at_work(headless::read_status(status_path(folder))) &&
                    controller_running(folder, headless::read_status(status_path(folder)));
         ++i) {
        host::time("sleep", {kLockPause});
    }
    if (controller_running(folder, headless::read_status(status_path(folder)))) {
        PyErr_SetObject(PyExc_ValueError,
                        py::format("background batch {} is running; stop it first", {id}).get());
        throw py::PyError{};
    }
    py::call(host::attribute("shutil", "rmtree"), {folder});
}

int run_controller(const Ref& folder) {
    headless::FileLock lock;
    int outcome = 0;
    try {
        if (!take_controller_lock(lock, folder)) return 3;
        outcome = run_locked(folder);
    } catch (const py::PyError&) {
        // The reason where batches() and the window read it; the traceback
        // stays in controller.log.
        py::PendingError failure;
        Ref why = one_line(failure);
        py::swallow([&] { say_ended(folder, state_only("interrupted"), host::time("time"), why); });
        py::swallow([&] { after_the_end(folder); });
        failure.rethrow();
    }
    after_the_end(folder);
    return outcome;
}

}  // namespace velmora::background
