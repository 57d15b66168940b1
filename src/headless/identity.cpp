#include "headless/identity.hpp"

#include "headless/options.hpp"
#include "host/files.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {
namespace {

// A second run of a batch finds the lock of the first taken; a cleaner
// that looks at a free lock holds it for a moment, which this outlasts.
constexpr int kLifeAttempts = 20;
constexpr double kLifePause = 0.05;

Ref real(const Ref& path) { return host::os_path("normcase", {host::os_path("realpath", {path})}); }

Ref hex_digest(const char* algorithm, const Ref& text, Py_ssize_t digits) {
    Ref data = py::call_method(text, "encode", {"utf-8", "surrogateescape"});
    Ref digest = py::call_method(py::call(host::attribute("hashlib", algorithm), {data}), "hexdigest");
    return py::check(PySequence_GetSlice(digest.get(), 0, digits));
}

bool same(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

Ref get(const Ref& dict, const char* key) { return py::call_method(dict, "get", {key}); }

// ------------------------------------------------------------ refusals

[[noreturn]] void not_ours(const Ref& path, const Ref& why) {
    usage(py::format("{} {}; name another journal with --journal", {path, why}));
}

JournalState read_or_refuse(const Ref& path) {
    std::optional<JournalState> state;
    std::optional<Ref> error = py::guard([&] { state = read_journal(path); });
    if (!error) return *state;
    if (PyObject_IsInstance(error->get(), PyExc_ValueError) == 1) usage(py::call(py::builtin("str"), {*error}));
    usage(py::format("cannot read the journal {}: {}", {path, *error}));
}

// The folder a journal records, when it can be told apart from another:
// journals before identities recorded the folder as it was given.
bool same_folder(const Ref& recorded, const Ref& folder) {
    if (!PyUnicode_Check(recorded.get()) || !py::truthy(host::os_path("isabs", {recorded}))) return true;
    return same(real(recorded), real(folder));
}

// The choices as recorded, each path among them (an output folder) by its
// real path: a symlink names the same batch.
Ref comparable(const Ref& choices) {
    if (!PyDict_Check(choices.get())) return choices;
    Ref copy = py::call_method(choices, "copy");
    for (const Option& o : kOptions) {
        if (o.type != Type::Path || o.record == nullptr) continue;
        Ref path = get(copy, o.record);
        if (PyUnicode_Check(path.get())) py::set_item(copy, o.record, real(path));
    }
    return copy;
}

// A journal of another batch is never continued nor replaced. A farm
// task's journal (no identity) is its task's, whatever path this node
// mounts the folder at: only its choices are compared.
void check_same_batch(const Request& request, const JournalState& state) {
    bool is_task = request.identity.get() == Py_None;
    if (!is_task && !same_folder(get(state.batch, "folder"), request.folder)) {
        not_ours(request.journal, py::format("is the journal of a batch of another folder ({})",
                                             {get(state.batch, "folder")}));
    }
    if (!same(comparable(get(state.batch, "choices")), comparable(choices_dict(request.choices)))) {
        usage(py::str("the journal was made with other choices (sources, outputs, preset or "
                      "options); give the same ones, or start a new batch without --resume"));
    }
}

long long pending_count(const JournalState& state) {
    Ref sources = get(state.batch, "sources");
    Py_ssize_t total = PyList_Check(sources.get()) ? py::length(sources) : 0;
    long long recorded = 0;
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (py::check_status(PyDict_Contains(state.records.get(), py::integer(i).get())) == 1) ++recorded;
    }
    return static_cast<long long>(total) - recorded;
}

// ------------------------------------------------------------ keeping aside

// "<journal>-<end time>.journal", numbered when taken.
Ref aside_name(const Ref& path, const Ref& stamp, int attempt) {
    Ref base = path;
    if (py::truthy(py::call_method(path, "endswith", {".journal"}))) {
        base = py::check(PySequence_GetSlice(path.get(), 0, py::length(path) - 8));
    }
    if (attempt == 0) return py::format("{}-{}.journal", {base, stamp});
    return py::format("{}-{}-{}.journal", {base, stamp, py::integer(attempt)});
}

// One step that never replaces a file: a link, then the old name goes
// (Windows: a rename, which refuses to replace there).
bool move_to_free_name(const Ref& from, const Ref& to) {
    try {
        if (host::on_windows()) {
            host::os("rename", {from, to});
            return true;
        }
        host::os("link", {from, to});
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileExistsError) == 0) throw;
        PyErr_Clear();
        return false;
    }
    host::os("remove", {from});
    return true;
}

Ref end_stamp(const Ref& path, const JournalState& state) {
    Ref when = state.ended.get() != Py_None ? state.ended : py::getattr(host::os("stat", {path}), "st_mtime");
    return host::time("strftime", {"%Y%m%d-%H%M%S", host::time("localtime", {when})});
}

// The journal and its workers' logs under a name of their own.
void keep_aside(const Ref& path, const JournalState& state) {
    Ref stamp = end_stamp(path, state);
    Ref aside;
    for (int attempt = 0;; ++attempt) {
        aside = aside_name(path, stamp, attempt);
        if (move_to_free_name(path, aside)) break;
    }
    host::sync_folder(host::os_path("dirname", {path}));
    Ref logs = py::format("{}.logs", {path});
    Ref aside_logs = py::format("{}.logs", {aside});
    if (py::truthy(host::os_path("isdir", {logs})) && !host::exists(aside_logs)) {
        py::guard([&] { host::os("rename", {logs, aside_logs}); });
    }
}

}  // namespace

Ref identity_of(const Ref& folder, const Choices& choices) {
    Ref described = py::dict({{"folder", real(folder)}, {"choices", comparable(choices_dict(choices))}});
    Ref text = py::call(host::attribute("json", "dumps"), {described}, {{"sort_keys", true}});
    return hex_digest("sha256", text, 16);
}

Ref default_journal(const Ref& identity) {
    return host::os_path("join", {cache_folder(), "batches", py::format("{}.journal", {identity})});
}

Ref journal_of_folder(const Ref& folder) {
    Ref absolute = host::os_path("abspath", {folder});
    Ref digest = py::call_method(py::call(host::attribute("hashlib", "sha1"), {host::os("fsencode", {absolute})}),
                                 "hexdigest");
    Ref name = py::format("{}.journal", {py::check(PySequence_GetSlice(digest.get(), 0, 16))});
    return host::os_path("join", {cache_folder(), "batches", name});
}

std::optional<JournalState> claim_journal(const Request& request) {
    const Ref& path = request.journal;
    if (request.resume && request.restart) usage(py::str("--resume and --restart exclude each other"));
    if (py::truthy(host::os_path("isdir", {path}))) not_ours(path, py::str("is a folder"));
    if (!py::truthy(host::os_path("lexists", {path}))) {
        if (request.resume) {
            usage(py::format("no batch of {} with these choices to resume: its journal {} is not there "
                             "(name it with --journal, or start the batch without --resume)",
                             {request.folder, path}));
        }
        return std::nullopt;
    }
    JournalState state = read_or_refuse(path);
    check_same_batch(request, state);
    if (request.resume) return state;
    long long pending = pending_count(state);
    if (pending > 0 && !request.restart) {
        long long total = py::length(get(state.batch, "sources"));
        usage(py::format("an interrupted batch of {} with these choices has {} of {} sources done ({}): "
                         "finish it with --resume, or start it over with --restart",
                         {request.folder, py::integer(total - pending), py::integer(total), path}));
    }
    keep_aside(path, state);
    return std::nullopt;
}

BatchLock hold_life(const Ref& output_root, const Ref& identity) {
    for (int attempt = 0; attempt < kLifeAttempts; ++attempt) {
        if (std::optional<BatchLock> held = BatchLock::hold_alone(output_root, identity)) return std::move(*held);
        host::time("sleep", {kLifePause});
    }
    usage(py::format("this batch of {} runs already (its lock {} is held): wait for it to end, or stop it",
                     {output_root, host::os_path("join", {output_root, py::format(".velmora-{}.lock", {identity})})}));
}

}  // namespace velmora::headless
