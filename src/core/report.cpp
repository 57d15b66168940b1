// The statistics report's text, from the counts of a batch.
#include "core/report.hpp"

#include "core/converter.hpp"

namespace velmora {
namespace {

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

Ref shown_name(const Ref& source, const Ref& folder) {
    if (!folder || folder.get() == Py_None) return host::os_path("basename", {source});
    Ref relative = host::os_path("relpath", {source, folder});
    return py::call_method(relative, "replace", {py::getattr(host::global("os"), "sep"), "/"});
}

}  // namespace

Ref statistics_text(const Ref& start, const Ref& now, const Ref& total, const Ref& successful,
                    const Ref& failed, Py_ssize_t skipped, const Ref& folder) {
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
        py::for_each(failed, [&lines, &folder](const Ref& record) {
            Ref source = py::item(record, 0);
            py::append(lines, py::format("  - {}", {shown_name(source, folder)}));
            py::append(lines, py::format("    {}", {py::item(record, 1)}));
        });
    }
    py::append(lines, kRule);
    return py::call_method(py::str("\n"), "join", {lines});
}

}  // namespace velmora
