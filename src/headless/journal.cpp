// The journal: written line by line, each line on disk before the event it
// records is reported; read back whole to resume a batch or to report it.
#include "headless/journal_file.hpp"

#include "host/files.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace velmora::headless {
namespace {

constexpr const char kKind[] = "velmora-batch";

void sync(const Ref& file) {
    py::call_method(file, "flush");
    host::os("fsync", {py::call_method(file, "fileno")});
}

Ref open_binary(const Ref& path, const char* mode) {
    return py::call(py::builtin("open"), {path, mode});
}

// Unbuffered: see Journal::append.
Ref open_for_appending(const Ref& path) {
    return py::call(py::builtin("open"), {path, "ab"}, {{"buffering", py::integer(0)}});
}

Ref bytes(const char* text) { return py::check(PyBytes_FromString(text)); }

long long size_of(const Ref& file) {
    return py::as_long(py::call_method(file, "seek", {py::integer(0), py::integer(2)}));
}

// Where the text after the file's last line break begins (0 when it has
// none), read backwards a block at a time: the journal of a big batch is
// long, and only its end matters here.
long long end_of_whole_lines(const Ref& file, long long size) {
    constexpr long long kBlock = 1 << 16;
    long long end = size;
    while (end > 0) {
        long long start = std::max(0LL, end - kBlock);
        py::call_method(file, "seek", {py::integer(start)});
        Ref block = py::call_method(file, "read", {py::integer(end - start)});
        long long at = py::as_long(py::call_method(block, "rfind", {bytes("\n")}));
        if (at >= 0) return start + at + 1;
        end = start;
    }
    return 0;
}

[[noreturn]] void not_a_journal(const Ref& path, const char* why) {
    Ref message = py::format("{} is not a velmora batch journal ({})", {path, why});
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw py::PyError{};
}

// Older journals are read; a newer one is refused rather than misread.
void check_version(const Ref& path, const Ref& batch) {
    Ref version = py::call_method(batch, "get", {"version"});
    bool readable = PyLong_Check(version.get()) && !PyBool_Check(version.get()) &&
                    py::as_long(version) <= kJournalVersion;
    if (readable) return;
    Ref message = py::format("{} was written by a newer velmora (journal version {!r}); finish that batch "
                             "with that velmora",
                             {path, version});
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw py::PyError{};
}

// The lines of the file; a last line cut short by a crash or a power cut
// (no line break yet) was never reported, so it is left out.
Ref whole_lines(const Ref& path) {
    Ref file = open_binary(path, "rb");
    Ref data;
    py::with(file, [&data](const Ref& f) { data = py::call_method(f, "read"); });
    Ref lines = py::call_method(data, "split", {bytes("\n")});
    // split leaves the text after the last line break: b"" when whole.
    py::check_status(PySequence_DelItem(lines.get(), py::length(lines) - 1));
    return lines;
}

// One JSON object, or nothing when the text is not one.
std::optional<Ref> parse_object(const Ref& text) {
    Ref parsed;
    if (py::guard([&] { parsed = py::json_parse(text); })) return std::nullopt;
    if (!PyDict_Check(parsed.get())) return std::nullopt;
    return parsed;
}

// A record line. Versions before the torn tail was cut appended the next
// record right after it, so a line may be a fragment with a whole record
// glued on: that record is the line's end from one of its "{" on. A line
// that holds no record (zeros a file system left after a power cut, say)
// is passed over.
std::optional<Ref> parse_record(const Ref& line) {
    if (std::optional<Ref> record = parse_object(line)) return record;
    Ref brace = bytes("{");
    long long at = 0;
    while ((at = py::as_long(py::call_method(line, "find", {brace, py::integer(at + 1)}))) >= 0) {
        Ref rest = py::check(PySequence_GetSlice(line.get(), static_cast<Py_ssize_t>(at), PY_SSIZE_T_MAX));
        if (std::optional<Ref> record = parse_object(rest)) return record;
    }
    return std::nullopt;
}

// Cuts the text after the last line break: a record that a crash (a power
// cut, a kill during a write) left half written, never reported. Appending
// after it would glue the next record onto it. The cut is on disk before
// anything is appended.
void cut_torn_tail(const Ref& path) {
    Ref file = open_binary(path, "r+b");
    py::with(file, [&path](const Ref& f) {
        long long size = size_of(f);
        long long whole = end_of_whole_lines(f, size);
        if (whole == 0) not_a_journal(path, "no whole line");
        if (whole == size) return;
        py::call_method(f, "truncate", {py::integer(whole)});
        sync(f);
    });
}

// The batch line, on disk in a staged file, then moved to `path` in one
// step; when a step fails (a full disk, say) the staged file goes.
void write_first_line(const Ref& path, const Ref& staged, const Ref& batch) {
    try {
        Ref file = open_binary(staged, "wb");
        py::with(file, [&batch](const Ref& f) {
            py::call_method(f, "write", {py::json_line(batch)});
            sync(f);
        });
        host::os("replace", {staged, path});
        host::sync_folder(host::os_path("dirname", {path}));
    } catch (const py::PyError&) {
        py::PendingError failure;
        py::guard([&staged] { host::os("remove", {staged}); });
        failure.rethrow();
    }
}

}  // namespace

Journal Journal::start(const Ref& path, const Ref& batch) {
    Ref folder = host::os_path("dirname", {host::os_path("abspath", {path})});
    host::os("makedirs", {folder, py::integer(0777), true});
    Ref staged = py::format("{}.new-{}", {path, host::os("getpid", {})});
    write_first_line(path, staged, batch);
    return Journal(open_for_appending(path));
}

Journal Journal::reopen(const Ref& path) {
    cut_torn_tail(path);
    return Journal(open_for_appending(path));
}

// Written straight to the file, a part at a time as the system takes it:
// a line that a full disk refused is not kept in a buffer, to be written
// at close, after the batch has stopped on it.
// What a refused write left of the line is cut again (readers would leave
// it out, but the file stays whole lines for any reader).
void Journal::append(const Ref& record) {
    Ref line = py::json_line(record);
    Ref fd = py::call_method(file_, "fileno");
    Ref before = py::getattr(host::os("fstat", {fd}), "st_size");
    try {
        Py_ssize_t size = py::length(line);
        Py_ssize_t written = 0;
        while (written < size) {
            Ref rest = py::check(PySequence_GetSlice(line.get(), written, size));
            written += static_cast<Py_ssize_t>(py::as_long(py::call_method(file_, "write", {rest})));
        }
        host::os("fsync", {fd});
    } catch (const py::PyError&) {
        py::PendingError failure;
        py::guard([&] { host::os("ftruncate", {fd, before}); });
        failure.rethrow();
    }
}

void Journal::close() {
    if (file_) py::call_method(file_, "close");
}

Ref full_path(const Ref& folder, const Ref& relative) {
    Ref parts = py::call_method(relative, "split", {"/"});
    Ref joined = folder;
    py::for_each(parts, [&joined](const Ref& part) { joined = host::os_path("join", {joined, part}); });
    return joined;
}

Ref relative_path(const Ref& folder, const Ref& path) {
    Ref relative = host::os_path("relpath", {path, folder});
    Ref sep = host::attribute("os", "sep");
    return py::call_method(relative, "replace", {sep, "/"});
}

JournalState read_journal(const Ref& path) {
    Ref lines = whole_lines(path);
    if (py::length(lines) == 0) not_a_journal(path, "empty");
    Ref batch;
    if (auto failure = py::guard([&] { batch = py::json_parse(py::item(lines, 0)); })) {
        not_a_journal(path, "its first line is not JSON");
    }
    if (!PyDict_Check(batch.get()) || !py::equals(py::call_method(batch, "get", {"journal"}), kKind)) {
        not_a_journal(path, "no batch line");
    }
    check_version(path, batch);
    JournalState state{batch, py::dict(), py::call_method(batch, "get", {"started"}), py::none(), py::dict()};
    for (Py_ssize_t i = 1, n = py::length(lines); i < n; ++i) {
        std::optional<Ref> record = parse_record(py::item(lines, i));
        if (!record) continue;
        if (std::optional<Ref> index = py::find_item(*record, "source")) {
            py::check_status(PyObject_SetItem(state.records.get(), index->get(), record->get()));
            py::call_method(state.intents, "pop", {*index, py::none()});
        } else if (std::optional<Ref> index = py::find_item(*record, "publish")) {
            py::append(py::call_method(state.intents, "setdefault", {*index, py::list()}), *record);
        } else if (py::equals(py::call_method(*record, "get", {"run"}), "end")) {
            state.ended = py::get_item(*record, "time");
        }
    }
    return state;
}

Ref results_of(const JournalState& state, const Ref& folder) {
    Ref sources = py::get_item(state.batch, "sources");
    Ref outputs_under = output_root(state, folder);
    Ref failed = py::list();
    Ref skipped = py::list();
    Ref outputs = py::list();
    Ref pending = py::list();
    Ref notes = py::list();
    long long converted = 0;
    auto add_all = [&outputs_under](const Ref& target, const Ref& relatives) {
        py::for_each(relatives, [&](const Ref& r) { py::append(target, full_path(outputs_under, r)); });
    };
    Py_ssize_t total = py::length(sources);
    for (Py_ssize_t i = 0; i < total; ++i) {
        Ref source = full_path(folder, py::item(sources, i));
        Ref key = py::integer(i);
        PyObject* found = PyDict_GetItemWithError(state.records.get(), key.get());
        if (found == nullptr) {
            if (PyErr_Occurred() != nullptr) throw py::PyError{};
            py::append(pending, source);
            continue;
        }
        Ref record = Ref::borrow(found);
        add_all(outputs, py::get_item(record, "outputs"));
        add_all(skipped, py::get_item(record, "skipped"));
        if (std::optional<Ref> said = py::find_item(record, "notes")) py::append(notes, py::tuple({source, *said}));
        if (py::truthy(py::get_item(record, "converted"))) {
            ++converted;
        } else {
            py::append(failed, py::tuple({source, py::get_item(record, "failure")}));
        }
    }
    Ref unread = py::list();
    Ref listed_unread = py::call_method(state.batch, "get", {"unread", py::list()});
    py::for_each(listed_unread, [&](const Ref& entry) {
        py::append(unread, py::tuple({full_path(folder, py::item(entry, 0)), py::item(entry, 1)}));
    });
    Ref ended = state.ended.get() == Py_None ? host::time("time") : state.ended;
    return py::dict({{"folder", folder},
                     {"total", py::integer(total)},
                     {"converted", py::integer(converted)},
                     {"failed", failed},
                     {"skipped", skipped},
                     {"outputs", outputs},
                     {"pending", pending},
                     {"unread", unread},
                     {"notes", notes},
                     {"start_time", state.started},
                     {"end_time", ended}});
}

}  // namespace velmora::headless
