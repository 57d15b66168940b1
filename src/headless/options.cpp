// The batch's options, from Python keywords or from the command line, each
// checked once: a bad value is one clear line and nothing is touched.
#include "headless/options.hpp"

#include "headless/identity.hpp"

#include "host/files.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <algorithm>
#include <array>
#include <vector>
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

// None, or a path-like that is not a file: absolute.
Ref checked_output_folder(const Ref& given) {
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
Ref checked_fbx_version(const Ref& given) {
    if (given.get() == Py_None) return py::none();
    bool good = PyUnicode_Check(given.get()) &&
                py::call(host::attribute("re", "fullmatch"), {"FBX[0-9]{6}", given}).get() != Py_None;
    if (!good) usage(py::format("FBX version must be FBX and six digits (FBX201800), not {!r}", {given}));
    return given;
}

// None, one pattern, or an iterable of them -> a list of non-empty str.
Ref checked_patterns(const Ref& given, const char* what) {
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

}  // namespace

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
    request.choices.extensions = extensions_of(formats(given.sources, "source type"));
    request.choices.outputs = formats(given.outputs, "output format");
    request.choices.preset = checked_preset(given.preset);
    request.choices.recursive = given.recursive;
    request.choices.skip_existing = given.skip_existing;
    request.choices.output_folder = checked_output_folder(given.output_folder);
    request.choices.fbx_version = checked_fbx_version(given.fbx_version);
    request.choices.fbx_ascii = given.fbx_ascii;
    request.choices.include = checked_patterns(given.include, "include");
    request.choices.exclude = checked_patterns(given.exclude, "exclude");
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
    request.identity = identity_of(request.folder, request.choices);
    request.journal = given.journal.get() == Py_None ? journal_by_default(request.identity, request.folder, given.resume)
                                                     : checked_journal(given.journal);
    request.resume = given.resume;
    request.restart = given.restart;
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
    py::call(add, {"--output-folder"}, {{"metavar", "DIR"},
                                        {"help", "write the outputs under DIR, in the sources' subfolders "
                                                 "(default: next to the sources)"}});
    py::call(add, {"--fbx-version"}, {{"metavar", "FBXyyyy00"},
                                      {"help", "the FBX file version to write, e.g. FBX201800"}});
    py::call(add, {"--fbx-ascii"}, {{"action", "store_true"}, {"help", "write FBX files as text"}});
    py::call(add, {"--include"}, {{"action", "append"}, {"metavar", "PATTERN"},
                                  {"help", "take only sources whose path in the folder matches (repeatable)"}});
    py::call(add, {"--exclude"}, {{"action", "append"}, {"metavar", "PATTERN"},
                                  {"help", "leave out sources whose path in the folder matches (repeatable)"}});
    py::call(add, {"--jobs"}, {{"type", py::builtin("int")}, {"help", "mayapy workers (default: by cores and memory)"}});
    py::call(add, {"--timeout"}, {{"type", py::builtin("float")}, {"help", "seconds one file may take"}});
    py::call(add, {"--mayapy"}, {{"help", "the mayapy to run (default: $MAYA_LOCATION, then the standard places)"}});
    py::call(add, {"--journal"}, {{"help", "the batch's journal (default: in the user's cache)"}});
    py::call(add, {"--resume"}, {{"action", "store_true"}, {"help", "finish the batch its journal records"}});
    py::call(add, {"--restart"}, {{"action", "store_true"},
                                  {"help", "start an interrupted batch over (its journal is kept aside)"}});
    py::call(add, {"--retry-failed"}, {{"action", "store_true"},
                                       {"help", "with --resume: convert the sources that failed again"}});
    py::call(add, {"--dry-run"}, {{"action", "store_true"},
                                  {"help", "list the sources and the names a run would write; start no Maya"}});
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
    given.restart = py::truthy(get("restart"));
    given.retry_failed = py::truthy(get("retry_failed"));
    given.output_folder = get("output_folder");
    given.fbx_version = get("fbx_version");
    given.fbx_ascii = py::truthy(get("fbx_ascii"));
    given.include = get("include");
    given.exclude = get("exclude");
    given.dry_run = py::truthy(get("dry_run"));
    return make_request(given);
}

namespace {

[[noreturn]] void type_error(const Ref& message) {
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw py::PyError{};
}

bool truth(const Ref& value) { return py::check_status(PyObject_IsTrue(value.get())) != 0; }

// One bound parameter into its field.
void set_argument(BatchArguments& given, const std::string& name, const Ref& value) {
    if (name == "folder") given.folder = value;
    else if (name == "sources") given.sources = value;
    else if (name == "outputs") given.outputs = value;
    else if (name == "preset") given.preset = value;
    else if (name == "recursive") given.recursive = truth(value);
    else if (name == "skip_existing") given.skip_existing = truth(value);
    else if (name == "jobs") given.jobs = value;
    else if (name == "timeout") given.timeout = value;
    else if (name == "mayapy") given.mayapy = value;
    else if (name == "journal") given.journal = value;
    else if (name == "resume") given.resume = truth(value);
    else if (name == "restart") given.restart = truth(value);
    else if (name == "retry_failed") given.retry_failed = truth(value);
    else if (name == "progress") given.progress = value;
    else if (name == "output_folder") given.output_folder = value;
    else if (name == "fbx_version") given.fbx_version = value;
    else if (name == "fbx_ascii") given.fbx_ascii = truth(value);
    else if (name == "include") given.include = value;
    else if (name == "exclude") given.exclude = value;
    else if (name == "dry_run") given.dry_run = truth(value);
}

}  // namespace

BatchArguments bind_arguments(const char* function, PyObject* args, PyObject* kwargs,
                              std::initializer_list<const char*> names) {
    std::vector<std::string> params(names.begin(), names.end());
    std::vector<Ref> values(params.size());
    Py_ssize_t given_count = args != nullptr ? PyTuple_Size(args) : 0;
    if (given_count > static_cast<Py_ssize_t>(params.size())) {
        type_error(py::format("{}() takes at most {} arguments ({} given)",
                              {function, static_cast<long long>(params.size()), static_cast<long long>(given_count)}));
    }
    for (Py_ssize_t i = 0; i < given_count; ++i) values[static_cast<std::size_t>(i)] = Ref::borrow(PyTuple_GetItem(args, i));
    if (kwargs != nullptr) {
        py::for_each(py::call_method(Ref::borrow(kwargs), "items"), [&](const Ref& pair) {
            Ref key = py::item(pair, 0);
            Ref encoded = py::call_method(key, "encode", {"utf-8", "backslashreplace"});
            std::string name = PyBytes_AsString(encoded.get());
            auto at = std::find(params.begin(), params.end(), name);
            if (at == params.end()) type_error(py::format("'{}' is an invalid keyword argument for {}()", {key, function}));
            Ref& slot = values[static_cast<std::size_t>(at - params.begin())];
            if (slot) type_error(py::format("{}() got multiple values for argument '{}'", {function, key}));
            slot = py::item(pair, 1);
        });
    }
    if (!values[0]) type_error(py::format("{}() missing required argument '{}' (pos 1)", {function, params[0].c_str()}));
    BatchArguments given;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (values[i]) set_argument(given, params[i], values[i]);
    }
    return given;
}

Ref choices_dict(const Choices& c) {
    Ref dict = py::dict({{"extensions", c.extensions},
                         {"outputs", c.outputs},
                         {"preset", c.preset},
                         {"recursive", py::boolean(c.recursive)},
                         {"skip_existing", py::boolean(c.skip_existing)}});
    if (c.output_folder.get() != Py_None) py::set_item(dict, "output_folder", c.output_folder);
    if (c.fbx_version.get() != Py_None) py::set_item(dict, "fbx_version", c.fbx_version);
    if (c.fbx_ascii) py::set_item(dict, "fbx_ascii", true);
    if (py::length(c.include) > 0) py::set_item(dict, "include", c.include);
    if (py::length(c.exclude) > 0) py::set_item(dict, "exclude", c.exclude);
    return dict;
}

void choices_into(BatchArguments& given, const Ref& choices) {
    auto get = [&choices](const char* key) { return py::call_method(choices, "get", {key}); };
    given.sources = get("extensions");
    given.outputs = get("outputs");
    given.preset = get("preset");
    given.recursive = py::truthy(get("recursive"));
    given.skip_existing = py::truthy(get("skip_existing"));
    given.output_folder = get("output_folder");
    given.fbx_version = get("fbx_version");
    given.fbx_ascii = py::truthy(get("fbx_ascii"));
    given.include = get("include");
    given.exclude = get("exclude");
}

}  // namespace velmora::headless
