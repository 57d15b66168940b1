// The report of a batch in the window: the statistics window and saving
// its text (core/report.cpp) to a file; other windows show their batches'
// reports the same way.
#include "core/converter.hpp"
#include "core/report.hpp"
#include "host/callback.hpp"
#include "ui/commands.hpp"
#include "ui/report_window.hpp"

namespace velmora {
namespace {

Ref report_text(PyObject* self) {
    return statistics_text(attr(self, "start_time"), host::time("time"), attr(self, "total_files"),
                           attr(self, "successful_files"), attr(self, "failed_files"),
                           py::length(attr(self, "skipped_files")));
}

}  // namespace

namespace ui {

void show_report_window(const char* heading, const Ref& text, const Ref& save) {
    delete_existing_window(py::str("statsWin"));
    Ref win = host::cmds("window", {"statsWin"},
                         {{"title", "Statistics"}, {"widthHeight", py::tuple({550, 380})}});
    Ref close = host::make_callback(
        [win] {
            host::cmds("deleteUI", {win});
            return py::none();
        },
        1);
    run_all(nullptr, {
        {"columnLayout", {}, {{"adj", true}, {"rs", 8}, {"cat", py::tuple({"both", 8})}}},
        {"text", {}, {{"label", heading}, {"font", "boldLabelFont"}, {"h", 25}}},
        {"separator", {}, {{"h", 8}}},
        {"scrollField", {}, {{"text", text}, {"ed", false}, {"ww", false}, {"h", 260},
                             {"fn", "fixedWidthFont"}}},
        {"rowLayout", {}, {{"nc", 2}, {"cw2", py::tuple({260, 260})}}},
        {"button", {}, {{"label", "Save to File"}, {"c", save}}},
        {"button", {}, {{"label", "Close"}, {"c", close}}},
    });
    host::cmds("showWindow", {win});
}

void save_report(const Ref& text, const std::function<void(const Ref& path)>& saved) {
    // Maya's save dialog has no default-extension flag: a name typed
    // without one gets ".txt" here instead.
    Ref chosen = host::cmds("fileDialog2", {},
                            {{"fm", 0}, {"cap", "Save Statistics"}, {"ff", "Text Files (*.txt)"}});
    if (!py::truthy(chosen)) return;  // cancelled
    Ref path = py::item(chosen, 0);
    Ref extension = py::item(host::os_path("splitext", {path}), 1);
    if (!py::truthy(extension)) path = py::format("{}.txt", {path});

    std::optional<Ref> failure = py::guard([&] {
        Ref file = py::call(host::global("safe_open"), {path, "w"});
        py::with(file, [&text](const Ref& f) { write_text(f, text); });
        saved(path);
        host::cmds("confirmDialog", {},
                   {{"title", "Success"}, {"message", "Saved!"}, {"button", py::list({"OK"})}});
    });
    if (failure) host::cmds("warning", {py::format("Save failed: {}", {*failure})});
}

}  // namespace ui

void show_statistics(PyObject* self) {
    Ref stats_text = report_text(self);
    // Logged before any window command, so the report survives a window
    // that cannot be built.
    log_msg(self, py::format("\n{}", {stats_text}));
    Ref save = py::call(host::global("partial"), {attr(self, "save_stats"), stats_text});
    ui::show_report_window("Conversion Complete!", stats_text, save);
}

void save_stats(PyObject* self, const Ref& stats_text) {
    ui::save_report(stats_text,
                    [self](const Ref& path) { log_msg(self, py::format("Stats saved: {}", {path})); });
}

}  // namespace velmora
