// A dry run: the sources of a batch and, for each, the names a run would
// write or skip now, found by the same rules and the same order of claims
// as a run, without writing anything and without Maya.
#pragma once

#include "headless/batch.hpp"

namespace velmora::headless {

// The results a run would give now, Maya's own failures aside: outputs
// (the names it would write), skipped (those it would skip), converted
// (the sources with an output to write), failed (those with none, as a
// run reports them), plus "dry_run": True and "planned": a list of
// (source, [outputs]) in the window's order. No journal, no file.
Ref plan_outputs(const Request& request);

// The planned names as lines to print after the report.
Ref planned_lines(const Ref& results, const Ref& folder);

}  // namespace velmora::headless
