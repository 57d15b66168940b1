// The batch's statistics report: the window's text, from a results dict.
#include "headless/batch.hpp"

#include "core/report.hpp"
#include "headless/journal_file.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {

namespace {

// The window lists what it could read; the batch also names the folders
// it could not, after the window's lines (a folder left out is work left).
Ref unread_lines(const Ref& unread) {
    Ref lines = py::list({py::format("FOLDERS NOT READ: {}", {py::integer(py::length(unread))})});
    py::for_each(unread, [&lines](const Ref& entry) {
        py::append(lines, py::format("  - {}", {py::item(entry, 0)}));
        py::append(lines, py::format("    {}", {py::item(entry, 1)}));
    });
    return py::call_method(py::str("\n"), "join", {lines});
}

// What the workers said of sources beside converting them: the script
// nodes a scene carried that were not run, the parts of an output that
// could not be verified.
Ref note_lines(const Ref& notes, const Ref& folder) {
    Ref lines = py::list({py::format("NOTES: {}", {py::integer(py::length(notes))})});
    py::for_each(notes, [&](const Ref& entry) {
        Ref shown = folder.get() != Py_None ? relative_path(folder, py::item(entry, 0)) : py::item(entry, 0);
        py::append(lines, py::format("  - {}", {shown}));
        py::for_each(py::item(entry, 1), [&](const Ref& note) { py::append(lines, py::format("    {}", {note})); });
    });
    return py::call_method(py::str("\n"), "join", {lines});
}

}  // namespace

Ref report_text(const Ref& results) {
    Ref text = statistics_text(py::get_item(results, "start_time"), py::get_item(results, "end_time"),
                               py::get_item(results, "total"), py::get_item(results, "converted"),
                               py::get_item(results, "failed"), py::length(py::get_item(results, "skipped")),
                               py::call_method(results, "get", {"folder"}));
    std::optional<Ref> unread = py::find_item(results, "unread");
    if (unread && py::truthy(*unread)) text = py::format("{}\n{}", {text, unread_lines(*unread)});
    std::optional<Ref> notes = py::find_item(results, "notes");
    if (notes && py::truthy(*notes)) {
        text = py::format("{}\n{}", {text, note_lines(*notes, py::call_method(results, "get", {"folder"}))});
    }
    return text;
}

}  // namespace velmora::headless
