// The report of a batch: its text, the statistics window and saving the
// text to a file.
#include "core/converter.hpp"
#include "host/callback.hpp"
#include "ui/commands.hpp"
#include "ui/report.hpp"

namespace velmora {
namespace {

using ui::Command;

constexpr const char kStampFormat[] = "%Y-%m-%d %H:%M:%S";

Ref local_stamp(const Ref& seconds) {
    return host::time("strftime", {kStampFormat, host::time("localtime", {seconds})});
}

// "{}m {}s" of a duration, with Python's int(x / 60) and int(x % 60). A
// clock set back during the run would give a negative duration, which
// those formulas turn into nonsense such as "0m 54s"; it counts as none.
Ref duration_text(const Ref& start, const Ref& end) {
    Ref elapsed = py::check(PyNumber_Subtract(end.get(), start.get()));
    Ref zero = py::integer(0);
    if (py::check_status(PyObject_RichCompareBool(elapsed.get(), zero.get(), Py_LT)) != 0) {
        elapsed = zero;
    }
    Ref sixty = py::integer(60);
    Ref minutes = py::check(PyNumber_Long(py::check(PyNumber_TrueDivide(elapsed.get(), sixty.get())).get()));
    Ref seconds = py::check(PyNumber_Long(py::check(PyNumber_Remainder(elapsed.get(), sixty.get())).get()));
    return py::format("Time: {}m {}s", {minutes, seconds});
}

Ref report_text(PyObject* self) {
    return statistics_text(attr(self, "start_time"), host::time("time"), attr(self, "total_files"),
                           attr(self, "successful_files"), attr(self, "failed_files"),
                           py::length(attr(self, "skipped_files")));
}

}  // namespace

Ref statistics_text(const Ref& start, const Ref& now, const Ref& total, const Ref& successful,
                    const Ref& failed, Py_ssize_t skipped) {
    Ref lines = py::list({
        kRule,
        "STATISTICS",
        kRule,
        py::format("Start: {}", {local_stamp(start)}),
        py::format("End: {}", {local_stamp(now)}),
        duration_text(start, now),
        "",
        py::format("Total: {}", {total}),
        py::format("Success: {}", {successful}),
        py::format("Failed: {}", {py::integer(py::length(failed))}),
        py::format("Skipped: {}", {py::integer(skipped)}),
    });
    if (py::truthy(failed)) {
        py::append(lines, "");
        py::append(lines, "FAILED FILES:");
        py::for_each(failed, [&lines](const Ref& record) {
            Ref source = py::item(record, 0);
            py::append(lines, py::format("  - {}", {host::os_path("basename", {source})}));
            py::append(lines, py::format("    {}", {py::item(record, 1)}));
        });
    }
    py::append(lines, kRule);
    return py::call_method(py::str("\n"), "join", {lines});
}

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
