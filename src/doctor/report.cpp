// The doctor on the console: a line per check as it comes, a count, and a
// block to paste into an issue (the versions, the platform, each failed
// check with its message).
#include "doctor/console.hpp"

#include "headless/progress.hpp"

namespace velmora::doctor {
namespace {

void say(const Ref& text) { headless::write_console(py::format("{}\n", {text})); }

bool passed(const Ref& finding) { return py::truthy(py::get_item(finding, "ok")); }
// Not run because of an earlier failure ("ok" None): not a failure of its own.
bool skipped(const Ref& finding) { return py::get_item(finding, "ok").get() == Py_None; }

Ref names_of_skipped(const Ref& findings) {
    Ref names = py::list();
    py::for_each(findings, [&names](const Ref& f) {
        if (skipped(f)) py::append(names, py::get_item(f, "check"));
    });
    return names;
}

// The detail of the finding of a check, or "not reported".
Ref detail_of(const Ref& findings, const Check& check) {
    Ref detail = py::str("not reported");
    py::any_of(findings, [&](const Ref& f) {
        bool found = py::equals(py::get_item(f, "check"), check.name);
        if (found) detail = py::get_item(f, "detail");
        return found;
    });
    return detail;
}

void paste_block(const Ref& findings, const Ref& mayapy) {
    say(py::str("---- velmora doctor: paste from here into an issue ----"));
    say(py::format("mayapy: {}", {mayapy}));
    say(py::format("velmora: {}", {detail_of(findings, checks::kModule)}));
    say(py::format("versions: {}", {detail_of(findings, checks::kVersions)}));
    bool any = false;
    py::for_each(findings, [&any](const Ref& f) {
        if (passed(f) || skipped(f)) return;
        any = true;
        say(py::format("FAILED {}: {}", {py::get_item(f, "check"), py::get_item(f, "detail")}));
    });
    Ref not_run = names_of_skipped(findings);
    if (py::truthy(not_run)) {
        say(py::format("not checked because of it: {}", {py::call_method(py::str(", "), "join", {not_run})}));
    }
    if (!any) say(py::str("every check passed"));
    say(py::str("---- to here ----"));
}

}  // namespace

void print_start(const Ref& mayapy) {
    say(py::format("velmora doctor: checking {} (Maya starts once; this takes a minute or two)", {mayapy}));
}

void print_finding(const Ref& finding) {
    const char* mark = passed(finding) ? "ok" : skipped(finding) ? "skip" : "FAIL";
    say(py::format("{:<4}  {:<15}  {}  ({:.1f} s)",
                   {mark, py::get_item(finding, "check"), py::get_item(finding, "detail"),
                    py::get_item(finding, "seconds")}));
}

int print_ending(const Ref& findings, const Ref& mayapy) {
    Py_ssize_t failed = 0;
    Py_ssize_t not_run = 0;
    py::for_each(findings, [&](const Ref& f) {
        failed += passed(f) || skipped(f) ? 0 : 1;
        not_run += skipped(f) ? 1 : 0;
    });
    Py_ssize_t total = py::length(findings);
    Ref skipped_part = not_run == 0 ? py::str("") : py::format(", {} not checked", {py::integer(not_run)});
    say(py::format("\n{} checks: {} passed, {} failed{}.\n", {py::integer(total), py::integer(total - failed - not_run),
                                                              py::integer(failed), skipped_part}));
    paste_block(findings, mayapy);
    return failed + not_run == 0 ? 0 : 1;
}

}  // namespace velmora::doctor
