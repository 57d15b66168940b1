// The journal: written line by line, each line on disk before the event it
// records is reported; read back whole to resume a batch or to report it.
#include "headless/journal_file.hpp"

#include "host/host.hpp"
#include "host/stdlib.hpp"

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

[[noreturn]] void not_a_journal(const Ref& path, const char* why) {
    Ref message = py::format("{} is not a velmora batch journal ({})", {path, why});
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw py::PyError{};
}

// The lines of the file; a last line cut short by a crash or a power cut
// (no line break yet) was never reported, so it is left out.
Ref whole_lines(const Ref& path) {
    Ref file = open_binary(path, "rb");
    Ref data;
    py::with(file, [&data](const Ref& f) { data = py::call_method(f, "read"); });
    Ref lines = py::call_method(data, "split", {py::check(PyBytes_FromString("\n"))});
    // split leaves the text after the last line break: b"" when whole.
    py::check_status(PySequence_DelItem(lines.get(), py::length(lines) - 1));
    return lines;
}

}  // namespace

Journal Journal::start(const Ref& path, const Ref& batch) {
    Ref folder = host::os_path("dirname", {host::os_path("abspath", {path})});
    host::os("makedirs", {folder, py::integer(0777), true});
    Ref staged = py::format("{}.new-{}", {path, host::os("getpid", {})});
    Ref file = open_binary(staged, "wb");
    py::with(file, [&batch](const Ref& f) {
        py::call_method(f, "write", {py::json_line(batch)});
        sync(f);
    });
    host::os("replace", {staged, path});
    return reopen(path);
}

Journal Journal::reopen(const Ref& path) { return Journal(open_binary(path, "ab")); }

void Journal::append(const Ref& record) {
    py::call_method(file_, "write", {py::json_line(record)});
    sync(file_);
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
    JournalState state{batch, py::dict(), py::get_item(batch, "started"), py::none()};
    for (Py_ssize_t i = 1, n = py::length(lines); i < n; ++i) {
        Ref record = py::json_parse(py::item(lines, i));
        if (std::optional<Ref> index = py::find_item(record, "source")) {
            py::check_status(PyObject_SetItem(state.records.get(), index->get(), record.get()));
        } else if (py::equals(py::call_method(record, "get", {"run"}), "end")) {
            state.ended = py::get_item(record, "time");
        }
    }
    return state;
}

Ref results_of(const JournalState& state, const Ref& folder) {
    Ref sources = py::get_item(state.batch, "sources");
    Ref failed = py::list();
    Ref skipped = py::list();
    Ref outputs = py::list();
    Ref pending = py::list();
    long long converted = 0;
    auto add_all = [&folder](const Ref& target, const Ref& relatives) {
        py::for_each(relatives, [&](const Ref& r) { py::append(target, full_path(folder, r)); });
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
        if (py::truthy(py::get_item(record, "converted"))) {
            ++converted;
        } else {
            py::append(failed, py::tuple({source, py::get_item(record, "failure")}));
        }
    }
    Ref ended = state.ended.get() == Py_None ? host::time("time") : state.ended;
    return py::dict({{"total", py::integer(total)},
                     {"converted", py::integer(converted)},
                     {"failed", failed},
                     {"skipped", skipped},
                     {"outputs", outputs},
                     {"pending", pending},
                     {"start_time", state.started},
                     {"end_time", ended}});
}

}  // namespace velmora::headless
