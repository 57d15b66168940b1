// The batch's options, from Python keywords or from the command line, each
// checked once: a bad value is one clear line and nothing is touched.
#include "headless/options.hpp"

#include "headless/identity.hpp"

#include "host/files.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <algorithm>
#include <string>

namespace velmora::headless {

void usage(const Ref& message) {
    Ref encoded = py::call_method(message, "encode", {"utf-8", "backslashreplace"});
    throw UsageError(PyBytes_AsString(encoded.get()));
}

namespace {

// One name out of the row's, compared as given.
bool allowed(const Ref& name, const Option& option) {
    return py::check_status(PySequence_Contains(py::call_method(py::str(option.allowed), "split", {","}).get(),
                                                name.get())) == 1;
}

Ref choose_from(const Option& option) {
    return py::call_method(py::str(", "), "join", {py::call_method(py::str(option.allowed), "split", {","})});
}

// "ma,mb" or an iterable of "ma", ".MB", ... -> the names, in the row's
// (the window's) order, each once.
Ref formats(const Ref& given, const Option& option) {
    const char* what = option.noun;
    // None chooses nothing, as an empty --outputs does.
    Ref items = given.get() == Py_None        ? py::list()
                : PyUnicode_Check(given.get()) ? py::call_method(given, "split", {","})
                                               : given;
    if (!PyUnicode_Check(given.get()) && py::guard([&] { items = py::check(PySequence_List(items.get())); })) {
        usage(py::format("{} must be names such as ma, mb, fbx", {what}));
    }
    Ref wanted = py::check(PySet_New(nullptr));
    py::for_each(items, [&](const Ref& item) {
        if (!PyUnicode_Check(item.get())) usage(py::format("{} must be names such as ma, mb, fbx", {what}));
        Ref name = py::call_method(py::call_method(py::call_method(item, "strip"), "lower"), "lstrip", {"."});
        if (!py::truthy(name)) return;
        if (!allowed(name, option)) usage(py::format("unknown {}: {!r} (choose from {})", {what, item, choose_from(option)}));
        py::check_status(PySet_Add(wanted.get(), name.get()));
    });
    Ref chosen = py::list();
    py::for_each(py::call_method(py::str(option.allowed), "split", {","}), [&](const Ref& f) {
        if (PySet_Contains(wanted.get(), f.get()) == 1) py::append(chosen, f);
    });
    if (py::length(chosen) == 0) usage(py::format("no {} chosen", {what}));
    return chosen;
}

Ref extensions_of(const Ref& identifiers) {
    Ref extensions = py::list();
    py::for_each(identifiers, [&](const Ref& f) { py::append(extensions, py::format(".{}", {f})); });
    return extensions;
}

}  // namespace

Ref checked_formats(const Ref& given, const Option& option) { return formats(given, option); }

Ref checked_extensions(const Ref& given, const Option& option) { return extensions_of(formats(given, option)); }

Ref checked_one_of(const Ref& given, const Option& option) {
    if (PyUnicode_Check(given.get()) && allowed(given, option)) return given;
    usage(py::format("unknown {}: {!r} (choose from {})", {option.noun, given, choose_from(option)}));
}

Ref checked_flag(const Ref& given, const Option& /*option*/) {
    return py::boolean(py::check_status(PyObject_IsTrue(given.get())) != 0);
}

namespace {

Ref checked_folder(const Ref& given) {
    Ref folder;
    if (py::guard([&] { folder = py::call(host::attribute("os", "fspath"), {given}); }) ||
        !PyUnicode_Check(folder.get())) {
        usage(py::str("the folder must be given as text"));
    }
    if (!py::truthy(folder)) usage(py::str("no folder given"));
    if (py::truthy(host::os_path("isdir", {folder}))) return folder;
    if (py::truthy(host::os_path("lexists", {folder}))) usage(py::format("not a folder: {}", {folder}));
    usage(py::format("folder not found: {}", {folder}));
}

// Each mayapy holds a whole Maya (well over a gigabyte once a production
// scene is open) and may take a licence, while a conversion is mostly one
// core's work: a worker per core, one core left to the artist and the
// controller, no more than 4, and no more than memory holds at 4 GiB each
// where the system says how much it has.
int default_jobs() {
    long long cores = 1;
    py::swallow([&] { cores = py::as_long(host::os("cpu_count", {})); });
    long long jobs = std::min<long long>(std::max<long long>(cores - 1, 1), 4);
    py::swallow([&] {
        long long page = py::as_long(host::os("sysconf", {"SC_PAGE_SIZE"}));
        long long pages = py::as_long(host::os("sysconf", {"SC_PHYS_PAGES"}));
        long long fits = page * pages / (4LL << 30);
        jobs = std::max<long long>(1, std::min(jobs, fits));
    });
    return static_cast<int>(jobs);
}

int checked_jobs(const Ref& jobs) {
    if (jobs.get() == Py_None) return default_jobs();
    if (!PyLong_Check(jobs.get()) || PyBool_Check(jobs.get()) || py::as_long(jobs) < 1 ||
        py::as_long(jobs) > 256) {
        usage(py::format("jobs must be a whole number from 1 to 256, not {!r}", {jobs}));
    }
    return static_cast<int>(py::as_long(jobs));
}

std::optional<double> checked_timeout(const Ref& timeout) {
    if (timeout.get() == Py_None) return std::nullopt;
    double seconds = -1;
    if (PyNumber_Check(timeout.get()) && !PyBool_Check(timeout.get())) {
        py::swallow([&] { seconds = py::as_double(py::call(py::builtin("float"), {timeout})); });
    }
    if (!(seconds > 0)) usage(py::format("timeout must be a number of seconds above 0, not {!r}", {timeout}));
    return seconds;
}

}  // namespace

// None, or a path-like that is not a file: absolute.
Ref checked_output_folder(const Ref& given, const Option& /*option*/) {
    if (given.get() == Py_None) return py::none();
    Ref path;
    if (py::guard([&] { path = py::call(host::attribute("os", "fspath"), {given}); }) ||
        !PyUnicode_Check(path.get()) || !py::truthy(path)) {
        usage(py::format("output folder must be a path, not {!r}", {given}));
    }
    path = host::os_path("abspath", {path});
    if (host::exists(path) && !py::truthy(host::os_path("isdir", {path}))) {
        usage(py::format("output folder is not a folder: {}", {path}));
    }
    return path;
}

// "FBX" and six digits (FBX201800); whether the plug-in knows it is Maya's
// to say, file by file.
Ref checked_fbx_version(const Ref& given, const Option& /*option*/) {
    if (given.get() == Py_None) return py::none();
    bool good = PyUnicode_Check(given.get()) &&
                py::call(host::attribute("re", "fullmatch"), {"FBX[0-9]{6}", given}).get() != Py_None;
    if (!good) usage(py::format("FBX version must be FBX and six digits (FBX201800), not {!r}", {given}));
    return given;
}

// None, one pattern, or an iterable of them -> a list of non-empty str.
Ref checked_patterns(const Ref& given, const Option& option) {
    const char* what = option.noun;
    Ref patterns = py::list();
    if (given.get() == Py_None) return patterns;
    Ref items = PyUnicode_Check(given.get()) ? py::list({given}) : given;
    bool good = !py::guard([&] { items = py::check(PySequence_List(items.get())); });
    if (good) {
        py::for_each(items, [&](const Ref& p) {
            good = good && PyUnicode_Check(p.get()) && py::truthy(p);
            if (good) py::append(patterns, p);
        });
    }
    if (!good) usage(py::format("{} patterns must be non-empty strings, not {!r}", {what, given}));
    return patterns;
}

namespace {

Ref exe(const char* name) {
    return host::on_windows() ? py::format("{}.exe", {name}) : py::str(name);
}

bool is_file(const Ref& path) { return py::truthy(host::os_path("isfile", {path})); }

// The mayapy beside the running executable when it is Maya itself (an
// interactive Maya: maya, maya.bin, maya.exe) or a mayapy.
std::optional<Ref> mayapy_of_running_maya() {
    Ref running = py::getattr(host::module("sys"), "executable");
    Ref name = py::call_method(host::os_path("basename", {running}), "lower");
    if (!py::truthy(py::call_method(name, "startswith", {"maya"}))) return std::nullopt;
    if (py::truthy(py::call_method(name, "startswith", {"mayapy"}))) {
        if (is_file(running)) return running;
        return std::nullopt;
    }
    Ref beside = host::os_path("join", {host::os_path("dirname", {running}), exe("mayapy")});
    if (is_file(beside)) return beside;
    return std::nullopt;
}

}  // namespace

namespace {

// An environment setting that names an absolute folder, else None.
Ref absolute_setting(const char* name) {
    Ref value = py::call_method(host::attribute("os", "environ"), "get", {name, ""});
    return py::truthy(value) && py::truthy(host::os_path("isabs", {value})) ? value : py::none();
}

Ref home_folder() {
    Ref home = host::os_path("expanduser", {"~"});
    if (!py::truthy(host::os_path("isabs", {home}))) {
        usage(py::str("cannot tell where the user's cache is: HOME is not set and the system does not know "
                      "this user; set HOME (or XDG_CACHE_HOME), or name the journal with --journal"));
    }
    return home;
}

}  // namespace

Ref cache_folder() {
    Ref base;
    if (host::on_windows()) {
        base = absolute_setting("LOCALAPPDATA");
        if (base.get() == Py_None) base = host::os_path("join", {home_folder(), "AppData", "Local"});
    } else if (py::equals(host::attribute("sys", "platform"), "darwin")) {
        base = host::os_path("join", {home_folder(), "Library", "Caches"});
    } else {
        base = absolute_setting("XDG_CACHE_HOME");
        if (base.get() == Py_None) base = host::os_path("join", {home_folder(), ".cache"});
    }
    return host::os_path("join", {base, "velmora"});
}

Ref mayapy_places() {
    Ref places = py::list();
    Ref location = py::call_method(host::attribute("os", "environ"), "get", {"MAYA_LOCATION"});
    if (py::truthy(location)) py::append(places, host::os_path("join", {location, "bin", exe("mayapy")}));
    // Run by mayapy itself (mayapy velmora_batch.py ...), or inside an
    // interactive Maya: its workers are the same Maya.
    if (std::optional<Ref> running = mayapy_of_running_maya()) py::append(places, *running);
    for (int version = 2027; version >= 2022; --version) {
        Ref year = py::integer(version);
        if (host::on_windows()) {
            py::append(places, py::format("C:\\Program Files\\Autodesk\\Maya{}\\bin\\mayapy.exe", {year}));
        } else if (py::equals(host::attribute("sys", "platform"), "darwin")) {
            py::append(places, py::format("/Applications/Autodesk/maya{}/Maya.app/Contents/bin/mayapy", {year}));
        } else {
            py::append(places, py::format("/usr/autodesk/maya{}/bin/mayapy", {year}));
        }
    }
    return places;
}

Ref find_mayapy(const Ref& given) {
    if (given.get() != Py_None) {
        Ref path = py::call(host::attribute("os", "fspath"), {given});
        if (!is_file(path)) usage(py::format("mayapy not found: {}", {path}));
        return path;
    }
    std::optional<Ref> found;
    py::any_of(mayapy_places(), [&found](const Ref& path) {
        if (is_file(path)) found = path;
        return found.has_value();
    });
    if (found) return *found;
    Ref on_path = py::call(host::attribute("shutil", "which"), {"mayapy"});
    if (on_path.get() != Py_None) return on_path;
    usage(py::str("mayapy not found: name it with --mayapy PATH (mayapy= in Python) or set MAYA_LOCATION"));
}

namespace {

// An output folder that is the batch folder means the outputs go next to
// the sources, as without one (it is the same batch).
void outputs_next_to_sources(Request& request) {
    Ref& chosen = request.choices.output_folder;
    if (chosen.get() == Py_None) return;
    Ref real_output = host::os_path("normcase", {host::os_path("realpath", {chosen})});
    Ref real_folder = host::os_path("normcase", {host::os_path("realpath", {request.folder})});
    if (PyObject_RichCompareBool(real_output.get(), real_folder.get(), Py_EQ) != 1) return;
    chosen = py::none();
    py::append(request.notices, "the output folder is the batch folder: the outputs are written next to their sources");
}

// A journal named by the user: a path of text.
Ref checked_journal(const Ref& given) {
    Ref path;
    if (py::guard([&] { path = py::call(host::attribute("os", "fspath"), {given}); }) ||
        !PyUnicode_Check(path.get()) || !py::truthy(path)) {
        usage(py::format("journal must be a path, not {!r}", {given}));
    }
    return path;
}

// The identity's journal in the user's cache; to resume, the folder's
// journal of velmoras before identities when only that one is there.
Ref journal_by_default(const Ref& identity, const Ref& folder, bool resume) {
    Ref journal = default_journal(identity);
    if (resume && !py::truthy(host::os_path("lexists", {journal}))) {
        Ref older = journal_of_folder(folder);
        if (host::exists(older)) return older;
    }
    return journal;
}

}  // namespace

Request make_request(const BatchArguments& given) {
    Request request;
    request.folder = checked_folder(given.folder);
    request.choices = checked_choices(given);
    request.dry_run = given.dry_run;
    request.jobs = checked_jobs(given.jobs);
    request.jobs_chosen = given.jobs.get() != Py_None;
    request.timeout = checked_timeout(given.timeout);
    if (given.progress.get() != Py_None && PyCallable_Check(given.progress.get()) == 0) {
        usage(py::str("progress must be a callable or None"));
    }
    // Only a journal's failures can be tried again.
    if (given.retry_failed && !given.resume) usage(py::str("--retry-failed needs --resume"));
    if (given.restart && given.resume) usage(py::str("--resume and --restart exclude each other"));
    request.progress = given.progress;
    // A dry run starts no Maya: it needs none.
    request.mayapy = given.dry_run && given.mayapy.get() == Py_None ? py::none() : find_mayapy(given.mayapy);
    outputs_next_to_sources(request);
    request.identity = identity_of(request.folder, request.choices);
    request.journal = given.journal.get() == Py_None ? journal_by_default(request.identity, request.folder, given.resume)
                                                     : checked_journal(given.journal);
    request.resume = given.resume;
    request.restart = given.restart;
    request.retry_failed = given.retry_failed;
    return request;
}

Request request_from(const Ref& args, const Ref& folder) { return make_request(arguments_from(args, folder)); }

}  // namespace velmora::headless
