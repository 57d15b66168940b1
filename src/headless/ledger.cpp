#include "headless/ledger.hpp"

#include "engine/front_end.hpp"
#include "headless/identity.hpp"
#include "headless/options.hpp"
#include "headless/progress.hpp"
#include "headless/temporary_files.hpp"
#include "host/host.hpp"

#include <algorithm>

namespace velmora::headless {
namespace {


Ref new_batch_id() { return py::call_method(host::os("urandom", {py::integer(6)}), "hex"); }

std::string utf8(const Ref& text) {
    Ref encoded = py::call_method(text, "encode", {"utf-8", "surrogateescape"});
    return PyBytes_AsString(encoded.get());
}

// A journal that cannot be written (a read-only or full cache, a folder
// not the user's) stops the batch before any work, with one line that
// names it (an OSError, its errno kept).
template <class Open>
Journal journal_or_refuse(const Ref& path, Open&& open) {
    try {
        return open();
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
        Ref error = py::take_error();
        Ref why = py::getattr(error, "strerror");
        Ref message = py::format("cannot write the journal {}: {}; name another with --journal",
                                 {path, why.get() != Py_None ? why : py::call(py::builtin("str"), {error})});
        Ref refusal = py::call(Ref::borrow(PyExc_OSError), {message});
        py::setattr(refusal.get(), "errno", py::getattr(error, "errno"));
        PyErr_SetObject(PyExc_OSError, refusal.get());
        throw py::PyError{};
    }
}

}  // namespace

std::string format_of(const Ref& output_file) {
    Ref ext = py::call_method(py::item(host::os_path("splitext", {output_file}), 1), "lower");
    return utf8(py::check(PySequence_GetSlice(ext.get(), 1, PY_SSIZE_T_MAX)));
}

Ledger::Ledger(const Request& request) : request_(request) {}

void Ledger::open() {
    Ref choices = choices_dict(request_.choices);
    if (std::optional<JournalState> state = claim_journal(request_)) {
        continue_journal(*state);
    } else {
        start_journal(choices);
    }
}

void Ledger::start_journal(const Ref& choices) {
    Listing listing = request_.listed ? Listing{*request_.listed, py::list()}
                                      : list_batch(request_.folder, request_.choices);
    sources_ = listing.sources;
    // A batch's temporary files and its lock are named by its identity; a
    // farm task's by the batch its plan made.
    batch_id_ = request_.identity.get() != Py_None ? request_.identity : new_batch_id();
    entries_.resize(static_cast<std::size_t>(py::length(sources_)));
    Ref batch = py::dict({{"journal", "velmora-batch"}, {"version", kJournalVersion}, {"batch", batch_id_}});
    if (request_.identity.get() != Py_None) py::set_item(batch, "identity", request_.identity);
    py::set_item(batch, "folder", request_.folder);
    py::set_item(batch, "choices", choices);
    py::set_item(batch, "sources", sources_);
    py::set_item(batch, "started", host::time("time"));
    py::set_item(batch, "notes_publishing", true);
    notes_publishing_ = true;
    if (py::truthy(listing.unread)) py::set_item(batch, "unread", listing.unread);
    journal_.emplace(journal_or_refuse(request_.journal, [&] { return Journal::start(request_.journal, batch); }));
}

void Ledger::continue_journal(const JournalState& state) {
    batch_id_ = py::get_item(state.batch, "batch");
    sources_ = py::get_item(state.batch, "sources");
    entries_.resize(static_cast<std::size_t>(py::length(sources_)));
    take_records(state.records);
    intents_ = state.intents;
    notes_publishing_ = py::truthy(py::call_method(state.batch, "get", {"notes_publishing"}));
    journal_.emplace(journal_or_refuse(request_.journal, [&] { return Journal::reopen(request_.journal); }));
}

// The last record of each source says what became of it. A failed source
// to be retried keeps what it wrote: only its missing outputs are made.
void Ledger::take_records(const Ref& records) {
    for (long long i = 0; i < total(); ++i) {
        PyObject* found = PyDict_GetItemWithError(records.get(), py::integer(i).get());
        if (found == nullptr) {
            if (PyErr_Occurred() != nullptr) throw py::PyError{};
            continue;
        }
        Ref record = Ref::borrow(found);
        bool converted = py::truthy(py::get_item(record, "converted"));
        if (converted || !request_.retry_failed) {
            entry(i).status = converted ? Status::Converted : Status::Failed;
            continue;
        }
        py::for_each(py::get_item(record, "outputs"), [&](const Ref& relative) {
            Ref output = full_path(output_root(), relative);
            carry(i, output, format_of(output));
        });
    }
}

Ref Ledger::source(long long index) const {
    return full_path(request_.folder, py::item(sources_, static_cast<Py_ssize_t>(index)));
}

const Ref& Ledger::output_root() const {
    const Ref& chosen = request_.choices.output_folder;
    return chosen.get() != Py_None ? chosen : request_.folder;
}

bool Ledger::outputs_apart() const { return request_.choices.output_folder.get() != Py_None; }

Ref output_root(const JournalState& state, const Ref& folder) {
    Ref choices = py::call_method(state.batch, "get", {"choices"});
    Ref chosen = PyDict_Check(choices.get()) ? py::call_method(choices, "get", {"output_folder"}) : py::none();
    return chosen.get() != Py_None ? chosen : folder;
}

Ref Ledger::output_base(long long index) const {
    return output_base_of(request_.folder, request_.choices, py::item(sources_, static_cast<Py_ssize_t>(index)));
}

Ref output_base_of(const Ref& folder, const Choices& choices, const Ref& relative) {
    Ref stem = py::item(py::call(host::attribute("posixpath", "splitext"), {relative}), 0);
    return full_path(choices.output_folder.get() != Py_None ? choices.output_folder : folder, stem);
}

void Ledger::carry(long long index, const Ref& output_file, const std::string& format) {
    Entry& e = entry(index);
    if (!e.formats.insert(format).second) return;
    if (!e.carried) e.carried = py::list();
    py::append(e.carried, output_file);
}

Ref Ledger::carried(long long index) const {
    const Entry& e = entry(index);
    return e.carried ? py::check(PySequence_List(e.carried.get())) : py::list();
}

Ref Ledger::formats_for(long long index) const {
    const Entry& e = entry(index);
    Ref formats = py::list();
    py::for_each(request_.choices.outputs, [&](const Ref& f) {
        if (e.formats.count(utf8(f)) == 0) py::append(formats, f);
    });
    return formats;
}

void Ledger::record(long long index, const Outcome& outcome) {
    auto relative = [this](const Ref& paths) {
        Ref result = py::list();
        py::for_each(paths, [&](const Ref& p) { py::append(result, relative_path(output_root(), p)); });
        return result;
    };
    Ref entry_record = py::dict({{"source", py::integer(index)},
                                 {"converted", py::boolean(outcome.converted)},
                                 {"outputs", relative(outcome.outputs)},
                                 {"skipped", relative(outcome.skipped)},
                                 {"failure", outcome.failure}});
    if (py::length(outcome.notes) > 0) py::set_item(entry_record, "notes", outcome.notes);
    write(entry_record);
    entry(index) = Entry{outcome.converted ? Status::Converted : Status::Failed, Ref(), {}};
}

void Ledger::intend(long long index, const Ref& files) {
    write(py::dict({{"publish", py::integer(index)}, {"files", files}}));
}

void Ledger::run_started() {
    write(py::dict({{"run", "start"}, {"time", host::time("time")}}));
}

void Ledger::run_ended(bool interrupted) {
    write(py::dict({{"run", "end"}, {"time", host::time("time")}, {"interrupted", py::boolean(interrupted)}}));
}

// A journal that cannot be written stops the batch: nothing may happen
// that it does not know of. The OSError keeps its errno and says in one
// line what stopped and how to go on.
void Ledger::write(const Ref& line) {
    try {
        journal_->append(line);
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
        py::PendingError failure;
        Ref reason = py::getattr(failure.value(), "strerror");
        if (reason.get() == Py_None) reason = py::call(py::builtin("str"), {failure.value()});
        Ref message = py::format("the journal {} cannot be written ({}); the batch stopped, and resumes "
                                 "where it stopped once the journal can be written",
                                 {request_.journal, reason});
        Ref error = py::call(Ref::borrow(PyExc_OSError), {message});
        py::check_status(PyObject_SetAttrString(error.get(), "errno",
                                                py::getattr(failure.value(), "errno").get()));
        PyErr_SetObject(PyExc_OSError, error.get());
        throw py::PyError{};
    }
}

long long Ledger::count(Status status) const {
    return std::count_if(entries_.begin(), entries_.end(),
                         [status](const Entry& e) { return e.status == status; });
}

long long Ledger::done() const { return converted() + failed(); }
long long Ledger::converted() const { return count(Status::Converted); }
long long Ledger::failed() const { return count(Status::Failed); }

Ref Ledger::results() const { return results_of(read_journal(request_.journal), request_.folder); }


namespace {

bool matches_any(const Ref& relative, const Ref& patterns) {
    Ref match = host::attribute("fnmatch", "fnmatchcase");
    return py::any_of(patterns, [&](const Ref& p) { return py::truthy(py::call(match, {relative, p})); });
}

// Whether `path` is `folder` or lies under it.
bool is_within(const Ref& path, const Ref& folder) {
    Ref relative = host::os_path("relpath", {path, folder});
    Ref up = py::format("..{}", {host::attribute("os", "sep")});
    return !py::equals(relative, "..") && !py::truthy(py::call_method(relative, "startswith", {up})) &&
           !py::truthy(host::os_path("isabs", {relative}));
}

// The output folder as the listing of `folder` reaches it, when it lies
// inside: either may be named through a symlink, so they are compared by
// their real paths.
std::optional<Ref> output_tree_in(const Ref& folder, const Ref& output_folder) {
    if (output_folder.get() == Py_None) return std::nullopt;
    if (is_within(output_folder, folder)) return output_folder;
    Ref real_folder = host::os_path("realpath", {folder});
    Ref real_output = host::os_path("realpath", {output_folder});
    if (!is_within(real_output, real_folder)) return std::nullopt;
    return host::os_path("join", {folder, host::os_path("relpath", {real_output, real_folder})});
}

}  // namespace

Ref batch_sources(const Ref& folder, const Choices& choices) {
    Listing listing = list_batch(folder, choices);
    py::for_each(listing.unread, [](const Ref& unread) {
        write_console(py::format("velmora-batch: skipped folder: {}: {}\n", {py::item(unread, 0), py::item(unread, 1)}),
                      "stderr");
    });
    return listing.sources;
}

namespace {

// An error of the walk, as (folder relative to the batch's, reason).
Ref unread_entry(const Ref& folder, const Ref& error) {
    Ref where = py::getattr(error, "filename");
    Ref reason = py::getattr(error, "strerror");
    if (reason.get() == Py_None) reason = py::call(py::builtin("str"), {error});
    return py::tuple({where.get() == Py_None ? py::str(".") : relative_path(folder, where), reason});
}

}  // namespace

Listing list_batch(const Ref& folder, const Choices& choices) {
    Ref unread = py::list();
    Ref found = list_sources(folder, choices.extensions, choices.recursive,
                             [&](const Ref& error) { py::append(unread, unread_entry(folder, error)); });
    std::optional<Ref> outputs_inside = output_tree_in(folder, choices.output_folder);
    Ref sources = py::list();
    py::for_each(found, [&](const Ref& path) {
        // Another batch's outputs in the making are not scenes, nor are the
        // outputs of an output folder inside the batch's.
        if (is_temp_name(host::os_path("basename", {path}))) return;
        if (outputs_inside && is_within(path, *outputs_inside)) return;
        Ref relative = relative_path(folder, path);
        if (py::length(choices.include) > 0 && !matches_any(relative, choices.include)) return;
        if (matches_any(relative, choices.exclude)) return;
        py::append(sources, relative);
    });
    return Listing{sources, unread};
}

}  // namespace velmora::headless
