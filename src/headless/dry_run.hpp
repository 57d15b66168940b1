// A dry run: the sources of a batch and, for each, the names a run would
// write or skip now, found by the same rules and the same order of claims
// as a run, without writing anything and without Maya; and beside them a
// pre-flight: what each scene needs that a conversion may miss, read by
// velmora itself.
#pragma once

#include "headless/batch.hpp"

namespace velmora::headless {

// The results a run would give now, Maya's own failures aside: outputs
// (the names it would write), skipped (those it would skip), converted
// (the sources with an output to write), failed (those with none, as a
// run reports them), plus "dry_run": True and "planned": a list of
// (source, [outputs]) in the window's order; "preflight": a list of
// (source, reading), the reading being what velmora.inspect gives or
// {"error": why the file is no scene}, and "preflight_summary" (a list of
// str: what will likely fail or convert incompletely, and why). No
// journal, no file, no Maya.
Ref plan_outputs(const Request& request);

// The planned names as lines to print after the report.
Ref planned_lines(const Ref& results, const Ref& folder);

}  // namespace velmora::headless
