// The batch's options, from Python keywords or from the command line, each
// checked once: a bad value is one clear line and nothing is touched.
#include "headless/options.hpp"

#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <array>
#include <string>

namespace velmora::headless {

void usage(const Ref& message) {
    Ref encoded = py::call_method(message, "encode", {"utf-8", "backslashreplace"});
    throw UsageError(PyBytes_AsString(encoded.get()));
}

namespace {

constexpr std::array<const char*, 3> kFormats = {"ma", "mb", "fbx"};
constexpr std::array<const char*, 3> kPresets = {"Default", "Animation", "Models Only"};

// "ma,mb" or an iterable of "ma", ".MB", ... -> the identifiers, in the
// window's order, each once.
Ref formats(const Ref& given, const char* what) {
    Ref items = PyUnicode_Check(given.get()) ? py::call_method(given, "split", {","}) : given;
    Ref wanted = py::check(PySet_New(nullptr));
    py::for_each(items, [&](const Ref& item) {
        if (!PyUnicode_Check(item.get())) usage(py::format("{} must be names such as ma, mb, fbx", {what}));
        Ref name = py::call_method(py::call_method(py::call_method(item, "strip"), "lower"), "lstrip", {"."});
        if (!py::truthy(name)) return;
        bool known = false;
        for (const char* f : kFormats) known = known || py::equals(name, f);
        if (!known) usage(py::format("unknown {}: {!r} (choose from ma, mb, fbx)", {what, item}));
        py::check_status(PySet_Add(wanted.get(), name.get()));
    });
    Ref chosen = py::list();
    for (const char* f : kFormats) {
        if (PySet_Contains(wanted.get(), py::str(f).get()) == 1) py::append(chosen, f);
    }
    if (py::length(chosen) == 0) usage(py::format("no {} chosen", {what}));
    return chosen;
}

Ref extensions_of(const Ref& identifiers) {
    Ref extensions = py::list();
    py::for_each(identifiers, [&](const Ref& f) { py::append(extensions, py::format(".{}", {f})); });
    return extensions;
}

Ref checked_preset(const Ref& preset) {
    for (const char* p : kPresets) {
        if (PyUnicode_Check(preset.get()) && py::equals(preset, p)) return preset;
    }
    usage(py::format("unknown FBX preset: {!r} (choose from Default, Animation, Models Only)", {preset}));
}

Ref checked_folder(const Ref& given) {
    Ref folder = py::call(host::attribute("os", "fspath"), {given});
    if (!PyUnicode_Check(folder.get())) usage(py::str("the folder must be given as text"));
    if (!py::truthy(host::os_path("isdir", {folder}))) usage(py::format("folder not found: {}", {folder}));
    return folder;
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

// Where batches keep their journals when none is named: the user's cache,
// one journal per folder, so that --resume finds it again.
Ref default_journal(const Ref& folder) {
    Ref home = host::os_path("expanduser", {"~"});
    Ref env = host::attribute("os", "environ");
    Ref base;
    if (host::on_windows()) {
        base = py::call_method(env, "get", {"LOCALAPPDATA", host::os_path("join", {home, "AppData", "Local"})});
    } else if (py::equals(host::attribute("sys", "platform"), "darwin")) {
        base = host::os_path("join", {home, "Library", "Caches"});
    } else {
        base = py::call_method(env, "get", {"XDG_CACHE_HOME", host::os_path("join", {home, ".cache"})});
    }
    Ref absolute = host::os_path("abspath", {folder});
    Ref digest = py::call_method(py::call(host::attribute("hashlib", "sha1"), {host::os("fsencode", {absolute})}),
                                 "hexdigest");
    Ref name = py::format("{}.journal", {py::check(PySequence_GetSlice(digest.get(), 0, 16))});
    return host::os_path("join", {base, "velmora", "batches", name});
}

namespace {

Ref exe(const char* name) {
    return host::on_windows() ? py::format("{}.exe", {name}) : py::str(name);
}

bool is_file(const Ref& path) { return py::truthy(host::os_path("isfile", {path})); }

}  // namespace

Ref mayapy_places() {
    Ref places = py::list();
    Ref location = py::call_method(host::attribute("os", "environ"), "get", {"MAYA_LOCATION"});
    if (py::truthy(location)) py::append(places, host::os_path("join", {location, "bin", exe("mayapy")}));
    // Run by mayapy itself (mayapy velmora_batch.py ...): its workers are
    // the same Maya.
    Ref running = py::getattr(host::module("sys"), "executable");
    Ref running_name = py::call_method(host::os_path("basename", {running}), "lower");
    if (py::truthy(py::call_method(running_name, "startswith", {"mayapy"}))) py::append(places, running);
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

Request make_request(const BatchArguments& given) {
    Request request;
    request.folder = checked_folder(given.folder);
    request.choices.extensions = extensions_of(formats(given.sources, "source type"));
    request.choices.outputs = formats(given.outputs, "output format");
    request.choices.preset = checked_preset(given.preset);
    request.choices.recursive = given.recursive;
    request.choices.skip_existing = given.skip_existing;
    request.jobs = checked_jobs(given.jobs);
    request.jobs_chosen = given.jobs.get() != Py_None;
    request.timeout = checked_timeout(given.timeout);
    if (given.progress.get() != Py_None && PyCallable_Check(given.progress.get()) == 0) {
        usage(py::str("progress must be a callable or None"));
    }
    // Only a journal's failures can be tried again.
    if (given.retry_failed && !given.resume) usage(py::str("--retry-failed needs --resume"));
    request.progress = given.progress;
    request.mayapy = find_mayapy(given.mayapy);
    request.journal = given.journal.get() == Py_None ? default_journal(request.folder)
                                                     : py::call(host::attribute("os", "fspath"), {given.journal});
    request.resume = given.resume;
    request.retry_failed = given.retry_failed;
    return request;
}

void add_options(const Ref& parser, bool with_folder) {
    Ref add = py::getattr(parser, "add_argument");
    if (with_folder) {
        py::call(add, {"folder"}, {{"help", "the folder of scenes; outputs are written next to them"}});
    }
    py::call(add, {"--sources"}, {{"default", "ma,mb,fbx"}, {"help", "source types (default: ma,mb,fbx)"}});
    py::call(add, {"--outputs"}, {{"default", "ma"}, {"help", "output formats (default: ma)"}});
    py::call(add, {"--preset"}, {{"default", "Default"},
                                 {"help", "FBX preset: Default, Animation or 'Models Only'"}});
    py::call(add, {"--no-subdirs"}, {{"action", "store_true"}, {"help", "leave out subfolders"}});
    py::call(add, {"--skip-existing"}, {{"action", "store_true"}, {"help", "skip outputs that exist"}});
    py::call(add, {"--jobs"}, {{"type", py::builtin("int")}, {"help", "mayapy workers (default: by cores and memory)"}});
    py::call(add, {"--timeout"}, {{"type", py::builtin("float")}, {"help", "seconds one file may take"}});
    py::call(add, {"--mayapy"}, {{"help", "the mayapy to run (default: $MAYA_LOCATION, then the standard places)"}});
    py::call(add, {"--journal"}, {{"help", "the batch's journal (default: in the user's cache)"}});
    py::call(add, {"--resume"}, {{"action", "store_true"}, {"help", "finish the batch its journal records"}});
    py::call(add, {"--retry-failed"}, {{"action", "store_true"},
                                       {"help", "with --resume: convert the sources that failed again"}});
}

Request request_from(const Ref& args, const Ref& folder) {
    auto get = [&args](const char* name) { return py::getattr(args, name); };
    BatchArguments given;
    given.folder = folder.get() != Py_None ? folder : get("folder");
    given.sources = get("sources");
    given.outputs = get("outputs");
    given.preset = get("preset");
    given.recursive = !py::truthy(get("no_subdirs"));
    given.skip_existing = py::truthy(get("skip_existing"));
    given.jobs = get("jobs");
    given.timeout = get("timeout");
    given.mayapy = get("mayapy");
    given.journal = get("journal");
    given.resume = py::truthy(get("resume"));
    given.retry_failed = py::truthy(get("retry_failed"));
    return make_request(given);
}

}  // namespace velmora::headless
