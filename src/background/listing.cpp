// batches(): what each batch's files say, read again only when they
// changed. A window refreshes its list twice a second, and a batch's
// journal (thousands of records) is by far the dearest thing to read, so
// each process keeps, per batch folder, what it read of batch.json,
// status.json and the journal together with the identity of each file
// (inode, modification time in ns, size): a file replaced in one step or
// appended to shows up as another identity. A controller that ends leaves
// the journal's results in summary.json, so that a new process does not
// parse the journal of a batch that ended either.
//
// What is always asked again: whether a controller runs (a lock probe, only
// for a batch whose status says it is at work), and the end time of a
// journal that has none yet (results_of says "now").
#include "background/registry.hpp"

#include "headless/journal.hpp"
#include "headless/status_file.hpp"
#include "host/files.hpp"
#include "host/host.hpp"

namespace velmora::background {
namespace {

constexpr const char* kResultLists[] = {"failed", "skipped", "outputs", "pending"};
constexpr const char kSummaryKind[] = "background-summary";

Ref get(const Ref& dict, const char* key) {
    if (dict.get() == Py_None) return py::none();
    return py::call_method(dict, "get", {key});
}

bool is_active(const Ref& state) {
    return py::equals(state, "starting") || py::equals(state, "running") || py::equals(state, "stopping");
}

bool same(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

// (inode, mtime in ns, size) of a file, or None when it is not there or
// cannot be asked.
Ref identity(const Ref& path) {
    Ref found = py::none();
    py::guard([&] {
        Ref info = host::os("stat", {path});
        found = py::tuple({py::getattr(info, "st_ino"), py::getattr(info, "st_mtime_ns"), py::getattr(info, "st_size")});
    });
    return found;
}

// Every process's memory of the batches it listed: folder -> entry. It
// lives as long as the process, like the module (releasing it after the
// interpreter has finalised would be an error).
PyObject* memory() {
    static PyObject* remembered = nullptr;
    if (remembered == nullptr) remembered = py::dict().release();
    return remembered;
}

Ref entry_of(const Ref& folder) {
    PyObject* found = PyDict_GetItemWithError(memory(), folder.get());
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred() != nullptr) throw py::PyError{};
    Ref entry = py::dict({{"batch_id", py::none()}, {"status_id", py::none()}, {"journal_id", py::none()}});
    py::check_status(PyObject_SetItem(memory(), folder.get(), entry.get()));
    return entry;
}

void forget_entry(const Ref& folder) {
    if (PyDict_DelItem(memory(), folder.get()) != 0) PyErr_Clear();
}

// The record with the defaults of an older velmora's missing keys, and the
// reason it cannot be listed in full (None when it can).
struct Record {
    Ref batch;
    Ref problem;
};

Ref number_or(const Ref& value, const Ref& fallback) {
    return PyLong_Check(value.get()) || PyFloat_Check(value.get()) ? value : fallback;
}

Ref text_or(const Ref& value, const Ref& fallback) { return PyUnicode_Check(value.get()) ? value : fallback; }

Record record_of(const Ref& folder, const Ref& batch, const Ref& batch_id) {
    Ref made = py::call(py::builtin("dict"), {batch});
    Ref modified = py::check(PyNumber_TrueDivide(py::item(batch_id, 1).get(), py::integer(1000000000).get()));
    py::set_item(made, "id", text_or(get(batch, "id"), host::os_path("basename", {folder})));
    py::set_item(made, "started", number_or(get(batch, "started"), modified));
    py::set_item(made, "journal", text_or(get(batch, "journal"), host::os_path("join", {folder, "batch.journal"})));
    Ref problem = record_problem(batch, false);
    if (problem.get() != Py_None) py::set_item(made, "folder", text_or(get(batch, "folder"), py::none()));
    return Record{made, problem};
}

// The journal's results for a batch in `root`: journal_open tells whether
// the journal has no end yet.
struct Results {
    Ref results;
    bool open = false;
};

Results from_journal(const Ref& journal, const Ref& root) {
    headless::JournalState state = headless::read_journal(journal);
    return Results{headless::results_of(state, root), state.ended.get() == Py_None};
}

// summary.json, when it was written from the journal as it is now.
std::optional<Results> from_summary(const Ref& folder, const Ref& journal_id) {
    Ref summary = host::read_json_file(summary_path(folder));
    if (summary.get() == Py_None || !py::equals(get(summary, "velmora"), kSummaryKind)) return std::nullopt;
    Ref recorded = get(summary, "journal");
    Ref results = get(summary, "results");
    if (!PyList_Check(recorded.get()) || !PyDict_Check(results.get())) return std::nullopt;
    if (!same(py::call(py::builtin("tuple"), {recorded}), journal_id)) return std::nullopt;
    // JSON has no tuples: a failure is (source, reason) as results_of makes it.
    Ref failed = py::list();
    py::for_each(py::get_item(results, "failed"),
                 [&failed](const Ref& pair) { py::append(failed, py::call(py::builtin("tuple"), {pair})); });
    py::set_item(results, "failed", failed);
    return Results{results, py::truthy(get(summary, "open"))};
}

// Before the journal exists (while the sources are listed), or when it
// cannot be read: an empty batch of the status's size.
Ref no_results(const Ref& batch, const Ref& status) {
    Ref total = get(status, "total");
    return py::dict({{"total", PyLong_Check(total.get()) ? total : py::integer(0)},
                     {"converted", py::integer(0)},
                     {"failed", py::list()},
                     {"skipped", py::list()},
                     {"outputs", py::list()},
                     {"pending", py::list()},
                     {"start_time", py::get_item(batch, "started")},
                     {"end_time", py::none()}});
}

// Whether `handed` still holds exactly the items of `master` (the items,
// str and tuples, cannot change in place).
bool unchanged(PyObject* handed, PyObject* master) {
    Py_ssize_t size = PyTuple_Size(master);
    if (PyList_Size(handed) != size) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (PyList_GetItem(handed, i) != PyTuple_GetItem(master, i)) return false;
    }
    return true;
}

// The list of `key` for the caller. Copying every output of every batch
// at each call is most of a listing's cost, so the list handed out last
// time is handed out again when nobody but this memory holds it any more
// and it was not changed; otherwise a fresh copy of the remembered items.
Ref list_for(const Ref& entry, const char* key) {
    Ref masters = py::get_item(entry, "masters");
    Ref handed = py::get_item(entry, "handed");
    Ref master = py::get_item(masters, key);
    std::optional<Ref> last = py::find_item(handed, key);
    // References: the dict of handed lists, and `last`.
    if (last && Py_REFCNT(last->get()) == 2 && unchanged(last->get(), master.get())) return *last;
    Ref fresh = py::call(py::builtin("list"), {master});
    py::set_item(handed, key, fresh);
    return fresh;
}

Ref copy_of(const Ref& entry, const Ref& results) {
    Ref copy = py::call(py::builtin("dict"), {results});
    for (const char* key : kResultLists) py::set_item(copy, key, list_for(entry, key));
    return copy;
}

// Remembers the journal's results, their lists kept as tuples.
void remember_results(const Ref& entry, const Ref& results) {
    Ref masters = py::dict();
    for (const char* key : kResultLists) {
        py::set_item(masters, key, py::call(py::builtin("tuple"), {py::get_item(results, key)}));
    }
    py::set_item(entry, "results", results);
    py::set_item(entry, "masters", masters);
    py::set_item(entry, "handed", py::dict());
}

// The results of the batch's journal, from memory while the journal is
// the one read last; None when there are none to read.
Ref journal_results(const Ref& folder, const Ref& entry, const Record& record, bool& open) {
    if (record.problem.get() != Py_None) return py::none();
    Ref journal = py::get_item(record.batch, "journal");
    Ref now = identity(journal);
    if (now.get() == Py_None) return py::none();
    if (!same(now, py::get_item(entry, "journal_id"))) {
        std::optional<Results> read = from_summary(folder, now);
        if (!read) {
            Results parsed;
            if (py::guard([&] { parsed = from_journal(journal, py::get_item(record.batch, "folder")); })) {
                return py::none();
            }
            read = parsed;
        }
        remember_results(entry, read->results);
        py::set_item(entry, "open", py::boolean(read->open));
        py::set_item(entry, "journal_id", now);
    }
    open = py::truthy(py::get_item(entry, "open"));
    return py::get_item(entry, "results");
}

// The last lines a controller printed since it was launched: why one that
// could not even write its status ended.
Ref last_words(const Ref& folder) {
    Ref launched = host::read_json_file(launched_path(folder));
    Ref from = get(launched, "log_from");
    if (!PyLong_Check(from.get())) return py::none();
    Ref line = py::none();
    py::guard([&] {
        Ref file = py::call(py::builtin("open"), {log_path(folder), "rb"});
        Ref data;
        py::with(file, [&](const Ref& f) {
            py::call_method(f, "seek", {from});
            data = py::call_method(f, "read");
        });
        Ref text = py::call_method(data, "decode", {"utf-8", "replace"});
        py::for_each(py::call_method(text, "splitlines"), [&line](const Ref& l) {
            Ref stripped = py::call_method(l, "strip");
            if (py::truthy(stripped)) line = stripped;
        });
    });
    return line;
}

// The state as the batch's files tell it: a controller that died without
// a last word leaves its batch interrupted, and one that died before it
// could say anything leaves the reason in its log.
Ref state_of(const Ref& folder, const Ref& status, Ref& error) {
    Ref state = get(status, "state");
    if (!PyUnicode_Check(state.get())) state = py::str("starting");
    if (!is_active(state) || controller_running(folder, status)) return state;
    if (py::equals(state, "starting") && error.get() == Py_None) {
        Ref words = last_words(folder);
        if (words.get() != Py_None) error = py::format("the controller could not start: {}", {words});
    }
    return py::str("interrupted");
}

Ref remembered(const Ref& entry, const char* id_key, const char* value_key, const Ref& now,
               Ref (*read)(const Ref&), const Ref& path) {
    if (!same(now, py::get_item(entry, id_key))) {
        py::set_item(entry, value_key, read(path));
        py::set_item(entry, id_key, now);
    }
    return py::get_item(entry, value_key);
}

Ref read_status_file(const Ref& path) { return headless::read_status(path); }

Ref described(const Ref& folder, const Ref& entry, const Record& record, const Ref& status, Ref results,
              bool open) {
    Ref error = get(status, "error");
    if (record.problem.get() != Py_None) error = record.problem;
    Ref state = record.problem.get() != Py_None ? py::str("interrupted") : state_of(folder, status, error);
    if (results.get() == Py_None) {
        results = no_results(record.batch, status);
    } else {
        results = copy_of(entry, results);
        if (open) py::set_item(results, "end_time", host::time("time"));
    }
    bool over = !is_active(state);
    Ref ended = over ? get(status, "ended") : py::none();
    if (over && ended.get() == Py_None) ended = get(status, "updated");  // its last word
    const Ref& batch = record.batch;
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
    py::set_item(results, "error", error);
    return results;
}

}  // namespace

Ref describe(const Ref& folder) {
    Ref batch_id = identity(batch_file(folder));
    if (batch_id.get() == Py_None) {
        forget_entry(folder);
        return py::none();
    }
    Ref entry = entry_of(folder);
    Ref batch = remembered(entry, "batch_id", "batch", batch_id, read_batch, folder);
    if (batch.get() == Py_None) return py::none();
    Record record = record_of(folder, batch, batch_id);
    Ref status = remembered(entry, "status_id", "status", identity(status_path(folder)), read_status_file,
                            status_path(folder));
    bool open = false;
    Ref results = journal_results(folder, entry, record, open);
    return described(folder, entry, record, status, results, open);
}

Ref all_batches() {
    Ref found = py::list();
    Ref registry = existing_registry_folder();
    if (registry.get() == Py_None) return found;
    Ref names;
    try {
        names = host::os("listdir", {registry});
    } catch (const py::PyError&) {
        py::PendingError failure;
        if (!failure.matches(PyExc_OSError)) failure.rethrow();
        PyErr_SetObject(PyExc_OSError,
                        py::format("cannot read the folder of background batches {}: {}", {registry, one_line(failure)})
                            .get());
        throw py::PyError{};
    }
    Ref seen = py::call(py::builtin("set"));
    py::for_each(names, [&](const Ref& name) {
        Ref folder = host::os_path("join", {registry, name});
        py::call_method(seen, "add", {folder});
        Ref description = describe(folder);
        if (description.get() != Py_None) py::append(found, description);
    });
    // Batches forgotten by another process: their memory goes too.
    Ref gone = py::list();
    py::for_each(Ref::borrow(memory()), [&](const Ref& folder) {
        if (same(host::os_path("dirname", {folder}), registry) &&
            !py::truthy(py::call_method(seen, "__contains__", {folder}))) {
            py::append(gone, folder);
        }
    });
    py::for_each(gone, [](const Ref& folder) { forget_entry(folder); });
    Ref by_start = py::call(host::attribute("operator", "itemgetter"), {"started", "id"});
    py::call(py::getattr(found, "sort"), {}, {{"key", by_start}, {"reverse", true}});
    return found;
}

void write_summary(const Ref& folder) {
    Ref batch = read_batch(folder);
    if (batch.get() == Py_None || record_problem(batch, true).get() != Py_None) return;
    Ref journal = py::get_item(batch, "journal");
    Ref before = identity(journal);
    if (before.get() == Py_None) return;
    Results read = from_journal(journal, py::get_item(batch, "folder"));
    if (!same(identity(journal), before)) return;  // written to meanwhile
    host::write_json_file(summary_path(folder), py::dict({{"velmora", kSummaryKind},
                                                          {"version", 1},
                                                          {"journal", before},
                                                          {"open", py::boolean(read.open)},
                                                          {"results", read.results}}));
}

}  // namespace velmora::background
