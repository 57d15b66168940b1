#include "headless/dry_run.hpp"

#include "headless/journal_file.hpp"
#include "headless/ledger.hpp"
#include "headless/publishing.hpp"
#include "host/files.hpp"
#include "host/host.hpp"
#include "scene/findings.hpp"
#include "scene/inspect.hpp"

namespace velmora::headless {
namespace {

struct Plan {
    Ref outputs = py::list();
    Ref skipped = py::list();
    Ref failed = py::list();
    Ref planned = py::list();
    Ref preflight = py::list();
    scene::Tally tally;
    long long converted = 0;
};

// What velmora reads in a source before Maya opens it: the reading
// velmora.inspect gives, or {"error": why it is no scene}.
Ref reading_of(const Ref& source, scene::Tally& tally) {
    Ref facts;
    if (std::optional<Ref> failure = py::guard([&] { facts = scene::inspect_file(source); })) {
        Ref reason = py::format("{}", {*failure});
        tally.unread(reason);
        return py::dict({{"error", reason}});
    }
    tally.scene(facts);
    return facts;
}

// One source: each chosen format but its own, claimed in the window's
// order against what exists and what this plan has claimed already.
void plan_source(const Request& request, const Ref& relative, const Ref& taken, Plan& plan) {
    Ref source = full_path(request.folder, relative);
    Ref own = py::call_method(py::item(host::os_path("splitext", {source}), 1), "lower");
    Ref base = output_base_of(request.folder, request.choices, relative);
    Ref mine = py::list();
    py::for_each(request.choices.outputs, [&](const Ref& format) {
        if (py::equals(own, "") == false && py::check_status(PyObject_RichCompareBool(
                own.get(), py::format(".{}", {format}).get(), Py_EQ)) == 1) {
            return;  // its own format: skipped by rule
        }
        Ref natural = py::format("{}.{}", {base, format});
        std::optional<Ref> name = planned_name(natural, request.choices.skip_existing, taken);
        if (!name) {
            py::append(plan.skipped, natural);
            return;
        }
        py::check_status(PySet_Add(taken.get(), name->get()));
        py::append(mine, *name);
        py::append(plan.outputs, *name);
    });
    py::append(plan.planned, py::tuple({source, mine}));
    py::append(plan.preflight, py::tuple({source, reading_of(source, plan.tally)}));
    if (py::length(mine) > 0) {
        ++plan.converted;
    } else {
        py::append(plan.failed, py::tuple({source, "All conversions failed"}));
    }
}

// A source's needs under its planned names, or None.
Ref needs_of(const Ref& reading) {
    if (std::optional<Ref> error = py::find_item(reading, "error")) return py::format("not a scene: {}", {*error});
    return scene::needs_line(reading);
}

}  // namespace

Ref plan_outputs(const Request& request) {
    Ref started = host::time("time");
    Ref sources = request.listed ? *request.listed : batch_sources(request.folder, request.choices);
    Ref taken = py::check(PySet_New(nullptr));
    Plan plan;
    py::for_each(sources, [&](const Ref& relative) { plan_source(request, relative, taken, plan); });
    return py::dict({{"total", py::integer(py::length(sources))},
                     {"converted", py::integer(plan.converted)},
                     {"failed", plan.failed},
                     {"skipped", plan.skipped},
                     {"outputs", plan.outputs},
                     {"pending", py::list()},
                     {"start_time", started},
                     {"end_time", host::time("time")},
                     {"journal", py::none()},
                     {"logs", py::none()},
                     {"folder", request.folder},
                     {"dry_run", true},
                     {"planned", plan.planned},
                     {"preflight", plan.preflight},
                     {"preflight_summary", plan.tally.lines()}});
}

Ref planned_lines(const Ref& results, const Ref& folder) {
    Ref lines = py::list({"Dry run: nothing was written and no Maya started. A run would write:"});
    Ref preflight = py::get_item(results, "preflight");
    Py_ssize_t at = 0;
    py::for_each(py::get_item(results, "planned"), [&](const Ref& entry) {
        Ref names = py::list();
        py::for_each(py::item(entry, 1), [&](const Ref& p) { py::append(names, host::os_path("basename", {p})); });
        Ref shown = py::length(names) > 0 ? py::call_method(py::str(", "), "join", {names}) : py::str("(nothing)");
        py::append(lines, py::format("  {} -> {}", {relative_path(folder, py::item(entry, 0)), shown}));
        Ref needs = needs_of(py::item(py::item(preflight, at++), 1));
        if (needs.get() != Py_None) py::append(lines, py::format("      {}", {needs}));
    });
    py::for_each(py::get_item(results, "skipped"), [&](const Ref& p) {
        py::append(lines, py::format("  skipped, exists: {}", {p}));
    });
    py::append(lines, "Pre-flight, from velmora's own reading of the scenes:");
    py::for_each(py::get_item(results, "preflight_summary"), [&](const Ref& line) {
        py::append(lines, py::format("  {}", {line}));
    });
    return py::call_method(py::str("\n"), "join", {lines});
}

}  // namespace velmora::headless
