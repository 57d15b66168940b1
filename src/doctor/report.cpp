// The doctor on the console: a line per check as it comes, a count, and a
// block to paste into an issue (the versions, the platform, each failed
// check with its message).
#include "doctor/console.hpp"

#include "headless/progress.hpp"

namespace velmora::doctor {
namespace {

void say(const Ref& text) { headless::write_console(py::format("{}\n", {text})); }

bool passed(const Ref& finding) { return py::truthy(py::get_item(finding, "ok")); }

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
        if (passed(f)) return;
        any = true;
        say(py::format("FAILED {}: {}", {py::get_item(f, "check"), py::get_item(f, "detail")}));
    });
    if (!any) say(py::str("every check passed"));
    say(py::str("---- to here ----"));
}

}  // namespace

void print_start(const Ref& mayapy) {
    say(py::format("velmora doctor: checking {} (Maya starts once; this takes a minute or two)", {mayapy}));
}

void print_finding(const Ref& finding) {
    say(py::format("{:<4}  {:<15}  {}  ({:.1f} s)",
                   {passed(finding) ? "ok" : "FAIL", py::get_item(finding, "check"), py::get_item(finding, "detail"),
                    py::get_item(finding, "seconds")}));
}

int print_ending(const Ref& findings, const Ref& mayapy) {
    Py_ssize_t failed = 0;
    py::for_each(findings, [&failed](const Ref& f) { failed += passed(f) ? 0 : 1; });
    Py_ssize_t total = py::length(findings);
    say(py::format("\n{} checks: {} passed, {} failed.\n",
                   {py::integer(total), py::integer(total - failed), py::integer(failed)}));
    paste_block(findings, mayapy);
    return failed == 0 ? 0 : 1;
}

}  // namespace velmora::doctor
