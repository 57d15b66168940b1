#include "background/batches_window.hpp"

#include "host/callback.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"
#include "ui/commands.hpp"


namespace velmora::background::window {
namespace {

constexpr const char kWindowName[] = "velmoraBatchesWin";
constexpr const char kTitle[] = "Velmora Batches";

// The window shown now, so that opening it again stops the old one's
// timer before its controls go.
std::weak_ptr<State>& current() {
    static std::weak_ptr<State> shown;
    return shown;
}

// Below the launcher: the rows in a scrolling area, the status line.
void build_batches_area(const Window& w) {
    host::cmds("separator", {}, {{"h", 6}, {"st", "in"}});
    host::cmds("text", {}, {{"label", "Batches:"}, {"align", "left"}, {"font", "boldLabelFont"}});
    w->scroll = host::cmds("scrollLayout", {}, {{"h", 300}, {"cr", true}});
    host::cmds("setParent", {".."});
    host::cmds("rowLayout", {}, {{"nc", 2}, {"cw2", py::tuple({300, 100})}, {"adj", 1}});
    w->status_text = host::cmds("text", {}, {{"label", ""}, {"align", "left"}});
    w->forget_ended = host::cmds("button", {}, {{"label", "Forget Ended"}, {"w", 100}, {"en", false},
                                                {"c", forget_ended_command(w)}});
    host::cmds("setParent", {".."});
}

// The window's deletion (its close button, deleteUI, a new window of the
// same name) runs a script job at Maya's next idle moment.
void watch_closing(const Window& w) {
    Ref closed = host::make_callback(
        [w] {
            close(w);
            return py::none();
        },
        0);
    host::cmds("scriptJob", {}, {{"uiDeleted", py::tuple({w->window, closed})}});
}

void run_refresh(const Window& w) {
    w->refresh_queued = false;
    if (w->closed) return;
    if (!py::truthy(host::cmds("columnLayout", {w->layout}, {{"exists", true}}))) {
        close(w);  // deleted without its script job having run yet
        return;
    }
    refresh(w);
}

Ref status_line(const Ref& batches) {
    Py_ssize_t count = py::length(batches);
    if (count == 0) return py::str("No background batches.");
    long long running = 0;
    py::for_each(batches, [&running](const Ref& batch) {
        if (is_active(py::get_item(batch, "state"))) ++running;
    });
    return py::format(count == 1 ? "{} batch, {} running" : "{} batches, {} running",
                      {py::integer(count), py::integer(running)});
}

}  // namespace

void show_value(const Window& w, const Ref& control, const char* command, const char* flag,
                const Ref& value) {
    Ref key = py::tuple({control, flag});
    Ref before = py::call_method(w->shown, "get", {key});
    if (before.get() != Py_None &&
        py::check_status(PyObject_RichCompareBool(before.get(), value.get(), Py_EQ)) != 0) {
        return;
    }
    host::cmds(command, {control}, {{"e", true}, {flag, value}});
    py::check_status(PyObject_SetItem(w->shown.get(), key.get(), value.get()));
}

void show() {
    if (Window previous = current().lock()) close(previous);
    ui::delete_existing_window(py::str(kWindowName));
    auto w = std::make_shared<State>();
    w->shown = py::dict();
    w->watched = py::dict();
    w->execute_deferred = host::attribute("maya.utils", "executeDeferred");
    w->stop_timer = py::call(host::attribute("threading", "Event"));
    w->window = host::cmds("window", {kWindowName},
                           {{"title", kTitle}, {"widthHeight", py::tuple({420, 720})}, {"sizeable", true}});
    w->layout = host::cmds("columnLayout", {}, {{"adj", true}, {"rs", 3}, {"cat", py::tuple({"both", 3})}});
    build_launcher(w);
    build_batches_area(w);
    refresh(w);
    host::cmds("showWindow", {w->window});
    watch_closing(w);
    start_timer(w);
    current() = w;
}

void refresh(const Window& w) {
    Ref batches;
    std::optional<Ref> failure = py::guard([&batches] { batches = py::call(host::global("batches")); });
    if (failure) {
        show_value(w, w->status_text, "text", "label",
                   py::format("Could not read the batches: {}", {*failure}));
        return;
    }
    update_rows(w, batches);
    announce_endings(w, batches);
    show_value(w, w->status_text, "text", "label", status_line(batches));
    bool any_ended = py::any_of(batches, [](const Ref& batch) { return !is_active(py::get_item(batch, "state")); });
    show_value(w, w->forget_ended, "button", "en", py::boolean(any_ended));
}

void queue_refresh(const Window& w) {
    if (w->closed || w->refresh_queued) return;
    Ref run = host::make_callback(
        [w] {
            run_refresh(w);
            return py::none();
        },
        0);
    w->refresh_queued = true;
    try {
        py::call(w->execute_deferred, {run});
    } catch (const py::PyError&) {
        w->refresh_queued = false;
        throw;
    }
}

void close(const Window& w) {
    if (w->closed) return;
    w->closed = true;
    stop_timer(w);
}

void tell(const Ref& message) {
    host::cmds("confirmDialog", {},
               {{"title", kTitle},
                {"message", message},
                {"button", py::list({"OK"})},
                {"defaultButton", "OK"},
                {"icon", "warning"}});
}

}  // namespace velmora::background::window
