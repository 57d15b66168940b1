// The report of a batch in the window: the statistics window and saving
// its text (core/report.cpp) to a file.
#include "core/converter.hpp"
#include "core/report.hpp"
#include "host/callback.hpp"
#include "ui/commands.hpp"

namespace velmora {
namespace {

using ui::Command;

Ref report_text(PyObject* self) {
    return statistics_text(attr(self, "start_time"), host::time("time"), attr(self, "total_files"),
                           attr(self, "successful_files"), attr(self, "failed_files"),
                           py::length(attr(self, "skipped_files")));
}

}  // namespace

void show_statistics(PyObject* self) {
    Ref stats_text = report_text(self);
    // Logged before any window command, so the report survives a window
    // that cannot be built.
    log_msg(self, py::format("\n{}", {stats_text}));

    ui::delete_existing_window(py::str("statsWin"));
    Ref win = host::cmds("window", {"statsWin"},
                         {{"title", "Statistics"}, {"widthHeight", py::tuple({550, 380})}});
    Ref save = py::call(host::global("partial"), {attr(self, "save_stats"), stats_text});
    Ref close = host::make_callback(
        [win] {
            host::cmds("deleteUI", {win});
            return py::none();
        },
        1);
    ui::run_all(self, {
        {"columnLayout", {}, {{"adj", true}, {"rs", 8}, {"cat", py::tuple({"both", 8})}}},
        {"text", {}, {{"label", "Conversion Complete!"}, {"font", "boldLabelFont"}, {"h", 25}}},
        {"separator", {}, {{"h", 8}}},
        {"scrollField", {}, {{"text", stats_text}, {"ed", false}, {"ww", false}, {"h", 260},
                             {"fn", "fixedWidthFont"}}},
        {"rowLayout", {}, {{"nc", 2}, {"cw2", py::tuple({260, 260})}}},
        {"button", {}, {{"label", "Save to File"}, {"c", save}}},
        {"button", {}, {{"label", "Close"}, {"c", close}}},
    });
    host::cmds("showWindow", {win});
}

void save_stats(PyObject* self, const Ref& stats_text) {
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
        py::with(file, [&stats_text](const Ref& f) { write_text(f, stats_text); });
        log_msg(self, py::format("Stats saved: {}", {path}));
        host::cmds("confirmDialog", {},
                   {{"title", "Success"}, {"message", "Saved!"}, {"button", py::list({"OK"})}});
    });
    if (failure) host::cmds("warning", {py::format("Save failed: {}", {*failure})});
}

}  // namespace velmora
