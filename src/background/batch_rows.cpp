// The rows of the batches window: one per batch of batches(), newest
// first, with its buttons; and the viewport message of a batch that ends
// while the window watches it.
#include "background/batches_window.hpp"

#include "host/callback.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"
#include "ui/commands.hpp"
#include "ui/report_window.hpp"

#include <cmath>
#include <functional>

namespace velmora::background::window {
namespace {

constexpr int kButtonWidth = 70;

// What a row shows of one batch.
struct View {
    Ref folder;
    Ref state;
    Ref max_value;  // of the progress bar: the total, at least 1
    Ref done;
    Ref count;
    Ref converted;
    Ref failed;
    Ref time;
    Ref error;  // the state label's annotation: the batch's error, or ""
    bool can_stop;
    bool can_resume;
    bool ended;
};

// One thing a row shows: command(control, e=True, flag=value).
struct Field {
    const Ref& control;
    const char* command;
    const char* flag;
    Ref value;
};

bool equal(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

Ref state_label(const Ref& state, const Ref& error) {
    if (error.get() != Py_None) return py::str("Error");
    for (const auto& [name, label] : {std::pair{"starting", "Starting"}, std::pair{"running", "Running"},
                                      std::pair{"stopping", "Stopping"}, std::pair{"interrupted", "Stopped"},
                                      std::pair{"finished", "Finished"}}) {
        if (py::equals(state, name)) return py::str(label);
    }
    return state;
}

// "1m 20s left" from the batch's estimate, "ended 2026-12-08 14:02" once
// it ended, the error when there is one.
Ref time_label(const Ref& batch, const Ref& state) {
    Ref error = py::get_item(batch, "error");
    if (error.get() != Py_None) return py::call(py::builtin("str"), {error});
    Ref ended = py::get_item(batch, "ended");
    if (!is_active(state) && ended.get() != Py_None) {
        Ref stamp = host::time("strftime", {"%Y-%m-%d %H:%M", host::time("localtime", {ended})});
        return py::format("ended {}", {stamp});
    }
    Ref eta = py::get_item(batch, "eta");
    if (eta.get() == Py_None) return py::str(py::equals(state, "running") ? "estimating..." : "");
    long long seconds = std::llround(py::as_double(eta));
    return py::format("{}m {}s left", {py::integer(seconds / 60), py::integer(seconds % 60)});
}

View view_of(const Ref& batch) {
    Ref state = py::get_item(batch, "state");
    Ref error = py::get_item(batch, "error");
    Ref total = py::get_item(batch, "total");
    Ref done = py::get_item(batch, "done");
    long long failed = static_cast<long long>(py::length(py::get_item(batch, "failed")));
    bool active = is_active(state);
    Ref folder = py::get_item(batch, "folder");
    return View{PyUnicode_Check(folder.get()) ? folder : py::str(""),
                state_label(state, error),
                py::as_long(total) > 0 ? total : py::integer(1),
                done,
                py::format("{} / {}", {done, total}),
                py::format("{} converted", {py::get_item(batch, "converted")}),
                py::format("{} failed", {py::integer(failed)}),
                time_label(batch, state),
                error.get() == Py_None ? py::str("") : py::call(py::builtin("str"), {error}),
                py::equals(state, "starting") || py::equals(state, "running"),
                py::equals(state, "interrupted"),
                !active};
}

std::vector<Field> fields_of(const Row& row, const View& view) {
    return {
        {row.folder_text, "text", "label", view.folder},
        {row.state_text, "text", "label", view.state},
        {row.state_text, "text", "annotation", view.error},
        {row.progress, "progressBar", "maxValue", view.max_value},
        {row.progress, "progressBar", "progress", view.done},
        {row.count_text, "text", "label", view.count},
        {row.converted_text, "text", "label", view.converted},
        {row.failed_text, "text", "label", view.failed},
        {row.time_text, "text", "label", view.time},
        {row.stop_button, "button", "en", py::boolean(view.can_stop)},
        {row.resume_button, "button", "en", py::boolean(view.can_resume)},
        {row.forget_button, "button", "en", py::boolean(view.ended)},
        {row.report_button, "button", "en", py::boolean(view.ended)},
    };
}

void remember(const Window& w, const Field& field) {
    Ref key = py::tuple({field.control, field.flag});
    py::check_status(PyObject_SetItem(w->shown.get(), key.get(), field.value.get()));
}

// A row button's command: the action, a dialog when it fails, then a
// refresh at Maya's next idle moment (a forgotten batch's row goes then,
// not inside its own button's command).
Ref row_command(const Window& w, const char* what, std::function<void()> action) {
    return host::make_callback(
        [w, what, action = std::move(action)] {
            std::optional<Ref> failure = py::guard(action);
            if (failure) tell(py::format("Could not {}: {}", {what, *failure}));
            queue_refresh(w);
            return py::none();
        },
        1);
}

Ref find_batch(const Ref& id) {
    Ref found = py::none();
    py::for_each(py::call(host::global("batches")), [&](const Ref& batch) {
        if (equal(py::get_item(batch, "id"), id)) found = batch;
    });
    return found;
}

// The main window's statistics window, from the batch's results so far.
void show_report(const Ref& id) {
    Ref batch = find_batch(id);
    if (batch.get() == Py_None) {
        PyErr_SetObject(PyExc_KeyError, id.get());
        throw py::PyError{};
    }
    Ref results = py::call(py::builtin("dict"), {batch});
    if (py::get_item(results, "end_time").get() == Py_None) {
        Ref ended = py::get_item(results, "ended");
        py::set_item(results, "end_time", ended.get() == Py_None ? host::time("time") : ended);
    }
    Ref text = py::call(host::global("batch_report"), {results});
    Ref save = host::make_callback(
        [text] {
            ui::save_report(text, [](const Ref& /*path*/) {});
            return py::none();
        },
        1);
    bool finished = py::equals(py::get_item(batch, "state"), "finished");
    ui::show_report_window(finished ? "Conversion Complete!" : "Conversion Stopped", text, save);
}

// The folder in the platform's file browser, as Maya opens one.
void open_folder(const Ref& folder) {
    if (!host::exists(folder)) {
        PyErr_SetObject(PyExc_FileNotFoundError, py::format("the folder is gone: {}", {folder}).get());
        throw py::PyError{};
    }
    host::cmds("launch", {}, {{"directory", folder}});
}

Ref text(const Ref& label, const char* align, int width = 0) {
    if (width > 0) return host::cmds("text", {}, {{"label", label}, {"align", align}, {"w", width}});
    return host::cmds("text", {}, {{"label", label}, {"align", align}});
}

Ref button(const char* label, bool enabled, const Ref& command) {
    return host::cmds("button", {}, {{"label", label}, {"w", kButtonWidth}, {"en", enabled}, {"c", command}});
}

// The batch a slot shows when its button is pressed.
Ref id_at(const Window& w, size_t slot) {
    if (slot >= w->rows.size()) {
        PyErr_SetString(PyExc_KeyError, "the batch is no longer listed");
        throw py::PyError{};
    }
    return w->rows[slot].id;
}

Ref folder_at(const Window& w, size_t slot) {
    id_at(w, slot);
    return w->rows[slot].folder;
}

void build_buttons(const Window& w, Row& row, size_t slot, const View& view) {
    host::cmds("rowLayout", {}, {{"nc", 5}});
    row.stop_button = button("Stop", view.can_stop, row_command(w, "stop the batch", [w, slot] {
                                 py::call(host::global("stop_batch"), {id_at(w, slot)});
                             }));
    row.resume_button = button("Resume", view.can_resume, row_command(w, "resume the batch", [w, slot] {
                                   Ref id = id_at(w, slot);
                                   py::call(host::global("resume_batch"), {id});
                                   watch(w, id, "starting");
                               }));
    row.forget_button = button("Forget", view.ended, row_command(w, "forget the batch", [w, slot] {
                                   py::call(host::global("forget_batch"), {id_at(w, slot)});
                               }));
    row.report_button = button("Report", view.ended, row_command(w, "show the report", [w, slot] {
                                   show_report(id_at(w, slot));
                               }));
    row.folder_button = button("Folder", true, row_command(w, "open the folder", [w, slot] {
                                   open_folder(folder_at(w, slot));
                               }));
    host::cmds("setParent", {".."});
}

Row build_row(const Window& w, size_t slot, const Ref& batch) {
    View view = view_of(batch);
    Row row;
    row.id = py::get_item(batch, "id");
    row.folder = py::get_item(batch, "folder");
    row.layout = host::cmds("columnLayout", {}, {{"adj", true}, {"rs", 2}});
    host::cmds("rowLayout", {}, {{"nc", 2}, {"cw2", py::tuple({300, 90})}, {"adj", 1}});
    row.folder_text = host::cmds("text", {}, {{"label", view.folder}, {"align", "left"}, {"font", "boldLabelFont"}});
    row.state_text = host::cmds("text", {}, {{"label", view.state}, {"align", "right"}, {"ann", view.error}});
    host::cmds("setParent", {".."});
    row.progress = host::cmds("progressBar", {}, {{"maxValue", view.max_value}, {"pr", view.done}, {"h", 12}});
    host::cmds("rowLayout", {}, {{"nc", 4}, {"cw4", py::tuple({80, 100, 80, 130})}});
    row.count_text = text(view.count, "left");
    row.converted_text = text(view.converted, "left");
    row.failed_text = text(view.failed, "left");
    row.time_text = text(view.time, "left");
    host::cmds("setParent", {".."});
    build_buttons(w, row, slot, view);
    host::cmds("separator", {}, {{"h", 6}, {"st", "in"}});
    host::cmds("setParent", {".."});
    for (const Field& field : fields_of(row, view)) remember(w, field);
    return row;
}

void add_rows(const Window& w, const Ref& batches) {
    if (!w->rows_column) {
        host::cmds("setParent", {w->scroll});
        w->rows_column = host::cmds("columnLayout", {}, {{"adj", true}, {"rs", 4}});
    }
    auto count = static_cast<size_t>(py::length(batches));
    while (w->rows.size() < count) {
        host::cmds("setParent", {w->rows_column});
        size_t slot = w->rows.size();
        w->rows.push_back(build_row(w, slot, py::item(batches, static_cast<Py_ssize_t>(slot))));
    }
}

// The last slots go, with what the window remembers of their controls.
void remove_rows(const Window& w, size_t count) {
    while (w->rows.size() > count) {
        Row& row = w->rows.back();
        host::cmds("deleteUI", {row.layout});
        Ref gone = py::list();
        py::for_each(py::call_method(w->shown, "keys"), [&](const Ref& key) {
            Ref control = py::item(key, 0);
            for (const Ref* c : {&row.folder_text, &row.state_text, &row.progress, &row.count_text, &row.converted_text,
                                 &row.failed_text, &row.time_text, &row.stop_button, &row.resume_button,
                                 &row.forget_button, &row.report_button}) {
                if (equal(control, *c)) {
                    py::append(gone, key);
                    break;
                }
            }
        });
        py::for_each(gone, [&w](const Ref& key) { py::check_status(PyObject_DelItem(w->shown.get(), key.get())); });
        w->rows.pop_back();
    }
}

// Forgets each ended batch; the ones that cannot be forgotten (a
// controller started again meanwhile, a folder that will not go) are told
// in one dialog.
void forget_ended() {
    Ref ended = py::list();
    py::for_each(py::call(host::global("batches")), [&ended](const Ref& batch) {
        if (!is_active(py::get_item(batch, "state"))) py::append(ended, py::get_item(batch, "id"));
    });
    if (py::length(ended) == 0) return;
    Ref asked = host::cmds("confirmDialog", {},
                           {{"title", "Velmora Batches"},
                            {"message", py::format(py::length(ended) == 1
                                                       ? "Forget {} ended batch? Its outputs and journal stay."
                                                       : "Forget {} ended batches? Their outputs and journals stay.",
                                                   {py::integer(py::length(ended))})},
                            {"button", py::list({"Forget", "Cancel"})},
                            {"defaultButton", "Cancel"},
                            {"cancelButton", "Cancel"},
                            {"dismissString", "Cancel"}});
    if (!py::equals(asked, "Forget")) return;
    Ref failures = py::list();
    py::for_each(ended, [&failures](const Ref& id) {
        std::optional<Ref> failure = py::guard([&id] { py::call(host::global("forget_batch"), {id}); });
        if (failure) py::append(failures, py::format("{}: {}", {id, *failure}));
    });
    if (py::length(failures) > 0) {
        tell(py::format("Could not forget every ended batch:\n{}",
                        {py::call_method(py::str("\n"), "join", {failures})}));
    }
}

Ref left_of(const Ref& batch) { return py::integer(py::length(py::get_item(batch, "pending"))); }

Ref ending_message(const Ref& batch, const Ref& state) {
    Ref folder = py::get_item(batch, "folder");
    Ref name = PyUnicode_Check(folder.get()) ? host::os_path("basename", {host::os_path("normpath", {folder})})
                                             : py::get_item(batch, "id");
    Ref converted = py::get_item(batch, "converted");
    Ref failed = py::integer(py::length(py::get_item(batch, "failed")));
    if (py::equals(state, "finished")) {
        return py::format("velmora: {} finished: {} converted, {} failed", {name, converted, failed});
    }
    return py::format("velmora: {} stopped: {} converted, {} failed, {} left",
                      {name, converted, failed, left_of(batch)});
}

}  // namespace

Ref forget_ended_command(const Window& w) {
    return host::make_callback(
        [w] {
            std::optional<Ref> failure = py::guard([] { forget_ended(); });
            if (failure) tell(py::format("Could not forget the ended batches: {}", {*failure}));
            queue_refresh(w);
            return py::none();
        },
        1);
}

bool is_active(const Ref& state) {
    return py::equals(state, "starting") || py::equals(state, "running") || py::equals(state, "stopping");
}

void watch(const Window& w, const Ref& id, const char* state) {
    py::check_status(PyObject_SetItem(w->watched.get(), id.get(), py::str(state).get()));
}

void update_rows(const Window& w, const Ref& batches) {
    remove_rows(w, static_cast<size_t>(py::length(batches)));
    add_rows(w, batches);
    Py_ssize_t i = 0;
    py::for_each(batches, [&](const Ref& batch) {
        Row& row = w->rows[static_cast<size_t>(i++)];
        View view = view_of(batch);
        row.id = py::get_item(batch, "id");
        row.folder = py::get_item(batch, "folder");
        for (const Field& field : fields_of(row, view)) {
            show_value(w, field.control, field.command, field.flag, field.value);
        }
    });
}

void announce_endings(const Window& w, const Ref& batches) {
    py::for_each(batches, [&w](const Ref& batch) {
        Ref id = py::get_item(batch, "id");
        Ref state = py::get_item(batch, "state");
        Ref before = py::call_method(w->watched, "get", {id});
        if (before.get() != Py_None && is_active(before) && !is_active(state)) {
            host::cmds("inViewMessage", {},
                       {{"assistMessage", ending_message(batch, state)}, {"fade", true}, {"fadeStayTime", 5000}});
        }
        py::check_status(PyObject_SetItem(w->watched.get(), id.get(), state.get()));
    });
}

}  // namespace velmora::background::window
